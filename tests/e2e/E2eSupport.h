// Shared pieces of the end-to-end tests: request texts as the agent's
// service sends them, and the waits every case starts with.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/DesktopSession.h"

namespace e2e {

using namespace std::chrono_literals;

// Generous: every wait ends as soon as its event happens.
inline constexpr std::chrono::milliseconds kWait = 20s;

inline const std::string kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

std::string XmlEscape(const std::string& text);

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
std::string TaskXml(const std::string& requestName);

// Waits for the next notification frame whose payload names notification;
// returns its payload (empty when none came).
std::string WaitForNotification(dctest::IpcService& service, const std::string& notification);

// The expected frame of a lock-state change.
std::string DesktopLockedXml(bool locked);

// Starts the daemon with the session's usual environment and waits until the
// service has received its DesktopLogged notification.
bool StartAndConnect(dctest::DesktopSession& session, const std::vector<std::string>& extraEnv = {});

bool ProcessAlive(pid_t pid);

}  // namespace e2e
