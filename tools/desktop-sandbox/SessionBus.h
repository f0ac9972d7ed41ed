// A private D-Bus session bus for tests, and a small client to act on it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "tools/desktop-sandbox/BusDaemon.h"

struct DBusConnection;
struct DBusMessage;

namespace sandbox {

// A session bus belongs to the desktop's user: owner is that user when it
// is not the caller.
class SessionBus {
  public:
    explicit SessionBus(BusPolicy policy = BusPolicy::kOpen, std::optional<uid_t> owner = std::nullopt)
        : bus_("session", policy, owner) {}

    // The value for DBUS_SESSION_BUS_ADDRESS.
    const std::string& Address() const { return bus_.Address(); }

    static bool Available() { return BusDaemon::Available(); }

  private:
    BusDaemon bus_;
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
