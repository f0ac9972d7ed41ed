// Runs LockStatusMonitor against a private dbus-daemon and plays the
// screen saver's part from a second connection.
//
// The monitor's memory of the last reported state is process-wide and
// never reset, so every case expects to run in a process of its own (as
// ctest runs them, or one --gtest_filter at a time) and starts from
// "unlocked". libdbus also keeps the first session bus address it read.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/monitor/LockStatusMonitor.h"
#include "tests/support/Sandbox.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;
const std::string kFreedesktop = "org.freedesktop.ScreenSaver";
const std::string kPath = "/org/gnome/ScreenSaver";

class MonitorTest : public ::testing::Test {
  protected:
    void StartOn(const std::string& address, const char* desktop) {
        ASSERT_FALSE(address.empty());
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        setenv("XDG_CURRENT_DESKTOP", desktop, 1);
        monitor.Start();
    }

    dclog::LogCapture capture{dclog::kDebug};
    LockStatusMonitor monitor;
};

const std::string kNotifyLocked = "IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is locked\n";

TEST_F(MonitorTest, KdeWatchesTheFreedesktopInterfaceUntilStoppedOrTheBusGoes) {
    auto bus = std::make_unique<dctest::SessionBus>();
    StartOn(bus->Address(), "KDE");
    // The daemon's main thread exports variables right after the start: the
    // watch must already have read the desktop type and the bus address.
    setenv("XDG_CURRENT_DESKTOP", "Unknown", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    ASSERT_TRUE(capture.WaitFor("Succeeded to BecomeMonitor.", kWait));
    setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->Address().c_str(), 1);
    {
        dctest::BusClient saver(bus->Address());
        saver.EmitSignal(kPath, kFreedesktop, "ActiveChanged", true);
        ASSERT_TRUE(capture.WaitFor(kNotifyLocked, kWait));
    }
    EXPECT_TRUE(capture.Contains("interface=org.freedesktop.ScreenSaver; member=ActiveChanged\n"));

    // Stop on a quiet bus ends the thread; Start runs a fresh one.
    monitor.Stop();
    capture.Clear();
    EXPECT_TRUE(monitor.Start());
    EXPECT_TRUE(monitor.Start());
    ASSERT_TRUE(capture.WaitFor("Succeeded to BecomeMonitor.", kWait));

    // The monitor thread ends when the bus goes; the test process lives on.
    bus.reset();
    ASSERT_TRUE(capture.WaitFor("; member=Disconnected\n", kWait));
    const auto stopStart = std::chrono::steady_clock::now();
    monitor.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, kWait);
}

}  // namespace
