// A complete, private desktop for end-to-end tests of the DesktopController
// binary, in one object:
//  - temp stand-ins for the fixed system directories, bound over them in a
//    private mount namespace that only the daemon enters, plus a fixed
//    /etc/os-release and /etc/hosts there, so that the distribution and the
//    host domain the daemon reports are known;
//  - a private session bus, and Xvfb or a WAYLAND_DISPLAY name;
//  - the desktop magic, the desktop id file of the display, and a
//    preference file that sends the log (level debug by default) to a
//    known file;
//  - a desktop task script at its fixed path that records its arguments,
//    then runs the probe (Probe.cpp) to report what it inherited;
//  - the reference IPC service with a fresh key pair, checking the token;
//  - a private /dev/shm for the daemon's named semaphores;
//  - the daemon, started on request with a controlled environment: as root,
//    or the way a desktop user starts it, installed set-user-id to the
//    magic's owner and run by nobody, with a /tmp of its own.
// Files the test shares with the daemon live in one work directory that
// both can reach: Inside() names a file as the daemon sees it, Host() as
// the test does. Everything is stopped by pid and removed on destruction,
// including any process the daemon started and left behind.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateSystemDirs.h"
#include "tests/support/SessionBus.h"

namespace dctest {

using namespace std::chrono_literals;

// Generous: every wait ends as soon as its event happens.
inline constexpr std::chrono::milliseconds kWait = 20s;
// Shell and markup characters in the secret, so that no escaping step can
// go unnoticed.
inline const std::string kMagic = "Qm7#vT2pL9xW4zR8kN1cY6bH3jF5sD0gA!e%u*oZ";
inline constexpr uid_t kNobody = 65534;
inline constexpr uid_t kMagicOwner = 990;  // brvcanvas

// The reference IPC service (tools/ipc-service) as a test peer: driven
// through its command input, read line by line from its event output.
class IpcService {
  public:
    // Starts the service (argv[0] the binary, its standard error going to
    // errPath) and waits until it listens; throws when it does not.
    IpcService(const std::vector<std::string>& argv, std::string errPath);

    // Consumes lines until one matches pattern (searched anywhere in the
    // line) and returns it; nothing when the timeout passes or the service
    // ends first. Every line read is kept in Transcript().
    std::optional<std::string> WaitForLine(const std::string& pattern, std::chrono::milliseconds timeout);
    const std::vector<std::string>& Transcript() const { return transcript_; }

    // Sends text as one data frame; text must not contain a line feed.
    void Send(const std::string& text);
    // Sends a file's content as one data frame.
    void SendFile(const std::string& path) { child_.Write("sendfile " + path + "\n"); }
    // Asks the service to close the connection and exit.
    void Close() { child_.Write("close\n"); }
    // Waits for the service to exit (after Close or on its own); err holds
    // what it wrote on standard error.
    ChildResult Finish(std::chrono::milliseconds timeout);

    // The payload of a RECV line, its \xNN escapes decoded.
    static std::string PayloadOf(const std::string& recvLine);

  private:
    std::string errPath_;
    ChildProcess child_;
    std::vector<std::string> transcript_;
};

struct DesktopSessionOptions {
    // XDG_CURRENT_DESKTOP of the daemon; decides the screen-saver interface.
    std::string currentDesktop = "GNOME";
    // Xvfb and DISPLAY when true, else WAYLAND_DISPLAY (no display check).
    bool x11 = false;
    BusPolicy busPolicy = BusPolicy::kOpen;
    // Passed to the service after the standard options.
    std::vector<std::string> serviceArgs{};
    // The text of the desktop id file; by default an id unique to the test
    // process. The service expects the id as a decimal number.
    std::string desktopId{};
    // The ID value of the daemon's /etc/os-release.
    std::string osReleaseId = "rocky";
    // Installed set-user-id to the magic's owner and started by nobody.
    bool setUserId = false;
    // When false, the log goes to its default place.
    bool logFile = true;
    std::string logLevel = "debug";
    // Extra lines of /etc/tarvelo/config, and the content of the invoking
    // user's own preference files.
    std::string preferences{};
    std::string userPreferences{};
};

class DesktopSession {
  public:
    explicit DesktopSession(DesktopSessionOptions options = {});
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    SessionBus& Bus() { return *bus_; }
    IpcService& Service() { return *service_; }
    // True when Xvfb is installed; X11 sessions skip otherwise.
    static bool XvfbAvailable();
    const std::string& DesktopId() const { return options_.desktopId; }
    std::string MagicPath() const { return layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic"; }

    static std::string Inside(const std::string& name) { return "/var/tarvelo/e2e/" + name; }
    std::string Host(const std::string& name) const;
    static std::string Probe() { return "/usr/lib/tarvelo/e2e/probe"; }
    std::string HostProbe() const { return layout_.HostPath("/usr/lib/tarvelo") + "/e2e/probe"; }
    // The daemon's /tmp in a set-user-id session.
    std::string HostTmp() const { return layout_.Root() + "/tmp"; }
    // The daemon's /dev/shm, private to the session.
    std::string HostShm() const { return layout_.Root() + "/shm"; }

    // The daemon's environment: a desktop session's usual variables, plus
    // extraEnv ("NAME=value", added after the defaults).
    std::vector<std::string> DaemonEnvironment(const std::vector<std::string>& extraEnv = {}) const;
    void StartDaemon(const std::vector<std::string>& env);
    void StartDaemon() { StartDaemon(DaemonEnvironment()); }
    // Starts the daemon and waits for the service to receive DesktopLogged.
    bool StartAndConnect(const std::vector<std::string>& extraEnv = {});
    pid_t DaemonPid() const { return daemon_ ? daemon_->Pid() : -1; }
    // Waits for the daemon to exit; its status and captured output.
    ChildResult FinishDaemon(std::chrono::milliseconds timeout = kWait);

    // Waits for the next notification frame of that name; its payload, or
    // empty when none came.
    std::string WaitForNotification(const std::string& notification);

    std::string LogPath() const { return Host("DesktopController.log"); }
    std::string Log() const;
    // Waits until the log holds text (a plain substring) at least count times.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = kWait,
                    std::size_t count = 1) const;
    std::size_t CountInLog(const std::string& text) const;

    // The argument lines of every run of the task script so far.
    std::vector<std::string> TaskCalls() const;
    bool WaitForTaskCalls(std::size_t count) const;
    // The report the probe wrote to Inside(name).
    std::optional<std::string> WaitForReport(const std::string& name,
                                             std::chrono::milliseconds timeout = kWait);

    // Live processes that descend from the daemon (they carry its marker
    // variable), the daemon itself included while it runs.
    std::vector<pid_t> DaemonProcesses() const;

  private:
    void WriteFiles();
    void InstallSetUserId();

    DesktopSessionOptions options_;
    SystemDirsLayout layout_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<SessionBus> bus_;
    std::unique_ptr<IpcService> service_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string displayEnv_;
};

// The build's binaries, from DC_BUILD_DIR.
std::string BuiltBinary(const std::string& name);
// The token the daemon presents: SHA-256 of the desktop id text and the
// magic, its first 20 bytes in lower-case hex.
std::string IpcToken(const std::string& desktopIdText, const std::string& magic = kMagic);
// Re-checks done every 20 ms until it holds; false when the timeout passes
// first. Files, logs and /proc give no event a test could wait on cheaply.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kWait);
std::size_t Occurrences(const std::string& text, const std::string& needle);

// Requests as the agent's service sends them, texts XML-escaped.
inline const std::string kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
struct StartRequest {
    std::string name{};
    std::string path{};
    std::vector<std::string> params{};
    std::optional<std::string> stdinText{};
    std::optional<std::string> connectionId{};
    std::optional<std::string> isApp{};
};
std::string StartProcessXml(const StartRequest& request);
std::string StopProcessXml(const std::string& name, const std::string& connectionId);
std::string TaskXml(const std::string& requestName);
// The expected frame of a lock-state change.
std::string DesktopLockedXml(bool locked);

}  // namespace dctest
