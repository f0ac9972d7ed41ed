#include "src/monitor/MonitorBus.h"

#include "lib/log/Log.h"
#include "src/core/DesktopConstants.h"
#include "src/monitor/DBusHandles.h"
#include "src/monitor/MonitorNames.h"

namespace monitorbus {
namespace {

bool BecomeMonitor(DBusConnection* connection, DBusMessage* call, const std::string& interfaceRule) {
    const char* rule = interfaceRule.c_str();
    const char** rules = &rule;
    const dbus_uint32_t flags = 0;
    if (!dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &rules, 1, DBUS_TYPE_UINT32,
                                  &flags, DBUS_TYPE_INVALID)) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to append message args.\n", "MonitorBus");
        return false;
    }
    ScopedDBusError error;
    const DBusMessagePtr reply(dbus_connection_send_with_reply_and_block(
        connection, call, monitornames::kBecomeMonitorTimeoutMs, error.get()));
    if (!reply) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to utilize BecomeMonitor: %s: \"%s\".\n",
                   "MonitorBus", error.Name(), error.Message());
        return false;
    }
    LogMessage(dclog::kInfo, "DesktopCMonitor->%s Succeeded to BecomeMonitor.\n", "MonitorBus");
    return true;
}

// The records name the interface rule, not the full rule tried.
bool AddMatch(DBusConnection* connection, const std::string& rule, const std::string& interfaceRule) {
    ScopedDBusError error;
    dbus_bus_add_match(connection, rule.c_str(), error.get());
    if (error.IsSet()) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Cannot add D-BUS match rule: %s, cause: %s\n",
                   "MonitorBus", interfaceRule.c_str(), error.Message());
        return false;
    }
    return true;
}

}  // namespace

Watch MonitorBus(DBusConnection* connection, const std::string& interfaceName) {
    const std::string interfaceRule = "interface='" + interfaceName + "'";
    const DBusMessagePtr call(dbus_message_new_method_call(monitornames::kBusName, monitornames::kBusPath,
                                                           monitornames::kMonitoringInterface,
                                                           monitornames::kBecomeMonitor));
    if (!call) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to create dbus message.\n", "MonitorBus");
        return Watch::kNone;
    }
    if (BecomeMonitor(connection, call.get(), interfaceRule)) {
        return Watch::kBecomeMonitor;
    }
    if (AddMatch(connection, "eavesdrop=true," + interfaceRule, interfaceRule)) {
        LogMessage(dclog::kInfo, "DesktopCMonitor->%s Succeeded to monitor all members on %s.\n",
                   "MonitorBus", interfaceRule.c_str());
        return Watch::kEavesdrop;
    }
    const std::string activeChangedRule =
        "type='signal'," + interfaceRule + ",member='" + monitornames::kActiveChangedSignal + "'";
    if (AddMatch(connection, activeChangedRule, interfaceRule)) {
        LogMessage(dclog::kInfo, "DesktopCMonitor->%s Succeeded to monitor signal ActiveChanged on %s.\n",
                   "MonitorBus", interfaceRule.c_str());
        return Watch::kActiveChanged;
    }
    return Watch::kNone;
}

std::optional<std::string_view> ScreenSaverInterface(std::string_view desktopType) {
    if (desktopType == desktop::kTypeGnome) {
        return monitornames::kGnomeScreenSaver;
    }
    if (desktopType == desktop::kTypeMate) {
        return monitornames::kMateScreenSaver;
    }
    if (desktopType == desktop::kTypeKde) {
        return monitornames::kKdeScreenSaver;
    }
    return std::nullopt;
}

}  // namespace monitorbus
