// Internal entry points of the preference store: initialisation from chosen
// paths (the public entry points use the fixed system paths) and the rule
// deciding whether the user's own files are read.
#pragma once

#include <sys/types.h>

#include <string>

namespace dcconfig {

struct PreferencePaths {
    std::string hostDefaults;     // read first; may name "libdir"
    std::string defaultLibDir;    // libdir when HOST DEFAULTS has none
    std::string userDefaults;     // tilde expanded when used
    std::string userPreferences;  // tilde expanded when used
};

PreferencePaths SystemPreferencePaths();

enum class UserFiles {
    kRead,
    kDisabledByHost,    // HOST DEFAULTS sets disableUserPreferences
    kIgnoredForSetuid,  // real and effective user differ
    kNotAllowed,        // the caller asked for no user files
};

// The host's switch wins; then the caller's choice; then the user's files
// are read only when the real user is also the effective user, so that a
// set-user-id program never takes settings from the invoking user.
UserFiles ChooseUserFiles(bool disabledByHost, bool allowed, uid_t realUid, uid_t effectiveUid);

// Does nothing when a store exists.
void Preference_InitWithPaths(const PreferencePaths& paths, bool allowUserFiles);

}  // namespace dcconfig
