// The real desktop lockers of DesktopSandbox, and the system they expect:
// the private system bus with its logind stand-in, and a /run/systemd that
// says the machine runs systemd, for loginctl inside the sandbox; the
// user's service manager for GNOME Shell; and the stand-ins of GNOME's
// session manager and screen saver.
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
constexpr const char* kKwin = "/usr/bin/kwin_wayland";
constexpr const char* kKwinGreeter = "/usr/lib/x86_64-linux-gnu/libexec/kscreenlocker_greet";
// Without the Qt Wayland platform the greeter crashes, and KWin reports
// the lock through its fallback all the same; without layer-shell the
// greeter cannot place its window.
constexpr const char* kQtWayland = "/usr/lib/x86_64-linux-gnu/qt5/plugins/platforms/libqwayland-generic.so";
constexpr const char* kLayerShell =
    "/usr/lib/x86_64-linux-gnu/qt5/plugins/wayland-shell-integration/liblayer-shell.so";
constexpr const char* kMount = "/usr/bin/mount";
constexpr const char* kLoginctl = "/usr/bin/loginctl";
constexpr const char* kRunSystemd = "/run/systemd";
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
// The unit a GNOME Shell session runs in under the user's service manager,
// and the one IBus runs in beside it.
constexpr const char* kShellUnit = "org.gnome.Shell@wayland.service";
constexpr const char* kIbusUnit = "org.freedesktop.IBus.session.GNOME.service";

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
        paths.insert(paths.end(), {kGnomeShell, kGjs, kGnomeScreenSaverService, kMount});
    } else if (locker == Locker::kKde) {
        paths.insert(paths.end(), {kKsmServer, "/usr/bin/Xvfb"});
    } else if (locker == Locker::kKwin) {
        paths.insert(paths.end(), {kKwin, kKwinGreeter, kQtWayland, kLayerShell});
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
                     .ignoresUnlock = options_.logindIgnoresUnlock,
                     .otherSession = options_.logindOtherSession ? kOtherSessionId : "",
                     .otherDisplay = options_.x11 ? ":" + std::to_string(display + 1) : ""});
}

void DesktopSandbox::StartLocker() {
    if ((options_.locker == Locker::kKde) != options_.x11) {
        throw std::invalid_argument(
            "KDE's locker runs here on X as ksmserver, GNOME Shell and KWin on Wayland");
    }
    if (std::string missing = LockerMissing(options_.locker); !missing.empty()) {
        throw std::runtime_error("the desktop's locker cannot run: " + missing);
    }
    if (options_.locker == Locker::kGnomeShell) {
        StartGnomeShell();
    } else if (options_.locker == Locker::kKwin) {
        StartKwin();
    } else {
        const std::string runtime = layout_.Root() + "/locker-runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        std::vector<std::string> env = LockerEnvironment("KDE", runtime);
        env.push_back(displayEnv_);
        StartLockerProcess({kKsmServer}, env, kScreenSaver);
    }
}

// GNOME Shell forks for ibus-daemon unless the user's service manager runs
// IBus as a unit, and now and then that child deadlocks before its exec,
// the shell with it. It asks the manager only when its own cgroup says a
// user manager started it: so it is, and IBus's unit is known.
void DesktopSandbox::StartGnomeShell() {
    sessionBusStandIns_.push_back(StartStandIns({"user-manager", bus_->Address(), kShellUnit, kIbusUnit},
                                                layout_.Root() + "/user-manager.err"));
    std::vector<std::string> env = LockerEnvironment("GNOME", CompositorRuntimeDir());
    env.push_back("XDG_SESSION_TYPE=wayland");
    const std::string socket = displayEnv_.substr(displayEnv_.find('=') + 1);
    StartLockerProcess(InUserUnit(kShellUnit, {kGnomeShell, "--headless", "--wayland", "--no-x11",
                                               "--wayland-display", socket, "--virtual-monitor", "1280x800"}),
                       env, "org.gnome.Shell.ScreenShield");
    StartLockerProcess({kGjs, kGnomeScreenSaverService}, env, "org.gnome.ScreenSaver");
}

// The packaged binary carries a file capability that a container's
// bounding set may lack, and then it cannot be executed at all; a copy
// carries none. KWin plays org.freedesktop.ScreenSaver itself.
void DesktopSandbox::StartKwin() {
    const std::string kwin = layout_.Root() + "/kwin_wayland";
    fs::copy_file(kKwin, kwin);
    std::vector<std::string> env = LockerEnvironment("KDE", CompositorRuntimeDir());
    env.insert(env.end(), {"XDG_SESSION_TYPE=wayland", "KDE_FULL_SESSION=true", "KDE_SESSION_VERSION=5"});
    const std::string socket = displayEnv_.substr(displayEnv_.find('=') + 1);
    StartLockerProcess({kwin, "--virtual", "--socket", socket}, env, kScreenSaver);
}

// The daemon's runtime directory, where a compositor puts its socket.
std::string DesktopSandbox::CompositorRuntimeDir() const {
    fs::create_directories(layout_.HostPath("/var/tarvelo") + "/sandbox/runtime");
    return Inside("runtime");
}

// argv, run with its /proc/self/cgroup naming unit of the user's service
// manager, as on a desktop whose session systemd started. The bind holds
// in the locker's own mount namespace only.
std::vector<std::string> DesktopSandbox::InUserUnit(const std::string& unit,
                                                    const std::vector<std::string>& argv) const {
    const std::string cgroup = "/user.slice/user-0.slice/user@0.service/session.slice/" + unit;
    const std::string file = TempDir::WriteAt(layout_.Root() + "/" + unit + ".cgroup",
                                              "0::" + cgroup + "\n1:name=systemd:" + cgroup + "\n");
    std::vector<std::string> wrapped = {
        "/bin/sh", "-c", std::string(kMount) + " --bind \"$0\" /proc/$$/cgroup && exec \"$@\"", file};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
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

// A home of the lockers' own, where they keep caches and settings; their
// sockets go to runtimeDir.
std::vector<std::string> DesktopSandbox::LockerEnvironment(const std::string& desktop,
                                                           const std::string& runtimeDir) const {
    const std::string home = layout_.Root() + "/locker-home";
    fs::create_directories(home);
    return {"PATH=/usr/bin:/bin",
            "LANG=C.UTF-8",
            "NO_AT_BRIDGE=1",
            "HOME=" + home,
            "XDG_RUNTIME_DIR=" + runtimeDir,
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
    const std::string errFile = layout_.Root() + "/" + busName + ".err";
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
