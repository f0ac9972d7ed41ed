// The session bus as the lock monitor meets it: reachable, the screen
// saver of this desktop type on it, and how much of its traffic the
// monitor gets to see.
#include "src/core/SessionDetection.h"
#include "src/monitor/DBusHandles.h"
#include "src/monitor/MonitorBus.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/ProblemRecords.h"

namespace doctor {
namespace {

constexpr const char* kName = "session-bus";

CheckResult DescribeWatch(monitorbus::Watch watch, const std::string& interface, const std::string& refusal) {
    const std::string owned = interface + " is owned";
    switch (watch) {
        case monitorbus::Watch::kBecomeMonitor:
            return Ok(kName, owned + ", BecomeMonitor allowed");
        case monitorbus::Watch::kEavesdrop:
            return Warning(kName,
                           owned + ", BecomeMonitor refused (" + refusal +
                               "); the daemon falls back to an eavesdropping match rule",
                           "allow BecomeMonitor on the session bus to see Lock calls however they are sent");
        case monitorbus::Watch::kActiveChanged:
            return Warning(kName,
                           owned + ", BecomeMonitor and eavesdropping refused (" + refusal +
                               "); the daemon sees only the ActiveChanged signal",
                           "allow BecomeMonitor or eavesdropping on the session bus");
        case monitorbus::Watch::kNone:
            break;
    }
    return Failure(kName, owned + ", but no way to watch it is allowed: " + refusal,
                   "the session bus policy must allow BecomeMonitor or a match rule on " + interface);
}

}  // namespace

CheckResult CheckSessionBus() {
    const std::string type = GetDesktopType();
    const auto interface = monitorbus::ScreenSaverInterface(type);
    if (!interface) {
        return Failure(kName, "desktop type " + type + " has no screen saver the daemon knows",
                       "set XDG_CURRENT_DESKTOP to GNOME, MATE or KDE");
    }
    const std::string name(*interface);
    ScopedDBusError error;
    PrivateConnectionPtr connection(dbus_bus_get_private(DBUS_BUS_SESSION, error.get()));
    if (!connection) {
        return Failure(kName, std::string("cannot reach the session bus: ") + error.Message(),
                       "start the daemon inside the session, with its DBUS_SESSION_BUS_ADDRESS");
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    if (!dbus_bus_name_has_owner(connection.get(), name.c_str(), error.get())) {
        return Failure(
            kName, "nobody owns " + name + " on the session bus, so no lock change would be seen",
            "start the " + type + " screen saver, or fix XDG_CURRENT_DESKTOP if the desktop is another");
    }
    ProblemRecords problems;
    const monitorbus::Watch watch = monitorbus::MonitorBus(connection.get(), name);
    return DescribeWatch(watch, name, problems.Text());
}

}  // namespace doctor
