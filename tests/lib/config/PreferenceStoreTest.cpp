#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lib/config/Preference.h"
#include "lib/config/PreferenceInit.h"
#include "lib/config/PreferenceStore.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/support/TempDir.h"

using dcconfig::PreferencePaths;
using dctest::TempDir;

namespace {

class PreferenceStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { Preference_Exit(); }
    void TearDown() override { Preference_Exit(); }

    // All six files live below the temp dir; HOST DEFAULTS points libdir there.
    PreferencePaths Paths() const {
        return {dir_.File("etc/config"), dir_.File("default-lib"), dir_.File("home/.tarvelo/config"),
                dir_.File("home/.tarvelo/preferences")};
    }
    std::string LibDir() const { return dir_.File("lib"); }
    void WriteHost(const std::string& extra) const {
        dir_.Write("etc/config", "libdir = \"" + LibDir() + "\"\n" + extra);
    }
    void WriteLayeredFiles() const {
        WriteHost("k1 = host\nk2 = host\nk3 = host\nk4 = host\nk5 = host\n");
        dir_.Write("lib/settings", "k1 = global\n");
        dir_.Write("home/.tarvelo/preferences", "k1 = userpref\nk2 = userpref\n");
        dir_.Write("home/.tarvelo/config", "k1 = userdef\nk2 = userdef\nk3 = userdef\n");
        dir_.Write("lib/config", "k1 = site\nk2 = site\nk3 = site\nk4 = site\nk6 = site\n");
    }

    TempDir dir_;
};

}  // namespace

TEST_F(PreferenceStoreTest, LayersAnswerInTheirFixedOrder) {
    WriteLayeredFiles();
    dcconfig::Preference_InitWithPaths(Paths(), true);
    EXPECT_EQ(Preference_GetString(nullptr, "k1").value_or(""), "global");
    EXPECT_EQ(Preference_GetString(nullptr, "k2").value_or(""), "userpref");
    EXPECT_EQ(Preference_GetString(nullptr, "k3").value_or(""), "userdef");
    EXPECT_EQ(Preference_GetString(nullptr, "k4").value_or(""), "host");
    EXPECT_EQ(Preference_GetString(nullptr, "k6").value_or(""), "site");
    EXPECT_EQ(Preference_GetString("dflt", "k7").value_or(""), "dflt");
}

TEST_F(PreferenceStoreTest, BrokenFilesAreSkippedWithTheirReasons) {
    WriteHost("x = host\n");
    dir_.Write("lib/config", "x = site\ny = site\nthis line is wrong\n");
    std::filesystem::create_directories(LibDir() + "/settings");
    dclog::LogCapture log(dclog::kDebug2);
    dcconfig::Preference_InitWithPaths(Paths(), false);
    EXPECT_EQ(Preference_GetString(nullptr, "y").value_or("<null>"), "<null>");
    EXPECT_EQ(Preference_GetString(nullptr, "x").value_or(""), "host");
    EXPECT_TRUE(log.Contains("[msg.dictionary.read.syntaxError] File \"" + LibDir() +
                             "/config\" line 3: Syntax error.\n"));
    EXPECT_TRUE(
        log.Contains("[msg.dictionary.load.isDirectory] \"" + LibDir() + "/settings\" is a directory.\n"));
    EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + LibDir() + "/config."));
}

TEST_F(PreferenceStoreTest, UserFilesFollowTheHostSwitchAndHome) {
    WriteLayeredFiles();
    {
        WriteHost("disableUserPreferences = yes\nk2 = host\n");
        dclog::LogCapture log(dclog::kDebug2);
        dcconfig::Preference_InitWithPaths(Paths(), true);
        EXPECT_EQ(Preference_GetString(nullptr, "k2").value_or(""), "host");
        EXPECT_TRUE(log.Contains("PREF Disabling user preferences because disableUserPreferences is set.\n"));
        Preference_Exit();
    }
    // The user's files, found through "~", are read with equal uids.
    WriteLayeredFiles();
    PreferencePaths tilde = Paths();
    tilde.userDefaults = "~/.tarvelo/config";
    tilde.userPreferences = "~/.tarvelo/preferences";
    std::string home = dir_.File("home");
    const char* savedHome = std::getenv("HOME");
    std::string restore = savedHome ? savedHome : "";
    setenv("HOME", home.c_str(), 1);
    dcconfig::Preference_InitWithPaths(tilde, true);
    EXPECT_EQ(Preference_GetString(nullptr, "k2").value_or(""), "userpref");
    Preference_Exit();
}

TEST_F(PreferenceStoreTest, ConcurrentInitialisationAndReaders) {
    WriteHost("n = 7\nb = true\ns = \"text\"\n");
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            dcconfig::Preference_InitWithPaths(Paths(), false);
            for (int i = 0; i < 3000; ++i) {
                bool ok = Preference_GetInt32(0, "n") == 7 && Preference_GetBool(false, "b") &&
                          Preference_GetString(nullptr, "s").value_or("") == "text" &&
                          Preference_GetInt32(t + 1, ("missing" + std::to_string(i % 7)).c_str()) == t + 1;
                wrong += ok ? 0 : 1;
            }
        });
    }
    dclog::LogCapture quiet(dclog::kDebug2);
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(quiet.Contains("PREF Optional preferences file not found at " + Paths().hostDefaults));
}
