#include "src/session/SessionSupervisor.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// A daemon that crashed (a signal, or a status other than the designed 0
// and 1) is started again after this long, at most kCrashLimit times in
// kCrashWindow; then only a new port file starts it.
constexpr auto kCrashRestartDelay = std::chrono::seconds(10);
constexpr size_t kCrashLimit = 5;
constexpr auto kCrashWindow = std::chrono::minutes(10);
// Every process stop in this system allows this long for SIGTERM.
constexpr auto kStopGrace = std::chrono::milliseconds(1000);

constexpr int kStartUpFailure = 1;
// A start-up failure while the port file is there (a service still coming
// up, or a handshake that timed out while every desktop of the host
// reconnected at once) is retried this many times, 1, 2 and 4 s apart;
// then only the next port file starts the daemon.
constexpr int kStartRetries = 3;
constexpr auto kFirstRetryDelay = std::chrono::seconds(1);

bool IsCrash(int status) {
    return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) > kStartUpFailure);
}

}  // namespace

SessionSupervisor::SessionSupervisor(const SessionPaths& paths, std::string sessionId)
    : agentFiles_(paths.agentDir),
      daemon_(paths.daemon),
      sessionId_(std::move(sessionId)),
      logind_(sessionId_) {}

int SessionSupervisor::Run() {
    if (!SetUp()) {
        return 1;
    }
    if (agentFiles_.PortFileExists()) {
        // The daemon reads the port file after this: a change already
        // noticed is one it sees, not a reason to start it again.
        agentFiles_.ChangedAfterEvents();
        StartDaemon();
    }
    const bool ended = Loop();
    fprintf(stderr, "desktopcontroller-session: %s, stopping\n", endReason_.c_str());
    daemon_.StopAll(kStopGrace);
    return ended ? 0 : 1;
}

bool SessionSupervisor::SetUp() {
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&handled, signal);
    }
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    // The daemon inherits this: a write to a child that already exited fails
    // with EPIPE instead of ending it.
    signal(SIGPIPE, SIG_IGN);
    signals_.reset(signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
    restartTimer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!signals_.valid() || !restartTimer_.valid() || !BecomeSubreaper()) {
        perror("desktopcontroller-session: set-up");
        return false;
    }
    if (!display_.Connect() || !agentFiles_.Watch() || (!sessionId_.empty() && !logind_.Watch())) {
        return false;
    }
    busWatched_ = bus_.Connect();
    return true;
}

bool SessionSupervisor::Loop() {
    enum Source { kSignals, kAgent, kTimer, kDisplay, kLogind, kBus };
    std::vector<pollfd> fds = {{signals_.get(), POLLIN, 0},
                               {agentFiles_.Fd(), POLLIN, 0},
                               {restartTimer_.get(), POLLIN, 0},
                               {display_.Fd(), POLLIN, 0},
                               {sessionId_.empty() ? -1 : logind_.Fd(), POLLIN, 0},
                               {busWatched_ ? bus_.Fd() : -1, POLLIN, 0}};
    while (true) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            endReason_ = "poll failed";
            return false;
        }
        if (fds[kLogind].revents != 0 && logind_.EndedAfterChange()) {
            endReason_ = "logind session " + sessionId_ + " ended";
            return true;
        }
        if (fds[kDisplay].revents != 0 && display_.LostAfterRead()) {
            endReason_ = "display " + display_.Name() + " went away";
            return true;
        }
        if (fds[kBus].revents != 0 && bus_.LostAfterRead()) {
            endReason_ = "the session bus went away";
            return true;
        }
        if (fds[kSignals].revents != 0) {
            signalfd_siginfo info{};
            while (read(signals_.get(), &info, sizeof info) == sizeof info) {
                if (info.ssi_signo != SIGCHLD) {
                    endReason_ = std::string("signal ") + sigabbrev_np(static_cast<int>(info.ssi_signo));
                    return true;
                }
            }
            if (const auto status = daemon_.Reap()) {
                OnDaemonEnded(*status);
            }
        }
        if (fds[kAgent].revents != 0 && agentFiles_.ChangedAfterEvents()) {
            OnAgentFilesChanged();
        }
        if (fds[kTimer].revents != 0) {
            uint64_t expirations = 0;
            if (read(restartTimer_.get(), &expirations, sizeof expirations) > 0 && !daemon_.Running()) {
                StartDaemon();
            }
        }
    }
}

void SessionSupervisor::StartDaemon() {
    changedWhileRunning_ = false;
    daemon_.Start();
}

void SessionSupervisor::OnAgentFilesChanged() {
    startRetries_ = 0;
    if (daemon_.Running()) {
        changedWhileRunning_ = true;
    } else {
        StartDaemon();
    }
}

void SessionSupervisor::OnDaemonEnded(int status) {
    if (changedWhileRunning_) {
        StartDaemon();
        return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kStartUpFailure) {
        if (startRetries_ < kStartRetries && agentFiles_.PortFileExists()) {
            ArmRestartTimer(kFirstRetryDelay * (1 << startRetries_++));
        }
        return;
    }
    if (!IsCrash(status)) {
        // The service closed the connection: the next port file starts it.
        return;
    }
    const auto now = Clock::now();
    while (!crashes_.empty() && now - crashes_.front() > kCrashWindow) {
        crashes_.pop_front();
    }
    crashes_.push_back(now);
    if (crashes_.size() > kCrashLimit) {
        fprintf(stderr,
                "desktopcontroller-session: the daemon crashed %zu times in %lld minutes; "
                "waiting for the next start of the agent's service\n",
                crashes_.size(), static_cast<long long>(kCrashWindow.count()));
        return;
    }
    ArmRestartTimer(kCrashRestartDelay);
}

void SessionSupervisor::ArmRestartTimer(std::chrono::seconds delay) {
    itimerspec once{};
    once.it_value.tv_sec = delay.count();
    timerfd_settime(restartTimer_.get(), 0, &once, nullptr);
}
