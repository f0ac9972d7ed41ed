// The bar escape of dictionary values: "|" and two hexadecimal digits stand
// for one byte, so control characters, quotes and bars survive a file.
#pragma once

#include <string>
#include <string_view>

namespace dcconfig {

// "|" with two hex digits (either case) becomes that byte; any other "|" is
// kept as it is.
std::string UnescapeValue(std::string_view value);

// Bytes 0x00-0x08, 0x0A-0x1F, '"', '|' and 0x7F become "|XX" (upper case).
// Tab stays as it is.
std::string EscapeValue(std::string_view value);

}  // namespace dcconfig
