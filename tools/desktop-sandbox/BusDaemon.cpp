#include "tools/desktop-sandbox/BusDaemon.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace sandbox {
namespace {

constexpr const char* kDbusDaemonPath = "/usr/bin/dbus-daemon";
constexpr auto kReadyTimeout = std::chrono::seconds(10);

// An abstract socket, named after the bus's own temp dir so that it is
// unique: it needs no file, so a process with a /tmp of its own (a
// set-user-id daemon, a tool run as the desktop user) reaches it too.
std::string BusConfig(const std::string& type, BusPolicy policy, const std::string& socketName) {
    std::string config = "<busconfig>\n  <type>" + type + "</type>\n  <listen>unix:abstract=" + socketName +
                         "</listen>\n"
                         "  <auth>EXTERNAL</auth>\n"
                         "  <policy context=\"default\">\n"
                         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                         "    <allow eavesdrop=\"true\"/>\n"
                         "    <allow own=\"*\"/>\n"
                         "    <allow user=\"*\"/>\n";
    if (policy == BusPolicy::kRefuseBecomeMonitor) {
        config +=
            "    <deny send_destination=\"org.freedesktop.DBus\""
            " send_interface=\"org.freedesktop.DBus.Monitoring\"/>\n";
    }
    return config + "  </policy>\n</busconfig>\n";
}

}  // namespace

bool BusDaemon::Available() {
    return access(kDbusDaemonPath, X_OK) == 0;
}

BusDaemon::BusDaemon(const std::string& type, BusPolicy policy, std::optional<uid_t> owner) {
    std::string config =
        configDir_.Write(type + "-bus.conf", BusConfig(type, policy, configDir_.File("bus")));
    std::filesystem::permissions(configDir_.Path(), std::filesystem::perms(0755));
    daemon_ = std::make_unique<ChildProcess>(ChildCommand{
        .argv = {kDbusDaemonPath, "--nofork", "--nopidfile", "--config-file=" + config, "--print-address=1"},
        .uid = owner,
        .gid = owner,
        .errFile = "/dev/null"});
    std::optional<std::string> address = daemon_->ReadLine(kReadyTimeout);
    if (!address || address->empty()) {
        throw std::runtime_error("the " + type + " bus did not report an address");
    }
    address_ = *address;
}

}  // namespace sandbox
