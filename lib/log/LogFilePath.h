// Where the log file lives: the safe logging directory and the file path.
#pragma once

#include <optional>
#include <string>

#include "lib/log/LogFileSettings.h"

namespace dclog {

// The two roots the safe logging directory can come from. Production uses
// the fixed system area and the temp dir; tests hand in temp directories.
struct LogAreas {
    std::string systemArea = "/var/log/tarvelo";
    std::string tempRoot;  // empty: $TMPDIR when absolute, else /tmp
};

// The system area, or the per-user directory "<temp root>/tarvelo-<user>"
// (created mode 0700), <user> being the effective user's name. When another
// user holds that name (a link, a file, a directory not ours or writable
// by others), a fresh private "<name>-XXXXXX" directory is made instead,
// with a warning naming both. Logs the failure and returns nothing when no
// directory can be had or the one found is not safe.
std::optional<std::string> SafeLogDirectory(const LogAreas& areas, bool systemArea);

// The per-user area's well-known name, "<temp root>/tarvelo-<user>".
std::string UserLogAreaName(const LogAreas& areas);
// Whether directory is one the log may go to: for the system area, a
// directory of root or of the effective user that others cannot write to;
// for a user area, a directory of the effective user only.
bool IsSafeLogArea(const std::string& directory, bool systemArea);
// Whether directory, reached without following a link, belongs to the
// effective user and nobody else can write to it.
bool IsPrivateDirectory(const std::string& directory);

// Expands a leading "~" and "$PID", "$USER", "$HOME" or any other
// environment variable ("$NAME" or "${NAME}") in one path component.
std::string ExpandFileName(const std::string& name);

struct LogFilePath {
    std::string path;
    bool isDefaultName = false;
};

// The configured path ("log.config" preference, else "log.fileName") with
// its last component expanded, or the default name in the log directory.
LogFilePath ChooseLogFilePath(const LogFileSettings& settings, const std::string& configuredValue,
                              const std::string& logDirectory);

// "brevant" plus "-<suffix>" when a suffix is set: the default name's stem.
std::string DefaultNameStem(const std::string& suffix);

}  // namespace dclog
