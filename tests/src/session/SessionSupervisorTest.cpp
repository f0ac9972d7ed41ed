// The session supervisor with a stand-in daemon and agent directory: it
// starts the daemon for each new port file of the agent's service and only
// then, and ends the daemon and what the daemon left behind when the
// display goes away or the supervisor is told to stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "lib/log/UniqueFd.h"
#include "src/session/SessionSupervisor.h"
#include "tests/support/ProcessIdentity.h"
#include "tests/support/Sandbox.h"

namespace {

using namespace std::chrono_literals;
using sandbox::ReadFile;
using sandbox::TempDir;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto giveUpAt = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUpAt) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A supervisor, in a child process of its own, for a desktop whose display
// is a socket the test serves and whose daemon is a shell script that
// records each start, leaves a worker behind and exits with the status the
// test writes to its control pipe.
class Desktop {
  public:
    Desktop() {
        mkdir(dir_.File("agent").c_str(), 0755);
        mkfifo(dir_.File("control").c_str(), 0600);
        dir_.Write("daemon",
                   "#!/bin/sh\n"
                   "echo $$ >>" +
                       dir_.File("starts") +
                       "\n"
                       "sleep 600 &\n"
                       "echo $! >" +
                       dir_.File("worker") +
                       "\n"
                       "echo $! >>" +
                       dir_.File("workers") +
                       "\n"
                       "read -r status <" +
                       dir_.File("control") +
                       "\n"
                       "exit \"$status\"\n",
                   0755);
        display_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", dir_.File("wayland-0").c_str());
        if (bind(display_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(display_.get(), 4) != 0) {
            throw std::runtime_error("cannot serve the display socket");
        }
    }
    ~Desktop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        // A daemon that exited while the supervisor went on left its worker
        // to the supervisor's stop, which a killed supervisor never makes.
        std::istringstream workers(ReadFile(dir_.File("workers")));
        for (pid_t worker = 0; workers >> worker;) {
            kill(worker, SIGKILL);
        }
    }

    void StartSupervisor() {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("WAYLAND_DISPLAY", dir_.File("wayland-0").c_str(), 1);
            setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir_.File("no-bus")).c_str(), 1);
            SessionSupervisor supervisor({dir_.File("daemon"), dir_.File("agent")}, "");
            _exit(supervisor.Run());
        }
        // As a compositor does, the test takes the supervisor's connection.
        pollfd entry{display_.get(), POLLIN, 0};
        ASSERT_EQ(poll(&entry, 1, 10000), 1);
        client_.reset(accept4(display_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    // The service's way of publishing its port: a new file renamed into place.
    void WritePortFile() const {
        dir_.Write("agent/ipc.port.new", "4242\n");
        rename(dir_.File("agent/ipc.port.new").c_str(), dir_.File("agent/ipc.port").c_str());
    }
    int Starts() const {
        const std::string starts = ReadFile(dir_.File("starts"));
        return static_cast<int>(std::count(starts.begin(), starts.end(), '\n'));
    }
    pid_t LastDaemon() const {
        const std::string starts = ReadFile(dir_.File("starts"));
        return starts.empty() ? -1 : std::stoi(starts.substr(starts.rfind('\n', starts.size() - 2) + 1));
    }
    pid_t Worker() const { return std::stoi("0" + ReadFile(dir_.File("worker"))); }
    void EndDaemon(int status) const {
        const dclog::UniqueFd control(open(dir_.File("control").c_str(), O_WRONLY | O_CLOEXEC));
        const std::string line = std::to_string(status) + "\n";
        ASSERT_EQ(write(control.get(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    void CloseDisplay() {
        client_.reset();
        display_.reset();
    }
    // The supervisor's exit status, or -1 when it did not end in time.
    int WaitForSupervisor(std::chrono::milliseconds timeout) {
        int status = 0;
        if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t Supervisor() const { return pid_; }

  private:
    TempDir dir_;
    dclog::UniqueFd display_;
    dclog::UniqueFd client_;
    pid_t pid_ = -1;
};

TEST(SessionSupervisor, StartsTheDaemonOnceForEachNewPortFile) {
    Desktop desktop;
    desktop.StartSupervisor();
    desktop.WritePortFile();
    ASSERT_TRUE(WaitFor([&] { return desktop.Starts() == 1; }));

    // The service closed the connection: the daemon stays down until the
    // service writes its port again.
    const dctest::ProcessIdentity first(desktop.LastDaemon());
    desktop.EndDaemon(0);
    ASSERT_TRUE(WaitFor([&] { return !first.Alive(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(desktop.Starts(), 1);
    desktop.WritePortFile();
    ASSERT_TRUE(WaitFor([&] { return desktop.Starts() == 2; }));

    // A new service wrote its port while the daemon still served the old
    // one: the daemon starts again as soon as it ends.
    desktop.WritePortFile();
    desktop.EndDaemon(0);
    ASSERT_TRUE(WaitFor([&] { return desktop.Starts() == 3; }));

    // A start-up failure is retried three times, then the daemon waits for
    // the next port file too.
    for (int start = 3; start <= 6; ++start) {
        ASSERT_TRUE(WaitFor([&] { return desktop.Starts() == start; }, 15s));
        const dctest::ProcessIdentity failing(desktop.LastDaemon());
        desktop.EndDaemon(1);
        ASSERT_TRUE(WaitFor([&] { return !failing.Alive(); }));
    }
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(desktop.Starts(), 6);
    desktop.WritePortFile();
    ASSERT_TRUE(WaitFor([&] { return desktop.Starts() == 7; }));
    desktop.EndDaemon(0);
}

TEST(SessionSupervisor, EndsTheDaemonAndWhatItLeftWithTheDesktop) {
    for (const bool displayGoes : {true, false}) {
        SCOPED_TRACE(displayGoes ? "display goes away" : "SIGTERM");
        Desktop desktop;
        desktop.WritePortFile();
        desktop.StartSupervisor();
        ASSERT_TRUE(WaitFor([&] { return desktop.Starts() == 1 && desktop.Worker() > 0; }));
        const dctest::ProcessIdentity daemon(desktop.LastDaemon());
        const dctest::ProcessIdentity worker(desktop.Worker());
        ASSERT_TRUE(daemon.Alive() && worker.Alive());
        if (displayGoes) {
            desktop.CloseDisplay();
        } else {
            kill(desktop.Supervisor(), SIGTERM);
        }
        EXPECT_EQ(desktop.WaitForSupervisor(2s), 0);
        EXPECT_FALSE(daemon.Alive());
        EXPECT_FALSE(worker.Alive());
    }
}

}  // namespace
