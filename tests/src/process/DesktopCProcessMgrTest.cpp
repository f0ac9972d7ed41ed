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

    // The pid announced by a helper's "ready <pid>" line.
    pid_t NextReadyPid() {
        std::optional<std::string> line = events.NextLine();
        if (!line || line->rfind("ready ", 0) != 0) {
            ADD_FAILURE() << "no ready line, got: " << line.value_or("<nothing>");
            return -1;
        }
        return std::stoi(line->substr(6));
    }
    std::vector<std::string> Wait() const { return {"wait", events.Path()}; }

    dclog::LogCapture capture{dclog::kDebug1};
    TempDir dir;
    EventFifo events{dir.File("events")};
    std::shared_ptr<DesktopCProcessMgr> manager = std::make_shared<DesktopCProcessMgr>();
};

TEST_F(DesktopCProcessMgrTest, NamedProcessIsRestartedByNameAndStoppedByItsConnection) {
    manager->StartProcess("named", HelperPath(), Wait(), "", 11);
    const pid_t first = NextReadyPid();
    EXPECT_EQ(capture.LevelOf("DesktopCProcessMgr->StartProcess Start process named"), dclog::kInfo);

    manager->StartProcess("named", HelperPath(), Wait(), "", 12);
    const pid_t second = NextReadyPid();
    EXPECT_NE(first, second);
    EXPECT_FALSE(ProcessExists(first));
    EXPECT_TRUE(capture.Contains("Proc(named), pid(" + std::to_string(first) +
                                 "), rid(11), flg(0): killed by signal 15"));
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
    EXPECT_TRUE(capture.Contains("Proc(named), pid(" + std::to_string(second) +
                                 "), rid(12), flg(0): killed by signal 15"));

    // The stopped entry is reused: a token goes to the child's stdin pipe ...
    const std::string token = std::string("0123456789abcdef0123456789abcdef01234567");
    manager->StartProcess("named", HelperPath(), {"stdin", dir.File("token"), "40", events.Path()}, token,
                          13);
    EXPECT_EQ(events.NextLine(), "read 40 open");
    EXPECT_EQ(ReadFile(dir.File("token")), token);
    EXPECT_TRUE(capture.Contains("rid(13), flg(2): void ProcessObject::monitor(pid_t): Start successfully."));

    // ... and without one the next child inherits this process's stdin.
    manager->StartProcess("named", HelperPath(), {"report", dir.File("report"), events.Path()}, "", 14);
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
    const pid_t first = NextReadyPid();
    manager->StartAppProcess("app", HelperPath(), Wait(), 2);
    EXPECT_TRUE(capture.Contains("DesktopCProcessMgr->StartAppProcess App process name app, path " +
                                 HelperPath() + ", is_present 1"));
    manager->StartAppProcess("app", otherPath, Wait(), 3);
    const pid_t second = NextReadyPid();
    EXPECT_NE(first, second);
    EXPECT_TRUE(capture.Contains("App process name app, path " + otherPath + ", is_present 0"));
    EXPECT_EQ(capture.LevelOf("App process app is started with pid " + std::to_string(second)),
              dclog::kDebug);

    manager->StartAppProcess("brief", HelperPath(), {"exit", "0"}, 4);
    ASSERT_TRUE(capture.WaitFor("DesktopCProcessMgr->onExitCb App process brief(", kEventTimeout));
    ASSERT_TRUE(capture.WaitFor("DesktopCProcessMgr->RemoveApp Remove app process with pid(", kEventTimeout));
    // The list dropped the last reference but the exit hook's: its end is
    // the object's destruction.
    ASSERT_TRUE(
        capture.WaitFor("Proc(brief), pid(-1), rid(4), flg(0): The process already exited", kEventTimeout));
    capture.Clear();
    manager->StartAppProcess("brief", HelperPath(), {"exit", "0"}, 5);
    EXPECT_TRUE(capture.Contains("App process name brief, path " + HelperPath() + ", is_present 0"));
    ASSERT_TRUE(
        capture.WaitFor("Proc(brief), pid(-1), rid(5), flg(0): The process already exited", kEventTimeout));
    EXPECT_TRUE(capture.Contains("Remove app process with pid("));

    manager->StopAllProcess();
    EXPECT_EQ(capture.LevelOf("DesktopCProcessMgr->StopAllProcess Stop all processes"), dclog::kInfo);
    EXPECT_FALSE(ProcessExists(first));
    EXPECT_FALSE(ProcessExists(second));

    // Both were removed: the same application starts again.
    capture.Clear();
    manager->StartAppProcess("app", HelperPath(), Wait(), 6);
    EXPECT_TRUE(capture.Contains("is_present 0"));
    NextReadyPid();
}

TEST_F(DesktopCProcessMgrTest, OnlyTheDriveServerUnmountsTsclientWhenItExits) {
    const std::string record = dir.File("fusermount-calls");
    const std::string fakeBin = dir.File("bin");
    ASSERT_EQ(mkdir(fakeBin.c_str(), 0755), 0);
    WriteExecutable(fakeBin + "/fusermount",
                    "#!/bin/sh\necho \"$*\" >> '" + record + "'\necho unmounted > '" + events.Path() + "'\n");
    const std::string oldPath = getenv("PATH");
    const char* oldHome = getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    setenv("PATH", (fakeBin + ":" + oldPath).c_str(), 1);
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
    setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(DesktopCProcessMgrTest, DestructorStopsAndReapsEveryChild) {
    manager->StartProcess("calm", HelperPath(), Wait(), "", 1);
    manager->StartProcess("stubborn", HelperPath(), {"ignore-term", events.Path()}, "", 1);
    manager->StartAppProcess("calm-app", HelperPath(), Wait(), 2);
    manager->StartAppProcess("stubborn-app", HelperPath(), {"ignore-term", events.Path()}, 2);
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i) {
        pids.push_back(NextReadyPid());
    }

    const auto begin = Clock::now();
    manager.reset();
    const auto elapsed = Clock::now() - begin;
    // Two children need SIGKILL, each about 2 s after its SIGTERM.
    EXPECT_GE(elapsed, std::chrono::milliseconds(3900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(7000));
    for (pid_t pid : pids) {
        EXPECT_FALSE(ProcessExists(pid)) << pid;
    }
    EXPECT_THAT(ChildrenOfSelf(), IsEmpty());
    EXPECT_EQ(capture.LevelOf("Stop timeout after 2000, force quit."), dclog::kInfo);

    capture.Clear();
    auto empty = std::make_shared<DesktopCProcessMgr>();
    empty.reset();
    EXPECT_THAT(capture.Lines(), ElementsAre("DesktopCProcessMgr->StopAllProcess Stop all processes\n"));
}

TEST_F(DesktopCProcessMgrTest, UnusualRequestsHaveDefinedOutcomes) {
    // An empty name is an ordinary key and an empty argv[0].
    manager->StartProcess("", HelperPath(), {"report", dir.File("empty"), events.Path()}, "", 1);
    EXPECT_EQ(events.NextLine(), "reported");
    EXPECT_EQ(LinesWithPrefix(ReadFile(dir.File("empty")), "arg ").at(0), "");

    // Ten thousand arguments arrive in order.
    std::vector<std::string> many = {"report", dir.File("many"), events.Path()};
    for (int i = 0; i < 10000; ++i) {
        many.push_back("argument-" + std::to_string(i));
    }
    manager->StartAppProcess("many", HelperPath(), many, 1);
    EXPECT_EQ(events.NextLine(), "reported");
    std::vector<std::string> args = LinesWithPrefix(ReadFile(dir.File("many")), "arg ");
    ASSERT_EQ(args.size(), 10004u);
    EXPECT_EQ(args[1], "report");
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
    EXPECT_THAT(ZombieChildrenOfSelf(), IsEmpty());
}

}  // namespace
