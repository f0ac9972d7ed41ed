#include "src/monitor/LockStatusMonitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "lib/log/Log.h"
#include "src/core/SessionDetection.h"
#include "src/monitor/DBusHandles.h"
#include "src/monitor/LockSignalFilter.h"
#include "src/monitor/MonitorBus.h"
#include "src/monitor/MonitorNames.h"

LockStatusMonitor::~LockStatusMonitor() {
    Stop();
}

bool LockStatusMonitor::Start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!running_) {
        running_ = true;
        // The desktop type and the bus address come from the environment,
        // which the main thread goes on to change: read them here, on the
        // calling thread, before the watch has a thread of its own.
        stopWake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        PrivateConnectionPtr connection = stopWake_.valid() ? OpenSessionBus() : nullptr;
        if (!stopWake_.valid()) {
            LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to create stop event: %s\n", "Start",
                       strerror(errno));
        }
        if (connection) {
            thread_ = std::thread(&LockStatusMonitor::Monitor, this, std::move(connection));
        }
    }
    return true;
}

void LockStatusMonitor::Stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
        thread = std::move(thread_);
    }
    if (stopWake_.valid()) {
        const uint64_t one = 1;
        // Only fails when the counter is already set, which wakes as well.
        [[maybe_unused]] const ssize_t written = write(stopWake_.get(), &one, sizeof one);
    }
    // Joined outside the lock: the thread takes it after every wake.
    if (thread.joinable()) {
        thread.join();
    }
    stopWake_.reset();
}

bool LockStatusMonitor::IsRunning() {
    std::lock_guard<std::mutex> guard(lock_);
    return running_;
}

PrivateConnectionPtr LockStatusMonitor::OpenSessionBus() {
    const std::string desktopType = GetDesktopType();
    const auto interfaceName = monitorbus::ScreenSaverInterface(desktopType);
    if (!interfaceName) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Invalid desktop type %s found, no monitor\n",
                   "Monitor", desktopType.c_str());
        return nullptr;
    }
    interfaceName_ = std::string(*interfaceName);

    // A private connection: a connection that has become a monitor cannot
    // be used for anything else, so it must not be shared within the
    // process, and it is closed when the thread ends.
    ScopedDBusError error;
    PrivateConnectionPtr connection(dbus_bus_get_private(DBUS_BUS_SESSION, error.get()));
    if (!connection) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to get DBus connection for session: %s\n",
                   "Monitor", error.Message());
        return nullptr;
    }
    // The session bus going away ends the watch, never the controller.
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    return connection;
}

void LockStatusMonitor::Monitor(PrivateConnectionPtr connection) {
    dbus_connection_set_route_peer_messages(connection.get(), TRUE);

    const ScopedFilter filter(connection.get(), SignalReceivedCallback, interfaceName_);
    if (!filter.Installed()) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to register DBus filter callback.\n",
                   "Monitor");
        return;
    }
    if (monitorbus::MonitorBus(connection.get(), interfaceName_) == monitorbus::Watch::kNone) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to monitor dbus interface %s\n", "Monitor",
                   interfaceName_.c_str());
        return;
    }
    DispatchUntilStopped(connection.get());
}

// libdbus may already hold messages it read while waiting for a reply, so
// everything queued is dispatched before each wait for more.
void LockStatusMonitor::DispatchUntilStopped(DBusConnection* connection) {
    int busFd = -1;
    if (!dbus_connection_get_unix_fd(connection, &busFd)) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to get the DBus connection's descriptor\n",
                   "Monitor");
        return;
    }
    while (IsRunning() && dbus_connection_read_write_dispatch(connection, 0)) {
        while (dbus_connection_get_dispatch_status(connection) == DBUS_DISPATCH_DATA_REMAINS) {
            dbus_connection_dispatch(connection);
        }
        if (!WaitForBusOrStop(busFd)) {
            return;
        }
    }
}

bool LockStatusMonitor::WaitForBusOrStop(int busFd) {
    pollfd fds[2] = {{busFd, POLLIN, 0}, {stopWake_.get(), POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return fds[1].revents == 0;
}
