// The line prefix and the header of the log file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dclog {

struct PrefixOptions {
    bool useTimeStamps = true;
    bool useMilliseconds = true;
    bool useLevelDesignator = true;
    bool useThreadName = true;
    bool useOpId = false;
};

// A prefix in a fixed buffer, for the paths that must not allocate (a
// signal handler); what does not fit is cut.
struct LinePrefixText {
    char text[160] = {};
    size_t length = 0;

    void Append(const char* part, size_t size);
    void Append(const char* part);
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Builds the prefix for a message address at the given wall-clock time
// (microseconds since the epoch). Inside a signal handler the last stamp
// computed by any thread is reused with the time elapsed since it.
// room: bytes the caller will append, reserved with the prefix.
void FormatLinePrefix(const PrefixOptions& options, uint32_t address, int64_t nowMicros, LinePrefixText& out);
std::string LinePrefix(const PrefixOptions& options, uint32_t address, int64_t nowMicros, size_t room = 0);

int64_t WallClockMicros();

// Product identity printed in the first header line.
void SetProductInfo(const std::string& name, const std::string& version, const std::string& build,
                    const std::string& buildType);

// Host offset from UTC in seconds, east positive.
long HostUtcOffset();

// The header lines, each already carrying its prefix.
std::string HeaderText(const PrefixOptions& options, long utcOffsetSeconds, int64_t nowMicros);

}  // namespace dclog

// Operation id of the calling thread, shown when "log.useOpID" is on.
void Log_SetOperationId(const char* id);
