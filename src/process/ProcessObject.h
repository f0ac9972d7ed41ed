// One child process of the controller: its executable, argument and
// environment lists, an optional standard-input pipe, the thread that
// watches it, and the SIGTERM-then-SIGKILL stop.
//
// Ownership: always create through std::make_shared. The exit hook runs on a
// short-lived thread that holds its own shared reference, so the object
// lives until onExitCb has returned even when its owner dropped it. An
// object destroyed while its child runs stops the child and skips the hook.
//
// Threads: any thread may call the public operations. One monitor thread per
// child runs onStarted and reaps the child; onExitCb runs on its own thread
// after the child was reaped. The recursive lock guards every field; pid is
// cleared under the same lock hold in which the child is reaped, so a pid
// read under the lock never names a reaped (and possibly reused) process.
//
// Errors: operations return false (or nothing) and have logged one record.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lib/log/UniqueFd.h"

class ProcessObject : public std::enable_shared_from_this<ProcessObject> {
  public:
    // Standard-input modes: inherit the controller's, or read from a pipe
    // that sendMessage writes to.
    static constexpr int kStdinInherit = 0;
    static constexpr int kStdinPipe = 2;
    // Every stop in this system allows this long for each of SIGTERM and SIGKILL.
    static constexpr int kStopTimeoutMs = 2000;

    ProcessObject(const std::string& name, int rid, int flg, int outFd);
    virtual ~ProcessObject();
    ProcessObject(const ProcessObject&) = delete;
    ProcessObject& operator=(const ProcessObject&) = delete;

    // Stops the child (waiting) and starts it again with the stored lists.
    virtual bool restart();
    virtual bool restart(const std::string& path, const std::vector<std::string>& params,
                         const std::vector<std::string>& envs, int flags);
    // SIGTERM; when waiting, SIGKILL after timeoutMs and give up after
    // another timeoutMs (timeoutMs <= 0 waits for the exit). Must not be
    // called with wait = true while the caller holds this object's lock.
    virtual void stop(bool wait, int timeoutMs);
    virtual void onStarted();
    virtual void onExitCb();
    // A start found the child still running and did nothing; called under
    // the object's lock.
    virtual void onStartSkipped() {}
    // Writes the whole text to the child's standard-input pipe.
    virtual bool sendMessage(const std::string& text);

    // envs: "KEY=VALUE" sets KEY in the child, "KEY" removes it. A running
    // object only logs and returns true. Both starts first wait for the exit
    // hook of the previous child to return (so they must not be called from
    // onExitCb): the hook cleans up after that child, and must not catch
    // the new one.
    bool start(const std::string& path, const std::vector<std::string>& params,
               const std::vector<std::string>& envs, int flags);
    bool startProcess();

    std::string getName() const;
    std::string getPath() const;
    pid_t getPid() const;
    int getRid() const;

  protected:
    void setRidLocked(int rid);
    void setOutFdLocked(int outFd);
    std::recursive_mutex& mutex() const { return lock_; }
    // Stops the child and joins the monitor thread. The most derived
    // destructor calls it first, so that the monitor thread never runs a
    // hook of a half-destroyed object; later calls do nothing. A child that
    // outlives its stop (it cannot be reaped) is left to its monitor, which
    // then reaps it without touching the object: the wait is bounded by the
    // stop.
    void shutdown();
    void logProc(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

  private:
    struct MonitorLink;

    // "Proc(name), pid(p), rid(r), flg(f): ", the start of every record.
    std::string logPrefix() const;
    std::string prefixFor(pid_t pid) const;
    static void monitor(ProcessObject* self, pid_t child, std::shared_ptr<MonitorLink> link);
    void watchStart(pid_t child);
    void finishThroughObject(pid_t child, int waitError, MonitorLink& link);
    // Hands the monitors whose child is still unreaped the reaping; true
    // when the current monitor was among them.
    bool abandonMonitors();
    // When the child was the current one, the exit hook is due: returns the
    // record prefix it logs a failure with.
    std::optional<std::string> finishChild(pid_t child, int waitError);
    void startExitHook(const std::string& prefix);
    void runExitHook();
    void endExitHook();
    void waitForExitHook();
    bool launch();
    void retireMonitorThread();
    void joinOrDetachMonitor(std::thread monitorThread, bool abandoned);
    bool startMonitorThread(pid_t child);
    bool createPipe();
    void closePipeRead();
    void closePipeWrite();
    void setArgsAndEnvs(const std::vector<std::string>& params, const std::vector<std::string>& envs);

    int rid_;
    std::string name_;
    std::string path_;
    pid_t pid_ = -1;
    int flg_;
    std::vector<std::string> args_;  // element 0 is the name: the child's argv[0]
    std::vector<std::string> envs_;
    mutable std::recursive_mutex lock_;
    std::condition_variable_any exited_;  // signalled when pid_ is cleared
    std::thread monitorThread_;
    std::shared_ptr<MonitorLink> monitorLink_;                    // that of monitorThread_
    std::vector<std::shared_ptr<MonitorLink>> detachedMonitors_;  // restarts left them on a surviving child
    bool exitHookDue_ = false;  // from the reaping of a child until its onExitCb returned
    bool shutDown_ = false;
    dclog::UniqueFd pipeRead_;
    dclog::UniqueFd pipeWrite_;
    dclog::UniqueFd pidFd_;  // the running child, for writers that wait on the pipe
    int outFd_;
};
