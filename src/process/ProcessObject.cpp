#include "src/process/ProcessObject.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <optional>
#include <system_error>

#include "lib/log/Log.h"
#include "src/process/ChildLauncher.h"
#include "src/process/PipeWriter.h"

namespace {

constexpr const char* kStartSig =
    "bool ProcessObject::start(const std::string&, const std::vector<std::string>&, "
    "const std::vector<std::string>&, int)";
constexpr const char* kStartProcessSig = "bool ProcessObject::startProcess()";
constexpr const char* kMonitorSig = "void ProcessObject::monitor(pid_t)";
constexpr const char* kOnStartedSig = "virtual void ProcessObject::onStarted()";
constexpr const char* kOnExitCbSig = "virtual void ProcessObject::onExitCb()";

std::string ErrorText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

// Waits for the child's exit without reaping it: it stays a zombie, so its
// pid cannot be reused before it is reaped under the object's lock. Returns
// 0 once it has exited, else the errno of the wait.
int WaitWithoutReaping(pid_t child, int options) {
    siginfo_t info = {};
    int result;
    do {
        result = waitid(P_PID, child, &info, WEXITED | WNOWAIT | options);
    } while (result < 0 && errno == EINTR);
    if (result == 0 && info.si_pid == 0) {
        return EAGAIN;
    }
    return result == 0 ? 0 : errno;
}

// Reaps the exited child and logs how it ended; waitError is the errno of a
// failed wait for it, 0 when it has exited.
void ReapChild(pid_t child, int waitError, const std::string& name, const std::string& prefix) {
    int status = 0;
    pid_t reaped = -1;
    if (waitError == 0) {
        do {
            reaped = waitpid(child, &status, 0);
        } while (reaped < 0 && errno == EINTR);
        waitError = reaped < 0 ? errno : 0;
    }
    if (waitError != 0) {
        LogMessage(dclog::kDebug, "%sFailed to wait %s(%d): %s\n", prefix.c_str(), name.c_str(), child,
                   ErrorText(waitError).c_str());
    } else if (WIFEXITED(status)) {
        LogMessage(dclog::kInfo, "%sProcess %s(%d) exited, status=%d\n", prefix.c_str(), name.c_str(), reaped,
                   WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        LogMessage(dclog::kInfo, "%skilled by signal %d\n", prefix.c_str(), WTERMSIG(status));
    }
}

}  // namespace

// Shared by an object and the thread that watches one of its children, so
// that the thread can outlive the object. The thread holds the lock while it
// uses the object; once the object is gone it reaps the child alone.
struct ProcessObject::MonitorLink {
    std::mutex lock;
    pid_t child = -1;
    bool abandoned = false;             // the object is gone: reap alone, with this prefix and name
    std::atomic<bool> finished{false};  // the child was reaped through the object
    std::string prefix;
    std::string name;
};

ProcessObject::ProcessObject(const std::string& name, int rid, int flg, int outFd)
    : rid_(rid), name_(name), flg_(flg), args_{name}, outFd_(outFd) {}

ProcessObject::~ProcessObject() {
    shutdown();
}

void ProcessObject::shutdown() {
    {
        std::lock_guard guard(lock_);
        if (shutDown_) {
            return;
        }
        shutDown_ = true;
    }
    stop(true, kStopTimeoutMs);
    const bool abandoned = abandonMonitors();
    std::thread monitorThread;
    {
        std::lock_guard guard(lock_);
        monitorThread = std::move(monitorThread_);
    }
    joinOrDetachMonitor(std::move(monitorThread), abandoned);
}

bool ProcessObject::abandonMonitors() {
    std::vector<std::shared_ptr<MonitorLink>> links;
    std::shared_ptr<MonitorLink> currentLink;
    {
        std::lock_guard guard(lock_);
        links.swap(detachedMonitors_);
        if (monitorLink_ && pid_ > 0) {
            currentLink = monitorLink_;
            links.push_back(currentLink);
        }
    }
    bool current = false;
    for (const std::shared_ptr<MonitorLink>& link : links) {
        std::lock_guard guard(link->lock);
        if (link->finished) {
            continue;
        }
        link->abandoned = true;
        link->prefix = prefixFor(link->child);
        link->name = getName();
        LogMessage(dclog::kWarning, "%sThe child could not be reaped; its monitor reaps it later.\n",
                   link->prefix.c_str());
        current = current || link == currentLink;
    }
    return current;
}

void ProcessObject::joinOrDetachMonitor(std::thread monitorThread, bool abandoned) {
    if (!monitorThread.joinable()) {
        return;
    }
    // Only when the exit hook could not be started does the monitor thread
    // drop the last reference itself; it touches nothing after that.
    if (abandoned || monitorThread.get_id() == std::this_thread::get_id()) {
        monitorThread.detach();
    } else {
        monitorThread.join();
    }
}

void ProcessObject::logProc(int level, const char* format, ...) const {
    if (!Log_IsEnabled(dclog::MessageAddress(0, level))) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    std::lock_guard guard(lock_);
    LogMessage(level, "%s%s", logPrefix().c_str(), text.c_str());
}

std::string ProcessObject::logPrefix() const {
    std::lock_guard guard(lock_);
    return prefixFor(pid_);
}

std::string ProcessObject::prefixFor(pid_t pid) const {
    std::lock_guard guard(lock_);
    char prefix[64];
    snprintf(prefix, sizeof prefix, "), pid(%d), rid(%d), flg(%d): ", pid, rid_, flg_);
    return "Proc(" + name_ + prefix;
}

bool ProcessObject::restart() {
    stop(true, kStopTimeoutMs);
    return startProcess();
}

bool ProcessObject::restart(const std::string& path, const std::vector<std::string>& params,
                            const std::vector<std::string>& envs, int flags) {
    stop(true, kStopTimeoutMs);
    return start(path, params, envs, flags);
}

bool ProcessObject::start(const std::string& path, const std::vector<std::string>& params,
                          const std::vector<std::string>& envs, int flags) {
    waitForExitHook();
    std::lock_guard guard(lock_);
    if (pid_ > 0) {
        logProc(dclog::kInfo, "%s: The process %s(%d) have been already running.\n", kStartSig, name_.c_str(),
                pid_);
        onStartSkipped();
        return true;
    }
    flg_ = flags;
    path_ = path;
    setArgsAndEnvs(params, envs);
    return launch();
}

void ProcessObject::setArgsAndEnvs(const std::vector<std::string>& params,
                                   const std::vector<std::string>& envs) {
    args_.assign(1, name_);
    args_.reserve(params.size() + 1);
    for (const std::string& param : params) {
        logProc(dclog::kDebug, "Add param: %s\n", param.c_str());
        args_.push_back(param);
    }
    envs_.clear();
    for (const std::string& env : envs) {
        logProc(dclog::kDebug, "Add env: %s\n", env.c_str());
        envs_.push_back(env);
    }
}

bool ProcessObject::startProcess() {
    waitForExitHook();
    std::lock_guard guard(lock_);
    return launch();
}

// The hook may take the lock, so the wait must not hold it: the caller
// holds nothing, and the hook of a child can only become due while one runs.
void ProcessObject::waitForExitHook() {
    std::unique_lock guard(lock_);
    exited_.wait(guard, [this] { return !exitHookDue_; });
}

bool ProcessObject::launch() {
    if (!createPipe()) {
        return false;
    }
    proc::ChildLauncher launcher(path_, args_, envs_);
    proc::ChildStdio stdio;
    if (flg_ == kStdinPipe) {
        stdio.stdinFd = pipeRead_.get();
    }
    if (flg_ != kStdinInherit) {
        stdio.closeFds = {pipeRead_.get(), pipeWrite_.get()};
    }
    stdio.outFd = outFd_ > 0 ? outFd_ : -1;
    pid_t child = launcher.spawn(stdio);
    if (child < 0) {
        pid_ = -1;
        logProc(dclog::kError, "%s: Failed to create the child process %s\n", kStartProcessSig,
                name_.c_str());
        closePipeRead();
        closePipeWrite();
        return false;
    }
    pid_ = child;
    pidFd_.reset(proc::OpenPidFd(child));
    closePipeRead();
    retireMonitorThread();
    return startMonitorThread(child);
}

bool ProcessObject::startMonitorThread(pid_t child) {
    try {
        auto link = std::make_shared<MonitorLink>();
        link->child = child;
        monitorThread_ = std::thread(&ProcessObject::monitor, this, child, link);
        monitorLink_ = std::move(link);
        return true;
    } catch (const std::system_error& error) {
        // Without a watcher the child would never be reaped: end it here.
        logProc(dclog::kError, "%s: Failed to create the monitor thread: %s\n", kStartProcessSig,
                error.what());
        kill(child, SIGKILL);
        ReapChild(child, 0, name_, logPrefix());
        closePipeWrite();
        pid_ = -1;
        pidFd_.reset();
        return false;
    }
}

// The previous child's monitor has normally finished by now and is joined.
// It is still busy only when its child survived a stop (a restart launched
// past it), and is then left to finish on its own.
void ProcessObject::retireMonitorThread() {
    if (!monitorThread_.joinable()) {
        return;
    }
    std::shared_ptr<MonitorLink> link = std::move(monitorLink_);
    // Not under the link's lock: that monitor may be waiting for ours.
    if (!link->finished) {
        detachedMonitors_.push_back(std::move(link));
        monitorThread_.detach();
    } else {
        monitorThread_.join();
    }
}

bool ProcessObject::createPipe() {
    if (flg_ == kStdinInherit) {
        return true;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        logProc(dclog::kError, "Failed to create pipe.\n");
        return false;
    }
    pipeRead_.reset(fds[0]);
    pipeWrite_.reset(fds[1]);
    // Writers wait for room in poll, next to the child's exit, never in write.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    return true;
}

void ProcessObject::closePipeRead() {
    std::lock_guard guard(lock_);
    if (flg_ != kStdinInherit) {
        pipeRead_.reset();
    }
}

void ProcessObject::closePipeWrite() {
    std::lock_guard guard(lock_);
    if (flg_ != kStdinInherit) {
        pipeWrite_.reset();
    }
}

// Runs on its own thread. Whatever it does with the object happens under
// the link's lock, which the object's destruction takes before it leaves
// an unreaped child to this thread.
void ProcessObject::monitor(ProcessObject* self, pid_t child, std::shared_ptr<MonitorLink> link) {
    {
        std::lock_guard guard(link->lock);
        if (!link->abandoned) {
            self->watchStart(child);
        }
    }
    const int waitError = WaitWithoutReaping(child, 0);
    std::unique_lock guard(link->lock);
    if (link->abandoned) {
        guard.unlock();
        ReapChild(child, waitError, link->name, link->prefix);
        return;
    }
    self->finishThroughObject(child, waitError, *link);
}

void ProcessObject::watchStart(pid_t child) {
    logProc(dclog::kDebug, "%s: Start successfully.\n", kMonitorSig);
    onStarted();
    logProc(dclog::kDebug, "%s: Start to wait for the process.\n", kMonitorSig);
    if (WaitWithoutReaping(child, WNOHANG) == EAGAIN) {
        logProc(dclog::kInfo, "still running.\n");
    }
}

void ProcessObject::finishThroughObject(pid_t child, int waitError, MonitorLink& link) {
    std::optional<std::string> prefix = finishChild(child, waitError);
    link.finished = true;
    // The hook is the last use of the object on this thread: it may end it.
    if (prefix) {
        startExitHook(*prefix);
    }
}

std::optional<std::string> ProcessObject::finishChild(pid_t child, int waitError) {
    std::lock_guard guard(lock_);
    ReapChild(child, waitError, name_, logPrefix());
    logProc(dclog::kDebug, "%s: Process exit.\n", kMonitorSig);
    // A monitor left behind by a restart must not clear the state of the
    // child that replaced its own.
    if (pid_ != child) {
        return std::nullopt;
    }
    closePipeWrite();
    pid_ = -1;
    pidFd_.reset();
    exitHookDue_ = true;
    exited_.notify_all();
    return logPrefix();
}

// The exit thread takes this thread's reference with it. An owner that lets
// go from its hook (the manager's RemoveApp) then leaves the last reference
// to the exit thread, whose destructor call can join this monitor; were it
// left here, the object would end on the thread it has to join. The lock is
// taken only to end a hook that could not start: a restart, which holds the
// lock while it joins this thread, first waits for the hook to end.
void ProcessObject::startExitHook(const std::string& prefix) {
    std::shared_ptr<ProcessObject> self = weak_from_this().lock();
    if (!self) {
        // Only a destructor waits on an object nobody holds: it skips the hook.
        return;
    }
    std::weak_ptr<ProcessObject> weak = self;
    try {
        std::thread(&ProcessObject::runExitHook, std::move(self)).detach();
    } catch (const std::system_error& error) {
        LogMessage(dclog::kError, "%s%s: Failed to run the exit hook: %s\n", prefix.c_str(), kMonitorSig,
                   error.what());
        // The reference went with the failed thread: the object may be gone.
        if (std::shared_ptr<ProcessObject> again = weak.lock()) {
            again->endExitHook();
        }
    }
}

void ProcessObject::runExitHook() {
    onExitCb();
    endExitHook();
}

void ProcessObject::endExitHook() {
    std::lock_guard guard(lock_);
    exitHookDue_ = false;
    exited_.notify_all();
}

void ProcessObject::stop(bool wait, int timeoutMs) {
    std::unique_lock guard(lock_);
    if (pid_ <= 0) {
        logProc(dclog::kWarning, "The process already exited, need not stop.\n");
        return;
    }
    const pid_t target = pid_;
    kill(target, SIGTERM);
    if (!wait) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    auto startTime = Clock::now();
    bool forced = false;
    auto gone = [this, target] { return pid_ != target; };
    for (;;) {
        if (gone()) {
            return;
        }
        logProc(dclog::kDebug1, "Process %d not finished yet.\n", pid_);
        if (timeoutMs > 0 && Clock::now() - startTime >= timeout) {
            if (forced) {
                logProc(dclog::kWarning, "Move forward after force stop %d\n", timeoutMs);
                return;
            }
            logProc(dclog::kInfo, "Stop timeout after %d, force quit.\n", timeoutMs);
            kill(target, SIGKILL);
            startTime = Clock::now();
            forced = true;
        }
        if (timeoutMs > 0) {
            exited_.wait_until(guard, startTime + timeout, gone);
        } else {
            exited_.wait(guard, gone);
        }
    }
}

void ProcessObject::onStarted() {
    logProc(dclog::kInfo, "%s.\n", kOnStartedSig);
}

void ProcessObject::onExitCb() {
    logProc(dclog::kInfo, "%s.\n", kOnExitCbSig);
}

bool ProcessObject::sendMessage(const std::string& text) {
    dclog::UniqueFd out;
    dclog::UniqueFd childFd;
    pid_t child = -1;
    {
        std::lock_guard guard(lock_);
        if (!pipeWrite_.valid()) {
            logProc(dclog::kError, "Can't get the stdin.\n");
            return false;
        }
        // Own copies: the write runs without the lock, so stop() and the
        // monitor are never held up by a child that reads slowly.
        out.reset(fcntl(pipeWrite_.get(), F_DUPFD_CLOEXEC, 0));
        if (pidFd_.valid()) {
            childFd.reset(fcntl(pidFd_.get(), F_DUPFD_CLOEXEC, 0));
        }
        child = pid_;
        if (!out.valid()) {
            logProc(dclog::kError, "Failed to send message, error(%s).\n", ErrorText(errno).c_str());
            return false;
        }
    }
    proc::WriteResult result = proc::WriteToChild(out.get(), childFd.get(), child, text);
    if (result.error != 0) {
        logProc(dclog::kError, "Failed to send message, error(%s).\n", ErrorText(result.error).c_str());
        return false;
    }
    if (result.written != text.size()) {
        logProc(dclog::kError, "Failed to send message.\n");
        return false;
    }
    return true;
}

std::string ProcessObject::getName() const {
    std::lock_guard guard(lock_);
    return name_;
}

std::string ProcessObject::getPath() const {
    std::lock_guard guard(lock_);
    return path_;
}

pid_t ProcessObject::getPid() const {
    std::lock_guard guard(lock_);
    return pid_;
}

int ProcessObject::getRid() const {
    std::lock_guard guard(lock_);
    return rid_;
}

void ProcessObject::setRidLocked(int rid) {
    std::lock_guard guard(lock_);
    rid_ = rid;
}

void ProcessObject::setOutFdLocked(int outFd) {
    std::lock_guard guard(lock_);
    outFd_ = outFd;
}
