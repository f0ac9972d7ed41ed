// The log file output: one file per process, with a header, a line prefix,
// size rotation, throttling and accounting of lost bytes.
//
// Owned by the log library once registered; every call arrives under
// "logLock", so its state needs no lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lib/log/LogFilePath.h"
#include "lib/log/LogFileSettings.h"
#include "lib/log/LogOutput.h"
#include "lib/log/LogPrefix.h"
#include "lib/log/LogRing.h"
#include "lib/log/LogThrottle.h"
#include "lib/log/UniqueFd.h"

namespace dclog {

inline constexpr uint32_t kFileOutputType = 0x12345;
inline constexpr const char* kFileOutputName = "file";
inline constexpr size_t kRingBytes = 65536;

// Monotonic microseconds; the throttle's clock.
using MicrosClock = std::function<int64_t()>;
int64_t MonotonicMicros();

class LogFileOutput : public LogOutput {
  public:
    LogFileOutput(const LogFileSettings& settings, LogFilePath path, MicrosClock clock);

    bool Open() override;
    void Write(uint32_t address, std::string_view text) override;
    void Flush() override;
    void Close() override;

    const std::string& Path() const { return path_.path; }

  private:
    bool OpenForAppend();
    bool OpenFresh();
    bool WriteHeader(int fd);
    void RotateIfDue();
    // True when the new file is current and labelled.
    bool Rotate();
    void UpdateThrottle(size_t length);
    void WriteLine(const std::string& text);
    void WriteFromSignalHandler(uint32_t address, std::string_view text);
    size_t WriteAll(int fd, std::string_view text);

    LogFileSettings settings_;
    LogFilePath path_;
    PrefixOptions prefix_;
    MicrosClock clock_;
    long utcOffset_;
    UniqueFd fd_;
    uint64_t written_ = 0;
    uint64_t discarded_ = 0;
    LogThrottle throttle_;
    LogRing ring_;
    // Records logged while rotating come back here; they go to the old file.
    bool rotating_ = false;
    // Rotation is due once the current file holds more than this.
    uint64_t rotateAt_;
};

// Builds the file output from the settings layers, purges old default-named
// files of ended processes when asked (LogPurge.h), registers (opens) it and
// applies the per-module filters. Returns the output, or nullptr after logging why.
// Warnings of the start itself follow the header once the file is open,
// or go to standard error when no file output could be made.
LogOutput* StartFileOutput(const std::string& prefix, const SettingsLayer& dictionary,
                           const SettingsLayer& preferences, bool purge);

// The same with other roots for the log directory and another clock.
LogOutput* StartFileOutputIn(const LogAreas& areas, const MicrosClock& clock, const std::string& prefix,
                             const SettingsLayer& dictionary, const SettingsLayer& preferences, bool purge);

// Path of the open log file, or empty when there is none. The copy into a
// caller's buffer (cut to size) never allocates.
void CopyCurrentLogFilePath(char* out, size_t size);
std::string CurrentLogFilePath();

}  // namespace dclog
