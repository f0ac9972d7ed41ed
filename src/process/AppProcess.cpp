#include "src/process/AppProcess.h"

#include "lib/log/Log.h"
#include "src/process/DesktopCProcessMgr.h"

AppProcess::AppProcess(const std::string& name, int rid, int flg, int outFd,
                       std::weak_ptr<DesktopCProcessMgr> owner)
    : ProcessObject(name, rid, flg, outFd), owner_(std::move(owner)) {}

AppProcess::~AppProcess() {
    shutdown();
}

pid_t AppProcess::getSavedPid() const {
    std::lock_guard guard(mutex());
    return savedPid_;
}

void AppProcess::onStarted() {
    std::lock_guard guard(mutex());
    savedPid_ = getPid();
}

void AppProcess::onExitCb() {
    const std::string name = getName();
    const pid_t pid = getSavedPid();
    LogMessage(dclog::kInfo, "DesktopCProcessMgr->%s App process %s(%d) exit.\n", "onExitCb", name.c_str(),
               pid);
    if (std::shared_ptr<DesktopCProcessMgr> owner = owner_.lock()) {
        owner->RemoveApp(*this);
    }
}
