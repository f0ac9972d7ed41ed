// Base of the controller's desktop watchers: one thread per monitor,
// started by Start and ended by Stop.
//
// The lock guards only `running_` and the thread handle; it is never held
// while the thread works or while it is joined.
#pragma once

#include <mutex>
#include <thread>

class DesktopMonitor {
  public:
    DesktopMonitor() = default;
    // The thread must have been joined or detached by then.
    virtual ~DesktopMonitor() = default;
    DesktopMonitor(const DesktopMonitor&) = delete;
    DesktopMonitor& operator=(const DesktopMonitor&) = delete;

    virtual bool Start() = 0;
    // Clears the running flag and lets the thread go on its own.
    virtual void Stop();

  protected:
    bool running_ = false;
    std::mutex lock_;
    std::thread thread_;
};
