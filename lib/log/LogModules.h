// The library's table of named modules (1 to 314) and the per-module
// level filters read from the preferences.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lib/log/LogFileSettings.h"

namespace dclog {

// Name of module 1..314 (empty for anything else).
std::string ModuleName(int module);
std::optional<int> ModuleNumber(std::string_view name);

// For every module, "log.filter.minLogLevel.<name>" and
// "log.filter.minStderrLevel.<name>" (each also under "<prefix>.") set its
// log and stderr level; a name that is not a level gives -1.
void ApplyModuleFilters(const std::string& prefix, const SettingsLayer& preferences);

}  // namespace dclog
