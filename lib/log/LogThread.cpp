#include <pthread.h>

#include <cstring>

#include "lib/log/Log.h"

namespace {

constexpr size_t kThreadNameSize = 32;

thread_local char tThreadName[kThreadNameSize];
thread_local bool tThreadNameSet = false;
thread_local int tSignalDepth = 0;

}  // namespace

void Log_SetThreadName(const char* name) {
    if (name == nullptr) {
        tThreadNameSet = false;
        return;
    }
    strncpy(tThreadName, name, kThreadNameSize - 1);
    tThreadName[kThreadNameSize - 1] = '\0';
    tThreadNameSet = true;
}

const char* Log_GetThreadName() {
    // The kernel's name is read each time (a cheap prctl for the calling
    // thread) so that a later pthread_setname_np still shows up.
    if (!tThreadNameSet) {
        if (pthread_getname_np(pthread_self(), tThreadName, kThreadNameSize) != 0 || tThreadName[0] == '\0') {
            strcpy(tThreadName, "thread");
        }
    }
    return tThreadName;
}

void Log_EnterSignalHandler() {
    ++tSignalDepth;
}
void Log_LeaveSignalHandler() {
    --tSignalDepth;
}
bool Log_InSignalHandler() {
    return tSignalDepth > 0;
}
