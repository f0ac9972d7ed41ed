#include "tools/dc-doctor/InstalledDaemon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "src/core/DesktopClaim.h"

namespace doctor {

std::optional<InstalledDaemon> FindInstalledDaemon() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    InstalledDaemon daemon{.path = self.parent_path() / "DesktopController"};
    struct stat status {};
    if (stat(daemon.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    daemon.owner = status.st_uid;
    daemon.setUserId = (status.st_mode & S_ISUID) != 0;
    daemon.effectiveUid = daemon.setUserId ? status.st_uid : getuid();
    return daemon;
}

std::string UserName(uid_t uid) {
    return core::AccountName(uid);
}

}  // namespace doctor
