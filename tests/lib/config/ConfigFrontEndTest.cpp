#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/config/Config.h"
#include "lib/config/ConfigName.h"
#include "lib/config/Preference.h"
#include "lib/config/PreferenceInit.h"
#include "lib/config/Verify.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/support/TempDir.h"

using dctest::TempDir;

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string name = dcconfig::FormatConfigName(kConfigNameBufferSize, format, args);
    va_end(args);
    return name;
}

void ExitingPanic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("PANIC: ", stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(255);
}

}  // namespace

TEST(ConfigFrontEnd, LongNamesAreCutAtAWholeUtf8Character) {
    const std::string fits(1023, 'a');
    EXPECT_EQ(Format("%sb", fits.c_str()), fits);

    const std::string prefix(1021, 'p');
    EXPECT_EQ(Format("%s\xC3\xA9", prefix.c_str()), prefix + "\xC3\xA9")
        << "a 2-byte character that just fits";
    EXPECT_EQ(Format("%sx\xC3\xA9", prefix.c_str()), prefix + "x") << "no half of a 2-byte character";
    EXPECT_EQ(Format("%s\xF0\x9F\x98\x80", prefix.c_str()), prefix) << "no part of a 4-byte character";
    EXPECT_EQ(Format("%s.%d", "module", 7), "module.7");
}

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

TEST(ConfigFrontEndDeathTest, SettersAndFailedChecksEndTheProcessWithTheirPosition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Config_SetString("v", "name"), "^NOT_IMPLEMENTED .*lib/config/Config\\.cpp:[0-9]+\n$");
    EXPECT_DEATH(Config_SetBool(true, "%s", "name"), "^NOT_IMPLEMENTED .*Config\\.cpp:[0-9]+\n$");
    EXPECT_DEATH(Config_SetDouble(1.0, "name"), "^NOT_IMPLEMENTED ");

    int line = __LINE__ + 1;
    EXPECT_DEATH(VERIFY(1 + 1 == 3), "^VERIFY .*ConfigFrontEndTest\\.cpp:" + std::to_string(line) + "\n$");
    EXPECT_DEATH(NOT_REACHED(), "^NOT_REACHED .*ConfigFrontEndTest\\.cpp:[0-9]+\n$");

    EXPECT_EXIT(
        {
            Verify_SetPanicHandler(ExitingPanic);
            Config_SetBool(false, "x");
        },
        ::testing::ExitedWithCode(255), "^PANIC: NOT_IMPLEMENTED .*Config\\.cpp:[0-9]+\n$");
}
