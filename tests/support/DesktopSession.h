// A complete, private desktop for end-to-end tests of the DesktopController
// binary, in one object:
//  - temp stand-ins for the fixed system directories, bound over them in a
//    private mount namespace that only the daemon enters, plus a fixed
//    /etc/os-release and /etc/hosts there so that the distribution and the
//    host domain the daemon reports are known;
//  - a private session bus, and Xvfb or a WAYLAND_DISPLAY name;
//  - a fresh desktop magic, the desktop id file of the display, and a
//    preference file that sends the log (level debug) into the temp tree;
//  - a desktop task script at its fixed path that records its arguments;
//  - the reference IPC service with a fresh key pair, checking the token;
//  - the daemon, started on request with a controlled environment.
// Everything is stopped by pid and removed on destruction, including any
// process the daemon started and left behind.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/IpcService.h"
#include "tests/support/PrivateSystemDirs.h"
#include "tests/support/SessionBus.h"
#include "tests/support/Xvfb.h"

namespace dctest {

struct DesktopSessionOptions {
    // XDG_CURRENT_DESKTOP of the daemon; decides the screen-saver interface.
    std::string currentDesktop = "GNOME";
    // Xvfb and DISPLAY when true, else WAYLAND_DISPLAY (no display check).
    bool x11 = false;
    BusPolicy busPolicy = BusPolicy::kOpen;
    bool startService = true;
    // Passed to the service after the standard options.
    std::vector<std::string> serviceArgs{};
    // The ID line of the daemon's /etc/os-release.
    std::string osReleaseId = "rocky";
    // The domain part of the host's official name in the daemon's /etc/hosts.
    std::string hostDomain = "desk.e2e.test";
};

class DesktopSession {
  public:
    explicit DesktopSession(DesktopSessionOptions options = {});
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    SystemDirsLayout& Layout() { return layout_; }
    SessionBus& Bus() { return *bus_; }
    // Throws std::logic_error when the session was made without a service.
    IpcService& Service();
    const std::string& DesktopId() const { return desktopId_; }
    const std::string& Magic() const { return magic_; }
    // A path for the test's own files, removed with the session.
    std::string Scratch(const std::string& name) const;

    // The daemon's environment: a desktop session's usual variables, plus
    // extraEnv ("NAME=value", added after the defaults).
    std::vector<std::string> DaemonEnvironment(const std::vector<std::string>& extraEnv = {}) const;
    // Starts the daemon in the private namespace with exactly env.
    void StartDaemon(const std::vector<std::string>& env);
    void StartDaemon() { StartDaemon(DaemonEnvironment()); }
    pid_t DaemonPid() const;
    // Waits for the daemon to exit; its status and captured output.
    ChildResult FinishDaemon(std::chrono::milliseconds timeout);

    std::string LogPath() const;
    std::string Log() const;
    // Waits until the log holds text (a plain substring) at least count times.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout, std::size_t count = 1) const;
    std::size_t CountInLog(const std::string& text) const;

    // The argument lines of every run of the task script so far.
    std::vector<std::string> TaskCalls() const;
    bool WaitForTaskCalls(std::size_t count, std::chrono::milliseconds timeout) const;

    // Live processes that descend from the daemon (they carry its marker
    // variable), the daemon itself included while it runs.
    std::vector<pid_t> DaemonProcesses() const;

    // The host-side path of the desktop magic file, for tests that change it.
    std::string MagicPath() const;

  private:
    void WriteIdentity();
    void WriteHostFiles();
    void InstallTaskScript();
    void StopLeftovers();

    DesktopSessionOptions options_;
    SystemDirsLayout layout_;
    std::unique_ptr<XvfbServer> xvfb_;
    std::unique_ptr<SessionBus> bus_;
    std::unique_ptr<IpcService> service_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string desktopId_;
    std::string magic_;
    std::string displayEnv_;
};

// The build's binaries, from DC_BUILD_DIR.
std::string BuiltBinary(const std::string& name);

}  // namespace dctest
