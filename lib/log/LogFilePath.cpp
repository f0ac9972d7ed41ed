#include "lib/log/LogFilePath.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/log/Log.h"
#include "lib/log/UniqueFd.h"

namespace dclog {
namespace {

// The area's name follows the effective user, never the environment: a
// set-user-id start must not log into a directory the caller picked. A
// uid without a passwd entry is named by its number.
std::string EffectiveUserName() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_name[0] != '\0' && strchr(found->pw_name, '/') == nullptr) {
        return found->pw_name;
    }
    return std::to_string(geteuid());
}

std::string UserName() {
    if (const char* user = getenv("USER"); user != nullptr && *user != '\0') {
        return user;
    }
    return EffectiveUserName();
}

std::string HomeDirectory() {
    if (const char* home = getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->pw_dir;
    }
    return {};
}

std::string TempRoot(const LogAreas& areas) {
    if (!areas.tempRoot.empty()) {
        return areas.tempRoot;
    }
    const char* tmp = getenv("TMPDIR");
    return (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
}

// Anyone may create the well-known name first, as a directory or a link;
// then a fresh directory that only we can have keeps the log going.
std::optional<std::string> FreshUserArea(const std::string& squatted) {
    std::string directory = squatted + "-XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) {
        LogMessage(kWarning, "Failed to establish the safe logging directory area: %s\n", strerror(errno));
        return std::nullopt;
    }
    LogMessage(kWarning, "Safe logging area '%s' is not private to this user; using '%s' instead.\n",
               squatted.c_str(), directory.c_str());
    return directory;
}

std::optional<std::string> EstablishUserArea(const LogAreas& areas) {
    const std::string directory = UserLogAreaName(areas);
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        LogMessage(kWarning, "Failed to establish the safe logging directory area: %s\n", strerror(errno));
        return std::nullopt;
    }
    if (!IsPrivateDirectory(directory)) {
        return FreshUserArea(directory);
    }
    return directory;
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string VariableValue(const std::string& variable) {
    if (variable == "PID") {
        return std::to_string(getpid());
    }
    if (variable == "USER") {
        return UserName();
    }
    if (variable == "HOME") {
        return HomeDirectory();
    }
    const char* value = getenv(variable.c_str());
    return value != nullptr ? value : "";
}

// Reads "$NAME" or "${NAME}" at position; returns the name and advances.
std::optional<std::string> ReadVariable(const std::string& text, size_t& position) {
    size_t start = position + 1;
    if (start < text.size() && text[start] == '{') {
        size_t close = text.find('}', start);
        if (close == std::string::npos || close == start + 1) {
            return std::nullopt;
        }
        position = close + 1;
        return text.substr(start + 1, close - start - 1);
    }
    size_t end = start;
    while (end < text.size() && IsNameChar(text[end])) {
        ++end;
    }
    if (end == start) {
        return std::nullopt;
    }
    position = end;
    return text.substr(start, end - start);
}

}  // namespace

std::string UserLogAreaName(const LogAreas& areas) {
    return TempRoot(areas) + "/tarvelo-" + EffectiveUserName();
}

// The user's own directory must be exactly that: a private directory of
// this user. The system area may belong to root as well, but no one else
// may write to it.
bool IsSafeLogArea(const std::string& directory, bool systemArea) {
    struct stat st {};
    if (lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    if (systemArea) {
        return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & S_IWOTH) == 0;
    }
    return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Only a directory of our own, reached without following a link and
// writable by nobody else, keeps the log private.
bool IsPrivateDirectory(const std::string& directory) {
    UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    return fd.valid() && fstat(fd.get(), &st) == 0 && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::string> SafeLogDirectory(const LogAreas& areas, bool systemArea) {
    std::optional<std::string> directory;
    if (systemArea) {
        directory = areas.systemArea;
        struct stat st {};
        if (lstat(directory->c_str(), &st) != 0) {
            LogMessage(kWarning, "Failed to establish the safe logging directory area: %s\n",
                       strerror(errno));
            return std::nullopt;
        }
    } else {
        directory = EstablishUserArea(areas);
        if (!directory) {
            return std::nullopt;
        }
    }
    if (!IsSafeLogArea(*directory, systemArea)) {
        LogMessage(kWarning, "Safe logging area '%s' validation failed!\n", directory->c_str());
        return std::nullopt;
    }
    return directory;
}

std::string ExpandFileName(const std::string& name) {
    std::string result;
    size_t position = 0;
    if (!name.empty() && name[0] == '~') {
        result = HomeDirectory();
        position = 1;
    }
    while (position < name.size()) {
        if (name[position] == '$') {
            size_t next = position;
            if (std::optional<std::string> variable = ReadVariable(name, next)) {
                result += VariableValue(*variable);
                position = next;
                continue;
            }
        }
        result += name[position++];
    }
    return result;
}

std::string DefaultNameStem(const std::string& suffix) {
    return suffix.empty() ? std::string("brevant") : "brevant-" + suffix;
}

LogFilePath ChooseLogFilePath(const LogFileSettings& settings, const std::string& configuredValue,
                              const std::string& logDirectory) {
    const std::string& configured = !configuredValue.empty() ? configuredValue : settings.fileName;
    if (configured.empty()) {
        return {logDirectory + "/" + ExpandFileName(DefaultNameStem(settings.suffix) + "-$PID.log"), true};
    }
    const size_t slash = configured.rfind('/');
    if (slash == std::string::npos) {
        return {ExpandFileName(configured), false};
    }
    return {configured.substr(0, slash + 1) + ExpandFileName(configured.substr(slash + 1)), false};
}

}  // namespace dclog
