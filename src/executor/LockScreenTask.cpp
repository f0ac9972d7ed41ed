#include "src/executor/LockScreenTask.h"

#include "src/core/CommonUtils.h"
#include "src/core/DesktopConstants.h"

void LockScreenTask::Execute(const DesktopInfo& info) {
    std::string command(desktop::kTaskScriptPath);
    command += " -a lock -d " + info.distribution;
    CommonUtils::ExecShell(command, true);
}

std::string LockScreenTask::GetName() {
    return "LockScreen";
}
