#include "tests/support/DesktopSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tests/support/FileWatch.h"

namespace fs = std::filesystem;

namespace dctest {
namespace {

constexpr const char* kTaskScriptDir = "/nordagent/desktop";
constexpr const char* kMarkerName = "DC_E2E_SESSION";

std::string RandomHex(std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device source;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[source() % 16];
    }
    return text;
}

std::string HostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

void WriteText(const std::string& path, const std::string& text, fs::perms mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
    fs::permissions(path, mode);
}

std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

std::string BuiltBinary(const std::string& name) {
    const char* dir = std::getenv("DC_BUILD_DIR");
    if (dir == nullptr) {
        throw std::runtime_error("DC_BUILD_DIR is not set");
    }
    return std::string(dir) + "/bin/" + name;
}

DesktopSession::DesktopSession(DesktopSessionOptions options) : options_(std::move(options)) {
    // Unique among concurrently running tests, and a valid client id.
    desktopId_ = std::to_string(10000 + getpid() % 50000);
    magic_ = RandomHex(40);
    for (const char* dir : {"/home", "/runtime", "/log", "/scratch"}) {
        fs::create_directories(layout_.Root() + dir);
        fs::permissions(layout_.Root() + dir, fs::perms::all);
    }
    if (options_.x11) {
        xvfb_ = std::make_unique<XvfbServer>();
        displayEnv_ = "DISPLAY=" + xvfb_->Display();
    } else {
        displayEnv_ = "WAYLAND_DISPLAY=wayland-0";
    }
    bus_ = std::make_unique<SessionBus>(options_.busPolicy);
    WriteIdentity();
    WriteHostFiles();
    InstallTaskScript();
    if (options_.startService) {
        IpcServiceOptions serviceOptions{.dir = layout_.HostPath("/var/tarvelo"),
                                         .magicFile = MagicPath(),
                                         .clientId = std::stoll(desktopId_),
                                         .extraArgs = options_.serviceArgs};
        service_ = std::make_unique<IpcService>(BuiltBinary("ipc-service"), serviceOptions);
        fs::copy_file(layout_.HostPath("/var/tarvelo") + "/rui.pub",
                      layout_.HostPath("/usr/share/tarvelo") + "/rui.pub",
                      fs::copy_options::overwrite_existing);
    }
}

DesktopSession::~DesktopSession() {
    StopLeftovers();
}

void DesktopSession::StopLeftovers() {
    daemon_.reset();
    for (pid_t pid : DaemonProcesses()) {
        kill(pid, SIGKILL);
    }
    service_.reset();
}

void DesktopSession::WriteIdentity() {
    const std::string state = layout_.HostPath("/var/tarvelo");
    WriteText(MagicPath(), magic_, fs::perms::owner_read | fs::perms::owner_write);
    std::string display = displayEnv_.substr(displayEnv_.find('=') + 1);
    std::string displayPart = display.starts_with("wayland-") ? display.substr(8) : display.substr(1);
    WriteText(
        state + "/brv_desktop/brv_desktopid." + displayPart, "DESKTOPID=" + desktopId_ + "\n",
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    WriteText(
        layout_.HostPath("/etc/tarvelo") + "/config",
        "DesktopController.log.filename = \"" + LogPath() +
            "\"\n"
            "DesktopController.log.logLevel = \"debug\"\n",
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

void DesktopSession::WriteHostFiles() {
    const fs::perms readable =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
    std::string osRelease = Scratch("os-release");
    WriteText(osRelease, "NAME=\"E2E Linux\"\nVERSION_ID=\"9.4\"\nID=\"" + options_.osReleaseId + "\"\n",
              readable);
    layout_.AddBind(osRelease, "/etc/os-release");
    std::string host = HostName();
    std::string hosts = Scratch("hosts");
    WriteText(hosts,
              "127.0.0.1 localhost\n127.0.1.1 " + host + "." + options_.hostDomain + " " + host +
                  "\n::1 localhost\n",
              readable);
    layout_.AddBind(hosts, "/etc/hosts");
}

void DesktopSession::InstallTaskScript() {
    std::string script = layout_.HostPath("/usr/lib/tarvelo") + kTaskScriptDir + "/desktopCTask.sh";
    WriteText(script,
              "#!/bin/sh\n"
              "# Records the arguments of each run, one run per line.\n"
              "printf '%s\\n' \"$*\" >> " +
                  Scratch("task-calls") + "\n",
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                  fs::perms::others_exec);
}

IpcService& DesktopSession::Service() {
    if (!service_) {
        throw std::logic_error("this session has no IPC service");
    }
    return *service_;
}

std::string DesktopSession::Scratch(const std::string& name) const {
    return layout_.Root() + "/scratch/" + name;
}

std::string DesktopSession::MagicPath() const {
    return layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic";
}

std::vector<std::string> DesktopSession::DaemonEnvironment(const std::vector<std::string>& extraEnv) const {
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME=" + layout_.Root() + "/home",
        "USER=e2e-user",
        "LANG=C.UTF-8",
        "XDG_RUNTIME_DIR=" + layout_.Root() + "/runtime",
        "XDG_SESSION_ID=e2e",
        "XDG_CURRENT_DESKTOP=" + options_.currentDesktop,
        "DBUS_SESSION_BUS_ADDRESS=" + bus_->Address(),
        displayEnv_,
        std::string(kMarkerName) + "=" + layout_.Root(),
    };
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return env;
}

void DesktopSession::StartDaemon(const std::vector<std::string>& env) {
    daemon_ = std::make_unique<ChildProcess>(
        ChildCommand{.argv = {BuiltBinary("DesktopController")}, .env = env, .layout = &layout_});
}

pid_t DesktopSession::DaemonPid() const {
    return daemon_ ? daemon_->Pid() : -1;
}

ChildResult DesktopSession::FinishDaemon(std::chrono::milliseconds timeout) {
    if (!daemon_) {
        throw std::logic_error("the daemon was not started");
    }
    return daemon_->Finish(timeout);
}

std::string DesktopSession::LogPath() const {
    return layout_.Root() + "/log/DesktopController.log";
}

std::string DesktopSession::Log() const {
    return ReadFileText(LogPath());
}

bool DesktopSession::WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                                std::size_t count) const {
    return WaitForFile(
        LogPath(), [&](const std::string& log) { return Occurrences(log, text) >= count; }, timeout);
}

std::size_t DesktopSession::CountInLog(const std::string& text) const {
    return Occurrences(Log(), text);
}

std::vector<std::string> DesktopSession::TaskCalls() const {
    std::istringstream text(ReadFileText(Scratch("task-calls")));
    std::vector<std::string> calls;
    for (std::string line; std::getline(text, line);) {
        calls.push_back(line);
    }
    return calls;
}

bool DesktopSession::WaitForTaskCalls(std::size_t count, std::chrono::milliseconds timeout) const {
    return WaitForFile(
        Scratch("task-calls"), [&](const std::string& text) { return Occurrences(text, "\n") >= count; },
        timeout);
}

std::vector<pid_t> DesktopSession::DaemonProcesses() const {
    return ProcessesWithEnvEntry(std::string(kMarkerName) + "=" + layout_.Root());
}

}  // namespace dctest
