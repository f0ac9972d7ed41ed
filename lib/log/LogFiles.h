// File operations of the log output: the safe open and the rotation of
// numbered old files.
//
// Each returns its result and has already logged any failure.
#pragma once

#include <string>

#include "lib/log/UniqueFd.h"

namespace dclog {

// Opens (creating with mode) the path for appending and checks that the
// descriptor is the file the path names: no symbolic link, same device
// and inode. Invalid on failure.
UniqueFd SafeOpen(const std::string& path, int mode);
// The same for a file that must exist already; nothing is created.
UniqueFd SafeOpenExisting(const std::string& path);

// Name of old file number n: "<base>-<n><extension>", where the extension
// is the last ".xxx" of the file name (if any).
std::string NumberedName(const std::string& path, unsigned number);

// Moves the current file aside under a numbered name, keeping at most
// keepOld numbered files. Fast rotation takes the next free number instead
// of renaming the whole chain. Single failures are logged and skipped.
void RotateLogFiles(const std::string& path, int keepOld, bool fastRotation);

}  // namespace dclog
