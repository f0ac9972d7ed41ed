#include "lib/sig/Sig.h"

#include <pthread.h>

#include <initializer_list>

#include "lib/config/Preference.h"
#include "lib/log/Log.h"
#include "lib/sig/Backtrace.h"
#include "lib/sig/CoreDumpRegions.h"
#include "lib/sig/DeferredSignals.h"
#include "lib/sig/SigTable.h"

namespace {

constexpr std::initializer_list<int> kFatalSignals = {
    SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGABRT, SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2,
    SIGALRM, SIGTERM, SIGSTKFLT, SIGTSTP, SIGURG,  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGIO,
};
constexpr std::initializer_list<int> kAsynchronousFatal = {
    SIGHUP,    SIGINT, SIGTERM, SIGTSTP, SIGUSR1, SIGUSR2,   SIGALRM,
    SIGVTALRM, SIGIO,  SIGURG,  SIGXCPU, SIGXFSZ, SIGSTKFLT,
};
constexpr std::initializer_list<int> kKernelIgnored = {SIGPIPE, SIGTTIN, SIGTTOU};
constexpr std::initializer_list<int> kCaughtAndDropped = {SIGCHLD, SIGWINCH};

bool gInitialized = false;

// A new fault in the handler of a synchronous fault must be delivered, not
// held pending behind the handler that is trying to report the first one.
int ExtraFlagsFor(int signum) {
    return signum == SIGILL || signum == SIGBUS || signum == SIGSEGV ? SA_NODEFER : 0;
}

void InstallTable() {
    for (int signum : kFatalSignals) {
        SigTable_Install(signum, SigMode::kFatal, ExtraFlagsFor(signum));
    }
    for (int signum : kKernelIgnored) {
        SigTable_Ignore(signum);
    }
    for (int signum : kCaughtAndDropped) {
        SigTable_Install(signum, SigMode::kIgnore, 0);
    }
}

// Blocks every signal for its lifetime, so no handler runs against a half
// updated table.
class AllSignalsBlocked {
  public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

  private:
    sigset_t old_;
};

void ChangeAsynchronous(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int signum : kAsynchronousFatal) {
        sigaddset(&set, signum);
    }
    pthread_sigmask(how, &set, nullptr);
}

bool IsCatchable(int signum) {
    return signum >= 1 && signum <= kSigMaxSignal && signum != SIGKILL && signum != SIGSTOP;
}

}  // namespace

bool Sig_Init() {
    if (gInitialized) {
        LogMessage(dclog::kInfo, "Sig_Init already initialized \n");
        return true;
    }
    Backtrace_Prepare();
    AllSignalsBlocked blocked;
    InstallTable();
    if (!DeferredSignals_Open()) {
        return false;
    }
    if (!Preference_GetBool(false, "signal.dontUnmap")) {
        CoreDumpRegions_Create();
    }
    gInitialized = true;
    return true;
}

void Sig_Exit() {
    if (!gInitialized) {
        return;
    }
    DeferredSignals_Close();
    CoreDumpRegions_Destroy();
    gInitialized = false;
}

void Sig_BlockAsynchronous() {
    ChangeAsynchronous(SIG_BLOCK);
}

void Sig_UnblockAsynchronous() {
    ChangeAsynchronous(SIG_UNBLOCK);
}

bool Sig_Callback(int signum, SigMode mode, SigCallback callback, void* clientData, bool chain) {
    bool needsCallback = mode == SigMode::kDeferred || mode == SigMode::kImmediate;
    if (!IsCatchable(signum) || (needsCallback && callback == nullptr)) {
        LogMessage(dclog::kError, "Sig_Callback: cannot take signal %d in mode %d\n", signum,
                   static_cast<int>(mode));
        return false;
    }
    AllSignalsBlocked blocked;
    SigRecord& record = SigTable_Record(signum);
    record.callback = callback;
    record.clientData = clientData;
    record.chain = chain;
    SigTable_Install(signum, mode, ExtraFlagsFor(signum));
    return true;
}
