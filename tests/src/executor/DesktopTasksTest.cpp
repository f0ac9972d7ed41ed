// The lock, unlock and logout tasks run the desktop task script at its fixed
// path. The whole test program runs in a private mount namespace in which a
// recording script stands at that path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(events.NextLine());
    }
    ASSERT_TRUE(capture.WaitFor("Task LogoutDesktop executed in queue", kEventTimeout));
    EXPECT_TRUE(capture.Contains("DesktopCExecutor->Exec Task LockScreen executed directly"));
    EXPECT_TRUE(capture.Contains("DesktopCExecutor->Exec Task UnlockScreen executed directly"));

    // Begin and end of one run are never separated by another run.
    std::vector<std::string> marks = LinesWithPrefix(ReadFile(record), "begin ");
    std::vector<std::string> lines = LinesWithPrefix(ReadFile(record), "");
    for (size_t i = 0; i + 2 < lines.size(); i += 3) {
        EXPECT_EQ(lines[i].substr(6), lines[i + 2].substr(4)) << "overlapping runs";
    }
    EXPECT_EQ(marks.size(), 3u);

    // The executor hands every task this session's type and distribution.
    std::vector<std::string> viaExecutor = RecordedArguments();
    std::filesystem::remove(record);
    const DesktopInfo session{GetDesktopType(), CommonUtils::GetDistribution()};
    LockScreenTask().Execute(session);
    UnlockScreenTask().Execute(session);
    LogoutDesktopTask().Execute(session);
    std::vector<std::string> direct = RecordedArguments();
    std::sort(viaExecutor.begin(), viaExecutor.end());
    std::sort(direct.begin(), direct.end());
    EXPECT_EQ(viaExecutor, direct);
}

}  // namespace
