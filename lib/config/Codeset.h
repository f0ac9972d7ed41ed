// Character-set conversion between the encodings a preference file may use
// and the UTF-8 held in memory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dcconfig {

inline constexpr const char* kUtf8 = "UTF-8";

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// True when text in this encoding can be converted to and from UTF-8.
bool IsEncodingSupported(const std::string& encoding);

// True when both names denote the same encoding ("utf8" and "UTF-8", say).
bool SameEncoding(const std::string& a, const std::string& b);

// Converts text; nothing when it is not valid in the source encoding or
// cannot be represented in the target.
std::optional<std::string> ConvertToUtf8(std::string_view text, const std::string& encoding);
std::optional<std::string> ConvertFromUtf8(std::string_view text, const std::string& encoding);

// The encoding of the user's locale, taken from LC_ALL, LC_CTYPE or LANG
// without touching the process's own locale. Plain ASCII (the C locale) is
// answered as UTF-8, its superset, so that a daemon started without a
// locale still reads UTF-8 files.
std::string DefaultEncoding();

}  // namespace dcconfig
