#include "lib/log/ForkSafeLock.h"

#include <new>

namespace dclog {

namespace {

ForkSafeLock* gGuarded = nullptr;

void LockBeforeFork() {
    gGuarded->lock();
}
void UnlockInParent() {
    gGuarded->unlock();
}

}  // namespace

ForkSafeLock::ForkSafeLock() {
    Reinitialise();
}

ForkSafeLock::~ForkSafeLock() {
    pthread_mutex_destroy(&mutex_);
}

void ForkSafeLock::Reinitialise() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void ForkSafeLock::GuardForks() {
    gGuarded = this;
    // The child's only thread did not take the lock (its owner was the
    // forking thread, whose id the child does not share), so unlocking is
    // not possible there: the child gets a new, free lock instead.
    pthread_atfork(LockBeforeFork, UnlockInParent, [] { gGuarded->Reinitialise(); });
}

}  // namespace dclog
