// Element, attribute and request names of the XML messages exchanged with
// the agent's IPC service. Every other file of the dispatcher spells these
// through the constants below, never as literals.
#pragma once

#include <string_view>

namespace msgnames {

// Top-level elements.
inline constexpr std::string_view kRequest = "Request";
inline constexpr std::string_view kResponse = "Response";

// The property tree keeps an element's attributes under this child.
inline constexpr std::string_view kAttributes = "<xmlattr>";
// ... and each comment as a child of this name.
inline constexpr std::string_view kComment = "<xmlcomment>";
inline constexpr std::string_view kNameAttribute = "name";
inline constexpr std::string_view kIsAppAttribute = "isApp";

// Request names, compared exactly.
inline constexpr std::string_view kStartProcess = "StartProcess";
inline constexpr std::string_view kStopProcess = "StopProcess";
inline constexpr std::string_view kLockScreen = "LockScreen";
inline constexpr std::string_view kUnlockScreen = "UnlockScreen";
inline constexpr std::string_view kLogoutDesktop = "LogoutDesktop";

// Fields of StartProcess and StopProcess.
inline constexpr std::string_view kProcessName = "ProcessName";
inline constexpr std::string_view kProcessPath = "ProcessPath";
inline constexpr std::string_view kStdinStr = "StdinStr";
inline constexpr std::string_view kProcessParams = "ProcessParams";
inline constexpr std::string_view kConnectionId = "ConnectionId";

// Notifications.
inline constexpr std::string_view kNotify = "Notify";
inline constexpr std::string_view kDesktopLocked = "DesktopLocked";
inline constexpr std::string_view kLocked = "Locked";
inline constexpr std::string_view kDesktopLogged = "DesktopLogged";
inline constexpr std::string_view kDesktopId = "DesktopId";
inline constexpr std::string_view kUserName = "UserName";
inline constexpr std::string_view kUserDomain = "UserDomain";
inline constexpr std::string_view kDesktopType = "DesktopType";
inline constexpr std::string_view kUserRunTimeDir = "UserRunTimeDir";
inline constexpr std::string_view kDesktopEnvs = "DesktopEnvs";

// Environment variables reported in DesktopLogged.
inline constexpr std::string_view kUserEnv = "USER";
inline constexpr std::string_view kRuntimeDirEnv = "XDG_RUNTIME_DIR";

// Writer settings: no indentation and no line breaks between elements.
inline constexpr char kIndentChar = ' ';
inline constexpr int kIndentCount = 0;
inline constexpr std::string_view kEncoding = "utf-8";

}  // namespace msgnames
