// The log file output's settings: a configuration dictionary and, after a
// "#preferences" line, a preferences text. Whatever the texts hold, the
// settings stay within their limits, the file path is well formed and the
// line prefix and throttle work with them.
#include <string>
#include <string_view>

#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/FuzzSupport.h"
#include "lib/config/Dictionary.h"
#include "lib/log/Log.h"
#include "lib/log/LogFilePath.h"
#include "lib/log/LogFileSettings.h"
#include "lib/log/LogPrefix.h"
#include "lib/log/LogThrottle.h"
#include "src/logging/SettingsLayers.h"

namespace dcfuzz {

namespace {

constexpr std::string_view kSeparator = "\n#preferences\n";
constexpr const char* kPrefix = "DesktopController";
constexpr const char* kLogDirectory = "/var/log/dcfuzz";

bool IsLevel(int32_t level) {
    return level >= -1 && level < dclog::kLevelCount;
}

void CheckLimits(const dclog::LogFileSettings& s) {
    Require(s.keepOld >= 0, "keepOld is never negative");
    Require(s.rotateSize == 0 || s.rotateSize >= dclog::kMinRotateSize,
            "rotateSize is 0 or at least the minimum");
    Require(s.permissions >= 1, "permissions are positive");
    Require(s.throttleThreshold >= 0, "the throttle threshold is never negative");
    Require(s.throttleBytesPerSec >= -1, "the throttle rate is -1, 0 or a limit");
    Require(IsLevel(s.fileLevel) && IsLevel(s.stderrLevel), "levels come from the level table");
}

void CheckPath(const dclog::LogFileSettings& settings, Dictionary& preferences) {
    std::string configured;
    if (!settings.configPreference.empty()) {
        configured = preferences.GetString(nullptr, settings.configPreference).value_or("");
    }
    const dclog::LogFilePath path = dclog::ChooseLogFilePath(settings, configured, kLogDirectory);
    const std::string& chosen = configured.empty() ? settings.fileName : configured;
    // A bare name made only of unset variables expands to nothing; opening
    // that fails later with its own record.
    Require(!path.path.empty() ||
                (chosen.find('/') == std::string::npos && dclog::ExpandFileName(chosen).empty()),
            "the path is empty only when the configured name expands to nothing");
    if (path.isDefaultName) {
        Require(path.path.starts_with(std::string(kLogDirectory) + "/brevant"),
                "the default name lies in the log directory");
        Require(path.path.ends_with(".log"), "the default name ends in .log");
        return;
    }
    const size_t slash = chosen.rfind('/');
    if (slash != std::string::npos) {
        Require(path.path.starts_with(chosen.substr(0, slash + 1)), "the directory part is kept unchanged");
    }
}

void CheckPrefix(const dclog::LogFileSettings& s) {
    const dclog::PrefixOptions options{s.useTimeStamps, s.useMilliseconds, s.useLevelDesignator,
                                       s.useThreadName, s.useOpId};
    const std::string prefix = dclog::LinePrefix(
        options, dclog::MessageAddress(0, s.fileLevel < 0 ? 0 : s.fileLevel), 1767225600123456);
    Require(!s.useTimeStamps || prefix.starts_with("2026-01-01T00:00:00"), "the time stamp leads the prefix");
    Require(prefix.empty() || prefix.back() == ' ', "each prefix part ends in a blank");
}

// Writes of the sizes given by the input's bytes, one per simulated second.
void CheckThrottle(const dclog::LogFileSettings& s, std::string_view sizes) {
    dclog::LogThrottle throttle(s.throttleThreshold, s.throttleBytesPerSec, 0);
    int64_t total = 0;
    int64_t now = 0;
    for (unsigned char size : sizes) {
        const int64_t bytes = int64_t{size} * 997;
        total += bytes;
        now += 1000000;
        const bool throttled = throttle.Check(bytes, now);
        Require(!throttled || s.throttleBytesPerSec != -1, "a rate of -1 never throttles");
        Require(!throttled || total >= s.throttleThreshold, "nothing is throttled below the threshold");
    }
}

}  // namespace

void FuzzLogSettings(const uint8_t* data, size_t size) {
    const std::string_view text = AsText(data, size);
    const size_t split = text.find(kSeparator);
    Dictionary configuration;
    Dictionary preferences;
    configuration.LoadText(text.substr(0, split), "configuration");
    if (split != std::string_view::npos) {
        preferences.LoadText(text.substr(split + kSeparator.size()), "preferences");
    }
    const dclog::LogFileSettings settings = dclog::ReadLogFileSettings(
        kPrefix, dclogging::DictionaryLayer(configuration), dclogging::DictionaryLayer(preferences));
    CheckLimits(settings);
    CheckPath(settings, preferences);
    CheckPrefix(settings);
    CheckThrottle(settings, text.substr(0, 256));
}

}  // namespace dcfuzz
