#include "tools/desktop-sandbox/ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tools/desktop-sandbox/LineReader.h"
#include "tools/desktop-sandbox/PrivateSystemDirs.h"

namespace sandbox {
namespace {

using Clock = std::chrono::steady_clock;

int PidFdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

std::string ResolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return program;
}

std::vector<char*> CStrings(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

void WriteText(int fd, const char* text) {
    ssize_t ignored = write(fd, text, strlen(text));
    static_cast<void>(ignored);
}

[[noreturn]] void FailSetup(const char* step, const char* detail) {
    WriteText(STDERR_FILENO, "sandbox child set-up failed: ");
    WriteText(STDERR_FILENO, step);
    WriteText(STDERR_FILENO, " ");
    WriteText(STDERR_FILENO, detail);
    WriteText(STDERR_FILENO, "\n");
    _exit(kChildSetupFailed);
}

// Everything the child needs, built before fork.
struct Prepared {
    std::string program;
    std::vector<std::string> argvTexts;
    std::vector<std::string> envTexts;
    std::vector<char*> argv;
    std::vector<char*> envp;
    MountPlan plan;
    bool usePlan = false;
};

// Async-signal-safe only from here to exec.
[[noreturn]] void RunChildSide(const Prepared& prepared, const ChildCommand& command,
                               const std::function<int()>* body, int inFd, int outFd, int errFd,
                               pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(kChildSetupFailed);
    }
    // A signal meant for the caller's process group (Ctrl-C at a terminal,
    // a timeout's kill) stays with the caller, which stops each child by pid.
    setpgid(0, 0);
    if (errFd < 0) {
        errFd = open(command.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    dup2(inFd >= 0 ? inFd : open("/dev/null", O_RDONLY), STDIN_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        sigaction(sig, &defaultAction, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const char* failed = nullptr;
    if (prepared.usePlan && !ApplyMountPlan(prepared.plan, &failed)) {
        FailSetup("mount", failed);
    }
    if (command.gid &&
        (setgroups(0, nullptr) != 0 || setresgid(*command.gid, *command.gid, *command.gid) != 0)) {
        FailSetup("setresgid", "");
    }
    if (command.uid && setresuid(*command.uid, *command.uid, *command.uid) != 0) {
        FailSetup("setresuid", "");
    }
    if (body != nullptr) {
        int status = (*body)();
        fflush(nullptr);
        _exit(status);
    }
    execve(prepared.program.c_str(), prepared.argv.data(), prepared.envp.data());
    WriteText(STDERR_FILENO, "sandbox child exec failed: ");
    WriteText(STDERR_FILENO, prepared.program.c_str());
    WriteText(STDERR_FILENO, "\n");
    _exit(kChildExecFailed);
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool ReadInto(int& fd, std::string& text) {
    std::array<char, 4096> buffer{};
    ssize_t count = read(fd, buffer.data(), buffer.size());
    if (count > 0) {
        text.append(buffer.data(), static_cast<std::size_t>(count));
        return true;
    }
    if (count < 0 && errno == EINTR) {
        return true;
    }
    CloseFd(fd);
    return false;
}

void DrainReady(int& fd, std::string& text) {
    while (fd >= 0) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 0) <= 0 || !ReadInto(fd, text)) {
            return;
        }
    }
}

void FillStatus(int status, ChildResult& result) {
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
}

}  // namespace

bool WaitForChildExit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    int pidFd = PidFdOpen(pid);
    if (pidFd < 0) {
        return waitpid(pid, status, WNOHANG) == pid;
    }
    pollfd entry{pidFd, POLLIN, 0};
    int ready = 0;
    auto deadline = Clock::now() + timeout;
    do {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
    } while (ready < 0 && errno == EINTR);
    close(pidFd);
    return ready > 0 && waitpid(pid, status, 0) == pid;
}

std::vector<std::string> SanitizerEnvironment() {
    std::vector<std::string> entries;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = getenv(name)) {
            entries.push_back(std::string(name) + "=" + value);
        }
    }
    return entries;
}

ChildProcess::ChildProcess(const ChildCommand& command) {
    if (command.argv.empty()) {
        throw std::invalid_argument("ChildCommand without argv");
    }
    Start(command, nullptr);
}

ChildProcess::ChildProcess(const ChildCommand& setup, const std::function<int()>& body) {
    Start(setup, &body);
}

void ChildProcess::Start(const ChildCommand& command, const std::function<int()>* body) {
    Prepared prepared;
    prepared.program = command.argv.empty() ? std::string() : ResolveProgram(command.argv[0]);
    prepared.argvTexts = command.argv;
    prepared.envTexts = command.env;
    for (std::string& entry : SanitizerEnvironment()) {
        prepared.envTexts.push_back(std::move(entry));
    }
    prepared.argv = CStrings(prepared.argvTexts);
    prepared.envp = CStrings(prepared.envTexts);
    if (command.layout != nullptr) {
        prepared.plan = command.layout->BuildPlan(command.standIns);
        prepared.usePlan = true;
    }
    int inPipe[2] = {-1, -1};
    int outPipe[2];
    int errPipe[2] = {-1, -1};
    if ((command.inputPipe && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0 ||
        (command.errFile.empty() && pipe2(errPipe, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe2 failed");
    }
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        RunChildSide(prepared, command, body, inPipe[0], outPipe[1], errPipe[1], parent);
    }
    for (int end : {inPipe[0], outPipe[1], errPipe[1]}) {
        CloseFd(end);
    }
    inFd_ = inPipe[1];
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    pidFd_ = PidFdOpen(pid_);
}

ChildProcess::~ChildProcess() {
    Stop(SIGKILL);
    for (int* fd : {&pidFd_, &inFd_, &outFd_, &errFd_}) {
        CloseFd(*fd);
    }
}

void ChildProcess::Stop(int sig) {
    int status = 0;
    if (pid_ > 0 && kill(pid_, sig) == 0 && !WaitForChildExit(pid_, std::chrono::seconds(5), &status)) {
        kill(pid_, SIGKILL);
        WaitForChildExit(pid_, std::chrono::seconds(5), &status);
    }
    pid_ = -1;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    OutputFd();
    return lines_->ReadLine(Clock::now() + timeout);
}

int ChildProcess::OutputFd() {
    if (!lines_) {
        lines_ = std::make_unique<LineReader>(outFd_);
        outFd_ = -1;
    }
    return lines_->Fd();
}

void ChildProcess::Write(const std::string& text) {
    // A write after the child ended must fail here, not kill the test.
    signal(SIGPIPE, SIG_IGN);
    for (std::size_t done = 0; done < text.size();) {
        ssize_t count = write(inFd_, text.data() + done, text.size() - done);
        if (count <= 0) {
            throw std::runtime_error("the child does not read its input any more");
        }
        done += static_cast<std::size_t>(count);
    }
}

ChildResult ChildProcess::Finish(std::chrono::milliseconds timeout) {
    ChildResult result;
    auto deadline = Clock::now() + timeout;
    bool exited = pidFd_ < 0;
    while (!exited) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid_, SIGKILL);
            break;
        }
        std::array<pollfd, 3> fds{{{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}, {pidFd_, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents != 0) {
            ReadInto(outFd_, result.out);
        }
        if (fds[1].revents != 0) {
            ReadInto(errFd_, result.err);
        }
        exited = fds[2].revents != 0;
    }
    // Whatever the child wrote before it ended is in the pipes now; a
    // grandchild holding them open must not keep the test waiting.
    DrainReady(outFd_, result.out);
    DrainReady(errFd_, result.err);
    int status = 0;
    if (WaitForChildExit(pid_, std::chrono::seconds(10), &status)) {
        FillStatus(status, result);
        pid_ = -1;
    }
    CloseFd(outFd_);
    CloseFd(errFd_);
    return result;
}

ChildResult RunChild(const ChildCommand& command, std::chrono::milliseconds timeout) {
    ChildProcess child(command);
    return child.Finish(timeout);
}

ChildResult RunForked(const ChildCommand& setup, const std::function<int()>& body,
                      std::chrono::milliseconds timeout) {
    ChildProcess child(setup, body);
    return child.Finish(timeout);
}

}  // namespace sandbox
