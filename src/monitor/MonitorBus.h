// How the screen-lock monitor gets to see the screen saver's messages on
// the session bus. The daemon and the administrators' doctor both use it,
// so the doctor reports the very fallback the daemon would take.
#pragma once

#include <dbus/dbus.h>

#include <optional>
#include <string>
#include <string_view>

namespace monitorbus {

// The screen-saver interface of a desktop type ("gnome", "mate", "kde");
// none for any other type. The interface is also the service's bus name.
std::optional<std::string_view> ScreenSaverInterface(std::string_view desktopType);

// What the connection watches after MonitorBus, from the fullest view to
// the narrowest.
enum class Watch {
    kNone,           // nothing could be set up
    kBecomeMonitor,  // a bus monitor of every member of the interface
    kEavesdrop,      // a match rule with eavesdropping
    kActiveChanged,  // only the ActiveChanged signal
};

// Asks to see every message on the interface: as a bus monitor where the
// bus allows it, else by eavesdropping, else at least ActiveChanged. Each
// refusal is logged. A connection that became a monitor can do nothing
// else afterwards.
Watch MonitorBus(DBusConnection* connection, const std::string& interfaceName);

}  // namespace monitorbus
