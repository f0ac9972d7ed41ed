#include "src/executor/LogoutDesktopTask.h"

#include "src/core/CommonUtils.h"
#include "src/core/DesktopConstants.h"

void LogoutDesktopTask::Execute(const DesktopInfo& info) {
    std::string command(desktop::kTaskScriptPath);
    command += " -a logout -t " + info.desktopType;
    CommonUtils::ExecShell(command, true);
}

std::string LogoutDesktopTask::GetName() {
    return "LogoutDesktop";
}
