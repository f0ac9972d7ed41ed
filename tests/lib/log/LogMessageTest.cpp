#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "lib/log/LogLevels.h"
#include "lib/log/LogOutput.h"

using namespace std::chrono_literals;

namespace {

// Restores the global level pair changed by a test.
class LogMessageTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Log_SetLevel(0, dclog::kInfo);
        Log_SetStderrLevel(0, -1);
    }
};

// Reads what the block writes to standard error through a pipe.
template <typename Fn>
std::string CaptureStderr(Fn fn) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    int saved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    fn();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fds[1]);
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    return text;
}

class NullOutput : public dclog::LogOutput {
  public:
    explicit NullOutput(std::string name, bool opens = true)
        : LogOutput(0x777, std::move(name), dclog::kDebug2), opens_(opens) {}
    bool Open() override { return opens_; }
    void Write(uint32_t, std::string_view) override {}

  private:
    bool opens_;
};

}  // namespace

TEST_F(LogMessageTest, FormatsMasksAndTerminatesMessages) {
    dclog::LogCapture capture;
    LogMessage(dclog::kInfo, "plain %d", 42);
    LogMessage(dclog::kInfo, "kept newline\n");
    Log("the QxR and qxr and qXrx words");
    Warning("warned %s\n", "here");
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "plain 42\n");
    EXPECT_EQ(lines[1], "kept newline\n");
    EXPECT_EQ(lines[2], "the *** and *** and ***x words\n");
    EXPECT_EQ(lines[3], "warned here\n");
    EXPECT_EQ(capture.LevelOf("the ***"), dclog::kInfo);
    EXPECT_EQ(capture.LevelOf("warned"), dclog::kWarning);
}

TEST_F(LogMessageTest, LongMessagesUseTheLargeBufferAndAreCut) {
    dclog::LogCapture capture;
    const std::string medium(1000, 'm');
    const std::string huge(40000, 'h');
    LogMessage(dclog::kInfo, "%s", medium.c_str());
    LogMessage(dclog::kInfo, "%s", huge.c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], medium + "\n");
    // Cut to the large buffer: 32766 bytes of text, the last one a line feed.
    ASSERT_EQ(lines[1].size(), static_cast<size_t>(dclog::kLargeBufferSize - 1));
    EXPECT_EQ(lines[1].back(), '\n');
    EXPECT_EQ(lines[1].find_first_not_of('h'), lines[1].size() - 1);
}

TEST_F(LogMessageTest, ErrnoSurvivesLogging) {
    dclog::LogCapture capture;
    errno = EACCES;
    LogMessage(dclog::kError, "failed: %d", 1);
    EXPECT_EQ(errno, EACCES);
    errno = ENOENT;
    LogMessage(dclog::kDebug2, "suppressed");
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(LogMessageTest, LevelGatesDecideWhereMessagesGo) {
    dclog::LogCapture capture;
    LogMessage(dclog::kDebug, "debug hidden");
    LogMessage(dclog::kInfo, "info shown");
    EXPECT_FALSE(capture.Contains("debug hidden"));
    EXPECT_TRUE(capture.Contains("info shown"));

    EXPECT_EQ(Log_SetLevel(0, dclog::kDebug1), dclog::kDebug1);
    LogMessage(dclog::kDebug1, "trace shown");
    LogMessage(dclog::kDebug2, "verbose hidden");
    EXPECT_TRUE(capture.Contains("trace shown"));
    EXPECT_FALSE(capture.Contains("verbose hidden"));

    EXPECT_EQ(Log_SetLevel(dclog::kModuleCount + 1, 3), -1);
    EXPECT_EQ(Log_SetStderrLevel(-1, 3), -1);
    EXPECT_EQ(Log_GetLevel(0), dclog::kDebug1);
    EXPECT_EQ(Log_SetLevel(7, dclog::kError), dclog::kError);
    EXPECT_FALSE(Log_IsEnabled(dclog::MessageAddress(7, dclog::kWarning)));
    EXPECT_TRUE(Log_IsEnabled(dclog::MessageAddress(7, dclog::kError)));
    EXPECT_FALSE(Log_IsEnabled(dclog::MessageAddress(dclog::kModuleCount + 1, dclog::kError)));
    Log_SetLevel(7, dclog::kInfo);
}

TEST_F(LogMessageTest, StderrGetsTheBareTextOfMessagesPassingItsLevel) {
    std::string quiet = CaptureStderr([] { LogMessage(dclog::kError, "not on stderr"); });
    EXPECT_EQ(quiet, "");
    Log_SetStderrLevel(0, dclog::kWarning);
    Log_SetLevel(0, -1);
    std::string text = CaptureStderr([] {
        LogMessage(dclog::kWarning, "to stderr %d", 3);
        LogMessage(dclog::kInfo, "info stays off");
    });
    EXPECT_EQ(text, "to stderr 3\n");
}

TEST_F(LogMessageTest, RegistryRefusesDuplicatesAndOverflow) {
    EXPECT_FALSE(Log_IsEnabled(dclog::MessageAddress(0, dclog::kInfo)));
    ASSERT_NE(dclog::RegisterOutput(std::make_unique<NullOutput>("a")), nullptr);
    EXPECT_TRUE(Log_IsEnabled(dclog::MessageAddress(0, dclog::kInfo)));
    EXPECT_EQ(dclog::RegisterOutput(std::make_unique<NullOutput>("a")), nullptr);
    EXPECT_EQ(dclog::RegisterOutput(std::make_unique<NullOutput>("refuses", false)), nullptr);
    for (int i = 1; i < dclog::kMaxOutputs; ++i) {
        EXPECT_NE(dclog::RegisterOutput(std::make_unique<NullOutput>("n" + std::to_string(i))), nullptr);
    }
    EXPECT_EQ(dclog::RegisterOutput(std::make_unique<NullOutput>("eleventh")), nullptr);
    EXPECT_TRUE(dclog::RemoveOutput(0x777, "a"));
    EXPECT_FALSE(dclog::RemoveOutput(0x777, "a"));
    Log_Shutdown();
    EXPECT_FALSE(dclog::HasOutput(0x777, "n1"));
    EXPECT_FALSE(Log_IsEnabled(dclog::MessageAddress(0, dclog::kInfo)));
}

TEST_F(LogMessageTest, LevelNamesMatchWithoutCase) {
    EXPECT_EQ(dclog::LevelFromName("DEBUG2"), 10);
    EXPECT_EQ(dclog::LevelFromName("Warning"), 3);
    EXPECT_EQ(dclog::LevelFromName("none"), -1);
    EXPECT_EQ(dclog::LevelFromName("NoNe"), -1);
    EXPECT_EQ(dclog::LevelFromName("debug15"), 23);
    EXPECT_FALSE(dclog::LevelFromName("warn").has_value());
    EXPECT_STREQ(dclog::LevelDesignator(0), "No");
    EXPECT_STREQ(dclog::LevelDesignator(6), "In");
    EXPECT_STREQ(dclog::LevelDesignator(17), "Db");
    EXPECT_EQ(dclog::LevelName(24), nullptr);
}

TEST_F(LogMessageTest, CaptureWaitsForRecordsFromOtherThreads) {
    dclog::LogCapture capture;
    std::thread writer([] { Log("from the writer thread"); });
    EXPECT_TRUE(capture.WaitFor("writer thread", 5s));
    writer.join();
    EXPECT_FALSE(capture.WaitFor("never logged", 20ms));
}
