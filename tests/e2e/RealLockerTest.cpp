// The daemon and the shipped task script with the real screen lockers:
// GNOME Shell and KWin, each the compositor of a Wayland desktop whose
// socket is the daemon's WAYLAND_DISPLAY, and KDE's ksmserver under Xvfb.
// LockScreen and UnlockScreen each run the script, which locks or unlocks
// through logind (a stand-in on a private system bus), sees the locker
// confirm it and exits 0; the daemon reports each change exactly once,
// although every locker announces every change twice. Where logind takes
// the request and nothing locks, the script falls through to the screen
// saver; where nothing the script knows unlocks, it fails and the daemon
// reports no change. Nothing a desktop started outlives it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

struct Desktop {
    Locker locker;
    std::string currentDesktop;
    std::string type;  // as the daemon names it to the task script
    bool x11;
    std::string busName;  // of the screen saver, which is also its interface
    std::string path;
    // The two ways the daemon watches the bus: as a monitor, or through
    // match rules where the bus refuses monitors. Each desktop takes one.
    BusPolicy busPolicy;
    std::string watching;
};

const Desktop kGnome{.locker = Locker::kGnomeShell,
                     .currentDesktop = "GNOME",
                     .type = "gnome",
                     .x11 = false,
                     .busName = "org.gnome.ScreenSaver",
                     .path = "/org/gnome/ScreenSaver",
                     .busPolicy = BusPolicy::kRefuseBecomeMonitor,
                     .watching =
                         "DesktopCMonitor->MonitorBus Succeeded to monitor all members on "
                         "interface='org.gnome.ScreenSaver'.\n"};
const Desktop kKde{.locker = Locker::kKde,
                   .currentDesktop = "KDE",
                   .type = "kde",
                   .x11 = true,
                   .busName = "org.freedesktop.ScreenSaver",
                   .path = "/ScreenSaver",
                   .busPolicy = BusPolicy::kOpen,
                   .watching = "DesktopCMonitor->MonitorBus Succeeded to BecomeMonitor.\n"};
const Desktop kKwin{.locker = Locker::kKwin,
                    .currentDesktop = "KDE",
                    .type = "kde",
                    .x11 = false,
                    .busName = "org.freedesktop.ScreenSaver",
                    .path = "/ScreenSaver",
                    .busPolicy = BusPolicy::kRefuseBecomeMonitor,
                    .watching =
                        "DesktopCMonitor->MonitorBus Succeeded to monitor all members on "
                        "interface='org.freedesktop.ScreenSaver'.\n"};

// What logind's stand-in does with lock and unlock requests (by default
// it passes them to the locker), and how long the script waits for each
// way's result.
struct Conditions {
    bool logindIgnoresLock = false;
    bool logindIgnoresUnlock = false;
    int confirmSeconds = 5;
};

// A run of the script, which may wait for the result of several ways: its
// waits are counted in looks at the desktop, which take longer on a busy
// machine.
constexpr auto kScriptRun = std::chrono::seconds(60);

// "true" or "false" from a gdbus call's reply, else all it said.
std::string BooleanReply(const ChildResult& call) {
    for (const char* value : {"true", "false"}) {
        if (call.out.find(value) != std::string::npos) {
            return value;
        }
    }
    return (call.timedOut ? "no answer: " : "") + call.out + call.err;
}

std::size_t LockFrames(const IpcService& service) {
    std::size_t count = 0;
    for (const std::string& line : service.Transcript()) {
        count += line.find("<Notify name=\"DesktopLocked\">") != std::string::npos ? 1 : 0;
    }
    return count;
}

class RealLocker {
  public:
    RealLocker(const Desktop& desktop, Conditions conditions)
        : desktop_(desktop),
          box_({.currentDesktop = desktop.currentDesktop,
                .x11 = desktop.x11,
                .locker = desktop.locker,
                .logindIgnoresLock = conditions.logindIgnoresLock,
                .logindIgnoresUnlock = conditions.logindIgnoresUnlock,
                .busPolicy = desktop.busPolicy,
                .osReleaseId = "debian",
                .taskScript = DC_TASK_SCRIPT,
                .recordTaskRuns = true,
                .taskEnvironment = {"DESKTOPCTASK_CONFIRM_SECONDS=" +
                                    std::to_string(conditions.confirmSeconds)}}),
          marker_(box_.Bus().Address()) {}

    DesktopSandbox& Box() { return box_; }
    std::string TaskRuns() const { return ReadFile(box_.Host("task-runs")); }
    bool WaitForRuns(std::size_t count) const {
        return WaitUntil([&] { return Occurrences(TaskRuns(), ": exit ") >= count; }, kScriptRun);
    }
    // The payload of the next DesktopLocked frame, which the script's run
    // brings about; empty when none came.
    std::string WaitForLockChange() {
        std::optional<std::string> line =
            box_.Service().WaitForLine("RECV type=4 .*<Notify name=\"DesktopLocked\">", kScriptRun);
        return line ? IpcService::PayloadOf(*line) : std::string();
    }

    // The daemon handles the bus in order: once it has logged a marker sent
    // after the locker's signals, it has handled all of them.
    bool Settle() {
        marker_.EmitSignal(desktop_.path, desktop_.busName, "E2eMarker");
        return box_.WaitForLog("member=E2eMarker\n", kWait, ++markers_);
    }

    // The locker's own answer.
    std::string GetActive() {
        ChildResult call =
            RunChild({.argv = {"gdbus", "call", "--session", "--timeout", "1", "--dest", desktop_.busName,
                               "--object-path", desktop_.path, "--method", desktop_.busName + ".GetActive"},
                      .env = {"PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=" + box_.Bus().Address()}},
                     kWait);
        return BooleanReply(call);
    }

    // What the locker told logind, as logind reports it.
    std::string LockedHint() {
        ChildResult call = RunChild(
            {.argv = {"gdbus", "call", "--system", "--dest", "org.freedesktop.login1", "--object-path",
                      box_.System().SessionPath(), "--method", "org.freedesktop.DBus.Properties.Get",
                      "org.freedesktop.login1.Session", "LockedHint"},
             .env = {"PATH=/usr/bin:/bin", "DBUS_SYSTEM_BUS_ADDRESS=" + box_.System().Address()}},
            kWait);
        return BooleanReply(call);
    }

  private:
    Desktop desktop_;
    DesktopSandbox box_;
    BusClient marker_;
    std::size_t markers_ = 0;
};

// One request: its single frame, the script's exit and its log, which
// must hold the lines of way (the way that did it, and any tried before),
// the locker's state afterwards.
void LockAndConfirm(RealLocker& session, bool lock, const Desktop& desktop,
                    const std::vector<std::string>& way) {
    const std::string request = lock ? "LockScreen" : "UnlockScreen";
    const std::string action = lock ? "lock" : "unlock";
    const std::size_t run = lock ? 1 : 2;
    session.Box().Service().Send(TaskXml(request));
    EXPECT_EQ(session.WaitForLockChange(), DesktopLockedXml(lock)) << session.Box().Log();
    ASSERT_TRUE(session.WaitForRuns(run)) << session.TaskRuns();
    ASSERT_TRUE(session.Settle()) << session.Box().Log();
    EXPECT_EQ(LockFrames(session.Box().Service()), run) << session.Box().Log();
    const std::string runs = session.TaskRuns();
    EXPECT_NE(
        runs.find("task -a " + action + " -d debian" + (lock ? "" : " -t " + desktop.type) + ": exit 0\n"),
        std::string::npos)
        << runs;
    for (const std::string& line : way) {
        EXPECT_NE(runs.find(line), std::string::npos) << runs;
    }
    EXPECT_EQ(session.GetActive(), lock ? "true" : "false");
    EXPECT_EQ(session.LockedHint(), lock ? "true" : "false");
}

std::string LogindWay(const std::string& action) {
    return std::string("desktopCTask: info: logind ") + action + "-session " + kSessionId + ": done, ";
}

// The lines of a lock that logind accepted and did not carry out, then
// the screen saver's own Lock that did.
std::vector<std::string> ScreenSaverLockWay(const Desktop& desktop) {
    return {std::string("desktopCTask: warning: logind lock-session ") + kSessionId +
                " returned, but the desktop is not locked after 5 s",
            "desktopCTask: info: lock done through " + desktop.busName + ".Lock over gdbus\n"};
}

std::string Pids(const std::vector<pid_t>& pids) {
    std::string text;
    for (pid_t pid : pids) {
        text += std::to_string(pid) + " ";
    }
    return text;
}

class RealLockerTest : public testing::Test {
  protected:
    // The locker is up once it answers; the daemon, once it watches it.
    // Skips where the locker cannot run here.
    void StartDesktop(const Desktop& desktop, Conditions conditions = {}) {
        if (getuid() != 0) {
            GTEST_SKIP() << "needs root (private mount namespace)";
        }
        if (std::string missing = DesktopSandbox::LockerMissing(desktop.locker); !missing.empty()) {
            GTEST_SKIP() << missing;
        }
        session_ = std::make_unique<RealLocker>(desktop, conditions);
        ASSERT_TRUE(WaitUntil([&] { return session_->GetActive() == "false"; })) << session_->GetActive();
        ASSERT_TRUE(session_->Box().StartAndConnect()) << session_->Box().Log();
        ASSERT_TRUE(session_->Box().WaitForLog(desktop.watching)) << session_->Box().Log();
    }

    void RunLockAndUnlock(const Desktop& desktop, const std::vector<std::string>& lockWay,
                          Conditions conditions = {}) {
        StartDesktop(desktop, conditions);
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        LockAndConfirm(*session_, true, desktop, lockWay);
        LockAndConfirm(*session_, false, desktop, {LogindWay("unlock")});
        ExpectOnlyTheScreenSaverWatched(desktop, 4);
        FinishDaemon(2);
    }

    // Whichever way it watched, the daemon saw the bus's own signals and
    // this desktop's screen saver, nothing else, and at least changes of
    // its ActiveChanged signals.
    void ExpectOnlyTheScreenSaverWatched(const Desktop& desktop, std::size_t changes) {
        const std::string log = session_->Box().Log();
        const std::regex logged(
            "SignalReceivedCallback serial=\\d+ path=\\S*; interface=([^;]+); member=(\\w+)");
        std::size_t seen = 0;
        std::smatch match;
        for (auto at = log.cbegin(); std::regex_search(at, log.cend(), match, logged); at = match[0].second) {
            EXPECT_TRUE(match[1] == desktop.busName || match[1] == "org.freedesktop.DBus") << match[0];
            seen += match[1] == desktop.busName && match[2] == "ActiveChanged" ? 1 : 0;
        }
        EXPECT_GE(seen, changes) << log;
    }

    // Once the service has closed and read everything the daemon sent,
    // the count of DesktopLocked frames is final: exactly frames.
    void FinishDaemon(std::size_t frames) {
        session_->Box().Service().Close();
        const ChildResult result = session_->Box().FinishDaemon();
        EXPECT_TRUE(result.exited) << result.err;
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_TRUE(session_->Box().DaemonProcesses().empty());
        session_->Box().Service().Finish(kWait);
        EXPECT_EQ(LockFrames(session_->Box().Service()), frames) << session_->Box().Log();
    }

    // However the test went, nothing that its desktops started is left
    // once they are gone, a start that failed halfway included.
    void TearDown() override {
        session_.reset();
        EXPECT_EQ(Pids(DesktopSandbox::LeftBehind()), "");
    }

    std::unique_ptr<RealLocker> session_;
};

TEST_F(RealLockerTest, GnomeShellLocksAndUnlocksThroughLogindOnceEach) {
    RunLockAndUnlock(kGnome, {LogindWay("lock")});
}

// Where policy disables the lock screen, loginctl lock-session exits 0 and
// nothing locks: the script sees that and locks through the screen saver.
TEST_F(RealLockerTest, GnomeShellLocksThroughTheScreenSaverWhenLogindIgnoresTheRequest) {
    RunLockAndUnlock(kGnome, ScreenSaverLockWay(kGnome), {.logindIgnoresLock = true});
}

TEST_F(RealLockerTest, KdeLocksAndUnlocksThroughLogindOnceEach) {
    RunLockAndUnlock(kKde, {LogindWay("lock")});
}

TEST_F(RealLockerTest, KdeLocksThroughTheScreenSaverWhenLogindIgnoresTheRequest) {
    RunLockAndUnlock(kKde, ScreenSaverLockWay(kKde), {.logindIgnoresLock = true});
}

TEST_F(RealLockerTest, KwinLocksAndUnlocksThroughLogindOnceEach) {
    RunLockAndUnlock(kKwin, {LogindWay("lock")});
}

TEST_F(RealLockerTest, KwinLocksThroughTheScreenSaverWhenLogindIgnoresTheRequest) {
    RunLockAndUnlock(kKwin, ScreenSaverLockWay(kKwin), {.logindIgnoresLock = true});
}

// KWin's SetActive(false) unlocks nothing: once logind ignores unlock
// requests too, no way the script knows unlocks. It tries each, says so
// and fails; the daemon, which reports what the screen saver says,
// reports no change, and the desktop stays locked. The script waits 2 s
// for each way, of which KWin needs about one to lock.
TEST_F(RealLockerTest, KwinStaysLockedAndUnreportedWhenNothingUnlocksIt) {
    StartDesktop(kKwin, {.logindIgnoresUnlock = true, .confirmSeconds = 2});
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    LockAndConfirm(*session_, true, kKwin, {LogindWay("lock")});
    session_->Box().Service().Send(TaskXml("UnlockScreen"));
    ASSERT_TRUE(session_->WaitForRuns(2)) << session_->TaskRuns();
    ASSERT_TRUE(session_->Settle()) << session_->Box().Log();
    const std::string runs = session_->TaskRuns();
    const std::string notUnlocked = " returned, but the desktop is not unlocked after 2 s";
    for (const std::string& line :
         {std::string("desktopCTask: warning: logind unlock-session ") + kSessionId + notUnlocked,
          "desktopCTask: warning: org.freedesktop.ScreenSaver.SetActive over gdbus" + notUnlocked,
          std::string("desktopCTask: err: could not unlock the kde desktop: every way failed or was not "
                      "confirmed\n"),
          std::string("task -a unlock -d debian -t kde: exit 1\n")}) {
        EXPECT_NE(runs.find(line), std::string::npos) << line << "\n" << runs;
    }
    EXPECT_EQ(Occurrences(runs, "SetActive over gdbus" + notUnlocked), 2u) << runs;
    EXPECT_EQ(LockFrames(session_->Box().Service()), 1u) << session_->Box().Log();
    EXPECT_EQ(session_->GetActive(), "true");
    EXPECT_EQ(session_->LockedHint(), "true");
    ExpectOnlyTheScreenSaverWatched(kKwin, 2);
    FinishDaemon(1);
}

}  // namespace
}  // namespace dctest
