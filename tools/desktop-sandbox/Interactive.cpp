// The interactive session of dc-sandbox run: service commands come in on
// standard input, and every event (a service line, a daemon's exit) goes
// out as one timestamped line, from one poll loop over all seats. The first
// SIGINT, SIGTERM or SIGHUP closes every connection as "close" does; a
// second one ends the session at once, and everything is still stopped by
// pid and removed.
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>

#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/SandboxCli.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace sandbox {
namespace {

const std::map<std::string, std::string> kDesktops = {{"mate", "MATE"}, {"gnome", "GNOME"}, {"kde", "KDE"}};
const std::map<std::string, std::string> kTaskRequests = {
    {"lock", "LockScreen"}, {"unlock", "UnlockScreen"}, {"logout", "LogoutScreen"}};

// On Wayland, GNOME and KDE come with their own compositor, which is
// their screen locker too; MATE has none.
Locker CompositorOf(const CliOptions& options) {
    if (!options.wayland) {
        return Locker::kNone;
    }
    return options.desktop == "gnome" ? Locker::kGnomeShell
           : options.desktop == "kde" ? Locker::kKwin
                                      : Locker::kNone;
}

SandboxOptions SandboxOptionsFor(const CliOptions& options) {
    return {.currentDesktop = kDesktops.at(options.desktop),
            .desktopSession = options.desktop,
            .x11 = !options.wayland,
            .mateScreenSaver = options.mateScreenSaver,
            .locker = CompositorOf(options),
            .seatsPerDisplay = static_cast<std::size_t>(options.seatsPerDisplay),
            .serviceArgs =
                options.epochTimes ? std::vector<std::string>{"--epoch-times"} : std::vector<std::string>{},
            .osReleaseId = "",
            .setUserId = options.setUserId,
            .logFile = "DesktopController-$PID.log",
            .logLevel = options.logLevel,
            .taskScript = options.taskScript,
            .daemonBinary = options.daemonBinary};
}

class Session {
  public:
    explicit Session(const CliOptions& options);
    ~Session() { close(signalFd_); }
    int Run();

  private:
    void Event(const std::string& text) { Say(text, options_.epochTimes); }
    void AddSeats();
    void StartDaemons();
    void Loop();
    bool ReadCommands();
    void CloseAll();
    void ReadSeat(std::size_t seat);
    void DaemonEnded(std::size_t seat);
    bool TakeSignal();
    std::optional<std::size_t> SeatNumber(const std::string& text) const;

    CliOptions options_;
    int signalFd_ = -1;
    DesktopSandbox box_;
    std::vector<bool> running_;
    // The seat that send, sendfile, lock, unlock and logout go to.
    std::size_t target_ = 0;
    bool allExitedCleanly_ = true;
    bool closed_ = false;
    bool interrupted_ = false;
    std::string input_;
};

// Blocked before the sandbox starts anything; every child resets its mask.
int StopSignalsFd() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, sig);
    }
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    return signalfd(-1, &stops, SFD_CLOEXEC);
}

Session::Session(const CliOptions& options)
    : options_(options), signalFd_(StopSignalsFd()), box_(SandboxOptionsFor(options)) {}

int Session::Run() {
    Event("sandbox " + box_.DisplayEnv() + " DBUS_SESSION_BUS_ADDRESS=" + box_.Bus().Address() +
          " work=" + box_.Host(""));
    AddSeats();
    StartDaemons();
    Loop();
    return allExitedCleanly_ ? 0 : 1;
}

void Session::AddSeats() {
    for (int seat = 1; seat < options_.seats; ++seat) {
        box_.AddSeat(std::to_string(std::stoll(box_.DesktopId()) * 1000 + seat));
    }
    for (const std::string& daemon : options_.extraSeatDaemons) {
        box_.AddSeat(std::to_string(std::stoll(box_.DesktopId()) * 1000 + box_.SeatCount()), daemon);
    }
}

// Every service listens before the first daemon starts, so that a run of
// many seats measures the daemons starting together.
void Session::StartDaemons() {
    for (std::size_t seat = 0; seat < box_.SeatCount(); ++seat) {
        if (seat == 0) {
            box_.StartDaemon();
        } else {
            box_.StartSeatDaemon(seat);
        }
        running_.push_back(true);
        Event("seat " + std::to_string(seat) + " daemon pid=" + std::to_string(box_.DaemonPid(seat)) +
              " log=" +
              box_.SeatHost(seat, "DesktopController-" + std::to_string(box_.DaemonPid(seat)) + ".log"));
    }
}

void Session::Loop() {
    while (!interrupted_ && std::find(running_.begin(), running_.end(), true) != running_.end()) {
        std::vector<pollfd> fds;
        fds.push_back({closed_ ? -1 : STDIN_FILENO, POLLIN, 0});
        fds.push_back({signalFd_, POLLIN, 0});
        for (std::size_t seat = 0; seat < box_.SeatCount(); ++seat) {
            fds.push_back({box_.Service(seat).OutputFd(), POLLIN, 0});
            fds.push_back({running_[seat] ? box_.DaemonExitFd(seat) : -1, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0 && !ReadCommands()) {
            CloseAll();
        }
        if (fds[1].revents != 0 && TakeSignal()) {
            return;
        }
        for (std::size_t seat = 0; seat < box_.SeatCount(); ++seat) {
            if (fds[2 + 2 * seat].revents != 0) {
                ReadSeat(seat);
            }
            if (fds[3 + 2 * seat].revents != 0) {
                DaemonEnded(seat);
            }
        }
    }
}

// Reads what standard input holds and runs each complete command; false
// at the end of input.
bool Session::ReadCommands() {
    char buffer[65536];
    const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) {
        return false;
    }
    input_.append(buffer, static_cast<std::size_t>(count));
    for (std::size_t end = input_.find('\n'); end != std::string::npos; end = input_.find('\n')) {
        const std::string line = input_.substr(0, end);
        input_.erase(0, end + 1);
        const std::string verb = line.substr(0, line.find(' '));
        const std::string rest = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        if (verb == "send") {
            box_.Service(target_).Send(rest);
        } else if (verb == "sendfile") {
            box_.Service(target_).SendFile(rest);
        } else if (kTaskRequests.count(verb) != 0) {
            box_.Service(target_).Send(TaskXml(kTaskRequests.at(verb)));
        } else if (verb == "seat" && SeatNumber(rest)) {
            target_ = *SeatNumber(rest);
        } else if (verb == "seat") {
            // The earlier choice stays, so that nothing is sent to a seat the
            // caller did not mean.
            Event("no seat " + rest + ": seats are 0 to " + std::to_string(box_.SeatCount() - 1) +
                  ", commands still go to seat " + std::to_string(target_));
        } else if (verb == "close" && rest.empty()) {
            CloseAll();
        } else if (verb == "close" && SeatNumber(rest)) {
            box_.Service(*SeatNumber(rest)).Close();
        } else if (!verb.empty()) {
            Event("unknown command: " + line);
        }
    }
    return true;
}

// The seat a command names, if it names one that exists.
std::optional<std::size_t> Session::SeatNumber(const std::string& text) const {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) >= box_.SeatCount()) {
        return std::nullopt;
    }
    return std::stoul(text);
}

// True when the session must end now.
bool Session::TakeSignal() {
    signalfd_siginfo info{};
    if (read(signalFd_, &info, sizeof info) != sizeof info) {
        return false;
    }
    Event("signal " + std::to_string(info.ssi_signo) + (closed_ ? ": stopping everything" : ": closing"));
    interrupted_ = closed_;
    allExitedCleanly_ = allExitedCleanly_ && !interrupted_;
    CloseAll();
    return interrupted_;
}

void Session::CloseAll() {
    if (closed_) {
        return;
    }
    closed_ = true;
    for (std::size_t seat = 0; seat < box_.SeatCount(); ++seat) {
        try {
            box_.Service(seat).Close();
        } catch (const std::runtime_error&) {
            Event("seat " + std::to_string(seat) + " service has ended");
        }
    }
}

void Session::ReadSeat(std::size_t seat) {
    for (const std::string& line : box_.Service(seat).ReadyLines()) {
        Event("seat " + std::to_string(seat) + " service " + line);
    }
}

void Session::DaemonEnded(std::size_t seat) {
    running_[seat] = false;
    const ChildResult result = box_.FinishDaemon(kWait, seat);
    const bool clean = result.exited && result.exitStatus == 0;
    allExitedCleanly_ = allExitedCleanly_ && clean;
    const std::string err = result.err.empty() ? ReadFile(box_.SeatHost(seat, "../daemon.err")) : result.err;
    Event("seat " + std::to_string(seat) + " daemon " +
          (result.exited ? "exited status=" + std::to_string(result.exitStatus)
                         : "killed signal=" + std::to_string(result.termSignal)) +
          (clean || err.empty() ? "" : " stderr: " + err.substr(0, err.find('\n'))));
    ReadSeat(seat);
}

// Each seat holds a few descriptors for its service and its daemon
// (pipes and a pidfd each); hundreds of seats pass the usual limit of 1024.
void AllowDescriptorsFor(int seats) {
    rlimit limit{};
    const rlim_t needed = 64 + 8 * static_cast<rlim_t>(seats);
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < needed) {
        limit.rlim_cur = std::min(needed, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int RunProgram(const CliOptions& options) {
    DesktopSandbox box(SandboxOptionsFor(options));
    // The desktop's runtime directory holds its compositor's socket, if any.
    std::vector<std::string> env = {box.DisplayEnv(), "DBUS_SESSION_BUS_ADDRESS=" + box.Bus().Address(),
                                    "XDG_CURRENT_DESKTOP=" + kDesktops.at(options.desktop),
                                    "XDG_RUNTIME_DIR=" + box.Host("runtime")};
    // The caller's own desktop must not show through.
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name = std::string(*entry).substr(0, std::string(*entry).find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "DBUS_SESSION_BUS_ADDRESS" &&
            name != "XDG_CURRENT_DESKTOP" && name != "XDG_RUNTIME_DIR") {
            env.emplace_back(*entry);
        }
    }
    const ChildResult result = RunChild({.argv = options.program, .env = env}, std::chrono::minutes(10));
    std::cout << result.out << std::flush;
    std::cerr << result.err << std::flush;
    return result.exited ? result.exitStatus : 1;
}

int RunInteractive(const CliOptions& options) {
    AllowDescriptorsFor(options.seats + static_cast<int>(options.extraSeatDaemons.size()));
    Session session(options);
    return session.Run();
}

}  // namespace sandbox
