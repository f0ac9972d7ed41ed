// The installed daemon itself: beside this doctor, as the packages put
// them, and of the doctor's own version. Both packages come from one build,
// and every other check looks at the desktop the way that build's daemon
// does.
#include "src/logging/ProductVersion.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"

namespace doctor {

CheckResult CheckDaemon() {
    constexpr const char* kName = "daemon";
    const std::string own(product::VersionText());
    const auto daemon = FindInstalledDaemon();
    if (!daemon) {
        return Failure(kName, "no DesktopController beside this program",
                       "install the desktopcontroller package of version " + own);
    }
    const std::string fix = "install desktopcontroller and desktopcontroller-tools of one version";
    if (daemon->version.empty()) {
        return Warning(kName, daemon->path + " carries no version; this dc-doctor is version " + own, fix);
    }
    if (daemon->version != own) {
        return Warning(kName,
                       daemon->path + " is version " + daemon->version + ", this dc-doctor version " + own +
                           ": the checks may not be the ones that daemon makes",
                       fix);
    }
    const std::string runsAs =
        daemon->setUserId ? "set-user-id to " + UserName(daemon->owner) : "not set-user-id";
    return Ok(kName,
              daemon->path + " is version " + daemon->version + ", the same as this dc-doctor, " + runsAs);
}

}  // namespace doctor
