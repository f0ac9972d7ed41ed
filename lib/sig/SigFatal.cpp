#include "lib/sig/SigFatal.h"

#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "lib/log/Log.h"
#include "lib/sig/Backtrace.h"
#include "lib/sig/Panic.h"

#if !defined(__x86_64__)
#error "the register dump is written for x86-64"
#endif

namespace {

constexpr int kLastClassicSignal = 20;
constexpr int kStackLines = 8;
constexpr int kStackWords = 2 * kStackLines;
constexpr int kLoopEntry = 2;

// Counted per thread: a thread that faults while another one handles a
// signal is a first entry of its own, not a loop.
thread_local int tFatalEntries = 0;
// Kept for a debugger attached to a parked or dumped process.
mcontext_t gSavedContext;

bool IsTerminating(int signum) {
    return signum == SIGHUP || signum == SIGINT || signum == SIGTERM || signum == SIGTSTP;
}

bool IsFault(int signum) {
    return signum == SIGILL || signum == SIGABRT || signum == SIGBUS || signum == SIGSEGV;
}

unsigned long Reg(const mcontext_t& mc, int reg) {
    return static_cast<unsigned long>(mc.gregs[reg]);
}

unsigned long ThreadId() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

// The handler runs as the real user; root rights are only taken back when a
// terminating signal turned out not to end the process.
bool DropRootForThisThread() {
    if (geteuid() != 0) {
        return false;
    }
    syscall(SYS_setresuid, -1, getuid(), -1);
    return true;
}

void RestoreRootForThisThread() {
    syscall(SYS_setresuid, -1, 0, -1);
}

void LogCaughtLine(int signum, const siginfo_t* info, const mcontext_t& mc) {
    if (signum > kLastClassicSignal) {
        LogMessage(dclog::kWarning, "Caught signal %d -- tid %lu\n", signum, ThreadId());
    } else if (IsTerminating(signum)) {
        LogMessage(dclog::kWarning, "Caught signal %d -- tid %lu (eip 0x%08lx)\n", signum, ThreadId(),
                   Reg(mc, REG_RIP));
    } else if (IsFault(signum)) {
        LogMessage(dclog::kWarning, "Caught signal %d -- tid %lu (addr %p)\n", signum, ThreadId(),
                   info->si_addr);
    } else {
        LogMessage(dclog::kWarning, "Caught signal %d -- tid %lu\n", signum, ThreadId());
    }
}

void LogRegisters(const mcontext_t& mc) {
    LogMessage(dclog::kWarning, "SIGNAL: rip 0x%lx rsp 0x%lx rbp 0x%lx\n", Reg(mc, REG_RIP), Reg(mc, REG_RSP),
               Reg(mc, REG_RBP));
    LogMessage(dclog::kWarning, "SIGNAL: rax 0x%lx rbx 0x%lx rcx 0x%lx rdx 0x%lx rsi 0x%lx rdi 0x%lx\n",
               Reg(mc, REG_RAX), Reg(mc, REG_RBX), Reg(mc, REG_RCX), Reg(mc, REG_RDX), Reg(mc, REG_RSI),
               Reg(mc, REG_RDI));
    LogMessage(dclog::kWarning,
               "        r8 0x%lx r9 0x%lx r10 0x%lx r11 0x%lx r12 0x%lx r13 0x%lx r14 0x%lx r15 0x%lx\n",
               Reg(mc, REG_R8), Reg(mc, REG_R9), Reg(mc, REG_R10), Reg(mc, REG_R11), Reg(mc, REG_R12),
               Reg(mc, REG_R13), Reg(mc, REG_R14), Reg(mc, REG_R15));
}

// The stack pointer of a crashed thread may point anywhere; reading through
// the kernel turns a bad address into an error instead of a second fault.
void LogStackWords(const mcontext_t& mc) {
    uint64_t words[kStackWords];
    auto* sp = reinterpret_cast<uint64_t*>(Reg(mc, REG_RSP));
    iovec local{words, sizeof words};
    iovec remote{sp, sizeof words};
    if (syscall(SYS_process_vm_readv, getpid(), &local, 1, &remote, 1, 0) !=
        static_cast<long>(sizeof words)) {
        LogMessage(dclog::kWarning, "SIGNAL: stack %p : unreadable\n", static_cast<void*>(sp));
        return;
    }
    for (int line = 0; line < kStackLines; ++line) {
        LogMessage(dclog::kWarning, "SIGNAL: stack %p : 0x%016lx 0x%016lx\n",
                   static_cast<void*>(sp + 2 * line), static_cast<unsigned long>(words[2 * line]),
                   static_cast<unsigned long>(words[2 * line + 1]));
    }
}

// Re-raises with the default action. The signal is blocked while its
// handler runs, so it is delivered the moment it is unblocked below.
void ReraiseWithDefaultAction(int signum) {
    struct sigaction defaultAction {};
    struct sigaction previous {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signum, &defaultAction, &previous);
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), signum);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signum);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    // Still running: a stop signal and the process was continued.
    sigaction(signum, &previous, nullptr);
}

[[noreturn]] void DumpAndPanic(int signum, const mcontext_t& mc) {
    LogRegisters(mc);
    LogStackWords(mc);
    Backtrace_Log(dclog::kWarning);
    sigset_t profiling;
    sigemptyset(&profiling);
    sigaddset(&profiling, SIGPROF);
    sigaddset(&profiling, SIGVTALRM);
    pthread_sigmask(SIG_BLOCK, &profiling, nullptr);
    Panic("Unexpected signal: %d.\n", signum);
}

}  // namespace

void SigFatal_Handle(int signum, siginfo_t* info, void* context) {
    bool droppedRoot = DropRootForThisThread();
    int entry = ++tFatalEntries;
    if (entry == kLoopEntry) {
        Panic("Loop on signal %d.\n", signum);
    }
    if (entry > kLoopEntry) {
        _exit(kPanicLoopExitStatus);
    }
    gSavedContext = static_cast<ucontext_t*>(context)->uc_mcontext;
    Log_Flush();
    LogCaughtLine(signum, info, gSavedContext);
    if (!IsTerminating(signum)) {
        DumpAndPanic(signum, gSavedContext);
    }
    ReraiseWithDefaultAction(signum);
    if (droppedRoot) {
        RestoreRootForThisThread();
    }
    tFatalEntries = 0;
}
