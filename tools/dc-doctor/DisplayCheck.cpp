// The X display the daemon opens once at start-up; a Wayland session has
// none to check.
#include <cstdlib>

#include "src/core/DisplayCheck.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/ProblemRecords.h"

namespace doctor {

CheckResult CheckDisplay() {
    constexpr const char* kName = "display";
    if (const char* wayland = getenv("WAYLAND_DISPLAY")) {
        return Ok(kName,
                  std::string("Wayland session (WAYLAND_DISPLAY=") + wayland + "), no X display to open");
    }
    const char* display = getenv("DISPLAY");
    const std::string name = display != nullptr ? display : "(unset)";
    ProblemRecords problems;
    if (!core::CanOpenDefaultDisplay()) {
        const std::string why = problems.Text();
        return Failure(kName, "cannot open X display " + name + (why.empty() ? "" : ": " + why),
                       "start the daemon inside the session, with its DISPLAY and X authority");
    }
    return Ok(kName, "X display " + name + " opens");
}

}  // namespace doctor
