#pragma once

#include <string>

namespace dcconfig {

// Expands a leading "~" (the current user's home: $HOME, else the password
// database) or "~name" (that user's home). Anything else, or a user that
// cannot be found, is returned unchanged.
std::string ExpandTilde(const std::string& path);

}  // namespace dcconfig
