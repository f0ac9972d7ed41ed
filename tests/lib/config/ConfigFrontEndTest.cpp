#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/config/Config.h"
#include "lib/config/Preference.h"
#include "lib/config/PreferenceInit.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/support/TempDir.h"

using dctest::TempDir;

TEST(ConfigFrontEnd, FormattedReadsNotSetAndMerge) {
    TempDir dir;
    dcconfig::PreferencePaths paths{dir.Write("etc/config", "libdir = \"" + dir.Path() + "\"\n"), dir.Path(),
                                    "", ""};
    std::string longName(1100, 'k');
    dir.Write("config",
              "DesktopController.log.logLevel = debug\nflag = no\nn = 0x20\nbig = 99\nt = auto\nr = 0.5\n"
              "p = ~/sub\n" +
                  longName.substr(0, 1023) + " = cut\n");
    Preference_Exit();
    EXPECT_TRUE(Config_NotSet("%s.log.logLevel", "DesktopController"));
    dcconfig::Preference_InitWithPaths(paths, false);

    EXPECT_EQ(Config_GetString(nullptr, "%s.log.logLevel", "DesktopController").value_or(""), "debug");
    EXPECT_FALSE(Config_GetBool(true, "%s", "flag"));
    EXPECT_EQ(Config_GetInt32(0, "%c", 'n'), 32);
    EXPECT_EQ(Config_GetInt64(0, "b%s", "ig"), 99);
    EXPECT_EQ(Config_GetTriState(1, "t"), -1);
    EXPECT_DOUBLE_EQ(Config_GetDouble(0, "r"), 0.5);
    const char* home = std::getenv("HOME");
    std::string savedHome = home ? home : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Config_GetPathName(nullptr, "p").value_or(""), "/home/someone/sub");
    setenv("HOME", savedHome.c_str(), 1);
    EXPECT_EQ(Config_GetString(nullptr, "%s", longName.c_str()).value_or(""), "cut");

    EXPECT_FALSE(Config_NotSet("%s.log.%s", "DesktopController", "logLevel"));
    EXPECT_EQ(Config_GetInt32(5, "unset.%d", 1), 5);
    EXPECT_TRUE(Config_NotSet("unset.%d", 1)) << "a recorded default is not a setting";

    EXPECT_EQ(Config_MergeTriState(1, -1), 1);
    EXPECT_EQ(Config_MergeTriState(1, 0), 0);
    Preference_Exit();
}
