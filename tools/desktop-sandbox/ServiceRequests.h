// Requests as the agent's service sends them, texts XML-escaped, and the
// frames the daemon answers with.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sandbox {

inline const std::string kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

struct StartRequest {
    std::string name{};
    std::string path{};
    std::vector<std::string> params{};
    std::optional<std::string> stdinText{};
    std::optional<std::string> connectionId{};
    std::optional<std::string> isApp{};
};
std::string StartProcessXml(const StartRequest& request);
std::string StopProcessXml(const std::string& name, const std::string& connectionId);
// LockScreen, UnlockScreen, LogoutScreen.
std::string TaskXml(const std::string& requestName);
// The expected frame of a lock-state change.
std::string DesktopLockedXml(bool locked);
// The token the daemon presents: SHA-256 of the desktop id text and the
// magic, its first 20 bytes in lower-case hex.
std::string IpcToken(const std::string& desktopIdText, const std::string& magic);

}  // namespace sandbox
