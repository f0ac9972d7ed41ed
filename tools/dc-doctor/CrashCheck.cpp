// Whether a crash of the daemon would leave a core an administrator can
// send in: the panic setting, the core size limit, the kernel's pattern,
// and for a set-user-id daemon the kernel's rule for such processes.
#include <sys/resource.h>

#include <unistd.h>

#include <fstream>

#include "lib/config/Preference.h"
#include "lib/sig/Panic.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"

namespace doctor {
namespace {

constexpr const char* kName = "crashes";

std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string Limit(rlim_t value) {
    return value == RLIM_INFINITY ? "unlimited" : std::to_string(value) + " bytes";
}

std::string Destination(const std::string& pattern) {
    if (pattern.starts_with("|")) {
        return "cores are handed to " + pattern.substr(1);
    }
    return "cores are written as " + (pattern.empty() ? std::string("core") : pattern) +
           (pattern.starts_with("/") ? "" : " in the daemon's working directory");
}

// A set-user-id process that gave up its rights is dumpable only where the
// kernel allows it for such processes; the daemon's own coreDumpFlags are
// not honoured in a set-user-id start.
bool SetUserIdBlocksCore() {
    const auto daemon = FindInstalledDaemon();
    return daemon && daemon->setUserId && daemon->owner != getuid() &&
           FirstLine("/proc/sys/fs/suid_dumpable") == "0";
}

}  // namespace

CheckResult CheckCrashes() {
    if (!Panic_GetSettings().coreDumpOnPanic) {
        return Warning(
            kName,
            "coreDumpOnPanic is off (" + Preference_SourceOf("coreDumpOnPanic") + "): a crash leaves no core",
            "remove coreDumpOnPanic = false to get cores of crashes");
    }
    rlimit limit{};
    getrlimit(RLIMIT_CORE, &limit);
    if (limit.rlim_cur == 0) {
        return Warning(
            kName,
            "the core size limit is 0 (hard limit " + Limit(limit.rlim_max) + "): a crash leaves no core",
            "raise it where the session starts the daemon (ulimit -c unlimited, LimitCORE=infinity)");
    }
    const std::string pattern = FirstLine("/proc/sys/kernel/core_pattern");
    if (SetUserIdBlocksCore()) {
        return Warning(kName, "the daemon is set-user-id and fs.suid_dumpable is 0: a crash leaves no core",
                       "set fs.suid_dumpable = 2 with a core_pattern that is an absolute path or a pipe");
    }
    return Ok(kName, "core size limit " + Limit(limit.rlim_cur) + "; " + Destination(pattern));
}

}  // namespace doctor
