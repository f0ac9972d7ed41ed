// The daemon's desktop requests through the shipped task script, with
// logind, GNOME's session manager and its screen saver played by stand-ins
// that answer and do nothing. A session manager may answer Logout and keep
// the session, held back by an application: the script must see that and
// escalate, to the forced mode and then to logind, and report success only
// once the session really ends. A lock that nothing confirms is a failure,
// and the daemon reports no lock change.
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

// The shipped script, recorded, with logind, on a Debian desktop; its waits
// for a lock to show and for a session to end cut to 1 s and 2 s.
SandboxOptions WithTheScript(SandboxOptions options) {
    options.logind = true;
    options.osReleaseId = "debian";
    options.taskScript = DC_TASK_SCRIPT;
    options.recordTaskRuns = true;
    options.taskEnvironment = {"DESKTOPCTASK_CONFIRM_SECONDS=1", "DESKTOPCTASK_LOGOUT_SECONDS=2"};
    return options;
}

std::string TaskRuns(const DesktopSandbox& box) {
    return ReadFile(box.Host("task-runs"));
}

// The script's log and its exit line, once it has ended.
std::string RunTask(DesktopSandbox& box, const std::string& request) {
    box.Service().Send(TaskXml(request));
    EXPECT_TRUE(WaitUntil([&] { return TaskRuns(box).find(": exit ") != std::string::npos; },
                          std::chrono::seconds(30)))
        << TaskRuns(box);
    return TaskRuns(box);
}

void ExpectLines(const std::string& runs, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        EXPECT_NE(runs.find(line), std::string::npos) << line << "\n" << runs;
    }
}

void FinishCleanly(DesktopSandbox& box) {
    box.Service().Close();
    const ChildResult result = box.FinishDaemon();
    EXPECT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(box.DaemonProcesses().empty());
}

bool SkipWithout(std::string& reason) {
    reason =
        getuid() != 0 ? "needs root (private mount namespace)" : DesktopSandbox::LockerMissing(Locker::kNone);
    return !reason.empty();
}

void LogOutAndCheck(const LogoutCase& expected) {
    DesktopSandbox box(
        WithTheScript({.currentDesktop = "GNOME", .sessionManagerIgnores = expected.ignoredModes}));
    ASSERT_TRUE(box.StartAndConnect()) << box.Log();
    const std::string runs = RunTask(box, "LogoutDesktop");
    ExpectLines(runs, expected.lines);
    ExpectLines(runs, {"task -a logout -t gnome: exit 0\n"});
    EXPECT_EQ(ReadFile(box.SessionManagerCalls()), expected.calls);
    FinishCleanly(box);
}

TEST(TaskScriptTest, LogoutEscalatesUntilTheSessionHasReallyEnded) {
    if (std::string reason; SkipWithout(reason)) {
        GTEST_SKIP() << reason;
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

// Lock policy off: logind and the screen saver both answer and nothing
// locks. The script tries each, says so, and fails; the daemon, which
// reports what the screen saver says, reports nothing.
TEST(TaskScriptTest, ALockThatNothingConfirmsFailsAndIsNeverReported) {
    if (std::string reason; SkipWithout(reason)) {
        GTEST_SKIP() << reason;
    }
    DesktopSandbox box(
        WithTheScript({.currentDesktop = "GNOME", .logindIgnoresLock = true, .inactiveScreenSaver = true}));
    ASSERT_TRUE(box.StartAndConnect()) << box.Log();
    const std::string unlocked =
        " returned, but the desktop is not locked after 1 s (org.gnome.ScreenSaver "
        "GetActive: unlocked, LockedHint: unlocked)\n";
    ExpectLines(
        RunTask(box, "LockScreen"),
        {"desktopCTask: warning: logind lock-session sandbox" + unlocked,
         "desktopCTask: warning: org.gnome.ScreenSaver.Lock over gdbus" + unlocked,
         "desktopCTask: err: could not lock the gnome desktop: every way failed or was not confirmed\n",
         "task -a lock -d debian: exit 1\n"});
    for (const std::string& frame : box.Service().Transcript()) {
        EXPECT_EQ(frame.find("DesktopLocked"), std::string::npos) << frame;
    }
    FinishCleanly(box);
}

// A desktop started without XDG_SESSION_ID, by a user with a second
// graphical session: the script takes the session on its own X display, and
// refuses where it cannot tell (two Wayland sessions), since the session bus
// would reach the other desktop too.
TEST(TaskScriptTest, WithoutASessionIdOnlyTheSessionOfThisDisplayIsActedOn) {
    if (std::string reason; SkipWithout(reason)) {
        GTEST_SKIP() << reason;
    }
    if (!DesktopSandbox::XvfbAvailable()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    {
        DesktopSandbox box(WithTheScript(
            {.currentDesktop = "MATE", .x11 = true, .mateScreenSaver = true, .logindOtherSession = true}));
        ASSERT_TRUE(box.StartAndConnect()) << box.Log();
        const std::string runs = RunTask(box, "LockScreen");
        const std::string display = box.DisplayEnv().substr(box.DisplayEnv().find('=') + 1);
        ExpectLines(
            runs,
            {"desktopCTask: info: logind session sandbox is the one on display " + display + "\n",
             "desktopCTask: warning: logind lock-session sandbox returned, but the desktop is not locked",
             "task -a lock -d debian: exit 0\n"});
        EXPECT_EQ(box.WaitForNotification("DesktopLocked"), DesktopLockedXml(true)) << box.Log();
        FinishCleanly(box);
    }
    DesktopSandbox box(
        WithTheScript({.currentDesktop = "GNOME", .logindOtherSession = true, .inactiveScreenSaver = true}));
    ASSERT_TRUE(box.StartAndConnect()) << box.Log();
    const std::string runs = RunTask(box, "LockScreen");
    ExpectLines(runs, {"desktopCTask: err: refusing to lock: graphical sessions other sandbox of uid 0 could "
                       "each be the one on display wayland-0\n",
                       "task -a lock -d debian: exit 1\n"});
    EXPECT_EQ(runs.find("lock-session"), std::string::npos) << runs;
    EXPECT_EQ(runs.find("ScreenSaver.Lock"), std::string::npos) << runs;
    FinishCleanly(box);
}

}  // namespace
}  // namespace dctest
