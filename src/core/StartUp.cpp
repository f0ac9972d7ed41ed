#include "src/core/StartUp.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "lib/config/Preference.h"
#include "lib/sig/PollLoop.h"
#include "lib/sig/Sig.h"
#include "src/logging/LoggerWrapper.h"

namespace {

LoggerWrapper* loggerSlot = nullptr;

}  // namespace

void SetLoggerSlot(LoggerWrapper* logger) {
    loggerSlot = logger;
}

void CleanExit(int status) {
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
