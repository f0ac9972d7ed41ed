// The agent's task script, which does every lock, unlock and logout, and
// whether logind is there for it to use first.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "tools/dc-doctor/Checks.h"

namespace doctor {
namespace {

constexpr const char* kName = "task-script";
constexpr const char* kScript = "/usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh";

bool OnPath(const std::string& program) {
    const char* path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// logind runs where systemd is the init system; loginctl alone is not enough.
std::string Logind() {
    const bool loginctl = OnPath("loginctl");
    const bool booted = access("/run/systemd/system", F_OK) == 0;
    if (loginctl && booted) {
        return "loginctl and logind are available";
    }
    return std::string(loginctl ? "loginctl is installed but logind does not run"
                                : "loginctl is not installed") +
           ", so only the desktop's own screen saver and session manager are used";
}

}  // namespace

CheckResult CheckTaskScript() {
    struct stat file {};
    if (stat(kScript, &file) != 0) {
        return Failure(kName, std::string("no task script at ") + kScript,
                       "reinstall the package: without it nothing can lock, unlock or log out");
    }
    if (!S_ISREG(file.st_mode) || access(kScript, X_OK) != 0) {
        return Failure(kName, std::string(kScript) + " is not executable for this user",
                       std::string("chmod 0755 ") + kScript);
    }
    return Ok(kName, std::string(kScript) + " is executable; " + Logind());
}

}  // namespace doctor
