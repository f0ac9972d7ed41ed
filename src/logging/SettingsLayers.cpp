#include "src/logging/SettingsLayers.h"

#include "lib/config/Preference.h"

namespace dclogging {

dclog::SettingsLayer PreferenceLayer() {
    dclog::SettingsLayer layer;
    layer.getString = [](const char* def, const char* name) { return Preference_GetString(def, name); };
    layer.getBool = [](bool def, const char* name) { return Preference_GetBool(def, name); };
    layer.getInt32 = [](int32_t def, const char* name) { return Preference_GetInt32(def, name); };
    return layer;
}

dclog::SettingsLayer DictionaryLayer(Dictionary& dictionary) {
    dclog::SettingsLayer layer;
    layer.getString = [&dictionary](const char* def, const char* name) {
        return dictionary.GetString(def, name);
    };
    layer.getBool = [&dictionary](bool def, const char* name) { return dictionary.GetBool(def, name); };
    layer.getInt32 = [&dictionary](int32_t def, const char* name) { return dictionary.GetInt32(def, name); };
    return layer;
}

}  // namespace dclogging
