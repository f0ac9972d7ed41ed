#include "tools/dc-doctor/InstalledDaemon.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

}  // namespace doctor
