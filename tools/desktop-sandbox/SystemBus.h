// A private D-Bus system bus for the real desktop lockers, with the system
// services they ask for played by bus-stand-ins.py: logind, knowing
// one graphical session, and GNOME's display manager.
//
// Lockers and the task script reach it through DBUS_SYSTEM_BUS_ADDRESS, so
// the machine's own logind never sees a lock request. Like the session bus
// it auto-starts nothing and lets anyone connect and own any name. Both
// processes are stopped and reaped by pid on destruction.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "tools/desktop-sandbox/BusDaemon.h"
#include "tools/desktop-sandbox/ChildProcess.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace sandbox {

// The logind session the stand-in knows.
struct LoginSession {
    std::string id = "sandbox";
    uid_t uid = 0;
    std::string user = "root";
    // The X display (":N") of an X11 session; empty under Wayland.
    std::string display{};
    std::string type = "wayland";
    // Lock requests are accepted and do nothing, as where policy disables
    // the lock screen: loginctl lock-session exits 0 and nothing locks.
    bool ignoresLock = false;
    // The same for unlock requests: nothing that logind does unlocks.
    bool ignoresUnlock = false;
    // The id of a second graphical session of the same user, of the same
    // type, on otherDisplay; empty for none.
    std::string otherSession{};
    std::string otherDisplay{};
};

class SystemBus {
  public:
    // Throws std::runtime_error when the bus or the stand-ins do not come
    // up within ten seconds each.
    explicit SystemBus(const LoginSession& session);
    ~SystemBus();
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;

    // The value for DBUS_SYSTEM_BUS_ADDRESS.
    const std::string& Address() const { return bus_.Address(); }
    // The session's object path, as logind names it.
    std::string SessionPath() const { return "/org/freedesktop/login1/session/" + sessionId_; }

  private:
    BusDaemon bus_;
    TempDir configDir_;
    std::unique_ptr<ChildProcess> standIns_;
    std::string sessionId_;
};

}  // namespace sandbox
