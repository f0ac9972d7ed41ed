// A list of mount-namespace operations prepared in full before they run, so
// that a forked child can carry them out with bare system calls: no
// allocation, no locks, no logging between fork and exec.
#pragma once

#include <string>
#include <vector>

namespace dctest {

struct MountOp {
    enum class Kind { kMakeDir, kMount };
    Kind kind = Kind::kMount;
    std::string source;
    std::string target;
    std::string fsType;
    std::string data;
    unsigned long flags = 0;
};

struct MountPlan {
    std::vector<MountOp> ops;
};

// Enters a new, private mount namespace and applies the plan. Only
// async-signal-safe calls: usable in a forked child. On failure returns
// false and points failedTarget at the target of the failed operation.
bool ApplyMountPlan(const MountPlan& plan, const char** failedTarget);

}  // namespace dctest
