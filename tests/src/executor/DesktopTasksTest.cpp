// The lock, unlock and logout tasks run the desktop task script at its fixed
// path. The whole test program runs in a private mount namespace in which a
// recording script stands at that path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/core/DesktopConstants.h"
#include "src/core/SessionDetection.h"
#include "src/executor/DesktopCExecutor.h"
#include "src/executor/LockScreenTask.h"
#include "src/executor/LogoutDesktopTask.h"
#include "src/executor/UnlockScreenTask.h"
#include "src/process/DesktopCProcessMgr.h"
#include "tests/src/process/ProcessTestSupport.h"
#include "tests/support/PrivateSystemDirs.h"

namespace {

using namespace proctest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// The namespace has to be entered while the program has a single thread.
class SystemDirsEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        try {
            dirs = std::make_unique<dctest::PrivateSystemDirs>();
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    void TearDown() override { dirs.reset(); }

    std::unique_ptr<dctest::PrivateSystemDirs> dirs;
    std::string failure;
};

SystemDirsEnvironment* const gSystemDirs =
    static_cast<SystemDirsEnvironment*>(::testing::AddGlobalTestEnvironment(new SystemDirsEnvironment));

class DesktopTasksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!gSystemDirs->dirs) {
            GTEST_SKIP() << "no private system directories: " << gSystemDirs->failure;
        }
        const std::string script = std::string(desktop::kTaskScriptPath);
        std::filesystem::create_directories(std::filesystem::path(script).parent_path());
        // Each run records its arguments between a begin and an end line;
        // the pause in between makes overlapping runs visible.
        WriteExecutable(script,
                        "#!/bin/sh\n"
                        "echo \"begin $2\" >> '" +
                            record +
                            "'\n"
                            "sleep 0.1\n"
                            "{ printf '%s' \"$#\"; for a; do printf ' [%s]' \"$a\"; done; echo; } >> '" +
                            record +
                            "'\n"
                            "echo \"end $2\" >> '" +
                            record +
                            "'\n"
                            "echo \"done $2\" > '" +
                            events.Path() + "'\n");
    }
    void TearDown() override {
        if (gSystemDirs->dirs) {
            std::filesystem::remove(std::string(desktop::kTaskScriptPath));
        }
    }

    // The argument lines the script recorded, in order.
    std::vector<std::string> RecordedArguments() const {
        std::vector<std::string> lines;
        for (const std::string& line : LinesWithPrefix(ReadFile(record), "")) {
            if (line.rfind("begin", 0) != 0 && line.rfind("end", 0) != 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    TempDir dir;
    const std::string record = dir.File("record");
    EventFifo events{dir.File("events")};
};

TEST_F(DesktopTasksTest, EachTaskPassesItsActionDistributionAndDesktopType) {
    LockScreenTask lock;
    UnlockScreenTask unlock;
    LogoutDesktopTask logout;
    EXPECT_EQ(lock.GetName(), "LockScreen");
    EXPECT_EQ(unlock.GetName(), "UnlockScreen");
    EXPECT_EQ(logout.GetName(), "LogoutDesktop");

    for (const DesktopInfo& info :
         {DesktopInfo{"kde", "rhel"}, DesktopInfo{"gnome", "ubuntu"}, DesktopInfo{"mate", ""}}) {
        lock.Execute(info);
        unlock.Execute(info);
        logout.Execute(info);
    }
    EXPECT_THAT(RecordedArguments(), ElementsAreArray({
                                         "4 [-a] [lock] [-d] [rhel]",
                                         "6 [-a] [unlock] [-d] [rhel] [-t] [kde]",
                                         "4 [-a] [logout] [-t] [kde]",
                                         "4 [-a] [lock] [-d] [ubuntu]",
                                         "6 [-a] [unlock] [-d] [ubuntu] [-t] [gnome]",
                                         "4 [-a] [logout] [-t] [gnome]",
                                         // An empty distribution is still passed, as nothing.
                                         "3 [-a] [lock] [-d]",
                                         "5 [-a] [unlock] [-d] [-t] [mate]",
                                         "4 [-a] [logout] [-t] [mate]",
                                     }));
}

TEST_F(DesktopTasksTest, DirectRequestsRunTheScriptOneAtATimeWithThisSession) {
    dclog::LogCapture capture;
    auto executor = std::make_unique<DesktopCExecutor>(std::make_shared<DesktopCProcessMgr>());
    executor->Exec(std::make_shared<LockScreenTask>(), false);
    executor->Exec(std::make_shared<UnlockScreenTask>(), false);
    executor->Exec(std::make_shared<LogoutDesktopTask>(), true);
    std::vector<std::string> done;
    for (int i = 0; i < 3; ++i) {
        std::optional<std::string> line = events.NextLine();
        ASSERT_TRUE(line);
        done.push_back(*line);
    }
    ASSERT_TRUE(capture.WaitFor("Task LogoutDesktop executed in queue", kEventTimeout));
    EXPECT_TRUE(capture.Contains("DesktopCExecutor->Exec Task LockScreen executed directly"));
    EXPECT_TRUE(capture.Contains("DesktopCExecutor->Exec Task UnlockScreen executed directly"));

    // Begin and end of one run are never separated by another run.
    std::vector<std::string> marks;
    for (const std::string& line : LinesWithPrefix(ReadFile(record), "")) {
        if (line.rfind("begin", 0) == 0 || line.rfind("end", 0) == 0) {
            marks.push_back(line);
        }
    }
    ASSERT_EQ(marks.size(), 6u);
    for (size_t i = 0; i < marks.size(); i += 2) {
        EXPECT_EQ(marks[i].substr(6), marks[i + 1].substr(4)) << "overlapping runs";
    }
    const std::string distribution = CommonUtils::GetDistribution();
    const std::string type = GetDesktopType();
    std::vector<std::string> expected = {
        "-a lock -d " + distribution,
        "-a unlock -d " + distribution + " -t " + type,
        "-a logout -t " + type,
    };
    std::vector<std::string> seen;
    for (const std::string& line : RecordedArguments()) {
        std::string words;
        for (size_t open = line.find('['); open != std::string::npos; open = line.find('[', open + 1)) {
            std::string word = line.substr(open + 1, line.find(']', open) - open - 1);
            words += (words.empty() ? "" : " ") + word;
        }
        seen.push_back(words);
    }
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    // Words the shell split away (an empty distribution or type) are not recorded.
    for (std::string& text : expected) {
        for (size_t twice = text.find("  "); twice != std::string::npos; twice = text.find("  ")) {
            text.erase(twice, 1);
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
    }
    EXPECT_THAT(seen, ElementsAreArray(expected));
}

}  // namespace
