// The set-user-id daemon started where the drop of its rights must fail.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <utility>

#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/SetUserIdExec.h"

namespace sandbox {
namespace {

// Below the bound of RunForked, so that a daemon that goes on instead of
// ending is ended here, by its pid.
constexpr int kDaemonWaitMs = 15000;

// "/proc/<pid>/<file>" without allocating: this runs between fork and exec.
void ProcPath(char (&path)[64], pid_t pid, const char* file) {
    char digits[16];
    int count = 0;
    for (unsigned value = static_cast<unsigned>(pid); count == 0 || value != 0; value /= 10) {
        digits[count++] = static_cast<char>('0' + value % 10);
    }
    int at = 0;
    for (const char* part = "/proc/"; *part != '\0'; ++part) {
        path[at++] = *part;
    }
    while (count > 0) {
        path[at++] = digits[--count];
    }
    path[at++] = '/';
    for (; *file != '\0' && at < 63; ++file) {
        path[at++] = *file;
    }
    path[at] = '\0';
}

// Maps the magic's owner, user and group, to itself, and nothing else: the
// daemon's file (owned by both) keeps its set-user-id bit, while root, the
// real user of the process, has no id there.
bool MapOnlyMagicOwner(pid_t child, const char* mapping, size_t length) {
    for (const char* file : {"uid_map", "gid_map"}) {
        char path[64];
        ProcPath(path, child, file);
        const int fd = open(path, O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && write(fd, mapping, length) == static_cast<ssize_t>(length);
        if (fd >= 0) {
            close(fd);
        }
        if (!written) {
            return false;
        }
    }
    return true;
}

// The daemon's exit status, 128 + the signal that ended it, or
// kChildSetupFailed when it had to be killed after the bound.
int WaitBounded(pid_t child) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd entry{pidFd, POLLIN, 0};
    if (pidFd < 0 || poll(&entry, 1, kDaemonWaitMs) != 1) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (pidFd >= 0) {
        close(pidFd);
    }
    if (entry.revents == 0) {
        return kChildSetupFailed;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildResult DesktopSandbox::RunDaemonWithUnmappedRealUser(const std::vector<std::string>& env) {
    if (!options_.setUserId) {
        throw std::logic_error("only a set-user-id daemon has rights to drop");
    }
    SetUserIdExec exec(env);
    const std::string workDir = Inside("");
    const std::string mapping = std::to_string(kMagicOwner) + " " + std::to_string(kMagicOwner) + " 1\n";
    // Runs as root in the forked child, inside the mount namespace: only
    // system calls. The daemon waits until its namespace is mapped.
    auto body = [&] {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            return kChildSetupFailed;
        }
        const auto daemon = static_cast<pid_t>(
            syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
        if (daemon == 0) {
            char go = 0;
            close(ready[1]);
            if (read(ready[0], &go, 1) != 1 || chdir(workDir.c_str()) != 0) {
                _exit(kChildSetupFailed);
            }
            execve(exec.Binary(), exec.Argv(), exec.Envp());
            _exit(kChildExecFailed);
        }
        close(ready[0]);
        if (daemon < 0) {
            close(ready[1]);
            return kChildSetupFailed;
        }
        // Unmapped, the daemon is not told to go: its read ends with the
        // pipe, and so does it.
        const bool started =
            MapOnlyMagicOwner(daemon, mapping.data(), mapping.size()) && write(ready[1], "g", 1) == 1;
        close(ready[1]);
        const int status = WaitBounded(daemon);
        return started ? status : kChildSetupFailed;
    };
    return RunForked(ChildCommand{.layout = &layout_}, body, kWait);
}

}  // namespace sandbox
