#include "lib/config/TildeExpand.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace dcconfig {

namespace {

constexpr size_t kPasswordBufferSize = 16384;

std::optional<std::string> HomeFromPasswordDatabase(const std::string& user) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(kPasswordBufferSize);
    int rc = user.empty() ? getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found)
                          : getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0 || found == nullptr || entry.pw_dir == nullptr) {
        return std::nullopt;
    }
    return std::string(entry.pw_dir);
}

std::optional<std::string> HomeOf(const std::string& user) {
    if (user.empty()) {
        const char* home = std::getenv("HOME");
        if (home != nullptr && *home != '\0') {
            return std::string(home);
        }
    }
    return HomeFromPasswordDatabase(user);
}

}  // namespace

std::string ExpandTilde(const std::string& path) {
    if (path.empty() || path.front() != '~') {
        return path;
    }
    size_t slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::optional<std::string> home = HomeOf(user);
    if (!home) {
        return path;
    }
    return *home + (slash == std::string::npos ? std::string() : path.substr(slash));
}

}  // namespace dcconfig
