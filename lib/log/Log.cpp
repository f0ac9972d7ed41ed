#include "lib/log/Log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "lib/log/LogState.h"

namespace {

using dclog::LogState;

char gLargeStorage[dclog::kLargeBufferSize];
// Whoever exchanges this to nullptr holds the large buffer until it puts it back.
std::atomic<char*> gLargeBuffer{gLargeStorage};

bool ValidModule(int module) {
    return module >= 0 && module <= dclog::kModuleCount;
}

// Formats into buffer; returns the text length, cut to the buffer, or -1
// when the text, with the line feed it may still need, needs more room
// than the buffer has.
int FormatInto(char* buffer, int size, const char* format, va_list args, bool mayCut) {
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(buffer, static_cast<size_t>(size), format, copy);
    va_end(copy);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    const bool needsLineFeed = length == size - 1 && buffer[length - 1] != '\n';
    if (length >= size || needsLineFeed) {
        return mayCut ? std::min(length, size - 1) : -1;
    }
    return length;
}

int EnsureLineFeed(char* buffer, int length, int size) {
    if (length > 0 && buffer[length - 1] == '\n') {
        return length;
    }
    if (length < size - 1) {
        buffer[length++] = '\n';
        buffer[length] = '\0';
    } else {
        buffer[length - 1] = '\n';
    }
    return length;
}

void MaskForbiddenWord(char* text, int length) {
    for (int i = 0; i + 2 < length; ++i) {
        if ((text[i] | 0x20) == 'q' && (text[i + 1] | 0x20) == 'x' && (text[i + 2] | 0x20) == 'r') {
            text[i] = text[i + 1] = text[i + 2] = '*';
            i += 2;
        }
    }
}

void WriteStderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t written = write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

void Route(uint32_t address, std::string_view text) {
    LogState& state = dclog::State();
    const int level = dclog::LevelOf(address);
    const dclog::LevelPair& pair = state.levels[dclog::ModuleOf(address)];
    std::lock_guard guard(state.logLock);
    if (level <= pair.err.load()) {
        WriteStderr(text);
    }
    if (level > pair.log.load()) {
        return;
    }
    for (auto& output : state.outputs) {
        if (output && level <= output->Level()) {
            output->Write(address, text);
        }
    }
}

bool PassesGate(uint32_t address) {
    const int module = dclog::ModuleOf(address);
    if (!ValidModule(module)) {
        return false;
    }
    const dclog::LevelPair& pair = dclog::State().levels[module];
    const int level = dclog::LevelOf(address);
    return level <= std::max(pair.log.load(), pair.err.load());
}

void FormatAndRoute(uint32_t address, const char* format, va_list args) {
    char stackBuffer[dclog::kStackBufferSize];
    char* buffer = stackBuffer;
    int size = dclog::kStackBufferSize;
    char* large = nullptr;
    int length = FormatInto(buffer, size, format, args, false);
    if (length < 0) {
        large = gLargeBuffer.exchange(nullptr);
        if (large != nullptr) {
            buffer = large;
            size = dclog::kLargeBufferSize;
        }
        length = FormatInto(buffer, size, format, args, true);
    }
    length = EnsureLineFeed(buffer, length, size);
    MaskForbiddenWord(buffer, length);
    Route(address, std::string_view(buffer, static_cast<size_t>(length)));
    if (large != nullptr) {
        gLargeBuffer.store(large);
    }
}

}  // namespace

void LogMessageV(int level, const char* format, va_list args) {
    const int savedErrno = errno;
    const auto address = static_cast<uint32_t>(level);
    if (PassesGate(address)) {
        FormatAndRoute(address, format, args);
    }
    errno = savedErrno;
}

void LogMessage(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(level, format, args);
    va_end(args);
}

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(dclog::kInfo, format, args);
    va_end(args);
}

void Warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(dclog::kWarning, format, args);
    va_end(args);
}

int Log_SetLevel(int module, int level) {
    if (!ValidModule(module)) {
        return -1;
    }
    LogState& state = dclog::State();
    std::lock_guard guard(state.logLock);
    state.levels[module].log.store(level);
    return level;
}

int Log_SetStderrLevel(int module, int level) {
    if (!ValidModule(module)) {
        return -1;
    }
    LogState& state = dclog::State();
    std::lock_guard guard(state.logLock);
    state.levels[module].err.store(level);
    return level;
}

int Log_GetLevel(int module) {
    return ValidModule(module) ? dclog::State().levels[module].log.load() : -1;
}

int Log_GetStderrLevel(int module) {
    return ValidModule(module) ? dclog::State().levels[module].err.load() : -1;
}

bool Log_IsEnabled(uint32_t address) {
    const int module = dclog::ModuleOf(address);
    if (!ValidModule(module)) {
        return false;
    }
    LogState& state = dclog::State();
    const int level = dclog::LevelOf(address);
    return state.outputCount.load() > 0 && (level == 0 || level <= state.levels[module].log.load());
}
