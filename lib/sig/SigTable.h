// The per-signal records shared by the handler, the deferred reader and
// the set-up code. Internal to lib/sig.
#pragma once

#include <atomic>
#include <csignal>

#include "lib/sig/Sig.h"

struct SigRecord {
    int mode = 0;        // a SigMode value; 0 while the signal is not ours
    bool chain = false;  // run the previously installed action first
    bool previousHasInfo = false;
    SigCallback callback = nullptr;
    void* clientData = nullptr;
    struct sigaction previous {};
    std::atomic<bool> callbackRunning{false};
};

// Index = signal number; entry 0 is unused.
SigRecord& SigTable_Record(int signum);

// Installs the shared handler for signum (saving the previous action once)
// and records the mode. Call with all signals blocked.
void SigTable_Install(int signum, SigMode mode, int extraFlags);
// Sets SIG_IGN for signum, saving the previous action once.
void SigTable_Ignore(int signum);

// Runs the action that was installed before ours, when it is a function.
// Returns false for SIG_DFL and SIG_IGN.
bool SigTable_RunPrevious(const SigRecord& record, int signum, siginfo_t* info, void* context);
