// Runs LockStatusMonitor against a private dbus-daemon and plays the
// screen saver's part from a second connection.
//
// The monitor's memory of the last reported state is process-wide and
// never reset, so every case expects to run in a process of its own (as
// ctest runs them, or one --gtest_filter at a time) and starts from
// "unlocked". libdbus also keeps the first session bus address it read.
#include <dbus/dbus.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/monitor/LockStatusMonitor.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LineReader.h"
#include "tests/support/SessionBus.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;
const std::string kGnome = "org.gnome.ScreenSaver";
const std::string kFreedesktop = "org.freedesktop.ScreenSaver";
const std::string kPath = "/org/gnome/ScreenSaver";

// A bus that refuses BecomeMonitor and every match rule, which the shared
// session bus has no policy for.
class RuleLessBus {
  public:
    RuleLessBus() {
        const std::string config =
            dir_.Write("bus.conf",
                       "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                       "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
                       "eavesdrop=\"true\"/>"
                       "<allow own=\"*\"/>"
                       "<deny send_interface=\"org.freedesktop.DBus.Monitoring\"/></policy>"
                       "<limit name=\"max_match_rules_per_connection\">0</limit></busconfig>\n");
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0 || (pid_ = fork()) < 0) {
            throw std::runtime_error("cannot start dbus-daemon");
        }
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            execlp("dbus-daemon", "dbus-daemon", ("--config-file=" + config).c_str(), "--print-address",
                   "--nofork", nullptr);
            _exit(dctest::kChildExecFailed);
        }
        close(out[1]);
        address_ = dctest::LineReader(out[0]).ReadLine(std::chrono::steady_clock::now() + kWait).value_or("");
    }
    ~RuleLessBus() {
        int status = 0;
        kill(pid_, SIGKILL);
        dctest::WaitForChildExit(pid_, kWait, &status);
    }
    const std::string& Address() const { return address_; }

  private:
    dctest::TempDir dir_;
    pid_t pid_ = -1;
    std::string address_;
};

class MonitorTest : public ::testing::Test {
  protected:
    void StartOn(const std::string& address, const char* desktop) {
        ASSERT_FALSE(address.empty());
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        setenv("XDG_CURRENT_DESKTOP", desktop, 1);
        monitor.Start();
    }
    // Sends a marker signal and waits for the monitor to log it, so
    // everything sent before it has been handled.
    bool Handled(dctest::BusClient& client, const std::string& marker) {
        client.EmitSignal(kPath, kGnome, marker);
        return capture.WaitFor("; member=" + marker + "\n", kWait);
    }
    // The records of the monitor and the dispatcher that tell a decision.
    std::vector<std::string> Reports() const {
        std::vector<std::string> reports;
        for (const auto& line : capture.Lines()) {
            if (line.find("->SendNotification ") != std::string::npos ||
                line.find("->NotifyDesktopLocked ") != std::string::npos) {
                reports.push_back(line);
            }
        }
        return reports;
    }

    dclog::LogCapture capture{dclog::kDebug};
    LockStatusMonitor monitor;
};

const std::string kLocked = "DesktopCMonitor->SendNotification Screen is locked\n";
const std::string kUnlocked = "DesktopCMonitor->SendNotification Screen is unlocked\n";
const std::string kNotifyLocked = "IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is locked\n";
const std::string kNotifyUnlocked = "IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is unlocked\n";
const std::string kSkipLocked = "DesktopCMonitor->SendNotification Skip to report locked status\n";
const std::string kSkipUnlocked = "DesktopCMonitor->SendNotification Skip to report unlocked status\n";

TEST_F(MonitorTest, ActiveChangedIsReportedOnlyWhenTheStateChanges) {
    dctest::SessionBus bus;
    StartOn(bus.Address(), "ubuntu:GNOME");
    ASSERT_TRUE(capture.WaitFor("DesktopCMonitor->MonitorBus Succeeded to BecomeMonitor.\n", kWait));
    dctest::BusClient saver(bus.Address());
    saver.EmitSignal(kPath, kGnome, "ActiveChanged", false);
    saver.EmitSignal(kPath, kGnome, "ActiveChanged", true);
    saver.EmitSignal(kPath, kGnome, "ActiveChanged", true);
    saver.EmitSignal(kPath, kGnome, "SomethingElse", false);
    // An argument of the wrong type is no news.
    {
        DBusConnection* connection = dbus_connection_open_private(bus.Address().c_str(), nullptr);
        ASSERT_TRUE(connection != nullptr && dbus_bus_register(connection, nullptr));
        DBusMessage* message = dbus_message_new_signal(kPath.c_str(), kGnome.c_str(), "ActiveChanged");
        const char* text = "false";
        dbus_message_append_args(message, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        dbus_connection_send(connection, message, nullptr);
        dbus_connection_flush(connection);
        dbus_message_unref(message);
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
    ASSERT_TRUE(Handled(saver, "Typed"));
    saver.EmitSignal(kPath, kGnome, "ActiveChanged", false);
    ASSERT_TRUE(Handled(saver, "Done"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kSkipUnlocked, kLocked, kNotifyLocked, kSkipLocked,
                                                   kUnlocked, kNotifyUnlocked}));
    EXPECT_TRUE(capture.Contains(
        "path=/org/gnome/ScreenSaver; interface=org.gnome.ScreenSaver; member=SomethingElse\n"));
    EXPECT_EQ(capture.LevelOf(kLocked), dclog::kInfo);
    EXPECT_EQ(capture.LevelOf(kSkipLocked), dclog::kDebug);

    // Other screen savers' signals never reach a GNOME monitor.
    saver.EmitSignal(kPath, kFreedesktop, "ActiveChanged", true);
    ASSERT_TRUE(Handled(saver, "Done2"));
    EXPECT_FALSE(capture.Contains("interface=org.freedesktop.ScreenSaver"));
    EXPECT_EQ(Reports().size(), 6u);
}

TEST_F(MonitorTest, WakeUpScreenUnlocksOnlyLateAfterALockCall) {
    dctest::SessionBus bus;
    StartOn(bus.Address(), "GNOME");
    ASSERT_TRUE(capture.WaitFor("Succeeded to BecomeMonitor.", kWait));
    // A Lock call as a desktop shell makes it, to a name that never answers.
    dctest::BusClient saver(bus.Address());
    saver.RequestName(kGnome);
    saver.Call(kGnome, kPath, kGnome, "Lock");
    ASSERT_TRUE(capture.WaitFor("; member=Lock\n", kWait));
    const auto lockSeen = std::chrono::steady_clock::now();
    saver.EmitSignal(kPath, kGnome, "WakeUpScreen");
    ASSERT_TRUE(Handled(saver, "Marker"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked}));

    // The rule is about elapsed time, so this waits for it to pass.
    std::this_thread::sleep_until(lockSeen + 1100ms);
    saver.EmitSignal(kPath, kGnome, "WakeUpScreen");
    saver.EmitSignal(kPath, kGnome, "WakeUpScreen");
    ASSERT_TRUE(Handled(saver, "Marker2"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked, kUnlocked, kNotifyUnlocked}));

    // ActiveChanged without arguments reports nothing but disarms a later
    // WakeUpScreen.
    saver.Call(kGnome, kPath, kGnome, "Lock");
    saver.EmitSignal(kPath, kGnome, "ActiveChanged");
    ASSERT_TRUE(Handled(saver, "Marker3"));
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + 1100ms);
    saver.EmitSignal(kPath, kGnome, "WakeUpScreen");
    ASSERT_TRUE(Handled(saver, "Marker4"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked, kUnlocked, kNotifyUnlocked,
                                                   kLocked, kNotifyLocked}));
}

TEST_F(MonitorTest, RefusedBecomeMonitorFallsBackToEavesdropping) {
    dctest::SessionBus bus(dctest::BusPolicy::kRefuseBecomeMonitor);
    StartOn(bus.Address(), "GNOME");
    ASSERT_TRUE(
        capture.WaitFor("DesktopCMonitor->MonitorBus Succeeded to monitor all members on "
                        "interface='org.gnome.ScreenSaver'.\n",
                        kWait));
    EXPECT_TRUE(
        capture.Contains("DesktopCMonitor->MonitorBus Failed to utilize BecomeMonitor: "
                         "org.freedesktop.DBus.Error.AccessDenied: \""));
    dctest::BusClient saver(bus.Address());
    saver.RequestName(kGnome);
    saver.Call(kGnome, kPath, kGnome, "Lock");
    saver.EmitSignal(kPath, kGnome, "ActiveChanged", false);
    ASSERT_TRUE(Handled(saver, "Marker"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked, kUnlocked, kNotifyUnlocked}));
}

TEST_F(MonitorTest, GivesUpWhenNoMatchRuleIsAllowed) {
    RuleLessBus bus;
    StartOn(bus.Address(), "MATE");
    ASSERT_TRUE(capture.WaitFor(
        "DesktopCMonitor->Monitor Failed to monitor dbus interface org.mate.ScreenSaver\n", kWait));
    int refused = 0;
    for (const auto& line : capture.Lines()) {
        refused += line.starts_with(
            "DesktopCMonitor->MonitorBus Cannot add D-BUS match rule: interface='org.mate.ScreenSaver', "
            "cause: ");
    }
    EXPECT_EQ(refused, 2);
    EXPECT_FALSE(capture.Contains("Succeeded"));
    // The thread has ended by itself; Stop only joins it.
    monitor.Stop();
}

TEST_F(MonitorTest, KdeWatchesTheFreedesktopInterfaceUntilStoppedOrTheBusGoes) {
    auto bus = std::make_unique<dctest::SessionBus>();
    StartOn(bus->Address(), "KDE");
    ASSERT_TRUE(capture.WaitFor("Succeeded to BecomeMonitor.", kWait));
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
