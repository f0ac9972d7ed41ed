#include "lib/log/LogFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/log/Log.h"

namespace dclog {
namespace {

struct PathParts {
    std::string base;       // everything before the extension
    std::string extension;  // ".log" or empty
};

PathParts SplitExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (dot == std::string::npos || dot <= nameStart) {
        return {path, ""};
    }
    return {path.substr(0, dot), path.substr(dot)};
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void RenameLogged(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
        LogMessage(kWarning, "Failed to rename '%s' to '%s': %s\n", from.c_str(), to.c_str(),
                   strerror(errno));
    }
}

void RemoveLogged(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        LogMessage(kWarning, "Failed to remove '%s': %s\n", path.c_str(), strerror(errno));
    }
}

// Numbers of the existing "<base>-<n><extension>" files, ascending.
std::vector<unsigned> ExistingNumbers(const std::string& path) {
    const PathParts parts = SplitExtension(path);
    const size_t slash = parts.base.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : parts.base.substr(0, slash);
    const std::string prefix = (slash == std::string::npos ? parts.base : parts.base.substr(slash + 1)) + "-";
    std::vector<unsigned> numbers;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return numbers;
    }
    while (const dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= prefix.size() + parts.extension.size() ||
            name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - parts.extension.size(), parts.extension.size(), parts.extension) !=
                0) {
            continue;
        }
        std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - parts.extension.size());
        if (!digits.empty() && digits.size() < 10 && std::all_of(digits.begin(), digits.end(), ::isdigit)) {
            numbers.push_back(static_cast<unsigned>(std::stoul(digits)));
        }
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

void RotateChain(const std::string& path, int keepOld) {
    RemoveLogged(NumberedName(path, static_cast<unsigned>(keepOld)));
    for (int n = keepOld - 1; n >= 1; --n) {
        RenameLogged(NumberedName(path, static_cast<unsigned>(n)),
                     NumberedName(path, static_cast<unsigned>(n + 1)));
    }
    RenameLogged(path, NumberedName(path, 1));
}

void RotateFast(const std::string& path, int keepOld) {
    std::vector<unsigned> numbers = ExistingNumbers(path);
    const unsigned next = numbers.empty() ? 1 : numbers.back() + 1;
    RenameLogged(path, NumberedName(path, next));
    numbers.push_back(next);
    const size_t excess = numbers.size() > static_cast<size_t>(keepOld) ? numbers.size() - keepOld : 0;
    for (size_t i = 0; i < excess; ++i) {
        RemoveLogged(NumberedName(path, numbers[i]));
    }
}

UniqueFd SafeOpenWith(const std::string& path, int flags, int mode) {
    // Checked before the open as well: O_CREAT through a dangling link
    // would otherwise create the link's target.
    struct stat before {};
    if (lstat(path.c_str(), &before) == 0 && S_ISLNK(before.st_mode)) {
        LogMessage(kWarning, "Log file '%s' is a symbolic link.\n", path.c_str());
        return {};
    }
    UniqueFd fd(
        open(path.c_str(), flags | O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (!fd.valid()) {
        LogMessage(kWarning, "Unable to open '%s': %s\n", path.c_str(), strerror(errno));
        return {};
    }
    struct stat opened {};
    struct stat named {};
    if (fstat(fd.get(), &opened) != 0) {
        LogMessage(kWarning, "Cannot fstat the file '%s': '%s'\n", path.c_str(), strerror(errno));
        return {};
    }
    if (lstat(path.c_str(), &named) != 0) {
        LogMessage(kWarning, "Cannot lstat the file '%s': '%s'\n", path.c_str(), strerror(errno));
        return {};
    }
    if (S_ISLNK(named.st_mode)) {
        LogMessage(kWarning, "Log file '%s' is a symbolic link.\n", path.c_str());
        return {};
    }
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        LogMessage(kWarning, "Log file '%s' has changed.\n", path.c_str());
        return {};
    }
    // A file planted by another user (in a shared directory, before we ever
    // ran) would hand our log to that user; only our own files, or files
    // root set up for us, are written.
    if (opened.st_uid != geteuid() && opened.st_uid != 0) {
        LogMessage(kWarning, "Log file '%s' belongs to another user.\n", path.c_str());
        return {};
    }
    return fd;
}

}  // namespace

UniqueFd SafeOpen(const std::string& path, int mode) {
    return SafeOpenWith(path, O_CREAT, mode);
}

UniqueFd SafeOpenExisting(const std::string& path) {
    return SafeOpenWith(path, 0, 0);
}

std::string NumberedName(const std::string& path, unsigned number) {
    const PathParts parts = SplitExtension(path);
    return parts.base + "-" + std::to_string(number) + parts.extension;
}

void RotateLogFiles(const std::string& path, int keepOld, bool fastRotation) {
    if (keepOld <= 0 || !Exists(path)) {
        return;
    }
    if (fastRotation) {
        RotateFast(path, keepOld);
    } else {
        RotateChain(path, keepOld);
    }
}

}  // namespace dclog
