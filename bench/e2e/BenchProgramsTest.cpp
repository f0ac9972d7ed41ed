// The bench's own programs: what scripts/bench reads from them (stamp lines,
// latency lines, EMIT lines, READY), their exit statuses, and the signals
// and children they produce. A wrong figure here would make every table
// the bench prints wrong without anyone noticing.
#include <dbus/dbus.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/Sandbox.h"

namespace {

using namespace std::chrono_literals;

std::string Bin(const std::string& name) {
    return std::string(getenv("DC_BUILD_DIR")) + "/bin/" + name;
}

double RealtimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// True when every line is a positive number, as the bench parses them.
bool AllPositiveNumbers(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        char* end = nullptr;
        const double value = strtod(line.c_str(), &end);
        if (end == line.c_str() || *end != '\0' || value <= 0) {
            return false;
        }
    }
    return true;
}

bool WaitForFileText(const std::string& path, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!dctest::ReadFile(path).empty()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST(BenchPrograms, StampHelperWritesItsStartTimeAndHoldsOnlyWhenAsked) {
    dctest::TempDir dir;
    const std::string stamps = dir.File("stamps");
    close(open(stamps.c_str(), O_WRONLY | O_CREAT, 0600));

    const double before = RealtimeSeconds();
    dctest::ChildResult plain = dctest::RunChild({{Bin("e2e_first_stamp"), stamps}}, 10s);
    const double after = RealtimeSeconds();
    ASSERT_TRUE(plain.exited);
    EXPECT_EQ(plain.exitStatus, 0);
    const std::vector<std::string> lines = Lines(dctest::ReadFile(stamps));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].find('.') == lines[0].size() - 10) << "nine digits of nanoseconds: " << lines[0];
    EXPECT_GE(std::stod(lines[0]), before);
    EXPECT_LE(std::stod(lines[0]), after);

    EXPECT_EQ(dctest::RunChild({{Bin("e2e_first_stamp")}}, 10s).exitStatus, 2);
    EXPECT_EQ(dctest::RunChild({{Bin("e2e_first_stamp"), dir.File("missing/stamps")}}, 10s).exitStatus, 1);

    // Held: SIGTERM is ignored once the line is written; SIGKILL ends it.
    const std::string held = dir.File("held");
    close(open(held.c_str(), O_WRONLY | O_CREAT, 0600));
    dctest::ChildProcess holder({{Bin("e2e_first_stamp"), held, "--hold"}});
    ASSERT_TRUE(WaitForFileText(held, 10s));
    kill(holder.Pid(), SIGTERM);
    // Finish kills it with SIGKILL once the bound passes without an exit.
    const dctest::ChildResult stopped = holder.Finish(300ms);
    EXPECT_TRUE(stopped.timedOut);
    EXPECT_FALSE(stopped.exited);
    EXPECT_EQ(stopped.termSignal, SIGKILL);
}

TEST(BenchPrograms, BaselinesReportWhatTheBenchParses) {
    dctest::ChildResult spawn =
        dctest::RunChild({{Bin("e2e_spawn_baseline"), Bin("e2e_first_stamp"), "3"}}, 30s);
    ASSERT_TRUE(spawn.exited);
    EXPECT_EQ(spawn.exitStatus, 0) << spawn.err;
    const std::vector<std::string> latencies = Lines(spawn.out);
    EXPECT_EQ(latencies.size(), 3u) << spawn.out;
    EXPECT_TRUE(AllPositiveNumbers(latencies)) << spawn.out;
    EXPECT_EQ(dctest::RunChild({{Bin("e2e_spawn_baseline"), "/nonexistent/helper", "2"}}, 30s).exitStatus, 1);
    EXPECT_EQ(dctest::RunChild({{Bin("e2e_spawn_baseline")}}, 10s).exitStatus, 2);

    // The idle baseline runs the three waiting threads beside its main
    // thread, says READY, and ends cleanly on SIGTERM.
    dctest::ChildProcess idle({{Bin("e2e_idle_baseline")}});
    const std::string tasks = "/proc/" + std::to_string(idle.Pid()) + "/task";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    size_t threads = 0;
    while (threads < 4 && std::chrono::steady_clock::now() < deadline) {
        threads = static_cast<size_t>(
            std::distance(std::filesystem::directory_iterator(tasks), std::filesystem::directory_iterator()));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(threads, 4u);
    kill(idle.Pid(), SIGTERM);
    const dctest::ChildResult ended = idle.Finish(10s);
    EXPECT_TRUE(ended.exited);
    EXPECT_EQ(ended.exitStatus, 0);
    EXPECT_EQ(ended.out, "READY\n");
}

// Latencies are differences between the service's event times and stamps
// taken by other processes, so they must be epoch seconds with microseconds.
TEST(BenchPrograms, ReferenceServiceStampsEventsInEpochMicroseconds) {
    if (access(Bin("ipc-service").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the reference service is not built (DC_BUILD_TOOLS off)";
    }
    dctest::TempDir dir;
    const double before = RealtimeSeconds();
    dctest::ChildResult service = dctest::RunChild({{Bin("ipc-service"), "--dir", dir.Path(), "--key-type",
                                                     "ec", "--epoch-times", "--accept-timeout-ms", "50"}},
                                                   30s);
    const double after = RealtimeSeconds();
    EXPECT_EQ(service.exitStatus, 4);
    const std::vector<std::string> lines = Lines(service.out);
    ASSERT_EQ(lines.size(), 2u) << service.out;
    EXPECT_EQ(lines[0].rfind("LISTENING ", 0), 0u);
    const std::string stamp = lines[1].substr(0, lines[1].find(' '));
    EXPECT_EQ(lines[1].substr(stamp.size()), " CLOSED no-client");
    EXPECT_EQ(stamp.find('.'), stamp.size() - 7) << "six digits of microseconds: " << stamp;
    EXPECT_GE(std::stod(stamp), before - 1e-6);
    EXPECT_LE(std::stod(stamp), after);
}

struct ListenerConnection {
    DBusConnection* connection = nullptr;
    explicit ListenerConnection(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        connection = dbus_connection_open_private(address.c_str(), &error);
        if (connection != nullptr && !dbus_bus_register(connection, &error)) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
            connection = nullptr;
        }
        dbus_error_free(&error);
    }
    ~ListenerConnection() {
        if (connection != nullptr) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
    }
    // The boolean arguments of the ActiveChanged signals that arrive in time.
    std::vector<bool> ActiveChanges(size_t wanted, std::chrono::milliseconds timeout) {
        std::vector<bool> values;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (values.size() < wanted && std::chrono::steady_clock::now() < deadline) {
            dbus_connection_read_write(connection, 100);
            while (DBusMessage* message = dbus_connection_pop_message(connection)) {
                dbus_bool_t value = FALSE;
                if (dbus_message_is_signal(message, "org.mate.ScreenSaver", "ActiveChanged") &&
                    strcmp(dbus_message_get_path(message), "/org/mate/ScreenSaver") == 0 &&
                    dbus_message_get_args(message, nullptr, DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID)) {
                    values.push_back(value != FALSE);
                }
                dbus_message_unref(message);
            }
        }
        return values;
    }
};

TEST(BenchPrograms, BusProbeMeasuresRoundTripsAndTogglesTheScreenSaver) {
    if (!dctest::SessionBus::Available()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    dctest::SessionBus bus;
    const std::string env = "DBUS_SESSION_BUS_ADDRESS=" + bus.Address();

    dctest::ChildResult trips = dctest::RunChild({{Bin("e2e_bus_probe"), "roundtrip", "5"}, {env}}, 30s);
    EXPECT_EQ(trips.exitStatus, 0) << trips.err;
    EXPECT_EQ(Lines(trips.out).size(), 5u);
    EXPECT_TRUE(AllPositiveNumbers(Lines(trips.out))) << trips.out;

    ListenerConnection listener(bus.Address());
    ASSERT_NE(listener.connection, nullptr);
    dbus_bus_add_match(listener.connection, "type='signal',interface='org.mate.ScreenSaver'", nullptr);
    dbus_connection_flush(listener.connection);
    dctest::ChildResult toggles = dctest::RunChild(
        {{Bin("e2e_bus_probe"), "toggle", "3", "10", "org.mate.ScreenSaver", "/org/mate/ScreenSaver"}, {env}},
        30s);
    EXPECT_EQ(toggles.exitStatus, 0) << toggles.err;
    const std::vector<std::string> emits = Lines(toggles.out);
    ASSERT_EQ(emits.size(), 3u) << toggles.out;
    const char* expected[] = {" true", " false", " true"};
    for (size_t i = 0; i < emits.size(); ++i) {
        EXPECT_EQ(emits[i].rfind("EMIT ", 0), 0u) << emits[i];
        EXPECT_EQ(emits[i].substr(emits[i].rfind(' ')), expected[i]) << emits[i];
    }
    EXPECT_EQ(listener.ActiveChanges(3, 10s), (std::vector<bool>{true, false, true}));

    EXPECT_EQ(dctest::RunChild({{Bin("e2e_bus_probe"), "toggle"}, {env}}, 10s).exitStatus, 2);
    EXPECT_EQ(dctest::RunChild({{Bin("e2e_bus_probe"), "roundtrip", "1"},
                                {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"}},
                               10s)
                  .exitStatus,
              1);
}

}  // namespace
