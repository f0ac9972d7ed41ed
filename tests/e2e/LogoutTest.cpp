// LogoutDesktop through the shipped task script, with GNOME's session
// manager and logind played by stand-ins on the sandbox's buses. A session
// manager may answer Logout and still keep the session, held back by an
// application: the script must see that and escalate, to the forced mode and
// then to logind, and report success only once the session really ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

struct LogoutCase {
    std::string ignoredModes;  // of the session manager
    std::string calls;         // it must have seen
    std::vector<std::string> lines;
};

const std::string kWay = "org.gnome.SessionManager.Logout over gdbus";

void LogOutAndCheck(const LogoutCase& expected) {
    DesktopSandbox box({.currentDesktop = "GNOME",
                        .logind = true,
                        .sessionManagerIgnores = expected.ignoredModes,
                        .osReleaseId = "debian",
                        .taskScript = DC_TASK_SCRIPT,
                        .recordTaskRuns = true,
                        .taskEnvironment = {"DESKTOPCTASK_LOGOUT_SECONDS=2"}});
    ASSERT_TRUE(box.StartAndConnect()) << box.Log();
    box.Service().Send(TaskXml("LogoutDesktop"));
    const std::string runsFile = box.Host("task-runs");
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(runsFile).find(": exit ") != std::string::npos; },
                          std::chrono::seconds(30)))
        << ReadFile(runsFile);
    const std::string runs = ReadFile(runsFile);
    EXPECT_NE(runs.find("task -a logout -t gnome: exit 0\n"), std::string::npos) << runs;
    for (const std::string& line : expected.lines) {
        EXPECT_NE(runs.find(line), std::string::npos) << line << "\n" << runs;
    }
    EXPECT_EQ(ReadFile(box.SessionManagerCalls()), expected.calls);

    box.Service().Close();
    const ChildResult result = box.FinishDaemon();
    EXPECT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(box.DaemonProcesses().empty());
}

TEST(LogoutTest, TheScriptEscalatesUntilTheSessionHasReallyEnded) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root (private mount namespace)";
    }
    if (std::string missing = DesktopSandbox::LockerMissing(Locker::kNone); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    const std::string held =
        "desktopCTask: warning: " + kWay + " returned, but the session is still there after 2 s\n";
    const std::string managerEnded =
        "desktopCTask: info: " + kWay + ": done, org.gnome.SessionManager left the session bus\n";
    // Nothing holds the session back: the ordinary logout, and no other.
    LogOutAndCheck({.ignoredModes = "", .calls = "Logout 1\n", .lines = {managerEnded}});
    // An application inhibits the ordinary logout; the forced one ends it.
    LogOutAndCheck({.ignoredModes = "1", .calls = "Logout 1\nLogout 2\n", .lines = {held, managerEnded}});
    // The session manager never lets go: logind ends the session.
    LogOutAndCheck(
        {.ignoredModes = "1,2",
         .calls = "Logout 1\nLogout 2\n",
         .lines = {held,
                   "desktopCTask: warning: the gnome session manager did not end the session, ending "
                   "logind session sandbox\n",
                   "desktopCTask: info: logind terminate-session sandbox: done, logind session sandbox "
                   "is closing\n"}});
}

}  // namespace
}  // namespace dctest
