// Private stand-ins for the product's fixed system directories.
//
// The daemon reads and writes fixed paths (/var/tarvelo, /etc/tarvelo, ...)
// that tests must never touch on the real machine. A SystemDirsLayout owns
// one fresh temp directory per fixed directory; inside a private mount
// namespace each stand-in is bind-mounted over its fixed path. A fixed
// directory that does not exist gets its mount point inside an overlay of
// its parent, so the real file system is never written. Runs as root.
//
// ChildProcess (ChildProcess.h) sets the namespace up in a forked child
// only; the test reaches the files through HostPath() from outside.
#pragma once

#include <array>
#include <atomic>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/desktop-sandbox/TempDir.h"

namespace sandbox {

inline constexpr std::array<std::string_view, 5> kFixedSystemDirs = {
    "/etc/tarvelo", "/var/tarvelo", "/usr/lib/tarvelo", "/usr/share/tarvelo", "/var/log/tarvelo",
};

// Prepared in full before fork, so that a child carries it out with bare
// system calls: no allocation, no locks between fork and exec.
struct MountOp {
    std::string source{};
    std::string target{};
    std::string fsType{};
    std::string data{};
    unsigned long flags = 0;
    bool makeDir = false;  // mkdir target instead of mounting
};
using MountPlan = std::vector<MountOp>;

// Enters a new, private mount namespace and applies the plan with
// async-signal-safe calls only. On failure returns false and points
// failedTarget at the target of the failed step.
bool ApplyMountPlan(const MountPlan& plan, const char** failedTarget);

class SystemDirsLayout {
  public:
    // Creates the temp tree, removed with everything in it on destruction.
    SystemDirsLayout();

    // The temp directory of the whole layout; tests may keep files below it.
    const std::string& Root() const { return root_.Path(); }
    // The stand-in of a fixed directory, e.g. HostPath("/var/tarvelo");
    // throws std::invalid_argument for any other path.
    std::string HostPath(std::string_view fixedDir) const;
    // Inside the namespace, also bind source over target (both must exist).
    void AddBind(std::string source, std::string target) { extraBinds_.emplace_back(source, target); }
    // The plan of the namespace; standIns (fixed directory, host directory)
    // take the place of the layout's own stand-ins.
    MountPlan BuildPlan(const std::vector<std::pair<std::string, std::string>>& standIns = {}) const;

  private:
    TempDir root_;
    std::vector<std::pair<std::string, std::string>> extraBinds_;
    mutable std::atomic<unsigned> plansBuilt_ = 0;
};

}  // namespace sandbox
