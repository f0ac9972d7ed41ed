// What /proc says about a process, and one process told apart from any later
// one that takes its pid. On a busy host freed pids come round again within
// milliseconds, so "kill(pid, 0) succeeds" says little about the process a
// test saw start.
#pragma once

#include <sys/types.h>

#include <optional>
#include <sstream>
#include <string>

#include "tools/desktop-sandbox/TempDir.h"

namespace dctest {

struct ProcessStat {
    char state = 0;
    pid_t parent = 0;
    unsigned long long startTime = 0;  // clock ticks since boot
};

// The fields of /proc/<pid>/stat a test asks about; nothing when there is
// no such process.
inline std::optional<ProcessStat> ReadProcessStat(pid_t pid) {
    // "<pid> (<comm>) <state> <parent> ..." with the start time the 22nd
    // field; comm may hold spaces, so fields are counted after its ')'.
    const std::string stat = pid > 0 ? sandbox::ReadFile("/proc/" + std::to_string(pid) + "/stat") : "";
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(stat.substr(end + 1));
    ProcessStat result;
    std::string skipped;
    if (!(rest >> result.state >> result.parent)) {
        return std::nullopt;
    }
    for (int field = 5; field < 22; ++field) {
        rest >> skipped;
    }
    rest >> result.startTime;
    return result;
}

class ProcessIdentity {
  public:
    explicit ProcessIdentity(pid_t pid) : pid_(pid), startTime_(StartTimeOf(pid)) {}

    // Whether that same process still runs; a zombie has ended.
    bool Alive() const {
        const std::optional<ProcessStat> stat = ReadProcessStat(pid_);
        return stat && startTime_ != 0 && stat->startTime == startTime_ && stat->state != 'Z';
    }

  private:
    static unsigned long long StartTimeOf(pid_t pid) {
        const std::optional<ProcessStat> stat = ReadProcessStat(pid);
        return stat ? stat->startTime : 0;
    }

    pid_t pid_;
    unsigned long long startTime_;
};

}  // namespace dctest
