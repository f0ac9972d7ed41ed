#include "lib/config/Preference.h"

#include <memory>
#include <mutex>
#include <utility>

#include "lib/config/ConfigLog.h"
#include "lib/config/PreferenceGlobal.h"
#include "lib/config/TildeExpand.h"
#include "lib/log/Log.h"

namespace dcconfig {

namespace {

// The published store. Each operation on it (load, publish if empty, take)
// is one step under the slot's own mutex, so a reader that holds a
// reference keeps the store alive across a concurrent tear-down.
class StoreSlot {
  public:
    std::shared_ptr<PreferenceStore> Load() {
        std::lock_guard<std::mutex> guard(mutex_);
        return store_;
    }
    // Publishes the store unless one is already there; false when it lost.
    bool CompareAndPublish(std::shared_ptr<PreferenceStore> store) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (store_) {
            return false;
        }
        store_ = std::move(store);
        return true;
    }
    std::shared_ptr<PreferenceStore> Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(store_, nullptr);
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<PreferenceStore> store_;
};

// Never destroyed: preferences may still be read from static destructors
// and other threads while the process exits.
StoreSlot& GlobalStore() {
    static auto* slot = new StoreSlot();
    return *slot;
}

template <typename T, typename Reader>
T ReadOrDefault(T defaultValue, const char* name, Reader read) {
    std::shared_ptr<PreferenceStore> store = CurrentPreferenceStore();
    if (!store) {
        Config_Log(dclog::kInfo, "PREF early PreferenceGet(%s), using default\n", name);
        return defaultValue;
    }
    return read(*store);
}

}  // namespace

std::shared_ptr<PreferenceStore> CurrentPreferenceStore() {
    return GlobalStore().Load();
}

PreferencePaths SystemPreferencePaths() {
    return {"/etc/tarvelo/config", "/usr/lib/tarvelo", "~/.tarvelo/config", "~/.tarvelo/preferences"};
}

void Preference_InitWithPaths(const PreferencePaths& paths, bool allowUserFiles) {
    if (GlobalStore().Load()) {
        return;
    }
    // Racing initialisations each build a store; the loser's is dropped.
    GlobalStore().CompareAndPublish(std::make_shared<PreferenceStore>(paths, allowUserFiles));
}

}  // namespace dcconfig

using dcconfig::PreferenceStore;

void Preference_Init() {
    dcconfig::Preference_InitWithPaths(dcconfig::SystemPreferencePaths(), true);
}

void Preference_InitNoUserFiles() {
    dcconfig::Preference_InitWithPaths(dcconfig::SystemPreferencePaths(), false);
}

void Preference_Exit() {
    dcconfig::GlobalStore().Take();
}

std::optional<std::string> Preference_GetString(const char* defaultValue, const char* name) {
    std::optional<std::string> fallback =
        defaultValue ? std::optional<std::string>(defaultValue) : std::nullopt;
    return dcconfig::ReadOrDefault(
        fallback, name, [&](PreferenceStore& store) { return store.GetString(defaultValue, name); });
}

std::optional<std::string> Preference_GetPathName(const char* defaultValue, const char* name) {
    std::optional<std::string> path = Preference_GetString(defaultValue, name);
    return path ? std::optional(dcconfig::ExpandTilde(*path)) : std::nullopt;
}

bool Preference_GetBool(bool defaultValue, const char* name) {
    return dcconfig::ReadOrDefault(defaultValue, name,
                                   [&](PreferenceStore& store) { return store.GetBool(defaultValue, name); });
}

int32_t Preference_GetInt32(int32_t defaultValue, const char* name) {
    return dcconfig::ReadOrDefault(
        defaultValue, name, [&](PreferenceStore& store) { return store.GetInt32(defaultValue, name); });
}

int Preference_GetTriState(int defaultValue, const char* name) {
    return dcconfig::ReadOrDefault(
        defaultValue, name, [&](PreferenceStore& store) { return store.GetTriState(defaultValue, name); });
}

int64_t Preference_GetInt64(int64_t defaultValue, const char* name) {
    return dcconfig::ReadOrDefault(
        defaultValue, name, [&](PreferenceStore& store) { return store.GetInt64(defaultValue, name); });
}

double Preference_GetDouble(double defaultValue, const char* name) {
    return dcconfig::ReadOrDefault(
        defaultValue, name, [&](PreferenceStore& store) { return store.GetDouble(defaultValue, name); });
}

void Preference_Log() {
    std::shared_ptr<PreferenceStore> store = dcconfig::CurrentPreferenceStore();
    if (!store) {
        return;
    }
    for (const std::string& line : store->DumpLines()) {
        Config_Log(dclog::kInfo, "%s", line.c_str());
    }
}

std::string Preference_SourceOf(const char* name) {
    std::shared_ptr<PreferenceStore> store = dcconfig::CurrentPreferenceStore();
    return store ? store->SourceOf(name) : std::string();
}
