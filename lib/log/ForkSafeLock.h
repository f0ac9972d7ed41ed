// The log library's recursive lock, made safe across fork.
//
// A child of a multi-threaded daemon may log before it execs (the task
// shell reports a failed exec through the log). Without care it could
// inherit the lock held by a thread that does not exist in the child and
// block forever on its first record. Every fork therefore waits until no
// record is being written, and the child starts with the lock free.
#pragma once

#include <pthread.h>

namespace dclog {

class ForkSafeLock {
  public:
    ForkSafeLock();
    ~ForkSafeLock();
    ForkSafeLock(const ForkSafeLock&) = delete;
    ForkSafeLock& operator=(const ForkSafeLock&) = delete;

    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

    // Called once per process for the lock that guards the log path: holds
    // the lock across every fork and hands the child a fresh one.
    void GuardForks();

  private:
    void Reinitialise();

    pthread_mutex_t mutex_;
};

}  // namespace dclog
