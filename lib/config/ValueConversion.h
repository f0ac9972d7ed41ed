// Conversion of an entry's text to a typed value. On failure the caller's
// default is returned and one localisable message names the value, the
// variable and the value used instead.
#pragma once

#include <cstdint>
#include <string>

#include "lib/config/MessageList.h"

namespace dcconfig {

inline constexpr int kTriStateDefault = -1;

bool ConvertBool(const std::string& text, const std::string& name, bool defaultValue, MessageList& messages);
// 0 (FALSE), 1 (TRUE) or -1 (default).
int ConvertTriState(const std::string& text, const std::string& name, int defaultValue,
                    MessageList& messages);
int32_t ConvertInt32(const std::string& text, const std::string& name, int32_t defaultValue,
                     MessageList& messages);
int64_t ConvertInt64(const std::string& text, const std::string& name, int64_t defaultValue,
                     MessageList& messages);
double ConvertDouble(const std::string& text, const std::string& name, double defaultValue,
                     MessageList& messages);

// Text forms used when a typed value is put into a dictionary or shown.
const char* BoolText(bool value);
const char* TriStateText(int value);  // FALSE, TRUE or default
std::string DoubleText(double value);

}  // namespace dcconfig
