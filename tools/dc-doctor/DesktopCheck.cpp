// The desktop id of this display, the file it comes from, and the desktop
// type and distribution as the daemon detects them.
#include <cstdlib>

#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SessionDetection.h"
#include "tools/dc-doctor/Checks.h"
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
    return Ok(kName, "desktop id " + id + " from " + source + "; " + TypeAndDistribution());
}

}  // namespace doctor
