// A private connection to the session bus, held only to notice when the
// bus goes away. What the bus sends (the name it assigns, signals) is read
// and dropped.
#pragma once

#include <dbus/dbus.h>

#include <memory>

class SessionBusLink {
  public:
    // False, with a message on standard error, when the bus is unreachable.
    bool Connect();
    int Fd() const;
    // Reads what arrived; true when the bus has closed the connection.
    bool LostAfterRead();

  private:
    struct ConnectionDeleter {
        void operator()(DBusConnection* connection) const {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
    };

    std::unique_ptr<DBusConnection, ConnectionDeleter> connection_;
};
