// The single owner of every child process the controller starts for the
// agent: named processes (one per name, restarted by a new start of the same
// name) and application processes (one per distinct name and path, forgotten
// when they exit).
//
// Threads: start and stop requests arrive on the request-handling thread and
// block it while they run; exit hooks of application processes call
// RemoveApp from their own short-lived threads. The map lock and the app lock
// are never held together. Failures are logged, nothing is returned.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class AppProcess;
class RdeProcess;

class DesktopCProcessMgr : public std::enable_shared_from_this<DesktopCProcessMgr> {
  public:
    // The process-wide manager, created on first use and destroyed at exit.
    static std::shared_ptr<DesktopCProcessMgr> getInstance();

    // Public so tests can own a private manager; the daemon uses getInstance.
    DesktopCProcessMgr();
    // Stops every child still owned and waits for it (up to about 4 s each).
    virtual ~DesktopCProcessMgr();
    DesktopCProcessMgr(const DesktopCProcessMgr&) = delete;
    DesktopCProcessMgr& operator=(const DesktopCProcessMgr&) = delete;

    virtual void StartAppProcess(const std::string& name, const std::string& path,
                                 std::vector<std::string> params, int connectionId);
    virtual void StartProcess(const std::string& name, const std::string& path,
                              std::vector<std::string> params, const std::string& stdinStr, int connectionId);
    virtual void StopProcess(const std::string& name);
    virtual void StopProcess(const std::string& name, int connectionId);
    virtual void StopAllProcess();

    // Forgets that application process. By identity, not by pid: by the time
    // its exit hook runs, a new application may have the same pid.
    void RemoveApp(const AppProcess& app);

  private:
    void stopOne(const std::shared_ptr<RdeProcess>& process);
    void stopAllNamed();
    void stopAllApps();

    std::mutex appLock_;
    std::mutex mapLock_;
    std::unordered_map<std::string, std::shared_ptr<RdeProcess>> processes_;
    std::list<std::shared_ptr<AppProcess>> apps_;
};
