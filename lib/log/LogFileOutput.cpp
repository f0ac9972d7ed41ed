#include "lib/log/LogFileOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "lib/log/Log.h"
#include "lib/log/LogFiles.h"
#include "lib/log/LogModules.h"
#include "lib/log/LogPending.h"
#include "lib/log/LogPurge.h"

namespace dclog {
namespace {

PrefixOptions PrefixOf(const LogFileSettings& s) {
    return {s.useTimeStamps, s.useMilliseconds, s.useLevelDesignator, s.useThreadName, s.useOpId};
}

// The path is published for the panic path, which names the file in its
// message; a fixed buffer, so that reading it never allocates.
std::mutex gPathMutex;
char gCurrentPath[PATH_MAX];

void PublishPath(const std::string& path) {
    std::lock_guard guard(gPathMutex);
    snprintf(gCurrentPath, sizeof gCurrentPath, "%s", path.c_str());
}

double SecondsSince(int64_t startMicros) {
    return static_cast<double>(MonotonicMicros() - startMicros) / 1e6;
}

}  // namespace

int64_t MonotonicMicros() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

LogFileOutput::LogFileOutput(const LogFileSettings& settings, LogFilePath path, MicrosClock clock)
    : LogOutput(kFileOutputType, kFileOutputName, settings.fileLevel),
      settings_(settings),
      path_(std::move(path)),
      prefix_(PrefixOf(settings)),
      clock_(std::move(clock)),
      utcOffset_(HostUtcOffset()),
      throttle_(settings.throttleThreshold, settings.throttleBytesPerSec, clock_()),
      ring_(kRingBytes),
      rotateAt_(static_cast<uint64_t>(settings.rotateSize)) {}

bool LogFileOutput::Open() {
    const char* path = path_.path.c_str();
    struct stat st {};
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        LogMessage(kWarning, "Rejecting '%s' because it is not an acceptable type.\n", path);
        return false;
    }
    if (!(settings_.append && OpenForAppend()) && !OpenFresh()) {
        return false;
    }
    if (fstat(fd_.get(), &st) == 0) {
        written_ = static_cast<uint64_t>(st.st_size);
    }
    PublishPath(path_.path);
    return true;
}

// Append continues a log that exists, as it is: it neither makes a
// missing file nor labels an empty one.
bool LogFileOutput::OpenForAppend() {
    struct stat st {};
    if (lstat(path_.path.c_str(), &st) == 0) {
        fd_ = SafeOpenExisting(path_.path);
    }
    if (!fd_.valid()) {
        LogMessage(kWarning, "Could not open log file '%s' for append, ignoring log.append option\n",
                   path_.path.c_str());
        return false;
    }
    return true;
}

bool LogFileOutput::OpenFresh() {
    const char* path = path_.path.c_str();
    if (!path_.isDefaultName && settings_.keepOld > 0) {
        RotateLogFiles(path_.path, settings_.keepOld, settings_.fastRotation);
    }
    UniqueFd fd = SafeOpen(path_.path, settings_.permissions);
    if (!fd.valid()) {
        LogMessage(kWarning, "Open of '%s' failed\n", path);
        return false;
    }
    if (ftruncate(fd.get(), 0) != 0) {
        LogMessage(kWarning, "Truncation of '%s' failed: %s\n", path, strerror(errno));
        return false;
    }
    if (!WriteHeader(fd.get())) {
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

bool LogFileOutput::WriteHeader(int fd) {
    const std::string header = HeaderText(prefix_, utcOffset_, WallClockMicros());
    if (WriteAll(fd, header) != header.size()) {
        LogMessage(kWarning, "Unable to label log file '%s'\n", path_.path.c_str());
        return false;
    }
    if (fd == fd_.get()) {
        written_ += header.size();
    }
    return true;
}

void LogFileOutput::Write(uint32_t address, std::string_view text) {
    if (!fd_.valid()) {
        return;
    }
    if (Log_InSignalHandler()) {
        WriteFromSignalHandler(address, text);
        return;
    }
    RotateIfDue();
    if (!IsMarked(address) && !rotating_) {
        UpdateThrottle(text.size());
    }
    std::string line = LinePrefix(prefix_, address, WallClockMicros(), text.size());
    line.append(text);
    if (!throttle_.Throttled()) {
        WriteLine(line);
    }
    ring_.Put(std::move(line));
}

// The handler may have interrupted malloc or this very output: no heap, no
// rotation, no ring. The records of a dying process pass the throttle.
void LogFileOutput::WriteFromSignalHandler(uint32_t address, std::string_view text) {
    LinePrefixText prefix;
    FormatLinePrefix(prefix_, address, WallClockMicros(), prefix);
    written_ += WriteAll(fd_.get(), std::string_view(prefix.text, prefix.length));
    written_ += WriteAll(fd_.get(), text);
}

void LogFileOutput::UpdateThrottle(size_t length) {
    const bool before = throttle_.Throttled();
    const bool after = throttle_.Check(static_cast<int64_t>(length), clock_());
    if (before == after) {
        return;
    }
    if (after) {
        WriteLine(LinePrefix(prefix_, MessageAddress(0, kAudit), WallClockMicros()) + "<<< " + Name() +
                  " Throttled >>>\n");
        ring_.Clear();
        return;
    }
    for (const std::string& held : ring_.Entries()) {
        WriteLine(held);
    }
    ring_.Clear();
}

void LogFileOutput::RotateIfDue() {
    if (rotating_ || settings_.rotateSize == 0 || written_ <= rotateAt_) {
        return;
    }
    rotating_ = true;
    const bool rotated = Rotate();
    rotating_ = false;
    // A failure (a full disk, mostly) would recur on every record and move
    // the kept logs out one by one; the current file first grows again.
    rotateAt_ = rotated ? static_cast<uint64_t>(settings_.rotateSize) : written_ + settings_.rotateSize;
}

bool LogFileOutput::Rotate() {
    if (settings_.keepOld > 0) {
        const int64_t start = MonotonicMicros();
        RotateLogFiles(path_.path, settings_.keepOld, settings_.fastRotation);
        LogMessage(kInfo, "%s: Rotating to a new log file (keepOld %d) took %f seconds.\n", "LogRotation",
                   settings_.keepOld, SecondsSince(start));
    }
    UniqueFd fresh = SafeOpen(path_.path, settings_.permissions);
    if (!fresh.valid()) {
        return false;
    }
    // Without old files to keep, the same file starts over.
    if (settings_.keepOld == 0 && ftruncate(fresh.get(), 0) != 0) {
        LogMessage(kWarning, "Truncation of '%s' failed: %s\n", path_.path.c_str(), strerror(errno));
        return false;
    }
    if (!WriteHeader(fresh.get())) {
        return false;
    }
    fd_ = std::move(fresh);
    written_ = static_cast<uint64_t>(lseek(fd_.get(), 0, SEEK_END));
    discarded_ = 0;
    return true;
}

void LogFileOutput::WriteLine(const std::string& text) {
    if (discarded_ > 0) {
        char notice[96];
        snprintf(notice, sizeof notice, ">>> Error writing log, %lu bytes discarded. Disk full?\n",
                 static_cast<unsigned long>(discarded_));
        const std::string line = LinePrefix(prefix_, MessageAddress(0, kWarning), WallClockMicros()) + notice;
        const size_t done = WriteAll(fd_.get(), line);
        written_ += done;
        if (done == line.size()) {
            discarded_ = 0;
        }
    }
    const size_t done = WriteAll(fd_.get(), text);
    written_ += done;
    discarded_ += text.size() - done;
    if (settings_.syncAfterWrite && done > 0) {
        fsync(fd_.get());
    }
}

size_t LogFileOutput::WriteAll(int fd, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

void LogFileOutput::Flush() {
    if (fd_.valid()) {
        fdatasync(fd_.get());
    }
}

void LogFileOutput::Close() {
    Flush();
    fd_.reset();
    PublishPath({});
}

LogOutput* StartFileOutput(const std::string& prefix, const SettingsLayer& dictionary,
                           const SettingsLayer& preferences, bool purge) {
    return StartFileOutputIn(LogAreas{}, MonotonicMicros, prefix, dictionary, preferences, purge);
}

LogOutput* StartFileOutputIn(const LogAreas& areas, const MicrosClock& clock, const std::string& prefix,
                             const SettingsLayer& dictionary, const SettingsLayer& preferences, bool purge) {
    PendingRecords pending;
    const LogFileSettings settings = ReadLogFileSettings(prefix, dictionary, preferences);
    std::optional<std::string> directory = SafeLogDirectory(areas, settings.systemAreaTemp);
    if (!directory) {
        return nullptr;
    }
    std::string configured;
    if (!settings.configPreference.empty() && preferences.getString) {
        configured = preferences.getString(nullptr, settings.configPreference.c_str()).value_or("");
    }
    LogFilePath path = ChooseLogFilePath(settings, configured, *directory);
    int purged = 0;
    if (purge && settings.keepOld > 0 && path.isDefaultName) {
        purged = PurgeOldLogFiles(*directory, DefaultNameStem(settings.suffix), settings.keepOld);
    }
    if (settings.stderrLevel != -1) {
        Log_SetStderrLevel(0, settings.stderrLevel);
    }
    LogOutput* output = RegisterOutput(std::make_unique<LogFileOutput>(settings, std::move(path), clock));
    pending.Replay(output);
    if (purged > 0) {
        LogMessage(kInfo, "Removed %d old log files of ended processes from '%s' (keepOld %d)\n", purged,
                   directory->c_str(), settings.keepOld);
    }
    ApplyModuleFilters(prefix, preferences);
    return output;
}

void CopyCurrentLogFilePath(char* out, size_t size) {
    std::lock_guard guard(gPathMutex);
    snprintf(out, size, "%s", gCurrentPath);
}

std::string CurrentLogFilePath() {
    char path[PATH_MAX];
    CopyCurrentLogFilePath(path, sizeof path);
    return path;
}

}  // namespace dclog
