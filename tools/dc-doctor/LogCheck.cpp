// The log as the daemon would start it: a safe directory (its own, not a
// link, writable by nobody else), the level and file in force, and which
// preference layer each comes from.
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config/Preference.h"
#include "lib/log/LogFilePath.h"
#include "lib/log/LogFileSettings.h"
#include "src/core/DesktopConstants.h"
#include "src/logging/LoggerWrapper.h"
#include "src/logging/SettingsLayers.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"

namespace doctor {
namespace {

constexpr const char* kName = "log";
const std::string kApp(desktop::kApplicationName);

std::string SourceOf(const std::string& key) {
    const std::string source = Preference_SourceOf(key.c_str());
    return source.empty() ? "built-in default" : source;
}

// What is wrong with a directory of that name, or nothing. A missing one
// is fine for a user area: the daemon creates it.
std::string DirectoryProblem(const std::string& directory, bool systemArea) {
    struct stat st {};
    if (lstat(directory.c_str(), &st) != 0) {
        return systemArea ? "does not exist" : "";
    }
    if (S_ISLNK(st.st_mode)) {
        return "is a symbolic link";
    }
    if (!S_ISDIR(st.st_mode)) {
        return "is not a directory";
    }
    if (!dclog::IsSafeLogArea(directory, systemArea)) {
        return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? "is writable by others"
                                                       : "belongs to " + UserName(st.st_uid);
    }
    return "";
}

std::string Settings(const std::string& file) {
    const std::string levelKey = kApp + ".log.logLevel";
    const std::string level = Preference_GetString("info", levelKey.c_str()).value_or("info");
    const std::string shown =
        LoggerWrapper::levelOf(level) ? level : level + " (not a level name: info applies)";
    return "level " + shown + " from " + SourceOf(levelKey) + ", file " + file + " from " +
           SourceOf(kApp + ".log.filename");
}

}  // namespace

CheckResult CheckLog() {
    Dictionary dictionary;
    LoggerWrapper::FillFileDefaults(dictionary, kApp);
    const dclog::LogFileSettings settings = dclog::ReadLogFileSettings(
        kApp, dclogging::DictionaryLayer(dictionary), dclogging::PreferenceLayer());
    const dclog::LogAreas areas;
    const std::string directory = settings.systemAreaTemp ? areas.systemArea : dclog::UserLogAreaName(areas);
    if (const std::string problem = DirectoryProblem(directory, settings.systemAreaTemp); !problem.empty()) {
        return Failure(
            kName,
            "the log directory " + directory + " " + problem +
                (settings.systemAreaTemp ? "; the daemon writes no log"
                                         : "; the daemon logs into a fresh " + directory + "-XXXXXX"),
            "remove " + directory + " (as its owner or root) so the daemon can create it");
    }
    const std::string configured =
        Preference_GetString(nullptr, (kApp + ".log.filename").c_str()).value_or("");
    const dclog::LogFilePath path = dclog::ChooseLogFilePath(settings, configured, directory);
    // The default name carries the process id: the daemon's, not ours.
    const std::string file = path.isDefaultName
                                 ? directory + "/" + dclog::DefaultNameStem(settings.suffix) + "-<pid>.log"
                                 : path.path;
    return Ok(kName, "directory " + directory + " is safe; " + Settings(file));
}

}  // namespace doctor
