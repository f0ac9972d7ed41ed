#include "src/logging/LoggerWrapper.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "lib/config/Preference.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "lib/log/LogFileOutput.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string UserName() {
    if (const char* user = getenv("USER"); user != nullptr && *user != '\0') {
        return user;
    }
    return getpwuid(geteuid())->pw_name;
}

// Points the temp area and the home directory at a private directory, so
// the log file and the user preference file live there.
class LoggerWrapperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "dclogging-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        saveEnv("TMPDIR");
        saveEnv("HOME");
        setenv("TMPDIR", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        delete LoggerWrapper::getInstance("unused");
        Preference_Exit();
        Log_SetLevel(0, dclog::kInfo);
        for (const auto& [name, value] : savedEnv_) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
        std::filesystem::remove_all(dir_);
    }
    void saveEnv(const char* name) {
        const char* value = getenv(name);
        savedEnv_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    void WritePreferences(const std::string& text) {
        std::filesystem::create_directories(dir_ + "/.tarvelo");
        std::ofstream(dir_ + "/.tarvelo/preferences") << text;
    }
    std::string LogPath() const {
        return dir_ + "/tarvelo-" + UserName() + "/brevant-DesktopController-" + std::to_string(getpid()) +
               ".log";
    }

    std::string dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
};

}  // namespace

TEST_F(LoggerWrapperTest, StartsTheLogFileAndShutsItDown) {
    dclog::LogCapture capture;
    LoggerWrapper* logger = LoggerWrapper::getInstance("DesktopController");
    EXPECT_EQ(LoggerWrapper::getInstance("Other"), logger);
    EXPECT_EQ(logger->getAppName(), "DesktopController");
    EXPECT_EQ(logger->getLevel(), dclog::kInfo);
    EXPECT_TRUE(capture.Contains("Log level of DesktopController is info\n"));
    ASSERT_EQ(dclog::CurrentLogFilePath(), LogPath());

    LogMessage(dclog::kDebug, "debug record");
    LogMessage(dclog::kDebug1, "trace record");
    LogMessage(dclog::kError, "error record");
    LogMessage(dclog::kWarning, "warn record");
    delete logger;
    EXPECT_EQ(dclog::CurrentLogFilePath(), "");

    struct stat st {};
    ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    const std::string text = ReadFile(LogPath());
    EXPECT_TRUE(std::regex_search(
        text, std::regex("In\\(05\\) \\S+ Log for DesktopController pid=" + std::to_string(getpid()) +
                         " version=\\d+\\.\\d+\\.\\d+ "
                         "build=\\S+ option=Release\n")))
        << text;
    EXPECT_NE(text.find("In(05) "), std::string::npos);
    EXPECT_NE(text.find("Log level of DesktopController is info\n"), std::string::npos);
    EXPECT_NE(text.find("Er(02) "), std::string::npos);
    EXPECT_NE(text.find("Wa(03) "), std::string::npos);
    EXPECT_EQ(text.find("debug record"), std::string::npos);
    EXPECT_EQ(text.find("trace record"), std::string::npos);

    // After the exit path deleted it, the next call makes a fresh instance.
    LoggerWrapper* again = LoggerWrapper::getInstance("DesktopController");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->getAppName(), "DesktopController");
}

TEST_F(LoggerWrapperTest, LevelNamesAreExactAndUnknownNamesChangeNothing) {
    EXPECT_EQ(LoggerWrapper::getLevelName(2), "error");
    EXPECT_EQ(LoggerWrapper::getLevelName(3), "warn");
    EXPECT_EQ(LoggerWrapper::getLevelName(5), "info");
    EXPECT_EQ(LoggerWrapper::getLevelName(8), "debug");
    EXPECT_EQ(LoggerWrapper::getLevelName(9), "trace");
    EXPECT_EQ(LoggerWrapper::getLevelName(10), "verbose");
    EXPECT_EQ(LoggerWrapper::getLevelName(4), "unsupported");
    EXPECT_EQ(LoggerWrapper::getLevelName(-1), "unsupported");

    LoggerWrapper* logger = LoggerWrapper::getInstance("DesktopController");
    logger->parseLogLevel("trace");
    EXPECT_EQ(logger->getLevel(), 9);
    for (const char* unknown : {"Info", "debug2", "WARN", "", "warning"}) {
        logger->parseLogLevel(unknown);
        EXPECT_EQ(logger->getLevel(), 9) << unknown;
    }
    logger->parseLogLevel("warn");
    EXPECT_EQ(logger->getLevel(), 3);
}

TEST_F(LoggerWrapperTest, LevelComesFromTheProgramsPreference) {
    WritePreferences("DesktopController.log.logLevel = \"trace\"\n");
    Preference_Init();
    dclog::LogCapture capture;
    LoggerWrapper* logger = LoggerWrapper::getInstance("DesktopController");
    EXPECT_EQ(logger->getLevel(), 9);
    EXPECT_EQ(Log_GetLevel(0), 9);
    EXPECT_TRUE(capture.Contains("Log level of DesktopController is trace\n"));
    LogMessage(dclog::kDebug1, "trace record");
    LogMessage(dclog::kDebug2, "verbose record");
    delete logger;
    const std::string text = ReadFile(LogPath());
    EXPECT_NE(text.find("Db(09) "), std::string::npos);
    EXPECT_NE(text.find("trace record\n"), std::string::npos);
    EXPECT_EQ(text.find("verbose record"), std::string::npos);
}

TEST_F(LoggerWrapperTest, WrongCaseOrLibraryNamesKeepInfo) {
    for (const char* value : {"Info", "debug2"}) {
        SCOPED_TRACE(value);
        WritePreferences(std::string("DesktopController.log.logLevel = \"") + value + "\"\n");
        Preference_Init();
        dclog::LogCapture capture;
        LoggerWrapper* logger = LoggerWrapper::getInstance("DesktopController");
        EXPECT_EQ(logger->getLevel(), 5);
        EXPECT_TRUE(capture.Contains("Log level of DesktopController is info\n"));
        delete logger;
        Preference_Exit();
    }
}

TEST_F(LoggerWrapperTest, LogFilePathComesFromThePreferenceNamedByTheDictionary) {
    const std::string path = dir_ + "/custom/dc-$PID.log";
    std::filesystem::create_directories(dir_ + "/custom");
    WritePreferences("DesktopController.log.filename = \"" + path +
                     "\"\nDesktopController.log.keepOld = 2\n");
    Preference_Init();
    delete LoggerWrapper::getInstance("DesktopController");
    delete LoggerWrapper::getInstance("DesktopController");
    delete LoggerWrapper::getInstance("DesktopController");
    delete LoggerWrapper::getInstance("DesktopController");
    const std::string expanded = dir_ + "/custom/dc-" + std::to_string(getpid());
    EXPECT_TRUE(std::filesystem::exists(expanded + ".log"));
    EXPECT_TRUE(std::filesystem::exists(expanded + "-1.log"));
    EXPECT_TRUE(std::filesystem::exists(expanded + "-2.log"));
    EXPECT_FALSE(std::filesystem::exists(expanded + "-3.log"));
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
}
