// The six layered dictionaries of the process-wide preference store.
//
// Lookups search GLOBAL SETTINGS, NON PERSISTENT, USER PREFERENCES, USER
// DEFAULTS, HOST DEFAULTS and SITE DEFAULTS in that order; the first that
// holds the name answers, and a name nobody holds is read (with the
// caller's default) from USER PREFERENCES.
//
// Thread safety: every lookup holds the recursive lock "preferenceLock" for
// the whole search. Records are logged after the lock is released, so a log
// library that reads preferences under its own lock cannot deadlock with us.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/config/Dictionary.h"
#include "lib/config/NamedRecursiveLock.h"
#include "lib/config/PreferenceInit.h"

namespace dcconfig {

class PreferenceStore {
  public:
    // Loads the files; a missing or broken file is logged and left empty.
    PreferenceStore(const PreferencePaths& paths, bool allowUserFiles);
    PreferenceStore(const PreferenceStore&) = delete;
    PreferenceStore& operator=(const PreferenceStore&) = delete;

    std::optional<std::string> GetString(const char* defaultValue, const std::string& name);
    bool GetBool(bool defaultValue, const std::string& name);
    int32_t GetInt32(int32_t defaultValue, const std::string& name);
    int GetTriState(int defaultValue, const std::string& name);
    int64_t GetInt64(int64_t defaultValue, const std::string& name);
    double GetDouble(double defaultValue, const std::string& name);

    // True when some dictionary holds the name (defaults do not count).
    bool IsSet(const std::string& name);

    // The dictionary that answers for the name, as its label followed by
    // its file when it has one; empty when only the default applies.
    std::string SourceOf(const std::string& name);

    // The dump: a heading per dictionary, then its entries.
    std::vector<std::string> DumpLines();

  private:
    enum Slot {
        kGlobalSettings,
        kNonPersistent,
        kUserPreferences,
        kUserDefaults,
        kHostDefaults,
        kSiteDefaults
    };
    static constexpr size_t kLayerCount = 6;

    struct Layer {
        const char* label;
        std::optional<std::string> path;  // unset: memory only, or user files not read
        Dictionary dictionary;
    };

    void LoadLayer(Layer& layer);
    void ChooseUserLayers(bool disabledByHost, bool allowUserFiles, const PreferencePaths& paths);
    Dictionary& Answering(const std::string& name);

    template <typename Read>
    auto Lookup(const std::string& name, Read read);

    NamedRecursiveLock lock_{"preferenceLock"};
    std::array<Layer, kLayerCount> layers_;
};

}  // namespace dcconfig
