// Settings of the log file output and where they come from.
//
// Each setting is taken, lowest precedence first, from its built-in
// default, the caller's configuration dictionary, the preference of the
// key's own name and the preference "<prefix>.<key>". A layer counts only
// when its value differs from the built-in default. Invalid values are
// replaced with a warning.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace dclog {

// Typed reads of one settings layer. Each returns the default when the
// layer holds nothing for the name. Strings come back empty when unset.
struct SettingsLayer {
    std::function<std::optional<std::string>(const char* defaultValue, const char* name)> getString;
    std::function<bool(bool defaultValue, const char* name)> getBool;
    std::function<int32_t(int32_t defaultValue, const char* name)> getInt32;
};

inline constexpr int32_t kDefaultPermissions = 0640;
inline constexpr int32_t kMinRotateSize = 100000;
inline constexpr int32_t kDefaultKeepOld = 3;
inline constexpr int32_t kDefaultThrottleThreshold = 1000000;
inline constexpr int32_t kDefaultThrottleBytesPerSec = 1000;

struct LogFileSettings {
    // Dictionary-only keys.
    std::string configPreference;  // "log.config": a preference holding the path
    std::string fileName;          // "log.fileName"
    std::string suffix;            // "log.suffix"
    bool systemAreaTemp = false;   // "log.systemAreaTemp"

    bool useTimeStamps = true;
    bool useMilliseconds = true;
    bool useLevelDesignator = true;
    bool useThreadName = true;
    bool useOpId = false;
    bool append = false;
    bool syncAfterWrite = false;
    bool fastRotation = false;
    int32_t keepOld = kDefaultKeepOld;
    int32_t rotateSize = 0;
    int32_t permissions = kDefaultPermissions;
    int32_t throttleThreshold = kDefaultThrottleThreshold;
    int32_t throttleBytesPerSec = kDefaultThrottleBytesPerSec;  // -1: never throttle
    int32_t fileLevel = 5;
    int32_t stderrLevel = -1;  // preferences only
};

// Reads every setting from the layers; either layer may be empty.
LogFileSettings ReadLogFileSettings(const std::string& prefix, const SettingsLayer& dictionary,
                                    const SettingsLayer& preferences);

}  // namespace dclog
