// The lock, unlock and logout tasks run the desktop task script at its fixed
// path. The whole test program runs in a private mount namespace in which a
// recording script stands at that path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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
        // Each run records its arguments between a begin and an end line;
        // the pause in between makes overlapping runs visible.
        std::filesystem::create_directories(std::filesystem::path(script).parent_path());
        std::ofstream(script) << "#!/bin/sh\necho \"begin $2\" >> '" << record << "'\nsleep 0.1\n"
                              << "{ printf '%s' \"$#\"; for a; do printf ' [%s]' \"$a\"; done; echo; } >> '"
                              << record << "'\necho \"end $2\" >> '" << record << "'\necho \"done $2\" > '"
                              << events.Path() << "'\n";
        chmod(script.c_str(), 0755);
    }
    void TearDown() override {
        if (gSystemDirs->dirs) {
            std::filesystem::remove(script);
        }
    }
    // The argument lines the script recorded, in order.
    std::vector<std::string> RecordedArguments() const {
        std::vector<std::string> lines = LinesWithPrefix(ReadFile(record), "");
        std::erase_if(lines, [](const std::string& line) {
            return line.starts_with("begin ") || line.starts_with("end ");
        });
        return lines;
    }

    const std::string script{desktop::kTaskScriptPath};
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
    for (const DesktopInfo& info : {DesktopInfo{"kde", "rhel"}, DesktopInfo{"mate", ""}}) {
        lock.Execute(info);
        unlock.Execute(info);
        logout.Execute(info);
    }
    EXPECT_THAT(RecordedArguments(), ElementsAreArray({
                                         "4 [-a] [lock] [-d] [rhel]",
                                         "6 [-a] [unlock] [-d] [rhel] [-t] [kde]",
                                         "4 [-a] [logout] [-t] [kde]",
                                         // An empty distribution is still passed, as nothing.
                                         "3 [-a] [lock] [-d]",
                                         "5 [-a] [unlock] [-d] [-t] [mate]",
                                         "4 [-a] [logout] [-t] [mate]",
                                     }));
}

TEST_F(DesktopTasksTest, ExecutorRunsTheScriptOneAtATimeWithThisSession) {
    dclog::LogCapture capture;
    auto executor = std::make_unique<DesktopCExecutor>(std::make_shared<DesktopCProcessMgr>());
    executor->Exec(std::make_shared<LockScreenTask>(), false);
    executor->Exec(std::make_shared<UnlockScreenTask>(), false);
    executor->Exec(std::make_shared<LogoutDesktopTask>(), true);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(events.NextLine());
    }
    ASSERT_TRUE(capture.WaitFor("Task LogoutDesktop executed in queue", kEventTimeout));

    // Begin and end of one run are never separated by another run.
    std::vector<std::string> lines = LinesWithPrefix(ReadFile(record), "");
    ASSERT_EQ(lines.size(), 9u);
    for (size_t i = 0; i < lines.size(); i += 3) {
        EXPECT_EQ(lines[i].substr(6), lines[i + 2].substr(4)) << "overlapping runs";
    }

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
