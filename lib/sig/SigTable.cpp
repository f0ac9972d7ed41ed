#include "lib/sig/SigTable.h"

#include <array>
#include <cerrno>

#include "lib/log/Log.h"
#include "lib/sig/DeferredSignals.h"
#include "lib/sig/SigFatal.h"
#include "lib/sig/SigRecovery.h"

namespace {

std::array<SigRecord, kSigMaxSignal + 1> gTable;

// The handler must not be interrupted by anything but a new synchronous
// fault, which would otherwise kill the process without a word.
void FillHandlerMask(sigset_t* mask) {
    sigfillset(mask);
    sigdelset(mask, SIGILL);
    sigdelset(mask, SIGBUS);
    sigdelset(mask, SIGSEGV);
}

void Dispatch(SigRecord& record, int signum, siginfo_t* info, void* context) {
    switch (static_cast<SigMode>(record.mode)) {
        case SigMode::kFatal:
            if (!record.chain || !SigTable_RunPrevious(record, signum, info, context)) {
                SigFatal_Handle(signum, info, context);
            }
            break;
        case SigMode::kDeferred:
            DeferredSignals_Queue(info);
            break;
        case SigMode::kImmediate:
            if (record.chain) {
                SigTable_RunPrevious(record, signum, info, context);
            }
            record.callback(signum, info, context, record.clientData);
            break;
        case SigMode::kIgnore:
            break;
    }
}

void SharedHandler(int signum, siginfo_t* info, void* context) {
    int savedErrno = errno;
    Log_EnterSignalHandler();
    SigRecovery_JumpIfArmed(signum, context);
    Dispatch(gTable[signum], signum, info, context);
    Log_LeaveSignalHandler();
    errno = savedErrno;
}

void SaveAndSet(SigRecord& record, int signum, const struct sigaction& action) {
    struct sigaction previous {};
    sigaction(signum, &action, &previous);
    if (previous.sa_sigaction == SharedHandler && (previous.sa_flags & SA_SIGINFO) != 0) {
        return;
    }
    record.previous = previous;
    record.previousHasInfo = (previous.sa_flags & SA_SIGINFO) != 0;
}

}  // namespace

SigRecord& SigTable_Record(int signum) {
    return gTable[signum];
}

void SigTable_Install(int signum, SigMode mode, int extraFlags) {
    struct sigaction action {};
    action.sa_sigaction = SharedHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART | extraFlags;
    FillHandlerMask(&action.sa_mask);
    gTable[signum].mode = static_cast<int>(mode);
    SaveAndSet(gTable[signum], signum, action);
}

void SigTable_Ignore(int signum) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    gTable[signum].mode = 0;
    SaveAndSet(gTable[signum], signum, action);
}

bool SigTable_RunPrevious(const SigRecord& record, int signum, siginfo_t* info, void* context) {
    if (record.previousHasInfo) {
        record.previous.sa_sigaction(signum, info, context);
        return true;
    }
    if (record.previous.sa_handler == SIG_DFL || record.previous.sa_handler == SIG_IGN) {
        return false;
    }
    record.previous.sa_handler(signum);
    return true;
}
