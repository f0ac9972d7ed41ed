// A complete, private desktop for the DesktopController binary, in one
// object:
//  - temp stand-ins for the fixed system directories, bound over them in a
//    private mount namespace that only the daemon enters, plus a private
//    /dev/shm and, when asked, a fixed /etc/os-release and /etc/hosts, so
//    that the distribution and the host domain the daemon reports are known;
//  - a private session bus, and Xvfb (optionally with the real MATE screen
//    saver) or a WAYLAND_DISPLAY name;
//  - when asked, a real GNOME Shell or KDE screen locker, with a private
//    system bus whose logind stand-in knows this desktop's session, and a
//    /run/systemd of the sandbox's own, so that loginctl works inside;
//  - a fresh desktop magic, the desktop id file of the display, and a
//    preference file that sends the log to a known file;
//  - at its fixed path, the real desktop task script or one that records
//    its arguments, then runs the probe (Probe.cpp) to report what it
//    inherited;
//  - the reference IPC service with a fresh key pair, checking the token;
//  - more seats when asked: further desktops on the same display and bus,
//    each with its own /var/tarvelo (magic, id file, port), its own
//    service and its own daemon, as on a host of many desktops;
//  - the daemon, started on request with a controlled environment: as root,
//    or the way a desktop user starts it, installed set-user-id to the
//    magic's owner and run by nobody, with a /tmp of its own.
// Files shared with the daemon live in one work directory that both can
// reach: Inside() names a file as the daemon sees it, Host() as the caller
// does. Everything is stopped by pid and removed on destruction, including
// any process the daemon started and left behind. Needs root.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/desktop-sandbox/ChildProcess.h"
#include "tools/desktop-sandbox/IpcService.h"
#include "tools/desktop-sandbox/MarkedProcesses.h"
#include "tools/desktop-sandbox/PrivateSystemDirs.h"
#include "tools/desktop-sandbox/ServiceRequests.h"
#include "tools/desktop-sandbox/SessionBus.h"
#include "tools/desktop-sandbox/SystemBus.h"

namespace sandbox {

using namespace std::chrono_literals;

// The bound of every step; each wait ends as soon as its event happens.
inline constexpr std::chrono::milliseconds kWait = 20s;
inline constexpr uid_t kNobody = 65534;
inline constexpr uid_t kMagicOwner = 990;  // brvcanvas
// Another desktop user of a set-user-id sandbox ("dcvictim"), whose desktop
// the invoking user must not be able to speak for.
inline constexpr uid_t kOtherDesktopUser = 1101;
// The logind session of the desktop (XDG_SESSION_ID).
inline constexpr const char* kSessionId = "sandbox";
inline constexpr const char* kOtherSessionId = "other";

// A real screen locker besides mate-screensaver, which has an option of
// its own. Each runs with the private system bus (SystemBus.h). The
// Wayland ones are the desktop's compositor: its socket is the daemon's
// WAYLAND_DISPLAY in the daemon's XDG_RUNTIME_DIR.
enum class Locker {
    kNone,
    kGnomeShell,  // gnome-shell, headless on Wayland (x11 false), and its screen-saver service
    kKde,         // ksmserver with KDE's screen locker, on Xvfb (x11 true)
    kKwin,        // KWin, headless on Wayland (x11 false), with KDE's screen locker in it
};

struct SandboxOptions {
    // XDG_CURRENT_DESKTOP of the daemon; decides the screen-saver interface.
    std::string currentDesktop = "GNOME";
    // DESKTOP_SESSION of the daemon, when not empty.
    std::string desktopSession{};
    // Xvfb and DISPLAY when true, else WAYLAND_DISPLAY (no display check).
    bool x11 = false;
    // The real mate-screensaver on the bus and the display (needs x11).
    bool mateScreenSaver = false;
    Locker locker = Locker::kNone;
    // logind, a stand-in on a private system bus, which every locker has
    // too: loginctl works inside the sandbox.
    bool logind = false;
    // With logind: it accepts lock (unlock) requests and ignores them.
    bool logindIgnoresLock = false;
    bool logindIgnoresUnlock = false;
    // With logind: it also knows kOtherSessionId, a second graphical session
    // of the same user (on another X display with x11), and the daemon runs
    // without XDG_SESSION_ID, as a desktop started outside logind's sight.
    bool logindOtherSession = false;
    // When set, GNOME's session manager is on the bus, a stand-in that ends
    // the session on Logout unless the mode is in this comma list ("1",
    // "1,2"), as when an application inhibits the logout.
    std::optional<std::string> sessionManagerIgnores{};
    // GNOME's screen saver on the bus, a stand-in that accepts Lock and
    // SetActive and stays inactive.
    bool inactiveScreenSaver = false;
    // With x11, how many seats share one Xvfb before the next seat gets a
    // display of its own; 0 puts them all on the first.
    std::size_t seatsPerDisplay = 0;
    BusPolicy busPolicy = BusPolicy::kOpen;
    // Passed to the service after the standard options.
    std::vector<std::string> serviceArgs{};
    // The user every service runs as; root when unset. Such a service works
    // in a directory of that user's, with copies of the key and the magic,
    // and its port file and public key are copied to the seat.
    std::optional<uid_t> serviceUid{};
    // The owner given to each seat's port file once its service wrote it;
    // the service's user when unset.
    std::optional<uid_t> portFileOwner{};
    // The text of the desktop id file; by default an id unique to the
    // process. The service expects the id as a decimal number.
    std::string desktopId{};
    // The desktop magic; a fresh one when empty.
    std::string magic{};
    // The ID value of the daemon's /etc/os-release; the host's file when empty.
    std::string osReleaseId = "rocky";
    // Installed set-user-id to the magic's owner and started by nobody.
    bool setUserId = false;
    // The owner of the first seat's desktop id file: the desktop user
    // (nobody) in a set-user-id sandbox, root otherwise, when unset.
    std::optional<uid_t> idFileOwner{};
    // With x11: the X server admits only clients with the cookie of the
    // desktop user's X authority file (XAuthorityPath()).
    bool xAuthority = false;
    // The log's file name in the work directory; the default place when empty.
    std::string logFile = "DesktopController.log";
    std::string logLevel = "debug";
    // Extra lines of /etc/tarvelo/config, and the content of the invoking
    // user's own preference files.
    std::string preferences{};
    std::string userPreferences{};
    // Installed as the desktop task script; a recording one when empty.
    std::string taskScript{};
    // With taskScript: it runs behind a wrapper that appends its log lines
    // and then "task <arguments>: exit <status>" to Inside("task-runs"),
    // with taskEnvironment ("NAME=value") added to its own.
    bool recordTaskRuns = false;
    std::vector<std::string> taskEnvironment{};
    // The programs; by default those beside the running program.
    std::string daemonBinary{};
    std::string serviceBinary{};
    std::string probeBinary{};
};

class DesktopSandbox {
  public:
    explicit DesktopSandbox(SandboxOptions options = {});
    ~DesktopSandbox();
    DesktopSandbox(const DesktopSandbox&) = delete;
    DesktopSandbox& operator=(const DesktopSandbox&) = delete;

    SessionBus& Bus() { return *bus_; }
    // The private system bus; only a sandbox with logind or a locker has one.
    SystemBus& System() { return *systemBus_; }
    // The session manager stand-in's calls, "Logout <mode>" a line.
    std::string SessionManagerCalls() const { return layout_.Root() + "/session-manager-calls"; }
    // Empty when that locker can run here, else what is missing.
    static std::string LockerMissing(Locker locker);
    IpcService& Service(std::size_t seat = 0) { return *seats_.at(seat).service; }
    // True when Xvfb is installed; X11 sessions skip otherwise.
    static bool XvfbAvailable();
    const std::string& DesktopId() const { return options_.desktopId; }
    const std::string& Magic() const { return options_.magic; }
    // "DISPLAY=:N" or "WAYLAND_DISPLAY=wayland-0", of the first seat.
    const std::string& DisplayEnv() const { return displayEnv_; }
    std::string MagicPath() const { return layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic"; }
    std::string PortPath() const { return layout_.HostPath("/var/tarvelo") + "/ipc.port"; }
    // Writes the desktop id file of display (":N" or "wayland-N") as the
    // agent does for a desktop of owner.
    void WriteDesktopIdFile(const std::string& display, const std::string& id, uid_t owner);
    // With xAuthority: the desktop user's X authority file, as the daemon
    // sees it.
    static std::string XAuthorityPath() { return Inside("home/.Xauthority"); }

    static std::string Inside(const std::string& name) { return "/var/tarvelo/sandbox/" + name; }
    std::string Host(const std::string& name) const;
    static std::string Probe() { return "/usr/lib/tarvelo/sandbox/probe"; }
    std::string HostProbe() const { return layout_.HostPath("/usr/lib/tarvelo") + "/sandbox/probe"; }
    // The daemon's /tmp in a set-user-id session.
    std::string HostTmp() const { return layout_.Root() + "/tmp"; }
    // The daemon's /dev/shm, private to the sandbox.
    std::string HostShm() const { return layout_.Root() + "/shm"; }

    // The daemon's environment: a desktop session's usual variables, plus
    // extraEnv ("NAME=value", added after the defaults).
    std::vector<std::string> DaemonEnvironment(const std::vector<std::string>& extraEnv = {}) const;
    void StartDaemon(const std::vector<std::string>& env);
    void StartDaemon() { StartDaemon(DaemonEnvironment()); }
    // In a set-user-id sandbox: runs the daemon to its end from a user
    // namespace in which only the magic's owner exists. The kernel still
    // honours the set-user-id bit there, but the real user id the daemon
    // drops to has no mapping, so its setresuid is refused (EINVAL).
    ChildResult RunDaemonWithUnmappedRealUser(const std::vector<std::string>& env);
    // Runs a program built beside the daemon the way the desktop user would
    // run it there: in the daemon's namespace, with env; in a set-user-id
    // sandbox installed beside the set-user-id daemon and run by nobody.
    ChildResult RunBeside(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env);
    // Where a fixed system directory of the daemon's namespace is on the host.
    std::string SystemDir(const std::string& fixedDir) const { return layout_.HostPath(fixedDir); }
    // A fresh service for the first seat: the service serves one connection.
    void RestartService();
    // Starts the daemon and waits for the service to receive DesktopLogged.
    bool StartAndConnect(const std::vector<std::string>& extraEnv = {});
    pid_t DaemonPid(std::size_t seat = 0) const;
    // Readable once that daemon has ended.
    int DaemonExitFd(std::size_t seat) const { return seats_.at(seat).daemon->ExitFd(); }
    // Waits for the daemon to exit; its status and captured output.
    ChildResult FinishDaemon(std::chrono::milliseconds timeout = kWait, std::size_t seat = 0);

    // Adds a seat with its own desktop id and its own /var/tarvelo, whose
    // daemon is daemonBinary (this sandbox's daemon when empty); its index.
    std::size_t AddSeat(const std::string& desktopId, const std::string& daemonBinary = {});
    std::size_t SeatCount() const { return seats_.size(); }
    // Starts the daemon of a seat with the usual environment; its log is
    // SeatHost(seat, logFile).
    void StartSeatDaemon(std::size_t seat);
    std::string SeatHost(std::size_t seat, const std::string& name) const;

    // Waits for the next notification frame of that name; its payload, or
    // empty when none came.
    std::string WaitForNotification(const std::string& notification);

    std::string LogPath() const { return Host(options_.logFile); }
    std::string Log() const;
    // Waits until the log holds text (a plain substring) at least count times.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = kWait,
                    std::size_t count = 1) const;
    std::size_t CountInLog(const std::string& text) const;

    // The argument lines of every run of the recording task script so far.
    std::vector<std::string> TaskCalls() const;
    bool WaitForTaskCalls(std::size_t count, std::chrono::milliseconds timeout = kWait) const;
    // The report the probe wrote to Inside(name).
    std::optional<std::string> WaitForReport(const std::string& name,
                                             std::chrono::milliseconds timeout = kWait);

    // Live processes that descend from the daemon (they carry its marker
    // variable), the daemon itself included while it runs.
    std::vector<pid_t> DaemonProcesses() const;
    // Live processes carrying the marks of any sandbox this process has
    // built, whether or not its construction completed: its daemons, its
    // lockers and whatever descends from them. Once those sandboxes are
    // gone, none may be left.
    static std::vector<pid_t> LeftBehind();

  private:
    struct Seat {
        std::string desktopId;
        std::string varDir;  // its /var/tarvelo
        std::string daemonBinary;
        std::string displayEnv;
        std::unique_ptr<IpcService> service{};
        std::unique_ptr<ChildProcess> daemon{};
    };

    std::string StartXvfb();
    std::string WriteXAuthority();
    std::string NextSeatDisplay();
    void StartMateScreenSaver();
    void StartLogind();
    void StartLocker();
    void StartStandInsOnSessionBus();
    // Carried by the lockers and whatever they start.
    static constexpr const char* kLockerMarker = "DC_SANDBOX_LOCKER";
    // Live processes whose environment holds marker=<this sandbox's root>.
    std::vector<pid_t> MarkedProcesses(const std::string& marker) const;
    std::vector<std::string> LockerEnvironment(const std::string& desktop,
                                               const std::string& runtimeDir) const;
    std::string CompositorRuntimeDir() const;
    void StartGnomeShell();
    void StartKwin();
    std::vector<std::string> InUserUnit(const std::string& unit, const std::vector<std::string>& argv) const;
    void StartLockerProcess(std::vector<std::string> argv, std::vector<std::string> env,
                            const std::string& busName);
    void WriteRecordingWrapper(const std::string& path, const std::string& script);
    void WriteFiles();
    void WriteTaskScript();
    void BindHostFiles();
    void InstallSetUserId();
    void WriteSeatFiles(const Seat& seat);
    void StartService(Seat& seat);

    SandboxOptions options_;
    SystemDirsLayout layout_;
    // Before everything that starts processes, so that it ends what they
    // left behind after they are gone, on every path.
    MarkedProcessesGuard leftovers_;
    std::vector<std::unique_ptr<ChildProcess>> xvfbs_;
    std::unique_ptr<SessionBus> bus_;
    std::unique_ptr<ChildProcess> screenSaver_;
    std::unique_ptr<SystemBus> systemBus_;
    std::vector<std::unique_ptr<ChildProcess>> lockers_;
    std::vector<std::unique_ptr<ChildProcess>> sessionBusStandIns_;
    std::string keyPath_;
    std::vector<Seat> seats_;
    std::string displayEnv_;
};

// A program built or installed beside the running one.
std::string BuiltBinary(const std::string& name);
// Re-checks done every 20 ms until it holds; false when the timeout passes
// first. Files, logs and /proc give no event to wait on cheaply.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kWait);
std::size_t Occurrences(const std::string& text, const std::string& needle);

}  // namespace sandbox
