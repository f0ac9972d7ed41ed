// Watches the desktop's screen saver on the session bus and reports every
// change between locked and unlocked through the message dispatcher.
//
// Start runs the watch on a thread of its own; the thread may end by
// itself (no usable desktop type, no session bus, monitoring refused, bus
// gone), after which Start does nothing until Stop. Stop returns once the
// thread has ended, within one dispatch wait (100 ms) on a quiet bus.
// Start and Stop are meant for one controlling thread.
#pragma once

#include <string>

#include "src/monitor/DesktopMonitor.h"

struct DBusConnection;

class LockStatusMonitor : public DesktopMonitor {
  public:
    LockStatusMonitor() = default;
    ~LockStatusMonitor() override;

    // True in every case; a second Start while running changes nothing.
    bool Start() override;
    void Stop() override;

  private:
    void Monitor();
    bool IsRunning();
    void DispatchUntilStopped(DBusConnection* connection);

    // Set by the monitor thread from the desktop type; read only there.
    std::string interfaceName_;
};
