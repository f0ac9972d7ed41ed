// The log file output's settings layers over the preference store and over
// a configuration dictionary.
#pragma once

#include "lib/config/Dictionary.h"
#include "lib/log/LogFileSettings.h"

namespace dclogging {

// Typed reads of the process-wide preference store.
dclog::SettingsLayer PreferenceLayer();

// Typed reads of the dictionary; it must outlive the layer.
dclog::SettingsLayer DictionaryLayer(Dictionary& dictionary);

}  // namespace dclogging
