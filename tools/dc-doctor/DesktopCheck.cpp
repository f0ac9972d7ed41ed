// The desktop id of this display, the file it comes from, and the desktop
// type and distribution as the daemon detects them.
#include <unistd.h>

#include <cstdlib>

#include "lib/config/Preference.h"
#include "src/core/CommonUtils.h"
#include "src/core/DesktopClaim.h"
#include "src/core/DesktopConstants.h"
#include "src/core/DisplayCheck.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SessionDetection.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"
#include "tools/dc-doctor/ProblemRecords.h"

namespace doctor {
namespace {

constexpr const char* kName = "desktop";

const char* NonEmpty(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Where GetDesktopId takes the id from, in its own order.
std::string IdSource() {
    if (getenv("BRV_DESKTOP_ID") != nullptr) {
        return "BRV_DESKTOP_ID";
    }
    const char* display = NonEmpty("WAYLAND_DISPLAY");
    display = display != nullptr ? display : NonEmpty("DISPLAY");
    return display != nullptr ? CommonUtils::GetDisplayFilePath(core::kDesktopIdPrefix, display) : "";
}

std::string TypeAndDistribution() {
    const std::string distribution = CommonUtils::GetDistribution();
    return "desktop type " + GetDesktopType() + ", distribution " +
           (distribution.empty() ? std::string("not recognised") : distribution);
}

// The daemon, set-user-id, reads the host's preference files only.
bool HostTrustsEnvironment() {
    return Preference_GetBool(false, desktop::kPrefTrustEnvironment) &&
           !Preference_SourceOf(desktop::kPrefTrustEnvironment).starts_with("USER");
}

// A set-user-id daemon speaks only for the desktop whose id file makes it
// this user's; empty when it would, else why not.
std::string ClaimProblem() {
    const auto daemon = FindInstalledDaemon();
    if (!daemon || daemon->effectiveUid == getuid() || HostTrustsEnvironment()) {
        return {};
    }
    core::ClaimSources sources = core::SessionClaimSources();
    sources.installedOwner = daemon->effectiveUid;
    const core::DesktopClaim claim = core::ClaimFromDisplay(sources);
    if (claim.check == core::ClaimCheck::kRefused) {
        return claim.refusal;
    }
    if (claim.check == core::ClaimCheck::kOpenDisplay && !core::CanOpenDefaultDisplay()) {
        return core::DisplayRefusal(claim, getuid());
    }
    return {};
}

}  // namespace

CheckResult CheckDesktop() {
    const std::string source = IdSource();
    if (source.empty()) {
        return Failure(kName, "neither WAYLAND_DISPLAY nor DISPLAY is set",
                       "run inside the graphical session");
    }
    ProblemRecords problems;
    const std::string id = GetDesktopId();
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
        const std::string why = problems.Text();
        return Failure(kName, "no valid desktop id in " + source + (why.empty() ? "" : ": " + why),
                       "the agent writes a DESKTOPID= line there when it creates the desktop");
    }
    if (const std::string problem = ClaimProblem(); !problem.empty()) {
        return Failure(kName, "the installed set-user-id daemon would refuse this desktop: " + problem,
                       "the agent writes the display's desktop id file for the desktop's user (owned by " +
                           core::AccountText(getuid()) + "), or the host sets " +
                           desktop::kPrefTrustEnvironment + " = \"true\" in /etc/tarvelo/config");
    }
    return Ok(kName, "desktop id " + id + " from " + source + "; " + TypeAndDistribution());
}

}  // namespace doctor
