#include "src/session/SessionBusLink.h"

#include <cstdio>

bool SessionBusLink::Connect() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    if (connection == nullptr) {
        fprintf(stderr, "desktopcontroller-session: cannot reach the session bus: %s\n", error.message);
        dbus_error_free(&error);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    connection_.reset(connection);
    return true;
}

int SessionBusLink::Fd() const {
    int fd = -1;
    dbus_connection_get_unix_fd(connection_.get(), &fd);
    return fd;
}

bool SessionBusLink::LostAfterRead() {
    DBusConnection* connection = connection_.get();
    dbus_connection_read_write(connection, 0);
    while (DBusMessage* message = dbus_connection_pop_message(connection)) {
        dbus_message_unref(message);
    }
    return !dbus_connection_get_is_connected(connection);
}
