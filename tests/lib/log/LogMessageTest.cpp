#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

// Holds the log lock for a while inside every write, announcing the first.
class SlowOutput : public dclog::LogOutput {
  public:
    explicit SlowOutput(std::atomic<bool>& entered)
        : LogOutput(0x778, "slow", dclog::kDebug2), entered_(entered) {}
    void Write(uint32_t, std::string_view) override {
        entered_ = true;
        std::this_thread::sleep_for(300ms);
    }

  private:
    std::atomic<bool>& entered_;
};

}  // namespace

TEST_F(LogMessageTest, ChildForkedWhileAnotherThreadLogsCanLogItself) {
    std::atomic<bool> entered{false};
    ASSERT_NE(dclog::RegisterOutput(std::make_unique<SlowOutput>(entered)), nullptr);
    std::thread writer([] { LogMessage(dclog::kInfo, "parent record"); });
    while (!entered) {
        std::this_thread::sleep_for(1ms);
    }
    pid_t child = fork();
    if (child == 0) {
        // A child stuck on the inherited log lock is ended by the alarm.
        alarm(5);
        LogMessage(dclog::kInfo, "child record");
        // Ends through exec, as a real child does: a thread checker would
        // otherwise report the parent's writer thread at the child's exit.
        execl("/bin/true", "true", static_cast<char*>(nullptr));
        _exit(1);
    }
    writer.join();
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child blocked on the inherited log lock";
    EXPECT_TRUE(dclog::RemoveOutput(0x778, "slow"));
}

TEST_F(LogMessageTest, FormatsMasksTerminatesCutsAndKeepsErrno) {
    dclog::LogCapture capture;
    const std::string medium(1000, 'm');
    LogMessage(dclog::kInfo, "plain %d", 42);
    LogMessage(dclog::kInfo, "kept newline\n");
    Log("the QxR and qxr and qXrx words");
    Warning("warned %s\n", "here");
    LogMessage(dclog::kInfo, "%s", medium.c_str());
    // Fills the stack buffer exactly, leaving no room for the line feed.
    const std::string full(dclog::kStackBufferSize - 1, 's');
    LogMessage(dclog::kInfo, "%s", full.c_str());
    LogMessage(dclog::kInfo, "%s", std::string(40000, 'h').c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6),
              (std::vector<std::string>{"plain 42\n", "kept newline\n", "the *** and *** and ***x words\n",
                                        "warned here\n", medium + "\n", full + "\n"}));
    EXPECT_EQ(capture.LevelOf("the ***"), dclog::kInfo);
    EXPECT_EQ(capture.LevelOf("warned"), dclog::kWarning);
    // Cut to the large buffer: 32766 bytes of text, the last one a line feed.
    ASSERT_EQ(lines[6].size(), static_cast<size_t>(dclog::kLargeBufferSize - 1));
    EXPECT_EQ(lines[6].find_first_not_of('h'), lines[6].size() - 1);

    errno = EACCES;
    LogMessage(dclog::kError, "failed: %d", 1);
    EXPECT_EQ(errno, EACCES);
    errno = ENOENT;
    LogMessage(dclog::kDebug2, "suppressed");
    EXPECT_EQ(errno, ENOENT);
}
