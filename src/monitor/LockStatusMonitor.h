// Watches the desktop's screen saver on the session bus and reports every
// change between locked and unlocked through the message dispatcher.
//
// Start runs the watch on a thread of its own; the thread may end by
// itself (no usable desktop type, no session bus, monitoring refused, bus
// gone), after which Start does nothing until Stop. The thread sleeps until
// bus traffic or Stop wakes it, so a quiet desktop costs no wake-ups; Stop
// returns as soon as the thread has seen it.
// Start and Stop are meant for one controlling thread.
#pragma once

#include <string>

#include "lib/log/UniqueFd.h"
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
    // Whether the bus has something to read; false once Stop was called.
    bool WaitForBusOrStop(int busFd);

    // Set by Start from the desktop type, before the thread that reads it.
    std::string interfaceName_;
    // Written by Stop; made by Start before the thread that polls it.
    dclog::UniqueFd stopWake_;
};
