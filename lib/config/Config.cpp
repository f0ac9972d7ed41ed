#include "lib/config/Config.h"

#include <cstdarg>

#include "lib/config/ConfigName.h"
#include "lib/config/Preference.h"
#include "lib/config/PreferenceGlobal.h"
#include "lib/config/ValueConversion.h"
#include "lib/config/Verify.h"

namespace {

std::string FormatName(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

std::string FormatName(const char* format, va_list args) {
    return dcconfig::FormatConfigName(kConfigNameBufferSize, format, args);
}

}  // namespace

// Each reader formats its name and hands it to the matching preference read.
#define DC_CONFIG_READ(Reader)                   \
    va_list args;                                \
    va_start(args, format);                      \
    std::string name = FormatName(format, args); \
    va_end(args);                                \
    return Reader(defaultValue, name.c_str())

std::optional<std::string> Config_GetString(const char* defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetString);
}

std::optional<std::string> Config_GetPathName(const char* defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetPathName);
}

bool Config_GetBool(bool defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetBool);
}

int32_t Config_GetInt32(int32_t defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetInt32);
}

int Config_GetTriState(int defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetTriState);
}

int64_t Config_GetInt64(int64_t defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetInt64);
}

double Config_GetDouble(double defaultValue, const char* format, ...) {
    DC_CONFIG_READ(Preference_GetDouble);
}

#undef DC_CONFIG_READ

bool Config_NotSet(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string name = FormatName(format, args);
    va_end(args);
    std::shared_ptr<dcconfig::PreferenceStore> store = dcconfig::CurrentPreferenceStore();
    return !store || !store->IsSet(name);
}

int Config_MergeTriState(int base, int override) {
    return override == dcconfig::kTriStateDefault ? base : override;
}

void Config_SetString(const char*, const char*, ...) {
    NOT_IMPLEMENTED();
}
void Config_SetBool(bool, const char*, ...) {
    NOT_IMPLEMENTED();
}
void Config_SetInt32(int32_t, const char*, ...) {
    NOT_IMPLEMENTED();
}
void Config_SetTriState(int, const char*, ...) {
    NOT_IMPLEMENTED();
}
void Config_SetInt64(int64_t, const char*, ...) {
    NOT_IMPLEMENTED();
}
void Config_SetDouble(double, const char*, ...) {
    NOT_IMPLEMENTED();
}
