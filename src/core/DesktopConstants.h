// Constant texts shared by several modules. Other code never spells them.
#pragma once

#include <string_view>

namespace desktop {

inline constexpr std::string_view kTypeGnome = "gnome";
inline constexpr std::string_view kTypeMate = "mate";
inline constexpr std::string_view kTypeKde = "kde";

inline constexpr std::string_view kDistroDebian = "debian";
inline constexpr std::string_view kDistroSuse = "suse";
inline constexpr std::string_view kDistroRhel = "rhel";
inline constexpr std::string_view kDistroRocky = "rocky";
inline constexpr std::string_view kDistroCentos = "centos";
inline constexpr std::string_view kDistroUbuntu = "ubuntu";

// The agent's desktop task script; fixed, never taken from the environment.
inline constexpr std::string_view kTaskScriptPath = "/usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh";

inline constexpr std::string_view kApplicationName = "DesktopController";

// Preference: the deadline in milliseconds for the whole IPC connect.
inline constexpr const char* kPrefConnectTimeoutMs = "DesktopController.ipc.connectTimeoutMs";

// Host preference: a set-user-id run takes the desktop id from the
// environment unchecked, for agents that do not yet write each display's id
// file for the desktop's user. A set-user-id run never reads the user's own
// preference files, so only the host can set it.
inline constexpr const char* kPrefTrustEnvironment = "DesktopController.identity.trustEnvironment";

}  // namespace desktop
