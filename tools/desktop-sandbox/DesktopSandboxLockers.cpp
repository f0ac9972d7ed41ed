// The real desktop lockers of DesktopSandbox, and the system they expect:
// the private system bus with its logind stand-in, and a /run/systemd that
// says the machine runs systemd, for loginctl inside the sandbox; and the
// stand-ins of GNOME's session manager and screen saver.
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/StandIns.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace fs = std::filesystem;

namespace sandbox {
namespace {

constexpr const char* kGnomeShell = "/usr/bin/gnome-shell";
constexpr const char* kGjs = "/usr/bin/gjs";
// Started by the desktop's session bus on demand; the sandbox's bus starts
// nothing, so the sandbox starts it.
constexpr const char* kGnomeScreenSaverService = "/usr/share/gnome-shell/org.gnome.ScreenSaver";
constexpr const char* kKsmServer = "/usr/bin/ksmserver";
constexpr const char* kLoginctl = "/usr/bin/loginctl";
constexpr const char* kRunSystemd = "/run/systemd";

std::string FirstMissing(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (access(path.c_str(), R_OK) != 0) {
            return path + " is not installed";
        }
    }
    return {};
}

}  // namespace

std::string DesktopSandbox::LockerMissing(Locker locker) {
    std::vector<std::string> paths = {kLoginctl, kRunSystemd};
    if (locker == Locker::kGnomeShell) {
        paths.insert(paths.end(), {kGnomeShell, kGjs, kGnomeScreenSaverService});
    } else if (locker == Locker::kKde) {
        paths.insert(paths.end(), {kKsmServer, "/usr/bin/Xvfb"});
    }
    std::string missing = FirstMissing(paths);
    return missing.empty() ? StandInsMissing() : missing;
}

void DesktopSandbox::StartLogind() {
    // Empty seats/ and system/ are what tells loginctl and the lockers
    // that logind runs; this one is on the private system bus.
    const std::string runSystemd = layout_.Root() + "/run-systemd";
    for (const char* dir : {"/seats", "/system"}) {
        fs::create_directories(runSystemd + dir);
    }
    layout_.AddBind(runSystemd, kRunSystemd);
    // The number of this X display; the other session's is the next one.
    const int display = options_.x11 ? std::stoi(displayEnv_.substr(displayEnv_.find(':') + 1)) : -1;
    systemBus_ = std::make_unique<SystemBus>(
        LoginSession{.id = kSessionId,
                     .display = options_.x11 ? ":" + std::to_string(display) : "",
                     .type = options_.x11 ? "x11" : "wayland",
                     .ignoresLock = options_.logindIgnoresLock,
                     .otherSession = options_.logindOtherSession ? kOtherSessionId : "",
                     .otherDisplay = options_.x11 ? ":" + std::to_string(display + 1) : ""});
}

void DesktopSandbox::StartLocker() {
    if ((options_.locker == Locker::kKde) != options_.x11) {
        throw std::invalid_argument("GNOME Shell runs here on Wayland only, KDE's locker on X only");
    }
    if (options_.locker == Locker::kKde) {
        std::vector<std::string> env = LockerEnvironment("KDE");
        env.push_back(displayEnv_);
        StartLockerProcess({kKsmServer}, env, "org.freedesktop.ScreenSaver");
        return;
    }
    std::vector<std::string> env = LockerEnvironment("GNOME");
    env.push_back("XDG_SESSION_TYPE=wayland");
    StartLockerProcess({kGnomeShell, "--headless", "--no-x11", "--virtual-monitor", "1024x768"}, env,
                       "org.gnome.Shell.ScreenShield");
    StartLockerProcess({kGjs, kGnomeScreenSaverService}, env, "org.gnome.ScreenSaver");
    // A moment after it owns its names, GNOME Shell forks for ibus-daemon
    // and runs script code in the child before the exec; now and then
    // that child deadlocks, and the shell, waiting for it, never answers
    // again. Its start counts only once the exec is behind it.
    if (!WaitUntil([&] { return fs::exists(IbusStarted()); })) {
        throw std::runtime_error("gnome-shell hung in its start-up: its ibus-daemon never ran");
    }
}

// An ibus-daemon that notes it ran and fails, as a missing one does; it is
// first on the lockers' PATH.
std::string DesktopSandbox::WriteLockerPrograms() const {
    const std::string dir = layout_.Root() + "/locker-bin";
    TempDir::WriteAt(dir + "/ibus-daemon", "#!/bin/sh\n: > " + IbusStarted() + "\nexit 1\n", 0755);
    return dir;
}

void DesktopSandbox::StartStandInsOnSessionBus() {
    if (options_.sessionManagerIgnores) {
        sessionBusStandIns_.push_back(StartStandIns(
            {"session-manager", bus_->Address(), *options_.sessionManagerIgnores, SessionManagerCalls()},
            layout_.Root() + "/session-manager.err"));
    }
    if (options_.inactiveScreenSaver) {
        sessionBusStandIns_.push_back(
            StartStandIns({"inactive-screen-saver", bus_->Address()}, layout_.Root() + "/screen-saver.err"));
    }
}

// A home and a runtime directory of the lockers' own: they keep caches,
// settings and sockets there.
std::vector<std::string> DesktopSandbox::LockerEnvironment(const std::string& desktop) const {
    const std::string home = layout_.Root() + "/locker-home";
    const std::string runtime = layout_.Root() + "/locker-runtime";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    return {"PATH=" + WriteLockerPrograms() + ":/usr/bin:/bin",
            "LANG=C.UTF-8",
            "NO_AT_BRIDGE=1",
            "HOME=" + home,
            "XDG_RUNTIME_DIR=" + runtime,
            std::string("XDG_SESSION_ID=") + kSessionId,
            "XDG_CURRENT_DESKTOP=" + desktop,
            "DBUS_SESSION_BUS_ADDRESS=" + bus_->Address(),
            "DBUS_SYSTEM_BUS_ADDRESS=" + systemBus_->Address(),
            std::string(kLockerMarker) + "=" + layout_.Root()};
}

// Inside the sandbox's namespace, where /run/systemd is the stand-in; up
// once it owns busName.
void DesktopSandbox::StartLockerProcess(std::vector<std::string> argv, std::vector<std::string> env,
                                        const std::string& busName) {
    const std::string errFile = layout_.Root() + "/" + fs::path(argv.front()).filename().string() + ".err";
    lockers_.push_back(std::make_unique<ChildProcess>(ChildCommand{
        .argv = std::move(argv), .env = std::move(env), .layout = &layout_, .errFile = errFile}));
    BusClient client(bus_->Address());
    if (!WaitUntil([&] { return client.HasOwner(busName); })) {
        throw std::runtime_error(busName + " did not appear on the session bus: " + ReadFile(errFile));
    }
}

// The journal stand-in takes the script's log lines when the machine has
// a syslog socket, so that they land in the record either way.
void DesktopSandbox::WriteRecordingWrapper(const std::string& path, const std::string& script) {
    const std::string runs = Inside("task-runs");
    const std::string dir = layout_.HostPath("/usr/lib/tarvelo") + "/sandbox";
    fs::create_directories(dir + "/journal");
    fs::copy_file(script, dir + "/task-script");
    fs::permissions(dir + "/task-script", fs::perms(0755));
    TempDir::WriteAt(dir + "/journal/logger",
                     "#!/bin/sh\n"
                     "# logger -t TAG -p FACILITY.PRIORITY -- MESSAGE\n"
                     "printf '%s: %s: %s\\n' \"$2\" \"${4#*.}\" \"$6\" >> " +
                         runs + "\n",
                     0755);
    std::string exports;
    for (const std::string& setting : options_.taskEnvironment) {
        exports += "export '" + setting + "'\n";
    }
    TempDir::WriteAt(path,
                     "#!/bin/sh\n"
                     "PATH=/usr/lib/tarvelo/sandbox/journal:$PATH\n" +
                         exports + "/usr/lib/tarvelo/sandbox/task-script \"$@\" 2>> " + runs +
                         "\n"
                         "status=$?\n"
                         "printf 'task %s: exit %d\\n' \"$*\" \"$status\" >> " +
                         runs + "\nexit \"$status\"\n",
                     0755);
}

}  // namespace sandbox
