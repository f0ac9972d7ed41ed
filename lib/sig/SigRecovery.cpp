#include "lib/sig/SigRecovery.h"

#include <pthread.h>
#include <ucontext.h>

#include <csignal>

#include "lib/log/Log.h"

namespace {

thread_local SigRecoveryPoint* tPoint = nullptr;

bool IsCovered(int signum) {
    return signum == SIGILL || signum == SIGABRT || signum == SIGBUS || signum == SIGSEGV;
}

}  // namespace

void Sig_ArmRecovery(SigRecoveryPoint* point) {
    tPoint = point;
}

void Sig_DisarmRecovery() {
    tPoint = nullptr;
}

void SigRecovery_JumpIfArmed(int signum, void* context) {
    SigRecoveryPoint* point = tPoint;
    if (point == nullptr || !IsCovered(signum)) {
        return;
    }
    tPoint = nullptr;
    // Leaving by a jump skips the handler's return, so undo what returning
    // would have undone: the handler's signal mask and the handler depth.
    pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t*>(context)->uc_sigmask, nullptr);
    Log_LeaveSignalHandler();
    std::longjmp(point->buffer, 1);
}
