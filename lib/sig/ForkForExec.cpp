#include "lib/sig/ForkForExec.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The kernel's signal set is _NSIG bits; glibc's sigset_t is larger.
constexpr long kKernelSigsetBytes = (NSIG - 1) / 8;

// Straight to the kernel: glibc's pthread_sigmask leaves its own internal
// signals unblocked, and a sanitizer's wrapper would record the change.
SIG_CHILD_CODE void SetMask(const sigset_t* mask, sigset_t* previous) {
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, previous, kKernelSigsetBytes);
}

void BlockAll(sigset_t* previous) {
    sigset_t all;
    memset(&all, 0xff, sizeof all);
    SetMask(&all, previous);
}

// In the parent only: the child keeps every signal blocked until it has
// reset their dispositions.
pid_t RestoreInParent(pid_t child, const sigset_t& previous) {
    const int startError = errno;
    SetMask(&previous, nullptr);
    errno = startError;
    return child;
}

}  // namespace

pid_t Sig_ForkForExec() {
    sigset_t previous;
    BlockAll(&previous);
    const pid_t child = fork();
    return child == 0 ? 0 : RestoreInParent(child, previous);
}

pid_t Sig_SpawnForExec(void (*child)(void*), void* argument) {
    sigset_t previous;
    BlockAll(&previous);
    const pid_t pid = vfork();
    if (pid == 0) {
        child(argument);
        Sig_ExitChild(255);
    }
    // The child's failed system calls set this thread's errno (it ran on
    // this thread's memory), so the result's errno is the vfork's only
    // when it failed.
    return RestoreInParent(pid, previous);
}

SIG_CHILD_CODE void Sig_ResetForExec() {
    // Zero bytes are SIG_DFL with no flags and an empty mask in the
    // kernel's sigaction layout of every architecture.
    alignas(16) const unsigned char byDefault[64] = {};
    for (int sig = 1; sig < NSIG; ++sig) {
        syscall(SYS_rt_sigaction, sig, byDefault, nullptr, kKernelSigsetBytes);
    }
    const sigset_t none = {};
    SetMask(&none, nullptr);
}

SIG_CHILD_CODE void Sig_ExitChild(int status) {
    for (;;) {
        syscall(SYS_exit_group, status);
    }
}
