// The configuration front end: preference reads whose name is a printf
// format, so callers can address per-module keys ("%s.log.level", name).
//
// The store is read-only in this program: every setter ends the process
// through NOT_IMPLEMENTED.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#define DC_CONFIG_FORMAT(n) __attribute__((format(printf, n, n + 1)))

// A formatted name longer than this (including its terminator) is cut at
// the last whole UTF-8 character that fits.
inline constexpr size_t kConfigNameBufferSize = 1024;

std::optional<std::string> Config_GetString(const char* defaultValue, const char* format, ...)
    DC_CONFIG_FORMAT(2);
std::optional<std::string> Config_GetPathName(const char* defaultValue, const char* format, ...)
    DC_CONFIG_FORMAT(2);
bool Config_GetBool(bool defaultValue, const char* format, ...) DC_CONFIG_FORMAT(2);
int32_t Config_GetInt32(int32_t defaultValue, const char* format, ...) DC_CONFIG_FORMAT(2);
int Config_GetTriState(int defaultValue, const char* format, ...) DC_CONFIG_FORMAT(2);
int64_t Config_GetInt64(int64_t defaultValue, const char* format, ...) DC_CONFIG_FORMAT(2);
double Config_GetDouble(double defaultValue, const char* format, ...) DC_CONFIG_FORMAT(2);

// True when no dictionary holds the name (recorded defaults do not count).
bool Config_NotSet(const char* format, ...) DC_CONFIG_FORMAT(1);

// The override unless it is -1 ("default"), in which case the base.
int Config_MergeTriState(int base, int override);

[[noreturn]] void Config_SetString(const char* value, const char* format, ...) DC_CONFIG_FORMAT(2);
[[noreturn]] void Config_SetBool(bool value, const char* format, ...) DC_CONFIG_FORMAT(2);
[[noreturn]] void Config_SetInt32(int32_t value, const char* format, ...) DC_CONFIG_FORMAT(2);
[[noreturn]] void Config_SetTriState(int value, const char* format, ...) DC_CONFIG_FORMAT(2);
[[noreturn]] void Config_SetInt64(int64_t value, const char* format, ...) DC_CONFIG_FORMAT(2);
[[noreturn]] void Config_SetDouble(double value, const char* format, ...) DC_CONFIG_FORMAT(2);

#undef DC_CONFIG_FORMAT
