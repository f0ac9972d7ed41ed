#include "src/logging/LoggerWrapper.h"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "lib/config/Preference.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "lib/log/LogFileOutput.h"
#include "tests/support/TempDir.h"

using dctest::ReadFile;

namespace {

// Points the temp area and the home directory at a private directory, so
// the log file lands there and no user preference file is read.
class LoggerWrapperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"TMPDIR", "HOME"}) {
            const char* value = getenv(name);
            savedEnv_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            setenv(name, dir_.Path().c_str(), 1);
        }
    }
    void TearDown() override {
        delete LoggerWrapper::getInstance("unused");
        Preference_Exit();
        Log_SetLevel(0, dclog::kInfo);
        for (const auto& [name, value] : savedEnv_) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
    }
    // The default log file below the private temp area (the user part of the
    // directory name is the log library's business).
    static bool IsDefaultLogFile(const std::string& path, const std::string& tempDir) {
        return path.starts_with(tempDir + "/tarvelo-") &&
               path.ends_with("/brevant-DesktopController-" + std::to_string(getpid()) + ".log");
    }

    dctest::TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
};

TEST_F(LoggerWrapperTest, StartsTheLogFileAndShutsItDown) {
    dclog::LogCapture capture;
    LoggerWrapper* logger = LoggerWrapper::getInstance("DesktopController");
    EXPECT_EQ(LoggerWrapper::getInstance("Other"), logger);
    EXPECT_EQ(logger->getAppName(), "DesktopController");
    EXPECT_EQ(logger->getLevel(), dclog::kInfo);
    EXPECT_TRUE(capture.Contains("Log level of DesktopController is info\n"));
    const std::string path = dclog::CurrentLogFilePath();
    ASSERT_TRUE(IsDefaultLogFile(path, dir_.Path())) << path;

    LogMessage(dclog::kDebug, "debug record");
    delete logger;
    EXPECT_EQ(dclog::CurrentLogFilePath(), "");

    // The level gate applies to the file.
    const std::string text = ReadFile(path);
    EXPECT_TRUE(
        std::regex_search(text, std::regex("In\\(05\\) \\S+ Log level of DesktopController is info\n")));
    EXPECT_EQ(text.find("debug record"), std::string::npos);

    // After the exit path deleted it, the next call makes a fresh instance.
    LoggerWrapper* again = LoggerWrapper::getInstance("DesktopController");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->getAppName(), "DesktopController");
}

}  // namespace
