// Every check of a working desktop, in the order the daemon meets each
// precondition at start-up and afterwards. Each looks at the system as the
// daemon would see it from this session and changes nothing, except that
// the session-bus check briefly opens a monitor of its own.
#pragma once

#include "tools/dc-doctor/CheckResult.h"

namespace doctor {

CheckResult CheckDaemon();
CheckResult CheckIdentity();
CheckResult CheckDesktop();
CheckResult CheckDisplay();
CheckResult CheckService();
CheckResult CheckSessionBus();
CheckResult CheckTaskScript();
CheckResult CheckLog();
CheckResult CheckCrashes();
CheckResult CheckLeftovers();

}  // namespace doctor
