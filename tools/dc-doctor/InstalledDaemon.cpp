#include "tools/dc-doctor/InstalledDaemon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "src/logging/ProductVersion.h"

#include "src/core/DesktopClaim.h"
#include "src/ipc/FileText.h"

namespace doctor {
namespace {

// The longest version text believed; anything longer is not the mark.
constexpr std::size_t kMaxVersionLength = 64;

// The marked version text in the file's bytes, read without running it.
std::string VersionIn(const std::string& path) {
    // One bulk read: a daemon with its debugging symbols runs to tens of
    // megabytes, far too many to take a character at a time.
    const std::string bytes = ReadFileText(path).value_or("");
    const std::size_t mark = bytes.find(product::kVersionMark);
    if (mark == std::string::npos) {
        return {};
    }
    const std::size_t start = mark + product::kVersionMark.size();
    const std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos || end - start > kMaxVersionLength ||
        !std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                     bytes.begin() + static_cast<std::ptrdiff_t>(end),
                     [](char c) { return std::isprint(c); })) {
        return {};
    }
    return bytes.substr(start, end - start);
}

}  // namespace

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
    daemon.version = VersionIn(daemon.path);
    return daemon;
}

std::string UserName(uid_t uid) {
    return core::AccountName(uid);
}

}  // namespace doctor
