// The daemon and the shipped task script with the real GNOME Shell and KDE
// screen lockers: LockScreen and UnlockScreen each run the script, which
// locks or unlocks through logind (a stand-in on a private system bus),
// sees the locker confirm it and exits 0; the daemon reports each change
// exactly once, although both lockers announce every change twice. Where
// logind takes the request and nothing locks, the script falls through to
// the screen saver.
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

constexpr int kLockerStarts = 3;

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
    RealLocker(const Desktop& desktop, bool logindIgnoresLock)
        : desktop_(desktop),
          box_({.currentDesktop = desktop.currentDesktop,
                .x11 = desktop.x11,
                .locker = desktop.locker,
                .logindIgnoresLock = logindIgnoresLock,
                .busPolicy = desktop.busPolicy,
                .osReleaseId = "debian",
                .taskScript = DC_TASK_SCRIPT,
                .recordTaskRuns = true}),
          marker_(box_.Bus().Address()) {}

    DesktopSandbox& Box() { return box_; }
    std::string TaskRuns() const { return ReadFile(box_.Host("task-runs")); }
    bool WaitForRuns(std::size_t count) const {
        return WaitUntil([&] { return Occurrences(TaskRuns(), ": exit ") >= count; });
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
    EXPECT_EQ(session.Box().WaitForNotification("DesktopLocked"), DesktopLockedXml(lock))
        << session.Box().Log();
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

// A locker owns its name before it answers, and now and then a headless
// GNOME Shell hangs in its start-up: such a start is retried with a fresh
// desktop, not counted against the daemon. Null when this one failed.
std::unique_ptr<RealLocker> StartLocker(const Desktop& desktop, bool logindIgnoresLock) {
    std::unique_ptr<RealLocker> started;
    try {
        started = std::make_unique<RealLocker>(desktop, logindIgnoresLock);
    } catch (const std::runtime_error& failed) {
        std::cerr << failed.what() << "; starting again\n";
        return nullptr;
    }
    if (!WaitUntil([&] { return started->GetActive() == "false"; }, kWait)) {
        std::cerr << "the locker did not answer GetActive: " << started->GetActive() << "; starting again\n";
        return nullptr;
    }
    return started;
}

std::string LogindWay(const std::string& action) {
    return std::string("desktopCTask: info: logind ") + action + "-session " + kSessionId + ": done, ";
}

void RunLockAndUnlock(const Desktop& desktop, const std::vector<std::string>& lockWay,
                      bool logindIgnoresLock = false) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root (private mount namespace)";
    }
    if (std::string missing = DesktopSandbox::LockerMissing(desktop.locker); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    std::unique_ptr<RealLocker> started;
    for (int attempt = 0; attempt < kLockerStarts && !started; ++attempt) {
        started = StartLocker(desktop, logindIgnoresLock);
    }
    ASSERT_TRUE(started) << "the locker never came up";
    RealLocker& session = *started;
    ASSERT_TRUE(session.Box().StartAndConnect()) << session.Box().Log();
    ASSERT_TRUE(session.Box().WaitForLog(desktop.watching)) << session.Box().Log();

    LockAndConfirm(session, true, desktop, lockWay);
    LockAndConfirm(session, false, desktop, {LogindWay("unlock")});

    // Whichever way it watched, the daemon saw the bus's own signals and
    // this desktop's screen saver, nothing else.
    const std::string log = session.Box().Log();
    const std::regex logged("SignalReceivedCallback serial=\\d+ path=\\S*; interface=([^;]+); member=(\\w+)");
    std::size_t changes = 0;
    std::smatch seen;
    for (auto at = log.cbegin(); std::regex_search(at, log.cend(), seen, logged); at = seen[0].second) {
        EXPECT_TRUE(seen[1] == desktop.busName || seen[1] == "org.freedesktop.DBus") << seen[0];
        changes += seen[1] == desktop.busName && seen[2] == "ActiveChanged" ? 1 : 0;
    }
    EXPECT_GE(changes, 4u) << log;

    session.Box().Service().Close();
    const ChildResult result = session.Box().FinishDaemon();
    EXPECT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(session.Box().DaemonProcesses().empty());
}

TEST(RealLockerTest, GnomeShellLocksAndUnlocksThroughLogindOnceEach) {
    RunLockAndUnlock(kGnome, {LogindWay("lock")});
}

TEST(RealLockerTest, KdeLocksAndUnlocksThroughLogindOnceEach) {
    RunLockAndUnlock(kKde, {LogindWay("lock")});
}

// Where policy disables the lock screen, loginctl lock-session exits 0 and
// nothing locks: the script sees that and locks through the screen saver.
TEST(RealLockerTest, KdeLocksThroughTheScreenSaverWhenLogindIgnoresTheRequest) {
    RunLockAndUnlock(kKde,
                     {std::string("desktopCTask: warning: logind lock-session ") + kSessionId +
                          " returned, but the desktop is not locked after 5 s",
                      "desktopCTask: info: lock done through org.freedesktop.ScreenSaver.Lock over gdbus\n"},
                     true);
}

}  // namespace
}  // namespace dctest
