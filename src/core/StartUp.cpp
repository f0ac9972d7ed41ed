#include "src/core/StartUp.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "lib/config/Preference.h"
#include "lib/sig/PollLoop.h"
#include "lib/sig/Sig.h"
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
    uid_t realUid = getuid();
    if (realUid != geteuid()) {
        syscall(SYS_setresuid, realUid, realUid, realUid);
    }
}
