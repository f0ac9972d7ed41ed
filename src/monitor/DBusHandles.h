// Owning handles for the libdbus objects the monitor uses, so no path
// forgets an unref, a close or a dbus_error_free.
#pragma once

#include <dbus/dbus.h>

#include <memory>
#include <string>

struct DBusMessageDeleter {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageDeleter>;

// A private connection must be closed before its last reference goes.
struct PrivateConnectionDeleter {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using PrivateConnectionPtr = std::unique_ptr<DBusConnection, PrivateConnectionDeleter>;

class ScopedDBusError {
  public:
    ScopedDBusError() { dbus_error_init(&error_); }
    ~ScopedDBusError() { dbus_error_free(&error_); }
    ScopedDBusError(const ScopedDBusError&) = delete;
    ScopedDBusError& operator=(const ScopedDBusError&) = delete;

    DBusError* get() { return &error_; }
    bool IsSet() const { return dbus_error_is_set(&error_); }
    const char* Name() const { return error_.name != nullptr ? error_.name : "(null)"; }
    const char* Message() const { return error_.message != nullptr ? error_.message : "(null)"; }

  private:
    DBusError error_;
};

// Keeps a message filter installed on a connection for the handle's life.
// The filter's user data is a heap copy of a text owned by the handle, so
// it stays valid until the filter is gone. Must not outlive the connection.
class ScopedFilter {
  public:
    ScopedFilter(DBusConnection* connection, DBusHandleMessageFunction function, const std::string& userData)
        : connection_(connection), function_(function), userData_(std::make_unique<std::string>(userData)) {
        installed_ = dbus_connection_add_filter(connection_, function_, userData_.get(), nullptr);
    }
    ~ScopedFilter() {
        if (installed_) {
            dbus_connection_remove_filter(connection_, function_, userData_.get());
        }
    }
    ScopedFilter(const ScopedFilter&) = delete;
    ScopedFilter& operator=(const ScopedFilter&) = delete;

    bool Installed() const { return installed_; }

  private:
    DBusConnection* connection_;
    DBusHandleMessageFunction function_;
    std::unique_ptr<std::string> userData_;
    bool installed_ = false;
};
