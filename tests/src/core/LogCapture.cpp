#include "tests/src/core/LogCapture.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "lib/log/Log.h"

namespace coretest {
namespace {

std::mutex& Lock() {
    static std::mutex mutex;
    return mutex;
}

std::vector<LogRecord>& Records() {
    static std::vector<LogRecord> records;
    return records;
}

}  // namespace

void ClearLog() {
    std::lock_guard lock(Lock());
    Records().clear();
}

std::vector<LogRecord> LoggedRecords() {
    std::lock_guard lock(Lock());
    return Records();
}

int CountRecords(int level, const std::string& text) {
    auto records = LoggedRecords();
    return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const LogRecord& record) {
        return record.level == level && record.text == text;
    }));
}

bool AnyRecordContains(const std::string& part) {
    auto records = LoggedRecords();
    return std::any_of(records.begin(), records.end(),
                       [&](const LogRecord& record) { return record.text.find(part) != std::string::npos; });
}

}  // namespace coretest

void LogMessageV(int level, const char* format, va_list args) {
    int savedErrno = errno;
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    {
        std::lock_guard lock(coretest::Lock());
        coretest::Records().push_back({level, text});
    }
    errno = savedErrno;
}

void LogMessage(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(level, format, args);
    va_end(args);
}
