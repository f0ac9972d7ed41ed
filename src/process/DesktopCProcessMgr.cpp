#include "src/process/DesktopCProcessMgr.h"

#include <algorithm>

#include "lib/log/Log.h"
#include "src/process/AppProcess.h"
#include "src/process/RdeProcess.h"

std::shared_ptr<DesktopCProcessMgr> DesktopCProcessMgr::getInstance() {
    static const std::shared_ptr<DesktopCProcessMgr> instance = std::make_shared<DesktopCProcessMgr>();
    return instance;
}

DesktopCProcessMgr::DesktopCProcessMgr() = default;

DesktopCProcessMgr::~DesktopCProcessMgr() {
    StopAllProcess();
}

void DesktopCProcessMgr::StartProcess(const std::string& name, const std::string& path,
                                      std::vector<std::string> params, const std::string& stdinStr,
                                      int connectionId) {
    std::lock_guard guard(mapLock_);
    auto found = processes_.find(name);
    const bool isNew = found == processes_.end();
    std::shared_ptr<RdeProcess> process;
    if (isNew) {
        process = std::make_shared<RdeProcess>(name, connectionId, -1);
    } else {
        process = found->second;
        if (process->getPid() >= 1) {
            stopOne(process);
        }
        process->setRid(connectionId);
    }
    int flg = ProcessObject::kStdinInherit;
    if (!stdinStr.empty()) {
        process->setStdinStr(stdinStr);
        flg = ProcessObject::kStdinPipe;
    }
    if (!process->start(path, params, {}, flg)) {
        // A text that reached no child must not wait for a later one.
        process->setStdinStr("");
        return;
    }
    LogMessage(dclog::kInfo, "DesktopCProcessMgr->%s Start process %s\n", "StartProcess", name.c_str());
    if (isNew) {
        processes_.emplace(name, std::move(process));
    }
}

void DesktopCProcessMgr::StartAppProcess(const std::string& name, const std::string& path,
                                         std::vector<std::string> params, int connectionId) {
    std::lock_guard guard(appLock_);
    const bool present = std::any_of(apps_.begin(), apps_.end(), [&](const std::shared_ptr<AppProcess>& app) {
        return app->getName() == name && app->getPath() == path;
    });
    LogMessage(dclog::kInfo, "DesktopCProcessMgr->%s App process name %s, path %s, is_present %d\n",
               "StartAppProcess", name.c_str(), path.c_str(), present ? 1 : 0);
    if (present) {
        return;
    }
    auto app =
        std::make_shared<AppProcess>(name, connectionId, ProcessObject::kStdinInherit, -1, weak_from_this());
    if (!app->start(path, params, {}, ProcessObject::kStdinInherit)) {
        return;
    }
    LogMessage(dclog::kDebug, "DesktopCProcessMgr->%s App process %s is started with pid %d\n",
               "StartAppProcess", name.c_str(), app->getPid());
    apps_.push_back(std::move(app));
}

void DesktopCProcessMgr::stopOne(const std::shared_ptr<RdeProcess>& process) {
    if (process->getPid() < 1) {
        return;
    }
    process->stop(true, ProcessObject::kStopTimeoutMs);
    LogMessage(dclog::kDebug, "DesktopCProcessMgr->%s Stop process %s with conntion id %d\n", "StopProcess",
               process->getName().c_str(), process->getRid());
}

void DesktopCProcessMgr::StopProcess(const std::string& name) {
    std::lock_guard guard(mapLock_);
    auto found = processes_.find(name);
    if (found != processes_.end()) {
        stopOne(found->second);
    }
}

void DesktopCProcessMgr::StopProcess(const std::string& name, int connectionId) {
    std::lock_guard guard(mapLock_);
    auto found = processes_.find(name);
    if (found != processes_.end() && found->second->getRid() == connectionId) {
        stopOne(found->second);
    }
}

void DesktopCProcessMgr::StopAllProcess() {
    LogMessage(dclog::kInfo, "DesktopCProcessMgr->%s Stop all processes\n", "StopAllProcess");
    stopAllNamed();
    stopAllApps();
}

void DesktopCProcessMgr::stopAllNamed() {
    std::lock_guard guard(mapLock_);
    for (auto& [name, process] : processes_) {
        stopOne(process);
    }
    processes_.clear();
}

void DesktopCProcessMgr::stopAllApps() {
    std::list<std::shared_ptr<AppProcess>> stopped;
    {
        std::lock_guard guard(appLock_);
        for (const std::shared_ptr<AppProcess>& app : apps_) {
            app->stop(true, ProcessObject::kStopTimeoutMs);
        }
        stopped.swap(apps_);
    }
    // Dropped after the lock: an application that survived its stop is
    // stopped again by its destructor, and its exit hook must be able to
    // take the lock in RemoveApp meanwhile.
}

void DesktopCProcessMgr::RemoveApp(const AppProcess& app) {
    LogMessage(dclog::kInfo, "DesktopCProcessMgr->%s Remove app process with pid(%d).\n", "RemoveApp",
               app.getSavedPid());
    std::lock_guard guard(appLock_);
    apps_.remove_if([&app](const std::shared_ptr<AppProcess>& entry) { return entry.get() == &app; });
}
