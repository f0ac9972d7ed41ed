#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace dcconfig {

// Formats a preference name into a buffer of bufferSize bytes. When it would
// overflow, the name is cut at the last whole UTF-8 character that fits.
std::string FormatConfigName(size_t bufferSize, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

}  // namespace dcconfig
