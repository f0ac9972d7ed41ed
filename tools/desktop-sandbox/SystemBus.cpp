#include "tools/desktop-sandbox/SystemBus.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tools/desktop-sandbox/DesktopSandbox.h"

namespace sandbox {
namespace {

constexpr const char* kDbusDaemonPath = "/usr/bin/dbus-daemon";
// The distribution's interpreter: the one that has the Gio bindings.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kGioBindings = "/usr/lib/python3/dist-packages/gi";
constexpr const char* kStandIns = "system-bus-stand-ins.py";
constexpr auto kReadyTimeout = std::chrono::seconds(10);

const std::string kBusConfig =
    "<busconfig>\n"
    "  <type>system</type>\n"
    "  <listen>unix:tmpdir=/tmp</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "    <allow user=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

}  // namespace

std::string SystemBus::Missing() {
    for (const std::string& path : {std::string(kDbusDaemonPath), std::string(kPython)}) {
        if (access(path.c_str(), X_OK) != 0) {
            return path + " is not installed";
        }
    }
    if (access(kGioBindings, R_OK) != 0) {
        return "python3-gi is not installed";
    }
    return {};
}

SystemBus::SystemBus(const LoginSession& session) : sessionId_(session.id) {
    std::string config = configDir_.Write("system-bus.conf", kBusConfig);
    daemon_ = std::make_unique<ChildProcess>(ChildCommand{
        .argv = {kDbusDaemonPath, "--nofork", "--nopidfile", "--config-file=" + config, "--print-address=1"},
        .errFile = "/dev/null"});
    std::optional<std::string> address = daemon_->ReadLine(kReadyTimeout);
    if (!address || address->empty()) {
        throw std::runtime_error("the system bus did not report an address");
    }
    address_ = *address;
    const std::string errFile = configDir_.File("stand-ins.err");
    standIns_ = std::make_unique<ChildProcess>(
        ChildCommand{.argv = {kPython, BuiltBinary(kStandIns), address_, session.id,
                              std::to_string(session.uid), session.user, session.display, session.type},
                     .env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"},
                     .errFile = errFile});
    std::optional<std::string> ready = standIns_->ReadLine(kReadyTimeout);
    if (ready != "ready") {
        throw std::runtime_error("the system bus stand-ins did not start: " + ReadFile(errFile));
    }
}

SystemBus::~SystemBus() {
    standIns_->Stop(SIGTERM);
    daemon_->Stop(SIGTERM);
}

}  // namespace sandbox
