// D-Bus names the screen-lock monitor watches and calls. Other files of
// the monitor spell these through the constants below.
#pragma once

#include <optional>
#include <string_view>

namespace monitornames {

// The bus driver and its monitoring interface.
inline constexpr const char* kBusName = "org.freedesktop.DBus";
inline constexpr const char* kBusPath = "/org/freedesktop/DBus";
inline constexpr const char* kMonitoringInterface = "org.freedesktop.DBus.Monitoring";
inline constexpr const char* kBecomeMonitor = "BecomeMonitor";

// Screen-saver interfaces, by desktop.
inline constexpr std::string_view kGnomeScreenSaver = "org.gnome.ScreenSaver";
inline constexpr std::string_view kMateScreenSaver = "org.mate.ScreenSaver";
inline constexpr std::string_view kKdeScreenSaver = "org.freedesktop.ScreenSaver";

// Members of the screen-saver interface that tell the lock state.
inline constexpr const char* kLockMethod = "Lock";
inline constexpr const char* kWakeUpScreenSignal = "WakeUpScreen";
inline constexpr const char* kActiveChangedSignal = "ActiveChanged";

// How long BecomeMonitor may take to answer.
inline constexpr int kBecomeMonitorTimeoutMs = 3000;

}  // namespace monitornames
