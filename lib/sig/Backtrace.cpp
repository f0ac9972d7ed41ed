#include "lib/sig/Backtrace.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdint>

#include "lib/log/Log.h"

namespace {

constexpr int kMaxFrames = 64;

void LogFrame(int level, int index, void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        LogMessage(level, "Backtrace[%02d] %p in ??\n", index, address);
        return;
    }
    auto pc = reinterpret_cast<uintptr_t>(address);
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
        LogMessage(level, "Backtrace[%02d] %p in %s (%s+0x%lx)\n", index, address, info.dli_fname,
                   info.dli_sname,
                   static_cast<unsigned long>(pc - reinterpret_cast<uintptr_t>(info.dli_saddr)));
        return;
    }
    LogMessage(level, "Backtrace[%02d] %p in %s (+0x%lx)\n", index, address, info.dli_fname,
               static_cast<unsigned long>(pc - reinterpret_cast<uintptr_t>(info.dli_fbase)));
}

}  // namespace

void Backtrace_Prepare() {
    void* frames[2];
    backtrace(frames, 2);
}

void Backtrace_Log(int level) {
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    // Frame 0 is this function; the caller's frame is where the story starts.
    for (int i = 1; i < count; ++i) {
        LogFrame(level, i - 1, frames[i]);
    }
}
