// Screen-saver events on the desktop's session bus reach the service as
// DesktopLocked notifications: one frame per change, none for a repeat or
// for another desktop's interface, and the Lock call / WakeUpScreen pair
// honoured only after its delay. The bus here refuses monitors, so the
// daemon has to fall back to match rules. A separate bus connection plays
// the screen saver; the real mate-screensaver drives the same path in the
// scripted demo (check-demo.sh).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

const std::string kPath = "/org/mate/ScreenSaver";
const std::string kInterface = "org.mate.ScreenSaver";

std::size_t LockFrames(const IpcService& service) {
    std::size_t count = 0;
    for (const std::string& line : service.Transcript()) {
        count += line.find("<Notify name=\"DesktopLocked\">") != std::string::npos ? 1 : 0;
    }
    return count;
}

// ThreadSanitizer's runtime adds a thread of its own that ticks.
#ifdef __SANITIZE_THREAD__
constexpr bool kRuntimeThreadTicks = true;
#else
constexpr bool kRuntimeThreadTicks = false;
#endif

// Summed over the process's threads.
uint64_t VoluntarySwitches(pid_t pid) {
    uint64_t total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const std::string status = ReadFile(task.path().string() + "/status");
        const std::size_t at = status.find("\nvoluntary_ctxt_switches:");
        total += at == std::string::npos ? 0 : std::stoull(status.substr(at + 26));
    }
    return total;
}

// The monitor handles bus messages in order, so once it has logged a later
// marker message it is done with everything sent before.
class ScreenSaver {
  public:
    explicit ScreenSaver(DesktopSandbox& session) : session_(session), client_(session.Bus().Address()) {
        client_.RequestName(kInterface);
    }
    void Active(std::optional<bool> active, const std::string& interface = kInterface) {
        client_.EmitSignal(interface == kInterface ? kPath : "/org/gnome/ScreenSaver", interface,
                           "ActiveChanged", active);
    }
    void WakeUp() { client_.EmitSignal(kPath, kInterface, "WakeUpScreen"); }
    void LockCall() { client_.Call(kInterface, kPath, kInterface, "Lock"); }
    bool Settle() {
        client_.EmitSignal(kPath, kInterface, "E2eMarker");
        return session_.WaitForLog("member=E2eMarker\n", kWait, ++markers_);
    }

  private:
    DesktopSandbox& session_;
    BusClient client_;
    std::size_t markers_ = 0;
};

TEST(LockMonitorTest, EachLockChangeIsReportedOnceThroughMatchRules) {
    if (!DesktopSandbox::XvfbAvailable()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    DesktopSandbox session(
        {.currentDesktop = "MATE", .x11 = true, .busPolicy = BusPolicy::kRefuseBecomeMonitor});
    IpcService& service = session.Service();
    ASSERT_TRUE(session.StartAndConnect()) << session.Log();
    ASSERT_TRUE(session.WaitForLog(
        "DesktopCMonitor->MonitorBus Succeeded to monitor all members on interface='org.mate.ScreenSaver'."))
        << session.Log();
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->MonitorBus Failed to utilize BecomeMonitor: "
                                 "org.freedesktop.DBus.Error.AccessDenied: "),
              1u)
        << session.Log();
    ScreenSaver saver(session);

    // Unlocked is where the daemon starts: nothing to report.
    saver.Active(false);
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->SendNotification Skip to report unlocked status"), 1u);
    saver.Active(true);
    EXPECT_EQ(session.WaitForNotification("DesktopLocked"), DesktopLockedXml(true));
    saver.Active(true);
    saver.Active(std::nullopt);
    // The GNOME interface is not this desktop's: ignored.
    saver.Active(false, "org.gnome.ScreenSaver");
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->SendNotification Skip to report locked status"), 1u);
    EXPECT_EQ(session.CountInLog("interface=org.gnome.ScreenSaver"), 0u);
    saver.Active(false);
    EXPECT_EQ(session.WaitForNotification("DesktopLocked"), DesktopLockedXml(false));
    EXPECT_EQ(LockFrames(service), 2u);
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->SendNotification Screen is locked\n"), 1u);
    EXPECT_EQ(session.CountInLog("IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is unlocked\n"), 1u);

    // Lock, then a wake-up too soon (ignored), one late enough (reported),
    // and a second one (nothing left to report).
    saver.LockCall();
    EXPECT_EQ(session.WaitForNotification("DesktopLocked"), DesktopLockedXml(true));
    auto locked = std::chrono::steady_clock::now();
    saver.WakeUp();
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(LockFrames(service), 3u);
    EXPECT_EQ(session.CountInLog("Screen is unlocked\n"), 1u);
    // The rule under test is about elapsed time, so time must pass here.
    std::this_thread::sleep_until(locked + std::chrono::milliseconds(1100));
    saver.WakeUp();
    EXPECT_EQ(session.WaitForNotification("DesktopLocked"), DesktopLockedXml(false));
    saver.WakeUp();
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(LockFrames(service), 4u);
    EXPECT_EQ(session.CountInLog("member=WakeUpScreen\n"), 3u);

    // The asynchronous signals reach only the main thread, which just
    // waits: every other thread blocks them.
    const pid_t pid = session.DaemonPid();
    const uint64_t asynchronous =
        (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGTSTP - 1)) |
        (1ull << (SIGUSR1 - 1)) | (1ull << (SIGUSR2 - 1)) | (1ull << (SIGALRM - 1)) |
        (1ull << (SIGVTALRM - 1)) | (1ull << (SIGIO - 1)) | (1ull << (SIGURG - 1)) | (1ull << (SIGXCPU - 1)) |
        (1ull << (SIGXFSZ - 1)) | (1ull << (SIGSTKFLT - 1));
    size_t others = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const std::string status = ReadFile(task.path().string() + "/status");
        const size_t at = status.find("\nSigBlk:\t");
        if (at == std::string::npos) {
            continue;  // ended between the listing and the read
        }
        const uint64_t blocked = std::stoull(status.substr(at + 9, 16), nullptr, 16);
        const bool isMain = task.path().filename() == std::to_string(pid);
        others += isMain ? 0 : 1;
        EXPECT_EQ(blocked & asynchronous, isMain ? 0 : asynchronous) << task.path();
    }
    EXPECT_GE(others, 3u);

    // Idle, every thread sleeps until traffic or a stop wakes it: a timed
    // poll on any of them would show here as switches in the window.
    if (!kRuntimeThreadTicks) {
        const uint64_t switchesBefore = VoluntarySwitches(pid);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_LE(VoluntarySwitches(pid) - switchesBefore, 1u);
    }

    // SIGTERM is logged, then ends the daemon by its default action, on
    // the main thread.
    kill(pid, SIGTERM);
    ChildResult result = session.FinishDaemon();
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.termSignal, SIGTERM);
    std::string log = session.Log();
    EXPECT_TRUE(std::regex_search(
        log, std::regex("Caught signal 15 -- tid " + std::to_string(pid) + " \\(eip 0x[0-9a-f]+\\)\n")))
        << log;
    EXPECT_EQ(log.find("SIGNAL: rip"), std::string::npos);
}

}  // namespace
}  // namespace dctest
