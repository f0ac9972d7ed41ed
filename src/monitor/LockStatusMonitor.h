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

#include "src/monitor/DBusHandles.h"
#include "src/monitor/DesktopMonitor.h"

class LockStatusMonitor : public DesktopMonitor {
  public:
    LockStatusMonitor() = default;
    ~LockStatusMonitor() override;

    // True in every case; a second Start while running changes nothing.
    bool Start() override;
    void Stop() override;

  private:
    // Null, after its record, when the desktop type has no screen saver
    // interface or the session bus cannot be reached.
    PrivateConnectionPtr OpenSessionBus();
    void Monitor(PrivateConnectionPtr connection);
    bool IsRunning();
    void DispatchUntilStopped(DBusConnection* connection);

    // Set by Start from the desktop type, before the thread that reads it.
    std::string interfaceName_;
};
