// One process, told apart from any later one that takes its pid. On a busy
// host freed pids come round again within milliseconds, so "kill(pid, 0)
// succeeds" says little about the process a test saw start.
#pragma once

#include <sys/types.h>

#include <sstream>
#include <string>

#include "tools/desktop-sandbox/TempDir.h"

namespace dctest {

class ProcessIdentity {
  public:
    explicit ProcessIdentity(pid_t pid) : pid_(pid), startTime_(StartTimeOf(pid)) {}

    // Whether that same process still runs; a zombie has ended.
    bool Alive() const {
        char state = 0;
        return startTime_ != 0 && StartTimeOf(pid_, &state) == startTime_ && state != 'Z';
    }

  private:
    // The start time in clock ticks since boot, 0 when there is no such pid.
    static unsigned long long StartTimeOf(pid_t pid, char* state = nullptr) {
        // "<pid> (<comm>) <state> ..." with the start time the 22nd field;
        // comm may hold spaces, so fields are counted after its ')'.
        const std::string stat = sandbox::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t end = stat.rfind(')');
        if (pid <= 0 || end == std::string::npos) {
            return 0;
        }
        std::istringstream rest(stat.substr(end + 1));
        std::string field;
        unsigned long long startTime = 0;
        for (int number = 3; number < 22 && rest >> field; ++number) {
            if (number == 3 && state != nullptr) {
                *state = field[0];
            }
        }
        rest >> startTime;
        return startTime;
    }

    pid_t pid_;
    unsigned long long startTime_;
};

}  // namespace dctest
