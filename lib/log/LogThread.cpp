#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <cstring>

#include "lib/log/Log.h"

namespace {

constexpr size_t kThreadNameSize = 32;

thread_local char tThreadName[kThreadNameSize];
thread_local bool tThreadNameSet = false;
thread_local int tSignalDepth = 0;
thread_local int64_t tNameReadAtMs = -1;

constexpr int64_t kNameRefreshMs = 1000;

// True when the kernel's name should be read again; the coarse clock is
// read through the vDSO, without a system call.
bool KernelNameDue() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const int64_t nowMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (tNameReadAtMs >= 0 && nowMs - tNameReadAtMs < kNameRefreshMs) {
        return false;
    }
    tNameReadAtMs = nowMs;
    return true;
}

}  // namespace

void Log_SetThreadName(const char* name) {
    if (name == nullptr) {
        tThreadNameSet = false;
        tNameReadAtMs = -1;
        return;
    }
    strncpy(tThreadName, name, kThreadNameSize - 1);
    tThreadName[kThreadNameSize - 1] = '\0';
    tThreadNameSet = true;
}

const char* Log_GetThreadName() {
    // The kernel's name costs a system call (prctl), as much as writing the
    // record itself, so it is read again at most once a second per thread:
    // a later pthread_setname_np still shows up, within a second.
    if (!tThreadNameSet && KernelNameDue()) {
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
