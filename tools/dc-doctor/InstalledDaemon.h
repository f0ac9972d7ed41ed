// The daemon this doctor speaks for: the DesktopController installed in
// the same directory as the doctor itself, as the package puts them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace doctor {

struct InstalledDaemon {
    std::string path;
    uid_t owner = 0;
    bool setUserId = false;
    // Whom the daemon runs as when this session's user starts it.
    uid_t effectiveUid = 0;
    // "<version> build <number>" as the file carries it (ProductVersion.h);
    // empty for a daemon built without that mark.
    std::string version{};
};

std::optional<InstalledDaemon> FindInstalledDaemon();

// The account name of uid, or its number when it has none.
std::string UserName(uid_t uid);

}  // namespace doctor
