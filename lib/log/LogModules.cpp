#include "lib/log/LogModules.h"

#include <array>

#include "lib/log/Log.h"
#include "lib/log/LogLevels.h"

namespace dclog {
namespace {

// The modules the foundation library and the daemon name today. Later
// numbers are reserved and answer to "module<number>".
constexpr std::array<std::string_view, 40> kNamedModules = {
    "config", "log",       "sig",     "panic",    "poll",  "file",     "codeset",   "hostinfo",
    "msg",    "util",      "unicode", "dict",     "lock",  "thread",   "ipc",       "ipcqueue",
    "tls",    "dispatch",  "xml",     "executor", "task",  "process",  "procmgr",   "monitor",
    "dbus",   "core",      "session", "identity", "token", "shell",    "display",   "env",
    "timer",  "heartbeat", "frame",   "auth",     "user",  "coredump", "backtrace", "logger",
};

const char* const kFilterKeys[2] = {"log.filter.minLogLevel.", "log.filter.minStderrLevel."};

std::optional<int> FilterLevel(const std::string& prefix, const SettingsLayer& preferences,
                               const std::string& key) {
    std::optional<int> level;
    for (const std::string& name : {key, prefix + "." + key}) {
        std::optional<std::string> text = preferences.getString(nullptr, name.c_str());
        if (text && !text->empty()) {
            level = LevelFromName(*text).value_or(-1);
        }
    }
    return level;
}

}  // namespace

std::string ModuleName(int module) {
    if (module < 1 || module > kModuleCount) {
        return {};
    }
    if (static_cast<size_t>(module) <= kNamedModules.size()) {
        return std::string(kNamedModules[module - 1]);
    }
    return "module" + std::to_string(module);
}

std::optional<int> ModuleNumber(std::string_view name) {
    for (int module = 1; module <= kModuleCount; ++module) {
        if (ModuleName(module) == name) {
            return module;
        }
    }
    return std::nullopt;
}

void ApplyModuleFilters(const std::string& prefix, const SettingsLayer& preferences) {
    if (!preferences.getString) {
        return;
    }
    for (int module = 1; module <= kModuleCount; ++module) {
        const std::string name = ModuleName(module);
        if (std::optional<int> level = FilterLevel(prefix, preferences, kFilterKeys[0] + name)) {
            Log_SetLevel(module, *level);
        }
        if (std::optional<int> level = FilterLevel(prefix, preferences, kFilterKeys[1] + name)) {
            Log_SetStderrLevel(module, *level);
        }
    }
}

}  // namespace dclog
