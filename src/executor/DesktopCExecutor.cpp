#include "src/executor/DesktopCExecutor.h"

#include <exception>
#include <system_error>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/SessionDetection.h"
#include "src/process/DesktopCProcessMgr.h"

DesktopCExecutor::DesktopCExecutor() {
    Init();
    processMgr_ = DesktopCProcessMgr::getInstance();
}

DesktopCExecutor::DesktopCExecutor(std::shared_ptr<DesktopCProcessMgr> processMgr)
    : processMgr_(std::move(processMgr)) {
    Init();
}

DesktopCExecutor::~DesktopCExecutor() {
    {
        std::lock_guard guard(lock_);
        stopFlag_ = true;
        wakeUp_.notify_one();
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    processMgr_.reset();
}

void DesktopCExecutor::Init() {
    desktopInfo_.distribution = CommonUtils::GetDistribution();
    desktopInfo_.desktopType = GetDesktopType();
    worker_ = std::thread(&DesktopCExecutor::ScheduleTask, this);
}

void DesktopCExecutor::Exec(std::shared_ptr<DesktopCTask> task, bool inQueue) {
    if (!task) {
        LogMessage(dclog::kError, "DesktopCExecutor->%s No task given, nothing to run\n", "Exec");
        return;
    }
    if (inQueue) {
        std::lock_guard guard(lock_);
        taskQueue_.push_back(std::move(task));
        wakeUp_.notify_one();
        return;
    }
    // The thread gets its own copy of the desktop information: it is not
    // waited for and may outlive this executor.
    std::thread(&DesktopCExecutor::RunTask, task, desktopInfo_).detach();
    LogMessage(dclog::kInfo, "DesktopCExecutor->%s Task %s executed directly\n", "Exec",
               task->GetName().c_str());
}

void DesktopCExecutor::ScheduleTask() {
    for (;;) {
        std::shared_ptr<DesktopCTask> task = NextQueuedTask();
        if (!task) {
            return;
        }
        try {
            std::thread(&DesktopCExecutor::RunTask, task, std::cref(desktopInfo_)).join();
        } catch (const std::system_error& error) {
            LogMessage(dclog::kError, "DesktopCExecutor->%s Task %s not run: %s\n", "ScheduleTask",
                       task->GetName().c_str(), error.what());
            continue;
        }
        LogMessage(dclog::kInfo, "DesktopCExecutor->%s Task %s executed in queue\n", "ScheduleTask",
                   task->GetName().c_str());
        std::lock_guard guard(lock_);
        if (stopFlag_) {
            return;
        }
    }
}

// The next queued task, or none once the executor is stopping. Tasks still
// queued are served before the stop flag is looked at again.
std::shared_ptr<DesktopCTask> DesktopCExecutor::NextQueuedTask() {
    std::unique_lock guard(lock_);
    if (stopFlag_) {
        return nullptr;
    }
    while (taskQueue_.empty()) {
        if (stopFlag_) {
            return nullptr;
        }
        wakeUp_.wait(guard);
    }
    std::shared_ptr<DesktopCTask> task = std::move(taskQueue_.front());
    taskQueue_.pop_front();
    return task;
}

void DesktopCExecutor::RunTask(const std::shared_ptr<DesktopCTask>& task, const DesktopInfo& info) {
    try {
        task->Execute(info);
    } catch (const std::exception& error) {
        LogMessage(dclog::kError, "DesktopCExecutor->%s Task %s failed: %s\n", "RunTask",
                   task->GetName().c_str(), error.what());
    }
}

void DesktopCExecutor::StartAppProcess(const std::string& name, const std::string& path,
                                       const std::vector<std::string>& params, int connectionId) {
    if (!CommonUtils::FileExists(path)) {
        LogMessage(dclog::kWarning, "DesktopCExecutor->%s File path %s not found\n", "StartAppProcess",
                   path.c_str());
        return;
    }
    processMgr_->StartAppProcess(name, path, params, connectionId);
}

void DesktopCExecutor::StartProcess(const std::string& name, const std::string& path,
                                    const std::vector<std::string>& params, const std::string& stdinStr,
                                    int connectionId) {
    if (!CommonUtils::FileExists(path)) {
        LogMessage(dclog::kWarning,
                   "DesktopCExecutor->%s File path %s not found, give up starting this process\n",
                   "StartProcess", path.c_str());
        return;
    }
    processMgr_->StartProcess(name, path, params, stdinStr, connectionId);
}

void DesktopCExecutor::StopProcess(const std::string& name) {
    processMgr_->StopProcess(name);
}

void DesktopCExecutor::StopProcess(const std::string& name, int connectionId) {
    processMgr_->StopProcess(name, connectionId);
}

void DesktopCExecutor::StopAllProcess() {
    processMgr_->StopAllProcess();
}
