// Drives and measures the session bus named by DBUS_SESSION_BUS_ADDRESS.
//
//   e2e_bus_probe roundtrip COUNT
//       The floor for a lock report: one connection emits a signal, a
//       second, plain listener with a match rule receives it. Prints one
//       emit-to-receive latency in microseconds per line.
//   e2e_bus_probe toggle COUNT INTERVAL_MS INTERFACE PATH
//       Emits COUNT "ActiveChanged" signals on INTERFACE, alternating true
//       and false and starting with true, INTERVAL_MS apart. Prints
//       "EMIT <epoch seconds with microseconds> <true|false>" just before each
//       send.
#include <dbus/dbus.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr const char* kProbeInterface = "org.desktopcontroller.BenchProbe";
constexpr const char* kProbePath = "/org/desktopcontroller/BenchProbe";
constexpr const char* kProbeMember = "Ping";
constexpr int kReceiveWaitMs = 5000;

struct ConnectionUnref {
    void operator()(DBusConnection* connection) const { dbus_connection_unref(connection); }
};
struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using ConnectionPtr = std::unique_ptr<DBusConnection, ConnectionUnref>;
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

double RealtimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A private connection, so emitter and listener really are two bus clients.
ConnectionPtr Connect() {
    DBusError error;
    dbus_error_init(&error);
    ConnectionPtr connection(dbus_bus_get_private(DBUS_BUS_SESSION, &error));
    if (!connection) {
        fprintf(stderr, "e2e_bus_probe: no session bus: %s\n", error.message);
        dbus_error_free(&error);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), false);
    return connection;
}

void Close(ConnectionPtr& connection) {
    if (connection) {
        dbus_connection_close(connection.get());
    }
}

bool Emit(DBusConnection* connection, const char* path, const char* interface, const char* member,
          const dbus_bool_t* value) {
    MessagePtr signal(dbus_message_new_signal(path, interface, member));
    if (!signal || (value != nullptr &&
                    !dbus_message_append_args(signal.get(), DBUS_TYPE_BOOLEAN, value, DBUS_TYPE_INVALID))) {
        return false;
    }
    const bool sent = dbus_connection_send(connection, signal.get(), nullptr);
    dbus_connection_flush(connection);
    return sent;
}

bool WaitForProbe(DBusConnection* listener) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        MessagePtr message(dbus_connection_pop_message(listener));
        if (message && dbus_message_is_signal(message.get(), kProbeInterface, kProbeMember)) {
            return true;
        }
        if (!message && !dbus_connection_read_write(listener, 100)) {
            return false;
        }
    }
    return false;
}

int RoundTrips(int count) {
    ConnectionPtr emitter = Connect();
    ConnectionPtr listener = Connect();
    if (!emitter || !listener) {
        return 1;
    }
    DBusError error;
    dbus_error_init(&error);
    const std::string rule = std::string("type='signal',interface='") + kProbeInterface + "'";
    dbus_bus_add_match(listener.get(), rule.c_str(), &error);
    int status = 0;
    if (dbus_error_is_set(&error)) {
        fprintf(stderr, "e2e_bus_probe: match rule refused: %s\n", error.message);
        dbus_error_free(&error);
        status = 1;
    }
    for (int i = 0; i < count && status == 0; ++i) {
        const double start = RealtimeSeconds();
        if (!Emit(emitter.get(), kProbePath, kProbeInterface, kProbeMember, nullptr) ||
            !WaitForProbe(listener.get())) {
            fprintf(stderr, "e2e_bus_probe: round trip %d lost\n", i);
            status = 1;
            break;
        }
        printf("%.1f\n", (RealtimeSeconds() - start) * 1e6);
    }
    Close(emitter);
    Close(listener);
    return status;
}

int Toggles(int count, int intervalMs, const char* interface, const char* path) {
    ConnectionPtr emitter = Connect();
    if (!emitter) {
        return 1;
    }
    int status = 0;
    for (int i = 0; i < count; ++i) {
        const dbus_bool_t active = i % 2 == 0;
        printf("EMIT %.6f %s\n", RealtimeSeconds(), active ? "true" : "false");
        fflush(stdout);
        if (!Emit(emitter.get(), path, interface, "ActiveChanged", &active)) {
            status = 1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
    Close(emitter);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "roundtrip") == 0) {
        return RoundTrips(atoi(argv[2]));
    }
    if (argc == 6 && strcmp(argv[1], "toggle") == 0) {
        return Toggles(atoi(argv[2]), atoi(argv[3]), argv[4], argv[5]);
    }
    fprintf(stderr,
            "usage: e2e_bus_probe roundtrip COUNT\n"
            "       e2e_bus_probe toggle COUNT INTERVAL_MS INTERFACE PATH\n");
    return 2;
}
