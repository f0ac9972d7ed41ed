#include "tools/desktop-sandbox/SessionBus.h"

#include <dbus/dbus.h>

#include <stdexcept>

namespace sandbox {
namespace {

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

// Owns a DBusError and turns a set one into an exception.
class BusError {
  public:
    BusError() { dbus_error_init(&error_); }
    ~BusError() { dbus_error_free(&error_); }
    DBusError* get() { return &error_; }
    void ThrowIfSet(const std::string& what) {
        if (dbus_error_is_set(&error_)) {
            throw std::runtime_error(what + ": " + error_.message);
        }
    }

  private:
    DBusError error_;
};

}  // namespace

BusClient::BusClient(const std::string& address) {
    BusError error;
    connection_ = dbus_connection_open_private(address.c_str(), error.get());
    error.ThrowIfSet("cannot connect to " + address);
    if (!dbus_bus_register(connection_, error.get())) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        error.ThrowIfSet("cannot register on " + address);
        throw std::runtime_error("cannot register on " + address);
    }
}

BusClient::~BusClient() {
    dbus_connection_flush(connection_);
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

void BusClient::RequestName(const std::string& name) {
    BusError error;
    int result = dbus_bus_request_name(connection_, name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, error.get());
    error.ThrowIfSet("cannot own " + name);
    if (result != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        throw std::runtime_error("not the primary owner of " + name);
    }
}

bool BusClient::HasOwner(const std::string& name) {
    BusError error;
    const bool owned = dbus_bus_name_has_owner(connection_, name.c_str(), error.get());
    error.ThrowIfSet("cannot ask for the owner of " + name);
    return owned;
}

void BusClient::EmitSignal(const std::string& path, const std::string& interface, const std::string& member,
                           std::optional<bool> arg) {
    MessagePtr message(dbus_message_new_signal(path.c_str(), interface.c_str(), member.c_str()));
    if (!message) {
        throw std::runtime_error("cannot create signal " + member);
    }
    dbus_bool_t value = arg.value_or(false) ? TRUE : FALSE;
    if (arg && !dbus_message_append_args(message.get(), DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID)) {
        throw std::runtime_error("cannot append the argument of " + member);
    }
    Send(message.get());
}

void BusClient::Call(const std::string& destination, const std::string& path, const std::string& interface,
                     const std::string& member) {
    MessagePtr message(
        dbus_message_new_method_call(destination.c_str(), path.c_str(), interface.c_str(), member.c_str()));
    if (!message) {
        throw std::runtime_error("cannot create method call " + member);
    }
    dbus_message_set_no_reply(message.get(), TRUE);
    Send(message.get());
}

void BusClient::Send(DBusMessage* message) {
    if (!dbus_connection_send(connection_, message, nullptr)) {
        throw std::runtime_error("cannot queue a message");
    }
    dbus_connection_flush(connection_);
}

}  // namespace sandbox
