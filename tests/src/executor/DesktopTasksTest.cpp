// The lock, unlock and logout tasks run the desktop task script at its fixed
// path. The whole test program runs in a private mount namespace in which a
// recording script stands at that path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "src/core/DesktopConstants.h"
#include "src/executor/LockScreenTask.h"
#include "src/executor/LogoutDesktopTask.h"
#include "src/executor/UnlockScreenTask.h"
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
        // Each run records its argument count and arguments.
        std::filesystem::create_directories(std::filesystem::path(script).parent_path());
        std::ofstream(script)
            << "#!/bin/sh\n{ printf '%s' \"$#\"; for a; do printf ' [%s]' \"$a\"; done; echo; } >> '"
            << record << "'\n";
        chmod(script.c_str(), 0755);
    }
    void TearDown() override {
        if (gSystemDirs->dirs) {
            std::filesystem::remove(script);
        }
    }
    // The argument lines the script recorded, in order.
    std::vector<std::string> RecordedArguments() const { return LinesWithPrefix(ReadFile(record), ""); }

    const std::string script{desktop::kTaskScriptPath};
    TempDir dir;
    const std::string record = dir.File("record");
};

TEST_F(DesktopTasksTest, EachTaskPassesItsActionAndAnEmptyDistributionAsNothing) {
    LockScreenTask lock;
    UnlockScreenTask unlock;
    LogoutDesktopTask logout;
    EXPECT_EQ(lock.GetName(), "LockScreen");
    EXPECT_EQ(unlock.GetName(), "UnlockScreen");
    EXPECT_EQ(logout.GetName(), "LogoutDesktop");
    // An empty distribution is still passed, as nothing.
    const DesktopInfo info{"mate", ""};
    lock.Execute(info);
    unlock.Execute(info);
    logout.Execute(info);
    EXPECT_THAT(RecordedArguments(), ElementsAreArray({
                                         "3 [-a] [lock] [-d]",
                                         "5 [-a] [unlock] [-d] [-t] [mate]",
                                         "4 [-a] [logout] [-t] [mate]",
                                     }));
}

}  // namespace
