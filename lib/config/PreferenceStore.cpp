#include "lib/config/PreferenceStore.h"

#include <unistd.h>

#include <mutex>
#include <utility>

#include "lib/config/ConfigLog.h"
#include "lib/config/TildeExpand.h"
#include "lib/log/Log.h"

namespace dcconfig {

namespace {

constexpr const char* kLibDirKey = "libdir";
constexpr const char* kDisableUserPreferencesKey = "disableUserPreferences";

}  // namespace

PreferenceStore::PreferenceStore(const PreferencePaths& paths, bool allowUserFiles)
    : layers_{{{"GLOBAL SETTINGS", {}, {}},
               {"NON PERSISTENT", {}, {}},
               {"USER PREFERENCES", {}, {}},
               {"USER DEFAULTS", {}, {}},
               {"HOST DEFAULTS", paths.hostDefaults, {}},
               {"SITE DEFAULTS", {}, {}}}} {
    Layer& host = layers_[kHostDefaults];
    LoadLayer(host);
    bool disabled = host.dictionary.GetBool(false, kDisableUserPreferencesKey);
    std::string libDir = host.dictionary.GetString(paths.defaultLibDir.c_str(), kLibDirKey).value_or("");
    host.dictionary.LogMessages(dclog::kWarning);
    layers_[kGlobalSettings].path = libDir + "/settings";
    layers_[kSiteDefaults].path = libDir + "/config";
    ChooseUserLayers(disabled, allowUserFiles, paths);
    for (Slot slot : {kGlobalSettings, kSiteDefaults, kUserDefaults, kUserPreferences}) {
        if (layers_[slot].path) {
            LoadLayer(layers_[slot]);
        }
    }
}

void PreferenceStore::ChooseUserLayers(bool disabledByHost, bool allowUserFiles,
                                       const PreferencePaths& paths) {
    switch (ChooseUserFiles(disabledByHost, allowUserFiles, getuid(), geteuid())) {
        case UserFiles::kDisabledByHost:
            Config_Log(dclog::kInfo,
                       "PREF Disabling user preferences because disableUserPreferences is set.\n");
            break;
        case UserFiles::kIgnoredForSetuid:
            Config_Log(dclog::kInfo, "setuid: ignoring user's config and preferences\n");
            break;
        case UserFiles::kRead:
            layers_[kUserDefaults].path = ExpandTilde(paths.userDefaults);
            layers_[kUserPreferences].path = ExpandTilde(paths.userPreferences);
            break;
        case UserFiles::kNotAllowed:
            break;
    }
}

void PreferenceStore::LoadLayer(Layer& layer) {
    if (layer.dictionary.LoadFile(*layer.path)) {
        return;
    }
    layer.dictionary.LogMessages(dclog::kInfo);
    Config_Log(dclog::kInfo, "PREF Optional preferences file not found at %s. Using default values.\n",
               layer.path->c_str());
}

Dictionary& PreferenceStore::Answering(const std::string& name) {
    for (Layer& layer : layers_) {
        if (layer.dictionary.HasEntry(name)) {
            return layer.dictionary;
        }
    }
    return layers_[kUserPreferences].dictionary;
}

template <typename Read>
auto PreferenceStore::Lookup(const std::string& name, Read read) {
    MessageList problems;
    decltype(read(std::declval<Dictionary&>())) value;
    {
        std::lock_guard<NamedRecursiveLock> guard(lock_);
        Dictionary& dictionary = Answering(name);
        value = read(dictionary);
        problems = dictionary.Messages();
        dictionary.ClearMessages();
    }
    problems.Log(dclog::kWarning);
    return value;
}

std::optional<std::string> PreferenceStore::GetString(const char* defaultValue, const std::string& name) {
    return Lookup(name, [&](Dictionary& d) { return d.GetString(defaultValue, name); });
}

bool PreferenceStore::GetBool(bool defaultValue, const std::string& name) {
    return Lookup(name, [&](Dictionary& d) { return d.GetBool(defaultValue, name); });
}

int32_t PreferenceStore::GetInt32(int32_t defaultValue, const std::string& name) {
    return Lookup(name, [&](Dictionary& d) { return d.GetInt32(defaultValue, name); });
}

int PreferenceStore::GetTriState(int defaultValue, const std::string& name) {
    return Lookup(name, [&](Dictionary& d) { return d.GetTriState(defaultValue, name); });
}

int64_t PreferenceStore::GetInt64(int64_t defaultValue, const std::string& name) {
    return Lookup(name, [&](Dictionary& d) { return d.GetInt64(defaultValue, name); });
}

double PreferenceStore::GetDouble(double defaultValue, const std::string& name) {
    return Lookup(name, [&](Dictionary& d) { return d.GetDouble(defaultValue, name); });
}

bool PreferenceStore::IsSet(const std::string& name) {
    std::lock_guard<NamedRecursiveLock> guard(lock_);
    for (const Layer& layer : layers_) {
        if (layer.dictionary.HasEntry(name)) {
            return true;
        }
    }
    return false;
}

std::string PreferenceStore::SourceOf(const std::string& name) {
    std::lock_guard<NamedRecursiveLock> guard(lock_);
    for (const Layer& layer : layers_) {
        if (layer.dictionary.HasEntry(name)) {
            return layer.path ? std::string(layer.label) + " " + *layer.path : layer.label;
        }
    }
    return {};
}

std::vector<std::string> PreferenceStore::DumpLines() {
    std::lock_guard<NamedRecursiveLock> guard(lock_);
    std::vector<std::string> lines;
    for (const Layer& layer : layers_) {
        bool isUserLayer = &layer == &layers_[kUserPreferences] || &layer == &layers_[kUserDefaults];
        if (isUserLayer && !layer.path) {
            continue;
        }
        lines.push_back("DICT --- " + std::string(layer.label) + " " + layer.path.value_or("") + "\n");
        std::vector<std::string> entries = layer.dictionary.DumpLines();
        lines.insert(lines.end(), entries.begin(), entries.end());
    }
    return lines;
}

UserFiles ChooseUserFiles(bool disabledByHost, bool allowed, uid_t realUid, uid_t effectiveUid) {
    if (disabledByHost) {
        return UserFiles::kDisabledByHost;
    }
    if (!allowed) {
        return UserFiles::kNotAllowed;
    }
    return realUid == effectiveUid ? UserFiles::kRead : UserFiles::kIgnoredForSetuid;
}

}  // namespace dcconfig
