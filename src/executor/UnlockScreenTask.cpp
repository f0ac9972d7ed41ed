#include "src/executor/UnlockScreenTask.h"

#include "src/core/CommonUtils.h"
#include "src/core/DesktopConstants.h"

void UnlockScreenTask::Execute(const DesktopInfo& info) {
    std::string command(desktop::kTaskScriptPath);
    command += " -a unlock -d " + info.distribution + " -t " + info.desktopType;
    CommonUtils::ExecShell(command, true);
}

std::string UnlockScreenTask::GetName() {
    return "UnlockScreen";
}
