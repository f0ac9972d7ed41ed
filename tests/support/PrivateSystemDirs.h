// Private stand-ins for the product's fixed system directories.
//
// The daemon reads and writes fixed paths (/var/tarvelo, /etc/tarvelo, ...)
// that tests must never touch on the real machine. A SystemDirsLayout owns
// one fresh temp directory per fixed directory; inside a private mount
// namespace each stand-in is bind-mounted over its fixed path. Fixed
// directories that do not exist are created inside an overlay of their
// parent, so the real file system is never written. Everything runs as root.
//
// Two ways to use a layout:
//  - PrivateSystemDirs moves the calling test process itself into such a
//    namespace (call it before any thread exists, e.g. from a custom main
//    or a gtest global environment);
//  - ChildProcess (ChildProcess.h) sets the namespace up in a forked child
//    only, then execs a command there.
// In both cases the test may prepare and inspect files through HostPath(),
// which stays valid outside the namespace.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/MountPlan.h"
#include "tests/support/TempDir.h"

namespace dctest {

inline constexpr std::array<std::string_view, 5> kFixedSystemDirs = {
    "/etc/tarvelo", "/var/tarvelo", "/usr/lib/tarvelo", "/usr/share/tarvelo", "/var/log/tarvelo",
};

class SystemDirsLayout {
  public:
    // Creates the temp tree, which is removed with everything in it on
    // destruction. Throws std::runtime_error on failure.
    SystemDirsLayout();

    // The temp directory of the whole layout; tests may keep their own files
    // below it (they are removed with it).
    const std::string& Root() const { return root_.Path(); }
    // The stand-in of a fixed directory, e.g. HostPath("/var/tarvelo").
    // Throws std::invalid_argument for any other path.
    std::string HostPath(std::string_view fixedDir) const;
    // Inside the namespace, also bind source over target (both must exist),
    // e.g. a temp copy of /etc/passwd with an extra account.
    void AddBind(std::string source, std::string target);

    // The operations that build the namespace, from the current mount table.
    MountPlan BuildPlan() const;

  private:
    TempDir root_;
    std::vector<std::pair<std::string, std::string>> extraBinds_;
};

// Moves the calling process into a private mount namespace built from its
// own layout, and back into the original namespace on destruction. Both
// require a single-threaded process. Throws std::runtime_error on failure.
class PrivateSystemDirs {
  public:
    PrivateSystemDirs();
    ~PrivateSystemDirs();
    PrivateSystemDirs(const PrivateSystemDirs&) = delete;
    PrivateSystemDirs& operator=(const PrivateSystemDirs&) = delete;

    SystemDirsLayout& Layout() { return layout_; }

  private:
    void LeaveNamespace();

    SystemDirsLayout layout_;
    MountPlan plan_;
    int originalNamespace_ = -1;
};

}  // namespace dctest
