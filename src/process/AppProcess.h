// An application process started for the agent: started once per distinct
// name and path, and removed from its manager's list when it exits.
//
// Ownership and threads as for ProcessObject. The manager is held weakly: an
// exit that happens while the manager is being destroyed has nothing left
// to remove itself from.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "src/process/ProcessObject.h"

class DesktopCProcessMgr;

class AppProcess : public ProcessObject {
  public:
    AppProcess(const std::string& name, int rid, int flg, int outFd, std::weak_ptr<DesktopCProcessMgr> owner);
    ~AppProcess() override;

    // The pid of the child as recorded when it started; it stays readable
    // after the child was reaped (when getPid() is already -1).
    pid_t getSavedPid() const;

    void onStarted() override;
    void onExitCb() override;

  private:
    pid_t savedPid_ = -1;  // guarded by the ProcessObject lock
    std::weak_ptr<DesktopCProcessMgr> owner_;
};
