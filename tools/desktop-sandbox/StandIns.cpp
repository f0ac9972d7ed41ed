#include "tools/desktop-sandbox/StandIns.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tools/desktop-sandbox/BusDaemon.h"
#include "tools/desktop-sandbox/DesktopSandbox.h"

namespace sandbox {
namespace {

// The distribution's interpreter: the one that has the Gio bindings.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kGioBindings = "/usr/lib/python3/dist-packages/gi";
constexpr const char* kStandIns = "bus-stand-ins.py";
constexpr auto kStandInsReadyTimeout = std::chrono::seconds(10);

}  // namespace

std::unique_ptr<ChildProcess> StartStandIns(const std::vector<std::string>& args,
                                            const std::string& errFile) {
    std::vector<std::string> argv = {kPython, BuiltBinary(kStandIns)};
    argv.insert(argv.end(), args.begin(), args.end());
    auto standIns = std::make_unique<ChildProcess>(
        ChildCommand{.argv = argv, .env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"}, .errFile = errFile});
    if (standIns->ReadLine(kStandInsReadyTimeout) != "ready") {
        throw std::runtime_error("the " + args.front() + " stand-ins did not start: " + ReadFile(errFile));
    }
    return standIns;
}

std::string StandInsMissing() {
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

}  // namespace sandbox
