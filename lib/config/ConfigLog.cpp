#include "lib/config/ConfigLog.h"

#include <atomic>

#include "lib/log/Log.h"

namespace {

std::atomic<ConfigLogSink> gSink{nullptr};

}  // namespace

void Config_SetLogSink(ConfigLogSink sink) {
    gSink.store(sink);
}

void Config_Log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ConfigLogSink sink = gSink.load();
    if (sink != nullptr) {
        sink(level, format, args);
    } else {
        LogMessageV(level, format, args);
    }
    va_end(args);
}
