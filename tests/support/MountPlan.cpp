#include "tests/support/MountPlan.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>

namespace dctest {

bool ApplyMountPlan(const MountPlan& plan, const char** failedTarget) {
    *failedTarget = "unshare";
    if (unshare(CLONE_NEWNS) != 0) {
        return false;
    }
    // Without this, mounts made below would propagate back into the
    // namespace the test was started from.
    *failedTarget = "/";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    for (const MountOp& op : plan.ops) {
        *failedTarget = op.target.c_str();
        if (op.kind == MountOp::Kind::kMakeDir) {
            if (mkdir(op.target.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
            continue;
        }
        const char* source = op.source.empty() ? nullptr : op.source.c_str();
        const char* fsType = op.fsType.empty() ? nullptr : op.fsType.c_str();
        const char* data = op.data.empty() ? nullptr : op.data.c_str();
        if (mount(source, op.target.c_str(), fsType, op.flags, data) != 0) {
            return false;
        }
    }
    *failedTarget = nullptr;
    return true;
}

}  // namespace dctest
