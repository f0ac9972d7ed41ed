#include "lib/log/LogFileSettings.h"

#include "lib/log/Log.h"
#include "lib/log/LogLevels.h"

namespace dclog {
namespace {

// Applies the layers in precedence order to one key.
class LayeredReader {
  public:
    LayeredReader(const std::string& prefix, const SettingsLayer& dictionary,
                  const SettingsLayer& preferences)
        : prefix_(prefix), dictionary_(dictionary), preferences_(preferences) {}

    bool Bool(const char* key, bool builtIn) const { return Layered(key, builtIn, &SettingsLayer::getBool); }

    int32_t Int(const char* key, int32_t builtIn) const {
        return Layered(key, builtIn, &SettingsLayer::getInt32);
    }

    // Level names, matched without case; an unknown name keeps the value so far.
    int32_t Level(const char* key, int32_t builtIn, bool fromDictionary) const {
        int32_t value = builtIn;
        ForEachLayer(key, [&](const SettingsLayer& layer, const char* name) {
            if (!layer.getString || (&layer == &dictionary_ && !fromDictionary)) {
                return;
            }
            std::optional<std::string> text = layer.getString(nullptr, name);
            if (!text || text->empty()) {
                return;
            }
            std::optional<int> level = LevelFromName(*text);
            if (!level) {
                LogMessage(kWarning, "%s: %s (%s) is not a level name. Set to %d.\n", "LogFileLevel", key,
                           text->c_str(), value);
            } else if (*level != builtIn) {
                value = *level;
            }
        });
        return value;
    }

    std::string DictionaryString(const char* key) const {
        if (!dictionary_.getString) {
            return {};
        }
        return dictionary_.getString(nullptr, key).value_or("");
    }

    bool DictionaryBool(const char* key, bool builtIn) const {
        return dictionary_.getBool ? dictionary_.getBool(builtIn, key) : builtIn;
    }

  private:
    // A layer changes the value only when it holds something other than the
    // built-in default, so a later layer without the key keeps an earlier one.
    template <typename T, typename Getter>
    T Layered(const char* key, T builtIn, Getter SettingsLayer::*getter) const {
        T value = builtIn;
        ForEachLayer(key, [&](const SettingsLayer& layer, const char* name) {
            if (layer.*getter) {
                T read = (layer.*getter)(builtIn, name);
                value = read != builtIn ? read : value;
            }
        });
        return value;
    }

    template <typename Fn>
    void ForEachLayer(const char* key, Fn fn) const {
        fn(dictionary_, key);
        fn(preferences_, key);
        const std::string prefixed = prefix_ + "." + key;
        fn(preferences_, prefixed.c_str());
    }

    const std::string& prefix_;
    const SettingsLayer& dictionary_;
    const SettingsLayer& preferences_;
};

int32_t CheckAtLeast(const char* key, int32_t value, int32_t minimum, int32_t replacement) {
    if (value >= minimum) {
        return value;
    }
    LogMessage(kWarning, "%s: %s (%d) is invalid. Set to %d.\n", "LogFileInt32", key, value, replacement);
    return replacement;
}

int32_t CheckRotateSize(int32_t value) {
    value = CheckAtLeast("log.rotateSize", value, 0, 0);
    if (value > 0 && value < kMinRotateSize) {
        LogMessage(kWarning, "%s: log.rotateSize (%d) is too small. Set to %d.\n", "LogFileVariables", value,
                   kMinRotateSize);
        return kMinRotateSize;
    }
    return value;
}

// 0 and -1 both switch throttling off; the throttle itself treats -1 as
// "never" and 0 as "nothing past the threshold".
int32_t ThrottleRate(const LayeredReader& reader) {
    int32_t rate = reader.Int("log.throttleBytesPerSec", kDefaultThrottleBytesPerSec);
    rate = CheckAtLeast("log.throttleBytesPerSec", rate, -1, kDefaultThrottleBytesPerSec);
    if (rate == 0) {
        rate = -1;
    }
    if (reader.Bool("log.noLogAfterThreshold", false)) {
        rate = 0;
    }
    return rate;
}

}  // namespace

LogFileSettings ReadLogFileSettings(const std::string& prefix, const SettingsLayer& dictionary,
                                    const SettingsLayer& preferences) {
    const LayeredReader reader(prefix, dictionary, preferences);
    LogFileSettings s;
    s.configPreference = reader.DictionaryString("log.config");
    s.fileName = reader.DictionaryString("log.fileName");
    s.suffix = reader.DictionaryString("log.suffix");
    s.systemAreaTemp = reader.DictionaryBool("log.systemAreaTemp", false);
    s.useTimeStamps = reader.Bool("log.useTimeStamps", true);
    s.useMilliseconds = reader.Bool("log.useMilliseconds", true);
    s.useLevelDesignator = reader.Bool("log.useLevelDesignator", true);
    s.useThreadName = reader.Bool("log.useThreadName", true);
    s.useOpId = reader.Bool("log.useOpID", false);
    s.append = reader.Bool("log.append", false);
    s.syncAfterWrite = reader.Bool("log.syncAfterWrite", false);
    s.fastRotation = reader.Bool("log.fastRotation", false);
    s.keepOld = CheckAtLeast("log.keepOld", reader.Int("log.keepOld", kDefaultKeepOld), 0, kDefaultKeepOld);
    s.rotateSize = CheckRotateSize(reader.Int("log.rotateSize", 0));
    s.permissions = CheckAtLeast("log.permissions", reader.Int("log.permissions", kDefaultPermissions), 1,
                                 kDefaultPermissions);
    s.throttleThreshold =
        CheckAtLeast("log.throttleThreshold", reader.Int("log.throttleThreshold", kDefaultThrottleThreshold),
                     0, kDefaultThrottleThreshold);
    s.throttleBytesPerSec = ThrottleRate(reader);
    s.fileLevel = reader.Level("log.fileLevel", kInfo, true);
    s.stderrLevel = reader.Level("log.stderrLevel", -1, false);
    return s;
}

}  // namespace dclog
