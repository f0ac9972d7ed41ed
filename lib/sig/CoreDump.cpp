#include <limits.h>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/log/Log.h"
#include "lib/sig/CoreDumpRegions.h"
#include "lib/sig/CoreFileName.h"
#include "lib/sig/KernelCompat.h"
#include "lib/sig/Panic.h"
#include "lib/sig/Sig.h"

// The core is written by a copy of this process that aborts itself: the
// original keeps running to log where the core went and to exit with its
// own status. The copy is made with a bare clone system call so that no
// fork handlers run; they could deadlock on locks of a crashed thread.

namespace {

constexpr int kMaxPolls = 120;
constexpr int kQuietPolls = 10;
constexpr int kPollIntervalMs = 1000;

// Returns false when no core can be expected at all.
bool LogCoreLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_CORE, &limit) != 0) {
        LogMessage(dclog::kWarning, "\nAttempting a core dump using an unknown size limit: %s\n",
                   strerror(errno));
        return true;
    }
    if (limit.rlim_cur == 0) {
        LogMessage(dclog::kWarning,
                   "\nThe core dump limit is set to ZERO; no core dump should be expected\n");
        return false;
    }
    char size[48];
    if (limit.rlim_cur == RLIM_INFINITY) {
        snprintf(size, sizeof size, "an unlimited");
    } else {
        snprintf(size, sizeof size, "a %lu KB", static_cast<unsigned long>(limit.rlim_cur / 1024));
    }
    LogMessage(dclog::kWarning, "\nAttempting a core dump using %s size limit\n", size);
    return true;
}

// Whether the copy may make itself dumpable. Never in a process that was
// started set-user-id: its memory may still hold what only the privileged
// account may read (the desktop magic before the rights are dropped, the
// IPC token after), and the core would belong to the invoking user.
bool MayMakeDumpable() {
    bool wanted = (Panic_GetSettings().coreDumpFlags & kCoreDumpMakeDumpable) != 0;
    return wanted && getauxval(AT_SECURE) == 0;
}

// Runs in the copy. Only raw system calls: the C library's idea of the
// current thread still describes the parent's thread.
[[noreturn]] void AbortWithCore(bool makeDumpable) {
    CoreDumpRegions_ApplyInChild();
    syscall(SYS_setresuid, -1, getuid(), -1);
    if (makeDumpable && prctl(PR_GET_DUMPABLE) == 0) {
        prctl(PR_SET_DUMPABLE, 1);
    }
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(SIGABRT, &defaultAction, nullptr);
    sigset_t abortOnly;
    sigemptyset(&abortOnly);
    sigaddset(&abortOnly, SIGABRT);
    syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, &abortOnly, nullptr, _NSIG / 8);
    syscall(SYS_kill, syscall(SYS_getpid), SIGABRT);
    _exit(kPanicLoopExitStatus);
}

pid_t StartDumpChild() {
    const bool makeDumpable = MayMakeDumpable();
    sigset_t profiling;
    sigset_t old;
    sigemptyset(&profiling);
    sigaddset(&profiling, SIGPROF);
    pthread_sigmask(SIG_BLOCK, &profiling, &old);
    long pid = syscall(SYS_clone, SIGCHLD, 0, nullptr, nullptr, 0);
    if (pid == 0) {
        AbortWithCore(makeDumpable);
    }
    int savedErrno = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = savedErrno;
    return static_cast<pid_t>(pid);
}

// Waits up to one poll interval, returning early when the child ends.
void WaitOneInterval(int pidfd) {
    if (pidfd >= 0) {
        pollfd entry{pidfd, POLLIN, 0};
        poll(&entry, 1, kPollIntervalMs);
        return;
    }
    timespec rest{kPollIntervalMs / 1000, 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// Returns true once the child ended with a core; logs every outcome.
bool CheckChild(pid_t child, int turn, bool* done) {
    int status = 0;
    pid_t result = waitpid(child, &status, WNOHANG);
    *done = true;
    if (result == child) {
        if (WIFSIGNALED(status) && WCOREDUMP(status)) {
            LogMessage(dclog::kWarning, "Core dumped.\n");
            return true;
        }
        LogMessage(dclog::kWarning, "Child process %d failed to dump core (status %#x).\n", child, status);
    } else if (result < 0 && errno != EINTR) {
        LogMessage(dclog::kWarning, "Failed to wait for child process %d: %s.\n", child, strerror(errno));
    } else if (result > 0) {
        LogMessage(dclog::kWarning, "Wait for child process %d returned %d.\n", child, result);
    } else {
        *done = false;
        if (turn > kQuietPolls) {
            LogMessage(dclog::kWarning,
                       "Waiting (waitpid returned %d, status: %#x) for child process %d to dump core...\n",
                       result, status, child);
        }
    }
    return false;
}

bool WaitForDump(pid_t child) {
    int pidfd = Compat_PidFdOpen(child);
    bool dumped = false;
    bool done = false;
    for (int turn = 1; turn <= kMaxPolls && !done; ++turn) {
        dumped = CheckChild(child, turn, &done);
        if (!done) {
            WaitOneInterval(pidfd);
        }
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
    if (!done) {
        LogMessage(dclog::kWarning, "Timed out waiting for child process %d.\n", child);
    }
    return dumped;
}

}  // namespace

bool Sig_CoreDump() {
    // This program keeps no address-space reservation for dumping, so there
    // is nothing to release before the copy is made.
    if (!LogCoreLimit()) {
        return false;
    }
    pid_t child = StartDumpChild();
    if (child < 0) {
        LogMessage(dclog::kWarning, "Fork failed: %s\n", strerror(errno));
        return false;
    }
    if (!WaitForDump(child)) {
        return false;
    }
    char name[PATH_MAX];
    if (CoreFileName_Get(child, name, sizeof name)) {
        LogMessage(dclog::kWarning, "A core file is available in \"%s\"\n", name);
    } else {
        LogMessage(dclog::kWarning, "%s: SigGetCoreFileName failure", "Sig_CoreDump");
    }
    return true;
}
