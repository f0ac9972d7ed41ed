// DesktopCProcessMgr with real children: named processes restarted by name
// and stopped by connection id, application processes started once, the
// drive clean-up of "CDRServer", and the destructor that reaps everything.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/process/DesktopCProcessMgr.h"
#include "tests/src/process/ProcessTestSupport.h"

namespace {

using namespace proctest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

class DesktopCProcessMgrTest : public ::testing::Test {
  protected:
    void TearDown() override {
        manager.reset();
        EXPECT_THAT(ChildrenOfSelf(), IsEmpty());
    }
    std::vector<std::string> Wait() const { return {"wait", events.Path()}; }
    std::vector<std::string> Report(const std::string& file) const {
        return {"report", dir.File(file), events.Path()};
    }

    dclog::LogCapture capture{dclog::kDebug1};
    TempDir dir;
    EventFifo events{dir.File("events")};
    std::shared_ptr<DesktopCProcessMgr> manager = std::make_shared<DesktopCProcessMgr>();
};

TEST_F(DesktopCProcessMgrTest, NamedProcessIsRestartedByNameAndStoppedByItsConnection) {
    manager->StartProcess("named", HelperPath(), Wait(), "", 11);
    const pid_t first = events.NextReadyPid();
    manager->StartProcess("named", HelperPath(), Wait(), "", 12);
    const pid_t second = events.NextReadyPid();
    EXPECT_NE(first, second);
    EXPECT_FALSE(ProcessExists(first));
    EXPECT_EQ(capture.LevelOf("DesktopCProcessMgr->StopProcess Stop process named with conntion id 11"),
              dclog::kDebug);

    capture.Clear();
    manager->StopProcess("named", 11);
    manager->StopProcess("unknown");
    manager->StopProcess("unknown", 12);
    EXPECT_THAT(capture.Lines(), IsEmpty());
    EXPECT_TRUE(ProcessExists(second));
    manager->StopProcess("named", 12);
    EXPECT_FALSE(ProcessExists(second));

    // The stopped entry is reused: a token goes to the child's stdin pipe ...
    const std::string token = "0123456789abcdef0123456789abcdef01234567";
    manager->StartProcess("named", HelperPath(), {"stdin", dir.File("token"), "40", events.Path()}, token,
                          13);
    EXPECT_EQ(events.NextLine(), "read 40 open");
    EXPECT_EQ(ReadFile(dir.File("token")), token);

    // ... and without one the next child inherits this process's stdin.
    manager->StartProcess("named", HelperPath(), Report("report"), "", 14);
    EXPECT_EQ(events.NextLine(), "reported");
    char ownStdin[512] = {};
    ASSERT_GT(readlink("/proc/self/fd/0", ownStdin, sizeof ownStdin - 1), 0);
    EXPECT_THAT(LinesWithPrefix(ReadFile(dir.File("report")), "stdin "), ElementsAre(ownStdin));
    EXPECT_TRUE(capture.Contains("rid(13), flg(2): killed by signal 15"));
}

TEST_F(DesktopCProcessMgrTest, ApplicationsStartOncePerNameAndPathAndLeaveTheListOnExit) {
    const std::string otherPath = dir.File("helper-link");
    ASSERT_EQ(symlink(HelperPath().c_str(), otherPath.c_str()), 0);
    manager->StartAppProcess("app", HelperPath(), Wait(), 1);
    const pid_t first = events.NextReadyPid();
    manager->StartAppProcess("app", HelperPath(), Wait(), 2);
    EXPECT_TRUE(capture.Contains("DesktopCProcessMgr->StartAppProcess App process name app, path " +
                                 HelperPath() + ", is_present 1"));
    manager->StartAppProcess("app", otherPath, Wait(), 3);
    const pid_t second = events.NextReadyPid();
    EXPECT_NE(first, second);

    // An application that exits leaves the list and can start again.
    for (int id : {4, 5}) {
        manager->StartAppProcess("brief", HelperPath(), {"exit", "0"}, id);
        EXPECT_TRUE(capture.Contains("App process name brief, path " + HelperPath() + ", is_present 0"));
        ASSERT_TRUE(capture.WaitFor(
            "Proc(brief), pid(-1), rid(" + std::to_string(id) + "), flg(0): The process already exited",
            kEventTimeout));
        EXPECT_TRUE(capture.Contains("DesktopCProcessMgr->RemoveApp Remove app process with pid("));
        capture.Clear();
    }

    manager->StopAllProcess();
    EXPECT_FALSE(ProcessExists(first));
    EXPECT_FALSE(ProcessExists(second));
    manager->StartAppProcess("app", HelperPath(), Wait(), 6);
    EXPECT_TRUE(capture.Contains("is_present 0"));
    events.NextReadyPid();
}

TEST_F(DesktopCProcessMgrTest, OnlyTheDriveServerUnmountsTsclientWhenItExits) {
    const std::string record = dir.File("fusermount-calls");
    dir.Write("bin/fusermount",
              "#!/bin/sh\necho \"$*\" >> '" + record + "'\necho unmounted > '" + events.Path() + "'\n", 0755);
    const std::string oldPath = getenv("PATH");
    const std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("PATH", (dir.File("bin") + ":" + oldPath).c_str(), 1);
    setenv("HOME", dir.Path().c_str(), 1);
    for (const char* name : {"CDRServerX", "cdrserver"}) {
        manager->StartProcess(name, HelperPath(), {"exit", "0"}, "", 1);
        EXPECT_TRUE(capture.WaitFor(std::string("Process ") + name + "(", kEventTimeout));
    }
    manager->StartProcess("CDRServer", HelperPath(), {"exit", "0"}, "", 1);
    EXPECT_EQ(events.NextLine(), "unmounted");
    // Shell commands run one at a time: this returns once the hook's has ended.
    CommonUtils::ExecShell("true", true);
    EXPECT_EQ(ReadFile(record), "-u -z " + dir.Path() + "/tsclient\n");
    setenv("PATH", oldPath.c_str(), 1);
    setenv("HOME", oldHome.c_str(), 1);
}

TEST_F(DesktopCProcessMgrTest, DestructorStopsAndReapsEveryChild) {
    manager->StartProcess("calm", HelperPath(), Wait(), "", 1);
    manager->StartProcess("stubborn", HelperPath(), {"ignore-term", events.Path()}, "", 1);
    manager->StartAppProcess("calm-app", HelperPath(), Wait(), 2);
    manager->StartAppProcess("stubborn-app", HelperPath(), {"ignore-term", events.Path()}, 2);
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i) {
        pids.push_back(events.NextReadyPid());
    }
    const auto begin = Clock::now();
    manager.reset();
    // Two children need SIGKILL, each about 2 s after its SIGTERM.
    EXPECT_GE(Clock::now() - begin, 3900ms);
    EXPECT_LT(Clock::now() - begin, 7000ms);
    for (pid_t pid : pids) {
        EXPECT_FALSE(ProcessExists(pid)) << pid;
    }
    EXPECT_THAT(ChildrenOfSelf(), IsEmpty());
}

TEST_F(DesktopCProcessMgrTest, UnusualRequestsHaveDefinedOutcomes) {
    // An empty name is an ordinary key and an empty argv[0].
    manager->StartProcess("", HelperPath(), Report("empty"), "", 1);
    EXPECT_EQ(events.NextLine(), "reported");
    EXPECT_EQ(LinesWithPrefix(ReadFile(dir.File("empty")), "arg ").at(0), "");

    // Ten thousand arguments arrive in order.
    std::vector<std::string> many = Report("many");
    for (int i = 0; i < 10000; ++i) {
        many.push_back("argument-" + std::to_string(i));
    }
    manager->StartAppProcess("many", HelperPath(), many, 1);
    EXPECT_EQ(events.NextLine(), "reported");
    std::vector<std::string> args = LinesWithPrefix(ReadFile(dir.File("many")), "arg ");
    ASSERT_EQ(args.size(), 10004u);
    EXPECT_EQ(args[4], "argument-0");
    EXPECT_EQ(args[10003], "argument-9999");

    // Starts and stops of one name from several threads leave no child behind.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 10; ++i) {
                manager->StartProcess("contended", HelperPath(), Wait(), "", t);
                manager->StopProcess("contended");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    manager->StopAllProcess();
    EXPECT_THAT(ChildrenOfSelf(), IsEmpty());
}

}  // namespace
