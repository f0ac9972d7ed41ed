#include "src/session/DaemonProcess.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The direct children of this (single-threaded) process.
std::vector<pid_t> Children() {
    std::ifstream file("/proc/self/task/" + std::to_string(getpid()) + "/children");
    std::vector<pid_t> children;
    for (pid_t pid; file >> pid;) {
        children.push_back(pid);
    }
    return children;
}

void SignalChildren(int signal) {
    for (const pid_t pid : Children()) {
        kill(pid, signal);
    }
}

// Reaps what has ended; true when no child is left.
bool ReapEnded() {
    while (true) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid == 0) {
            return false;
        }
        if (pid < 0) {
            return errno == ECHILD;
        }
    }
}

}  // namespace

bool BecomeSubreaper() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

DaemonProcess::DaemonProcess(std::string path) : path_(std::move(path)) {}

bool DaemonProcess::Start() {
    char* const argv[] = {path_.data(), nullptr};
    sigset_t none;
    sigemptyset(&none);
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv);
        _exit(127);
    }
    if (pid < 0) {
        fprintf(stderr, "desktopcontroller-session: cannot start %s: %s\n", path_.c_str(), strerror(errno));
        return false;
    }
    pid_ = pid;
    return true;
}

std::optional<int> DaemonProcess::Reap() {
    std::optional<int> daemonStatus;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == pid_) {
            daemonStatus = status;
            pid_ = -1;
        }
    }
    return daemonStatus;
}

void DaemonProcess::StopAll(std::chrono::milliseconds grace) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kStep = std::chrono::milliseconds(10);
    pid_ = -1;
    int signal = SIGTERM;
    const auto killAt = Clock::now() + grace;
    // A process that SIGKILL does not end (stuck in the kernel) is left to
    // init once this process exits.
    const auto giveUpAt = killAt + grace;
    // Orphans of the daemon's children arrive as children of this process
    // while the others end, so each round signals whoever is a child now.
    while (!ReapEnded() && Clock::now() < giveUpAt) {
        if (signal == SIGTERM && Clock::now() >= killAt) {
            signal = SIGKILL;
        }
        SignalChildren(signal);
        std::this_thread::sleep_for(kStep);
    }
}
