// The one object through which requests act on the desktop: it runs desktop
// tasks, either directly on a detached thread each or one after another from
// a FIFO queue drained by its worker thread, and it fronts the process
// manager (start requests are checked for a readable executable first).
//
// Threads: every public operation may be called from any thread. Process
// operations run synchronously on the caller's thread under the manager's
// locks. The executor's own lock guards only the queue and the stop flag and
// is never held while a task runs or the manager is called.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/executor/DesktopCTask.h"
#include "src/executor/DesktopInfo.h"

class DesktopCProcessMgr;

class DesktopCExecutor {
  public:
    // Uses the process-wide manager.
    DesktopCExecutor();
    explicit DesktopCExecutor(std::shared_ptr<DesktopCProcessMgr> processMgr);
    // Waits for a queued task that is running; drops queued tasks unrun.
    // Direct tasks are not waited for: each owns its task and a copy of the
    // desktop information.
    virtual ~DesktopCExecutor();
    DesktopCExecutor(const DesktopCExecutor&) = delete;
    DesktopCExecutor& operator=(const DesktopCExecutor&) = delete;

    // Throws std::system_error when a direct task's thread cannot be made.
    virtual void Exec(std::shared_ptr<DesktopCTask> task, bool inQueue);
    virtual void StartAppProcess(const std::string& name, const std::string& path,
                                 const std::vector<std::string>& params, int connectionId);
    virtual void StartProcess(const std::string& name, const std::string& path,
                              const std::vector<std::string>& params, const std::string& stdinStr,
                              int connectionId);
    virtual void StopProcess(const std::string& name);
    virtual void StopProcess(const std::string& name, int connectionId);
    virtual void StopAllProcess();

  private:
    void Init();
    void ScheduleTask();
    std::shared_ptr<DesktopCTask> NextQueuedTask();
    static void RunTask(const std::shared_ptr<DesktopCTask>& task, const DesktopInfo& info);

    DesktopInfo desktopInfo_;
    bool stopFlag_ = false;
    std::thread worker_;
    std::mutex lock_;
    std::deque<std::shared_ptr<DesktopCTask>> taskQueue_;
    std::condition_variable wakeUp_;
    std::shared_ptr<DesktopCProcessMgr> processMgr_;
};
