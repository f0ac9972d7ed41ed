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

    dclog::LogCapture capture{dclog::kDebug};
    LockStatusMonitor monitor;
};

const std::string kNotifyLocked = "IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is locked\n";

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
