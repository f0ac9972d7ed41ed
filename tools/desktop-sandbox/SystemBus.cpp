#include "tools/desktop-sandbox/SystemBus.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "tools/desktop-sandbox/DesktopSandbox.h"

namespace sandbox {
namespace {

// The distribution's interpreter: the one that has the Gio bindings.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kGioBindings = "/usr/lib/python3/dist-packages/gi";
constexpr const char* kStandIns = "system-bus-stand-ins.py";
constexpr auto kReadyTimeout = std::chrono::seconds(10);

}  // namespace

std::string SystemBus::Missing() {
    if (!BusDaemon::Available()) {
        return "dbus-daemon is not installed";
    }
    if (access(kPython, X_OK) != 0) {
        return std::string(kPython) + " is not installed";
    }
    if (access(kGioBindings, R_OK) != 0) {
        return "python3-gi is not installed";
    }
    return {};
}

SystemBus::SystemBus(const LoginSession& session)
    : bus_("system", BusPolicy::kOpen, std::nullopt), sessionId_(session.id) {
    const std::string errFile = configDir_.File("stand-ins.err");
    std::vector<std::string> argv = {
        kPython,      BuiltBinary(kStandIns), bus_.Address(), session.id, std::to_string(session.uid),
        session.user, session.display,        session.type};
    if (session.ignoresLock) {
        argv.push_back("--ignore-lock");
    }
    standIns_ = std::make_unique<ChildProcess>(
        ChildCommand{.argv = argv, .env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"}, .errFile = errFile});
    std::optional<std::string> ready = standIns_->ReadLine(kReadyTimeout);
    if (ready != "ready") {
        throw std::runtime_error("the system bus stand-ins did not start: " + ReadFile(errFile));
    }
}

SystemBus::~SystemBus() {
    standIns_->Stop(SIGTERM);
}

}  // namespace sandbox
