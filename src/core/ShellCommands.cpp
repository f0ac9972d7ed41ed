// Running shell commands. Each variant has its own process-wide mutex, so
// callers of one variant run strictly one after another (the desktop task
// script relies on that), while the two variants do not exclude each other.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lib/log/Log.h"
#include "lib/sig/ForkForExec.h"
#include "src/core/CommonUtils.h"

namespace {

constexpr const char* kOp = "ExecShell";
constexpr int kExecFailedStatus = 255;

std::mutex& RunMutex() {
    static std::mutex mutex;
    return mutex;
}

std::mutex& CaptureMutex() {
    static std::mutex mutex;
    return mutex;
}

// dup2 onto itself would keep close-on-exec: that is cleared instead.
bool RedirectStdout(int fd) {
    if (fd == STDOUT_FILENO) {
        return fcntl(fd, F_SETFD, 0) == 0;
    }
    return dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
}

// Runs in the forked child, which may share its parent's address space
// with other threads' half-finished work: only async-signal-safe calls
// until exec. The parent's handlers and blocked signals must not leak into
// the shell.
[[noreturn]] void ExecShellInChild(const char* command, int stdoutFd) {
    if (stdoutFd >= 0 && !RedirectStdout(stdoutFd)) {
        _exit(kExecFailedStatus);
    }
    Sig_ResetForExec();
    execlp("sh", "execshell", "-c", command, static_cast<char*>(nullptr));
    LogMessage(dclog::kError, "CommonUtils->%s execlp command %s failed, error: %s\n", kOp, command,
               strerror(errno));
    _exit(kExecFailedStatus);
}

// The child, or -1 with errno set.
pid_t ForkShell(const std::string& command, int stdoutFd) {
    const pid_t pid = Sig_ForkForExec();
    if (pid == 0) {
        ExecShellInChild(command.c_str(), stdoutFd);
    }
    return pid;
}

void WaitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Reads a stream to its end; a read interrupted by a signal is resumed.
void AppendStream(FILE* stream, std::string& output) {
    std::array<char, 1024> buffer{};
    for (;;) {
        std::size_t count = fread(buffer.data(), 1, buffer.size() - 1, stream);
        output.append(buffer.data(), count);
        buffer.fill('\0');
        if (count > 0) {
            continue;
        }
        if (ferror(stream) && errno == EINTR) {
            clearerr(stream);
            continue;
        }
        return;
    }
}

}  // namespace

bool CommonUtils::ExecShell(const std::string& command, bool wait) {
    std::lock_guard lock(RunMutex());
    const pid_t pid = ForkShell(command, -1);
    if (pid < 0) {
        LogMessage(dclog::kError, "CommonUtils->%s Fork failed, error: %s\n", kOp, strerror(errno));
        return false;
    }
    LogMessage(dclog::kDebug, "CommonUtils->%s Command %s executed\n", kOp, command.c_str());
    if (wait) {
        WaitForChild(pid);
    }
    return true;
}

bool CommonUtils::ExecShell(const std::string& command, std::string& output) {
    std::lock_guard lock(CaptureMutex());
    // Like popen, but the shell starts with default signal handling: popen
    // passes on what this process ignores (SIGPIPE, for one).
    int fds[2];
    pid_t pid = -1;
    if (pipe2(fds, O_CLOEXEC) == 0) {
        pid = ForkShell(command, fds[1]);
        const int forkErrno = errno;
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
        }
        errno = forkErrno;
    }
    FILE* stream = pid > 0 ? fdopen(fds[0], "r") : nullptr;
    if (stream == nullptr) {
        LogMessage(dclog::kError, "CommonUtils->%s Popen failed, error: %s\n", kOp, strerror(errno));
        if (pid > 0) {
            close(fds[0]);
            WaitForChild(pid);
        }
        return false;
    }
    AppendStream(stream, output);
    LogMessage(dclog::kDebug, "CommonUtils->%s Command %s executed, output %s\n", kOp, command.c_str(),
               output.c_str());
    fclose(stream);
    WaitForChild(pid);
    return true;
}
