// A complete DesktopController session for the security tests: the daemon
// installed set-user-id to the magic's owner and started by an ordinary
// user (nobody), inside a private mount namespace whose fixed directories
// are temp stand-ins, connected to the reference IPC service. The session
// also provides a probe program that reports what a child inherited, and a
// stand-in desktop task script that runs the probe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/src/ipc/ServiceHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateSystemDirs.h"

namespace sectest {

using namespace std::chrono_literals;

inline const std::string kMagic = "Qm7#vT2pL9xW4zR8kN1cY6bH3jF5sD0gA!e%u*oZ";
inline constexpr uid_t kNobody = 65534;
inline constexpr uid_t kMagicOwner = 990;
inline constexpr int kDesktopId = 5;

struct SessionOptions {
    std::vector<std::string> env;  // daemon environment, ahead of the defaults
    std::string hostPreferences;   // extra lines of /etc/tarvelo/config
    std::string userPreferences;   // the invoking user's ~/.tarvelo files
    bool configureLogFile = true;  // else the log goes to its default place
    std::string osRelease;         // bound over /etc/os-release when set
    bool allowCores = false;       // raise the core limit of the daemon
};

class DaemonSession {
  public:
    // Starts the service and the daemon and waits for the DesktopLogged
    // notification; throws std::runtime_error when that does not come.
    explicit DaemonSession(const SessionOptions& options = {});
    ~DaemonSession();
    DaemonSession(const DaemonSession&) = delete;
    DaemonSession& operator=(const DaemonSession&) = delete;

    pid_t Pid() const { return daemon_->Pid(); }
    dctest::SystemDirsLayout& Layout() { return layout_; }
    ipctest::ServiceProcess& Service() { return *service_; }
    std::string Token() const;

    // Every file the test shares with the daemon lives below a fixed
    // directory: Inside() is its path in the daemon's namespace, Host() the
    // same file as the test sees it. /tmp is private to the namespace.
    static std::string Inside(const std::string& name) { return "/var/tarvelo/sectest/" + name; }
    std::string Host(const std::string& name) const;
    static std::string Probe() { return "/usr/lib/tarvelo/sectest/probe"; }
    std::string HostProbe() const;
    const std::string& HostTmp() const { return tmp_; }
    std::string HostLogPath() const;
    std::string Log() const;

    void Send(const std::string& xml);
    // Waits for the probe report of that name in the work directory.
    std::optional<std::string> WaitForReport(const std::string& name,
                                             std::chrono::milliseconds timeout = 15s);
    // Lets the service close the connection and waits for the daemon.
    dctest::ChildResult Close();

  private:
    void PrepareFiles(const SessionOptions& options);
    void StartDaemon(const SessionOptions& options);

    dctest::SystemDirsLayout layout_;
    std::unique_ptr<ipctest::ServiceProcess> service_;
    std::unique_ptr<dctest::ChildProcess> daemon_;
    std::string tmp_;
};

// A StartProcess request as the service sends it (texts XML-escaped).
std::string StartRequest(const std::string& name, const std::string& path,
                         const std::vector<std::string>& params, const std::string& stdinText = "",
                         bool isApp = false);
// A request without content, e.g. "LockScreen".
std::string TaskRequest(const std::string& name);

// How often needle occurs in the readable memory of the process.
size_t CountInMemory(pid_t pid, const std::string& needle);

std::string ReadText(const std::string& path);
// The lines of a probe report that start with prefix, prefix removed.
std::vector<std::string> ReportLines(const std::string& report, const std::string& prefix);

}  // namespace sectest
