// Screen-saver events on the desktop's session bus reach the service as
// DesktopLocked notifications: one frame per change, none for a repeat, and
// the Lock call / WakeUpScreen pair honoured only after its delay. Events
// come from a separate bus connection that plays the screen saver.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/E2eSupport.h"

namespace e2e {
namespace {

const std::string kPath = "/org/gnome/ScreenSaver";
const std::string kInterface = "org.gnome.ScreenSaver";

std::size_t LockFrames(const dctest::IpcService& service) {
    std::size_t count = 0;
    for (const std::string& line : service.Transcript()) {
        count += line.find("<Notify name=\"DesktopLocked\">") != std::string::npos ? 1 : 0;
    }
    return count;
}

// The monitor handles bus messages in order, so once it has logged a later
// marker message it is done with everything sent before.
class ScreenSaver {
  public:
    ScreenSaver(dctest::DesktopSession& session) : session_(session), client_(session.Bus().Address()) {
        client_.RequestName(kInterface);
    }
    void Active(std::optional<bool> active) {
        client_.EmitSignal(kPath, kInterface, "ActiveChanged", active);
    }
    void WakeUp() { client_.EmitSignal(kPath, kInterface, "WakeUpScreen"); }
    void LockCall() { client_.Call(kInterface, kPath, kInterface, "Lock"); }
    bool Settle() {
        client_.EmitSignal(kPath, kInterface, "E2eMarker");
        return session_.WaitForLog("member=E2eMarker\n", kWait, ++markers_);
    }

  private:
    dctest::DesktopSession& session_;
    dctest::BusClient client_;
    std::size_t markers_ = 0;
};

TEST(LockMonitorTest, ActiveChangedReportsEachChangeOnce) {
    dctest::DesktopSession session;
    dctest::IpcService& service = session.Service();
    ASSERT_TRUE(StartAndConnect(session)) << session.Log();
    ASSERT_TRUE(session.WaitForLog("DesktopCMonitor->MonitorBus Succeeded to BecomeMonitor.", kWait))
        << session.Log();
    ScreenSaver saver(session);

    // Unlocked is where the daemon starts: nothing to report.
    saver.Active(false);
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->SendNotification Skip to report unlocked status"), 1u);

    saver.Active(true);
    EXPECT_EQ(WaitForNotification(service, "DesktopLocked"), DesktopLockedXml(true));
    saver.Active(true);
    saver.Active(std::nullopt);
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->SendNotification Skip to report locked status"), 1u);
    saver.Active(false);
    EXPECT_EQ(WaitForNotification(service, "DesktopLocked"), DesktopLockedXml(false));
    EXPECT_EQ(LockFrames(service), 2u);
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->SendNotification Screen is locked\n"), 1u);
    EXPECT_EQ(session.CountInLog("IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is unlocked\n"), 1u);

    // Lock, then a wake-up too soon (ignored), one late enough (reported),
    // and a second one (nothing left to report).
    saver.LockCall();
    EXPECT_EQ(WaitForNotification(service, "DesktopLocked"), DesktopLockedXml(true));
    auto locked = std::chrono::steady_clock::now();
    saver.WakeUp();
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(LockFrames(service), 3u);
    EXPECT_EQ(session.CountInLog("Screen is unlocked\n"), 1u);
    // The rule under test is about elapsed time, so time must pass here.
    std::this_thread::sleep_until(locked + std::chrono::milliseconds(1100));
    saver.WakeUp();
    EXPECT_EQ(WaitForNotification(service, "DesktopLocked"), DesktopLockedXml(false));
    saver.WakeUp();
    ASSERT_TRUE(saver.Settle());
    EXPECT_EQ(LockFrames(service), 4u);
    EXPECT_EQ(session.CountInLog("member=WakeUpScreen\n"), 3u);

    service.Close();
    EXPECT_EQ(session.FinishDaemon(kWait).exitStatus, 0);
}

TEST(LockMonitorTest, BusRefusingMonitorsStillReportsThroughMatchRules) {
    dctest::DesktopSession session(
        {.currentDesktop = "MATE", .busPolicy = dctest::BusPolicy::kRefuseBecomeMonitor});
    dctest::IpcService& service = session.Service();
    ASSERT_TRUE(StartAndConnect(session)) << session.Log();
    ASSERT_TRUE(session.WaitForLog(
        "DesktopCMonitor->MonitorBus Succeeded to monitor all members on interface='org.mate.ScreenSaver'.",
        kWait))
        << session.Log();
    EXPECT_EQ(session.CountInLog("DesktopCMonitor->MonitorBus Failed to utilize BecomeMonitor: "
                                 "org.freedesktop.DBus.Error.AccessDenied: "),
              1u)
        << session.Log();

    dctest::BusClient saver(session.Bus().Address());
    saver.RequestName("org.mate.ScreenSaver");
    saver.EmitSignal("/org/mate/ScreenSaver", "org.mate.ScreenSaver", "ActiveChanged", true);
    EXPECT_EQ(WaitForNotification(service, "DesktopLocked"), DesktopLockedXml(true));
    // The GNOME interface is not this desktop's: ignored.
    saver.EmitSignal(kPath, kInterface, "ActiveChanged", false);
    saver.EmitSignal("/org/mate/ScreenSaver", "org.mate.ScreenSaver", "ActiveChanged", false);
    EXPECT_EQ(WaitForNotification(service, "DesktopLocked"), DesktopLockedXml(false));
    EXPECT_EQ(session.CountInLog("interface=org.gnome.ScreenSaver"), 0u);

    service.Close();
    EXPECT_EQ(session.FinishDaemon(kWait).exitStatus, 0);
}

}  // namespace
}  // namespace e2e
