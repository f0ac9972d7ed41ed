#include "lib/log/LogPurge.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/UniqueDir.h"

namespace dclog {
namespace {

constexpr std::string_view kExtension = ".log";
// The boot time is known in whole seconds and a start in clock ticks: a
// process counts as started after a file was written only by this margin.
constexpr time_t kStartMarginSeconds = 2;

struct OldLog {
    std::string name;
    timespec modified;
};

// Takes a decimal number from the front of text, written as the program
// prints one: no sign, no leading zero.
std::optional<unsigned long> TakeNumber(std::string_view& text) {
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || text.front() == '0') {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return value;
}

// The pid of "<stem>-<pid>.log" or "<stem>-<pid>-<n>.log"; 0 for any other
// name.
pid_t PidOfLogName(std::string_view name, std::string_view stem) {
    if (!name.starts_with(stem) || !name.ends_with(kExtension)) {
        return 0;
    }
    name.remove_prefix(stem.size());
    name.remove_suffix(kExtension.size());
    if (!name.starts_with('-')) {
        return 0;
    }
    name.remove_prefix(1);
    const std::optional<unsigned long> pid = TakeNumber(name);
    if (!pid || *pid > INT_MAX) {
        return 0;
    }
    if (!name.empty()) {
        if (!name.starts_with('-')) {
            return 0;
        }
        name.remove_prefix(1);
        if (!TakeNumber(name) || !name.empty()) {
            return 0;
        }
    }
    return static_cast<pid_t>(*pid);
}

std::optional<time_t> BootTime() {
    std::ifstream stat("/proc/stat");
    for (std::string key; stat >> key;) {
        if (key == "btime") {
            time_t seconds = 0;
            return stat >> seconds ? std::optional(seconds) : std::nullopt;
        }
        stat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::nullopt;
}

// When process pid started, in seconds since the epoch; nothing when /proc
// does not say.
std::optional<time_t> StartOf(pid_t pid, time_t bootTime) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The name in parentheses may hold anything; the fields after it are
    // plain. The first of them is field 3, the start time field 22.
    const size_t nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string field;
    for (int number = 3; number <= 22; ++number) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
    }
    unsigned long long ticks = 0;
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), ticks);
    if (error != std::errc() || end != field.data() + field.size() || ticksPerSecond <= 0) {
        return std::nullopt;
    }
    return bootTime + static_cast<time_t>(ticks / static_cast<unsigned long long>(ticksPerSecond));
}

// Whether the process that wrote a log up to modified may still run: its
// pid is taken, and not by a process that started later.
bool WriterMayLive(pid_t pid, time_t modified, std::optional<time_t> bootTime) {
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    const std::optional<time_t> start = bootTime ? StartOf(pid, *bootTime) : std::nullopt;
    return !start || *start <= modified + kStartMarginSeconds;
}

std::vector<OldLog> LogsOfEndedRuns(DIR* dir, std::string_view stem) {
    const int dirFd = dirfd(dir);
    const uid_t self = geteuid();
    const std::optional<time_t> bootTime = BootTime();
    std::vector<OldLog> logs;
    while (const dirent* entry = readdir(dir)) {
        const pid_t pid = PidOfLogName(entry->d_name, stem);
        struct stat st {};
        if (pid == 0 || fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != self || WriterMayLive(pid, st.st_mtim.tv_sec, bootTime)) {
            continue;
        }
        logs.push_back({entry->d_name, st.st_mtim});
    }
    return logs;
}

bool OlderFirst(const OldLog& a, const OldLog& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) {
        return a.modified.tv_sec < b.modified.tv_sec;
    }
    if (a.modified.tv_nsec != b.modified.tv_nsec) {
        return a.modified.tv_nsec < b.modified.tv_nsec;
    }
    return a.name < b.name;
}

}  // namespace

int PurgeOldLogFiles(const std::string& directory, const std::string& stem, int keepOld) {
    UniqueDir dir = OpenDir(directory.c_str());
    if (!dir) {
        LogMessage(kWarning, "Cannot list log directory '%s': %s\n", directory.c_str(), strerror(errno));
        return 0;
    }
    std::vector<OldLog> logs = LogsOfEndedRuns(dir.get(), stem);
    const size_t keep = static_cast<size_t>(std::max(keepOld, 0));
    if (logs.size() <= keep) {
        return 0;
    }
    std::sort(logs.begin(), logs.end(), OlderFirst);
    int removed = 0;
    for (size_t i = 0; i + keep < logs.size(); ++i) {
        if (unlinkat(dirfd(dir.get()), logs[i].name.c_str(), 0) == 0) {
            ++removed;
        } else if (errno != ENOENT) {
            LogMessage(kWarning, "Failed to remove '%s/%s': %s\n", directory.c_str(), logs[i].name.c_str(),
                       strerror(errno));
        }
    }
    return removed;
}

}  // namespace dclog
