// One private dbus-daemon, session or system type, for the sandbox.
//
// It runs from a generated configuration with no service directories, so
// nothing is ever auto-started and the machine's own buses are never
// involved. Any user may connect and own any name, so that a daemon that
// gave up root still reaches it. It reports its address once it accepts
// connections, and is stopped and reaped by pid on destruction.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "tools/desktop-sandbox/ChildProcess.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace sandbox {

enum class BusPolicy {
    kOpen,                 // what a desktop session bus allows, eavesdropping included
    kRefuseBecomeMonitor,  // the same, but calls to the monitoring interface are denied
};

class BusDaemon {
  public:
    // type is "session" or "system". Throws std::runtime_error when
    // dbus-daemon cannot be started or does not report an address within
    // ten seconds. Only the bus's owner (and root) may become a monitor on
    // it: owner is that user when it is not the caller.
    BusDaemon(const std::string& type, BusPolicy policy, std::optional<uid_t> owner);
    ~BusDaemon() { daemon_->Stop(SIGTERM); }
    BusDaemon(const BusDaemon&) = delete;
    BusDaemon& operator=(const BusDaemon&) = delete;

    const std::string& Address() const { return address_; }

    static bool Available();

  private:
    TempDir configDir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
};

}  // namespace sandbox
