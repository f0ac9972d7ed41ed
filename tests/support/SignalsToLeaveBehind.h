// Signal state a child must not inherit: while one of these lives, the
// process ignores SIGUSR1 and the calling thread blocks SIGUSR2.
#pragma once

#include <signal.h>

namespace dctest {

class SignalsToLeaveBehind {
  public:
    // What a child's /proc/self/status shows for both when it started with
    // every disposition at its default and nothing blocked.
    static constexpr const char* kChildDefaults = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";

    SignalsToLeaveBehind() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGUSR1, &ignore, &previousAction_);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, &previousMask_);
    }
    ~SignalsToLeaveBehind() {
        pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        sigaction(SIGUSR1, &previousAction_, nullptr);
    }
    SignalsToLeaveBehind(const SignalsToLeaveBehind&) = delete;
    SignalsToLeaveBehind& operator=(const SignalsToLeaveBehind&) = delete;

    // Whether this process still has both, as set.
    static bool InForce() {
        struct sigaction current {};
        sigaction(SIGUSR1, nullptr, &current);
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        return current.sa_handler == SIG_IGN && sigismember(&mask, SIGUSR2) == 1;
    }

  private:
    struct sigaction previousAction_ {};
    sigset_t previousMask_{};
};

}  // namespace dctest
