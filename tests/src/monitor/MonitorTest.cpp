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
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/monitor/LockStatusMonitor.h"
#include "tests/src/monitor/PrivateBus.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;
constexpr const char* kGnome = "org.gnome.ScreenSaver";
constexpr const char* kPath = "/org/gnome/ScreenSaver";

// The screen saver's side: emits signals and Lock calls on the test bus.
class ScreenSaver {
  public:
    ScreenSaver(const std::string& address, std::string interfaceName)
        : interface_(std::move(interfaceName)) {
        DBusError error;
        dbus_error_init(&error);
        connection_ = dbus_connection_open_private(address.c_str(), &error);
        if (connection_ == nullptr || !dbus_bus_register(connection_, &error)) {
            ADD_FAILURE() << "cannot connect to the test bus: " << (error.message ? error.message : "");
        }
        dbus_error_free(&error);
    }
    ~ScreenSaver() {
        if (connection_ != nullptr) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }

    void ActiveChanged(bool active) {
        dbus_bool_t value = active ? TRUE : FALSE;
        Signal("ActiveChanged", DBUS_TYPE_BOOLEAN, &value);
    }
    void ActiveChangedWithText(const char* text) { Signal("ActiveChanged", DBUS_TYPE_STRING, &text); }
    void Signal(const char* member, int argType = DBUS_TYPE_INVALID, const void* arg = nullptr) {
        DBusMessage* message = dbus_message_new_signal(kPath, interface_.c_str(), member);
        if (argType != DBUS_TYPE_INVALID) {
            dbus_message_append_args(message, argType, arg, DBUS_TYPE_INVALID);
        }
        Send(message);
    }
    // A Lock call as a desktop shell makes it; addressed to this connection
    // itself, which never answers.
    void LockCall() {
        DBusMessage* message = dbus_message_new_method_call(dbus_bus_get_unique_name(connection_), kPath,
                                                            interface_.c_str(), "Lock");
        dbus_message_set_no_reply(message, TRUE);
        Send(message);
    }

  private:
    void Send(DBusMessage* message) {
        dbus_connection_send(connection_, message, nullptr);
        dbus_connection_flush(connection_);
        dbus_message_unref(message);
    }

    std::string interface_;
    DBusConnection* connection_ = nullptr;
};

class MonitorTest : public ::testing::Test {
  protected:
    void StartOn(const dctest::PrivateBus& bus, const char* desktop) {
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str(), 1);
        setenv("XDG_CURRENT_DESKTOP", desktop, 1);
        monitor.Start();
    }

    // Waits for the filter to log a message of this member, so everything
    // sent before it has been handled.
    bool WaitForMember(const std::string& member) {
        return capture.WaitFor("; member=" + member + "\n", kWait);
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
    dctest::PrivateBus bus;
    StartOn(bus, "ubuntu:GNOME");
    ASSERT_TRUE(capture.WaitFor("DesktopCMonitor->MonitorBus Succeeded to BecomeMonitor.\n", kWait));
    ScreenSaver saver(bus.Address(), kGnome);

    saver.ActiveChanged(false);
    saver.ActiveChanged(true);
    saver.ActiveChanged(true);
    const dbus_bool_t inactive = FALSE;
    saver.Signal("SomethingElse", DBUS_TYPE_BOOLEAN, &inactive);
    saver.ActiveChangedWithText("false");
    saver.ActiveChanged(false);
    saver.Signal("Done");
    ASSERT_TRUE(WaitForMember("Done"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kSkipUnlocked, kLocked, kNotifyLocked, kSkipLocked,
                                                   kUnlocked, kNotifyUnlocked}));
    EXPECT_TRUE(
        capture.Contains("path=/org/gnome/ScreenSaver; interface=org.gnome.ScreenSaver; "
                         "member=SomethingElse\n"));
    EXPECT_EQ(capture.LevelOf(kLocked), dclog::kInfo);
    EXPECT_EQ(capture.LevelOf(kSkipLocked), dclog::kDebug);

    // Other screen savers' signals never reach a GNOME monitor.
    ScreenSaver kde(bus.Address(), "org.freedesktop.ScreenSaver");
    kde.ActiveChanged(true);
    saver.Signal("Done2");
    ASSERT_TRUE(WaitForMember("Done2"));
    EXPECT_FALSE(capture.Contains("interface=org.freedesktop.ScreenSaver"));
    EXPECT_EQ(Reports().size(), 6u);
}

TEST_F(MonitorTest, WakeUpScreenUnlocksOnlyLateAfterALockCall) {
    dctest::PrivateBus bus;
    StartOn(bus, "GNOME");
    ASSERT_TRUE(capture.WaitFor("Succeeded to BecomeMonitor.", kWait));
    ScreenSaver saver(bus.Address(), kGnome);

    saver.LockCall();
    ASSERT_TRUE(WaitForMember("Lock"));
    const auto lockSeen = std::chrono::steady_clock::now();
    saver.Signal("WakeUpScreen");
    saver.Signal("Marker");
    ASSERT_TRUE(WaitForMember("Marker"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked}));

    // The rule is about elapsed time, so this waits for it to pass.
    std::this_thread::sleep_until(lockSeen + 1100ms);
    saver.Signal("WakeUpScreen");
    saver.Signal("WakeUpScreen");
    saver.Signal("Marker2");
    ASSERT_TRUE(WaitForMember("Marker2"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked, kUnlocked, kNotifyUnlocked}));

    // ActiveChanged without arguments reports nothing but disarms a later
    // WakeUpScreen.
    saver.LockCall();
    saver.Signal("ActiveChanged");
    saver.Signal("Marker3");
    ASSERT_TRUE(WaitForMember("Marker3"));
    const auto secondLock = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(secondLock + 1100ms);
    saver.Signal("WakeUpScreen");
    saver.Signal("Marker4");
    ASSERT_TRUE(WaitForMember("Marker4"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked, kUnlocked, kNotifyUnlocked,
                                                   kLocked, kNotifyLocked}));
}

TEST_F(MonitorTest, RefusedBecomeMonitorFallsBackToEavesdropping) {
    dctest::PrivateBus bus("<deny send_interface=\"org.freedesktop.DBus.Monitoring\"/>");
    StartOn(bus, "GNOME");
    ASSERT_TRUE(
        capture.WaitFor("DesktopCMonitor->MonitorBus Succeeded to monitor all members on "
                        "interface='org.gnome.ScreenSaver'.\n",
                        kWait));
    EXPECT_TRUE(
        capture.Contains("DesktopCMonitor->MonitorBus Failed to utilize BecomeMonitor: "
                         "org.freedesktop.DBus.Error.AccessDenied: \""));
    ScreenSaver saver(bus.Address(), kGnome);
    saver.LockCall();
    saver.ActiveChanged(false);
    saver.Signal("Marker");
    ASSERT_TRUE(WaitForMember("Marker"));
    EXPECT_EQ(Reports(), (std::vector<std::string>{kLocked, kNotifyLocked, kUnlocked, kNotifyUnlocked}));
}

TEST_F(MonitorTest, GivesUpWhenNoMatchRuleIsAllowed) {
    dctest::PrivateBus bus("<deny send_interface=\"org.freedesktop.DBus.Monitoring\"/>",
                           "<limit name=\"max_match_rules_per_connection\">0</limit>");
    StartOn(bus, "MATE");
    ASSERT_TRUE(capture.WaitFor(
        "DesktopCMonitor->Monitor Failed to monitor dbus interface org.mate.ScreenSaver\n", kWait));
    int refused = 0;
    for (const auto& line : capture.Lines()) {
        refused += line.rfind(
                       "DesktopCMonitor->MonitorBus Cannot add D-BUS match rule: "
                       "interface='org.mate.ScreenSaver', cause: ",
                       0) == 0;
    }
    EXPECT_EQ(refused, 2);
    EXPECT_FALSE(capture.Contains("Succeeded"));
    // The thread has ended by itself; Stop only joins it.
    monitor.Stop();
}

TEST_F(MonitorTest, KdeWatchesTheFreedesktopInterfaceUntilStoppedOrTheBusGoes) {
    auto bus = std::make_unique<dctest::PrivateBus>();
    StartOn(*bus, "KDE");
    ASSERT_TRUE(capture.WaitFor("Succeeded to BecomeMonitor.", kWait));
    {
        ScreenSaver saver(bus->Address(), "org.freedesktop.ScreenSaver");
        saver.ActiveChanged(true);
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
    ASSERT_TRUE(WaitForMember("Disconnected"));
    const auto stopStart = std::chrono::steady_clock::now();
    monitor.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, kWait);
}

}  // namespace
