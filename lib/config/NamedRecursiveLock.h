// A recursive mutex that carries a name, so that lock diagnostics (and a
// reader of a core file) can tell which lock a thread waits for.
#pragma once

#include <mutex>

namespace dcconfig {

class NamedRecursiveLock {
  public:
    explicit NamedRecursiveLock(const char* name) : name_(name) {}
    NamedRecursiveLock(const NamedRecursiveLock&) = delete;
    NamedRecursiveLock& operator=(const NamedRecursiveLock&) = delete;

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }
    const char* Name() const { return name_; }

  private:
    const char* name_;
    std::recursive_mutex mutex_;
};

}  // namespace dcconfig
