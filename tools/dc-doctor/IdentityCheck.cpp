// The desktop magic: present, private to brvcanvas, of the right length,
// and readable by the daemon as it is installed. Its content is never read
// here, so it cannot be printed: the length comes from the file's size.
#include <pwd.h>
#include <sys/stat.h>

#include <cstdio>

#include "src/core/IdentityFiles.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"

namespace doctor {
namespace {

constexpr const char* kName = "identity";
constexpr const char* kOwnerName = "brvcanvas";
constexpr off_t kMagicLength = 40;

std::string Octal(mode_t mode) {
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::optional<CheckResult> CheckMagicFile(const struct stat& file, uid_t ownerUid) {
    const std::string path = core::kDesktopMagicPath;
    if (!S_ISREG(file.st_mode)) {
        return Failure(kName, path + " is not a regular file",
                       "the agent must write the magic as a plain file");
    }
    if ((file.st_mode & 07777) != 0600) {
        return Failure(kName, path + " has mode " + Octal(file.st_mode) + ", it must be 0600",
                       "chmod 0600 " + path);
    }
    if (file.st_uid != ownerUid) {
        return Failure(kName, path + " belongs to " + UserName(file.st_uid) + ", not to " + kOwnerName,
                       std::string("chown ") + kOwnerName + " " + path);
    }
    if (file.st_size != kMagicLength) {
        return Failure(kName, path + " holds " + std::to_string(file.st_size) + " bytes, a magic has 40",
                       "let the agent write the desktop magic again");
    }
    return std::nullopt;
}

}  // namespace

CheckResult CheckIdentity() {
    const std::string path = core::kDesktopMagicPath;
    const struct passwd* owner = getpwnam(kOwnerName);
    if (owner == nullptr) {
        return Failure(kName, std::string("there is no user ") + kOwnerName, "reinstall the agent");
    }
    struct stat file {};
    if (lstat(path.c_str(), &file) != 0) {
        return Failure(kName, "no desktop magic at " + path, "start the agent, which writes it");
    }
    if (auto problem = CheckMagicFile(file, owner->pw_uid)) {
        return *problem;
    }
    const auto daemon = FindInstalledDaemon();
    if (!daemon) {
        return Failure(kName, "no DesktopController beside this program", "reinstall the package");
    }
    if (daemon->effectiveUid != 0 && daemon->effectiveUid != owner->pw_uid) {
        return Failure(
            kName,
            daemon->path + " would run as " + UserName(daemon->effectiveUid) +
                " and could not read the magic",
            std::string("chown ") + kOwnerName + " " + daemon->path + " && chmod 4755 " + daemon->path);
    }
    return Ok(kName, path + " is 0600, belongs to " + kOwnerName + " and holds 40 bytes; " + daemon->path +
                         " reads it as " + UserName(daemon->effectiveUid));
}

}  // namespace doctor
