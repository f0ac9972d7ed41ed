#include "src/core/StartUp.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "lib/config/Preference.h"
#include "lib/sig/PollLoop.h"
#include "lib/sig/Sig.h"
#include "src/core/PrivilegeDrop.h"
#include "src/logging/LoggerWrapper.h"

namespace {

LoggerWrapper* loggerSlot = nullptr;
void (*beforeExit)() = nullptr;

}  // namespace

void SetLoggerSlot(LoggerWrapper* logger) {
    loggerSlot = logger;
}

void SetBeforeExit(void (*hook)()) {
    beforeExit = hook;
}

void CleanExit(int status) {
    if (beforeExit != nullptr) {
        std::exchange(beforeExit, nullptr)();
    }
    if (loggerSlot != nullptr) {
        delete loggerSlot;
        loggerSlot = nullptr;
    }
    Sig_Exit();
    Poll_Exit();
    Preference_Exit();
    exit(status);
}

void DropPrivileges() {
    const uid_t realUid = getuid();
    const uid_t startUid = geteuid();
    if (realUid == startUid) {
        return;
    }
    DropOutcome outcome;
    outcome.setResult = syscall(SYS_setresuid, realUid, realUid, realUid);
    outcome.setError = errno;
    outcome.getResult = getresuid(&outcome.after.real, &outcome.after.effective, &outcome.after.saved);
    outcome.getError = errno;
    // Going on with the start-up user's rights would hand them to every
    // child started later; not even exit handlers and destructors run with
    // them, since nothing outside the process was set up yet.
    const std::string failure = PrivilegeDropFailure(startUid, realUid, outcome);
    if (!failure.empty()) {
        fputs(failure.c_str(), stderr);
        _exit(kExitStartupFailed);
    }
}
