// A private D-Bus session bus for tests, and a small client to act on it.
//
// The bus runs from a generated configuration with no service directories,
// so nothing is ever auto-started and the developer's own session bus is
// never involved. Any user may connect, so that a daemon that gave up root
// still reaches it. It reports its address once it accepts connections,
// and is stopped and reaped by pid on destruction.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "tools/desktop-sandbox/ChildProcess.h"
#include "tools/desktop-sandbox/TempDir.h"

struct DBusConnection;
struct DBusMessage;

namespace sandbox {

enum class BusPolicy {
    kOpen,                 // what a desktop session bus allows, eavesdropping included
    kRefuseBecomeMonitor,  // the same, but calls to the monitoring interface are denied
};

class SessionBus {
  public:
    // Throws std::runtime_error when dbus-daemon cannot be started or does
    // not report an address within ten seconds. A session bus belongs to
    // the desktop's user, who alone (with root) may become a monitor on it:
    // owner is that user when it is not the caller.
    explicit SessionBus(BusPolicy policy = BusPolicy::kOpen, std::optional<uid_t> owner = std::nullopt);
    ~SessionBus() { daemon_->Stop(SIGTERM); }
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // The value for DBUS_SESSION_BUS_ADDRESS.
    const std::string& Address() const { return address_; }

    static bool Available();

  private:
    TempDir configDir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
};

// One private connection to a bus, used by a test to play the screen saver
// or another peer. Throws std::runtime_error when a bus call fails.
class BusClient {
  public:
    explicit BusClient(const std::string& address);
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    // Becomes the primary owner of name.
    void RequestName(const std::string& name);
    // Whether some connection owns name.
    bool HasOwner(const std::string& name);
    // A signal, with one boolean argument when arg is set.
    void EmitSignal(const std::string& path, const std::string& interface, const std::string& member,
                    std::optional<bool> arg = std::nullopt);
    // A method call that expects no reply.
    void Call(const std::string& destination, const std::string& path, const std::string& interface,
              const std::string& member);

  private:
    void Send(DBusMessage* message);

    DBusConnection* connection_ = nullptr;
};

}  // namespace sandbox
