// The small files the controller reads (os-release, the comm files of
// /proc, the desktop id file) and the readability test for requested paths.
//
// Every such file is opened non-blocking and close-on-exec: a path that names
// a FIFO or a device must never stall the thread that asked (for a request,
// the only thread that handles requests), and a child started by another
// thread meanwhile must not inherit the descriptor.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "lib/log/UniqueFd.h"

namespace core {

// A descriptor open for reading, or an invalid one with errno set.
dclog::UniqueFd OpenForReading(const std::string& path);

// The whole content of a regular file; nothing when the file cannot be
// opened or read, or is not a regular file (a FIFO or device is never read).
std::optional<std::string> ReadShortFile(const std::string& path);

// A regular file's content and owner, both taken through one descriptor so
// that they belong to the same file; a symbolic link is not followed.
struct OwnedText {
    std::string content;
    uid_t owner;
};
std::optional<OwnedText> ReadOwnedFile(const std::string& path);

}  // namespace core
