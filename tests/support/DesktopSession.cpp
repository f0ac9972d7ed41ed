#include "tests/support/DesktopSession.h"

#include <openssl/evp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace dctest {
namespace {

constexpr const char* kMarkerName = "DC_E2E_SESSION";
constexpr const char* kTaskScript = "/nordagent/desktop/desktopCTask.sh";
constexpr const char* kXvfb = "/usr/bin/Xvfb";

void Own(const std::string& path, uid_t uid) {
    if (chown(path.c_str(), uid, uid) != 0) {
        throw std::runtime_error("chown failed for " + path);
    }
}

std::string HostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

std::string XmlEscape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c == '&'   ? "&amp;"
                   : c == '<' ? "&lt;"
                   : c == '>' ? "&gt;"
                   : c == '"' ? "&quot;"
                              : std::string(1, c);
    }
    return escaped;
}

std::string Element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + XmlEscape(text) + "</" + name + ">";
}

bool HasEntry(const std::string& nulSeparated, const std::string& entry) {
    const std::string padded = '\0' + nulSeparated;
    return padded.find('\0' + entry + '\0') != std::string::npos;
}

}  // namespace

std::string BuiltBinary(const std::string& name) {
    const char* dir = std::getenv("DC_BUILD_DIR");
    if (dir == nullptr) {
        throw std::runtime_error("DC_BUILD_DIR is not set");
    }
    return std::string(dir) + "/bin/" + name;
}

std::string IpcToken(const std::string& desktopIdText, const std::string& magic) {
    const std::string text = desktopIdText + magic;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (int i = 0; i < 20; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

DesktopSession::DesktopSession(DesktopSessionOptions options) : options_(std::move(options)) {
    if (options_.desktopId.empty()) {
        // Unique among concurrently running tests, and a valid client id.
        options_.desktopId = std::to_string(10000 + getpid() % 50000);
    }
    if (options_.x11) {
        // Xvfb picks a free display itself and reports its number.
        xvfb_ = std::make_unique<ChildProcess>(
            ChildCommand{.argv = {kXvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                         .env = {"PATH=/usr/bin:/bin"},
                         .errFile = "/dev/null"});
        std::optional<std::string> number = xvfb_->ReadLine(10s);
        if (!number || number->empty()) {
            throw std::runtime_error("Xvfb did not report a display");
        }
        displayEnv_ = "DISPLAY=:" + *number;
    } else {
        displayEnv_ = "WAYLAND_DISPLAY=wayland-0";
    }
    bus_ = std::make_unique<SessionBus>(options_.busPolicy);
    WriteFiles();
    if (options_.setUserId) {
        InstallSetUserId();
    }
    std::vector<std::string> serviceArgv = {BuiltBinary("ipc-service"),
                                            "--dir",
                                            layout_.HostPath("/var/tarvelo"),
                                            "--commands",
                                            "--print-limit",
                                            "16777216",
                                            "--desktop-magic-file",
                                            MagicPath(),
                                            "--client-id",
                                            std::to_string(std::stoll(options_.desktopId))};
    serviceArgv.insert(serviceArgv.end(), options_.serviceArgs.begin(), options_.serviceArgs.end());
    service_ =
        std::make_unique<IpcService>(serviceArgv, layout_.HostPath("/var/tarvelo") + "/ipc-service.err");
    fs::copy_file(layout_.HostPath("/var/tarvelo") + "/rui.pub",
                  layout_.HostPath("/usr/share/tarvelo") + "/rui.pub");
}

DesktopSession::~DesktopSession() {
    daemon_.reset();
    for (pid_t pid : DaemonProcesses()) {
        kill(pid, SIGKILL);
    }
    if (xvfb_) {
        xvfb_->Stop(SIGTERM);  // so that it removes its socket and lock file
    }
}

bool DesktopSession::XvfbAvailable() {
    return access(kXvfb, X_OK) == 0;
}

void DesktopSession::WriteFiles() {
    TempDir::WriteAt(MagicPath(), kMagic, 0600);
    std::string display = displayEnv_.substr(displayEnv_.find('=') + 1);
    std::string displayPart = display.starts_with("wayland-") ? display.substr(8) : display.substr(1);
    TempDir::WriteAt(layout_.HostPath("/var/tarvelo") + "/brv_desktop/brv_desktopid." + displayPart,
                     "DESKTOPID=" + options_.desktopId + "\n");
    std::string config =
        "DesktopController.log.logLevel = \"" + options_.logLevel + "\"\n" + options_.preferences;
    if (options_.logFile) {
        config += "DesktopController.log.filename = \"" + Inside("DesktopController.log") + "\"\n";
    }
    TempDir::WriteAt(layout_.HostPath("/etc/tarvelo") + "/config", config);

    // The work directory, open to the daemon whoever it runs as.
    for (const char* dir : {"", "home/.tarvelo", "runtime"}) {
        fs::create_directories(Host(dir));
        fs::permissions(Host(dir), fs::perms::all);
    }
    for (const char* file : {"home/.tarvelo/config", "home/.tarvelo/preferences"}) {
        TempDir::WriteAt(Host(file), options_.userPreferences);
    }
    fs::create_directories(fs::path(HostProbe()).parent_path());
    fs::copy_file(BuiltBinary("dc_test_probe"), HostProbe());
    TempDir::WriteAt(layout_.HostPath("/usr/lib/tarvelo") + kTaskScript,
                     "#!/bin/sh\n"
                     "# Records the arguments of each run, one run per line, then reports.\n"
                     "printf '%s\\n' \"$*\" >> " +
                         Inside("task-calls") + "\nexec " + Probe() + " " + Inside("task-$2") + " \"$@\"\n",
                     0755);

    std::string osRelease =
        TempDir::WriteAt(layout_.Root() + "/os-release",
                         "NAME=\"E2E Linux\"\nVERSION_ID=\"9.4\"\nID=\"" + options_.osReleaseId + "\"\n");
    layout_.AddBind(osRelease, "/etc/os-release");
    std::string host = HostName();
    std::string hosts =
        TempDir::WriteAt(layout_.Root() + "/hosts", "127.0.0.1 localhost\n127.0.1.1 " + host +
                                                        ".desk.e2e.test " + host + "\n::1 localhost\n");
    layout_.AddBind(hosts, "/etc/hosts");
    // The daemon's named semaphores stay out of the host's /dev/shm, and it
    // sees no names but those of this session's daemons.
    fs::create_directories(HostShm());
    fs::permissions(HostShm(), fs::perms(01777));
    layout_.AddBind(HostShm(), "/dev/shm");
}

void DesktopSession::InstallSetUserId() {
    std::string binary = layout_.HostPath("/usr/lib/tarvelo") + "/e2e/DesktopController";
    fs::copy_file(BuiltBinary("DesktopController"), binary);
    Own(binary, kMagicOwner);
    fs::permissions(binary, fs::perms(04755));
    Own(MagicPath(), kMagicOwner);
    std::string passwd = layout_.Root() + "/passwd";
    fs::copy_file("/etc/passwd", passwd);
    TempDir::WriteAt(passwd, ReadFile(passwd) + "brvcanvas:x:990:990::/nonexistent:/usr/sbin/nologin\n");
    layout_.AddBind(passwd, "/etc/passwd");
    for (const char* path : {"home", "home/.tarvelo", "home/.tarvelo/config", "home/.tarvelo/preferences"}) {
        Own(Host(path), kNobody);
    }
    fs::create_directories(HostTmp());
    fs::permissions(HostTmp(), fs::perms(01777));
    layout_.AddBind(HostTmp(), "/tmp");
}

std::string DesktopSession::Host(const std::string& name) const {
    return layout_.HostPath("/var/tarvelo") + "/e2e/" + name;
}

std::vector<std::string> DesktopSession::DaemonEnvironment(const std::vector<std::string>& extraEnv) const {
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME=" + Inside("home"),
        options_.setUserId ? "USER=nobody" : "USER=e2e-user",
        "LANG=C.UTF-8",
        "XDG_RUNTIME_DIR=" + Inside("runtime"),
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
    if (!options_.setUserId) {
        daemon_ = std::make_unique<ChildProcess>(
            ChildCommand{.argv = {BuiltBinary("DesktopController")}, .env = env, .layout = &layout_});
        return;
    }
    std::vector<std::string> envTexts = env;
    for (std::string& entry : SanitizerEnvironment()) {
        envTexts.push_back(std::move(entry));
    }
    std::vector<char*> envp;
    for (std::string& entry : envTexts) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    static char binary[] = "/usr/lib/tarvelo/e2e/DesktopController";
    char* argv[] = {binary, nullptr};
    const std::string workDir = Inside("");
    // Runs in the forked child after the namespace and the switch to nobody:
    // only system calls. Cores are allowed, so that only the daemon itself
    // can be what keeps one from landing in its working directory.
    auto body = [&] {
        if (chdir(workDir.c_str()) != 0) {
            return kChildSetupFailed;
        }
        rlimit limit{};
        getrlimit(RLIMIT_CORE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_CORE, &limit);
        execve(binary, argv, envp.data());
        return kChildExecFailed;
    };
    daemon_ = std::make_unique<ChildProcess>(ChildCommand{.uid = kNobody, .gid = kNobody, .layout = &layout_},
                                             body);
}

bool DesktopSession::StartAndConnect(const std::vector<std::string>& extraEnv) {
    StartDaemon(DaemonEnvironment(extraEnv));
    return !WaitForNotification("DesktopLogged").empty();
}

ChildResult DesktopSession::FinishDaemon(std::chrono::milliseconds timeout) {
    if (!daemon_) {
        throw std::logic_error("the daemon was not started");
    }
    return daemon_->Finish(timeout);
}

std::string DesktopSession::WaitForNotification(const std::string& notification) {
    std::optional<std::string> line =
        Service().WaitForLine("RECV type=4 .*<Notify name=\"" + notification + "\">", kWait);
    return line ? IpcService::PayloadOf(*line) : std::string();
}

std::string DesktopSession::Log() const {
    return ReadFile(LogPath());
}

bool DesktopSession::WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                                std::size_t count) const {
    return WaitUntil([&] { return CountInLog(text) >= count; }, timeout);
}

std::size_t DesktopSession::CountInLog(const std::string& text) const {
    return Occurrences(Log(), text);
}

std::vector<std::string> DesktopSession::TaskCalls() const {
    std::istringstream text(ReadFile(Host("task-calls")));
    std::vector<std::string> calls;
    for (std::string line; std::getline(text, line);) {
        calls.push_back(line);
    }
    return calls;
}

bool DesktopSession::WaitForTaskCalls(std::size_t count) const {
    return WaitUntil([&] { return TaskCalls().size() >= count; });
}

std::optional<std::string> DesktopSession::WaitForReport(const std::string& name,
                                                         std::chrono::milliseconds timeout) {
    // The probe renames a finished report into place: present means whole.
    if (!WaitUntil([&] { return !ReadFile(Host(name)).empty(); }, timeout)) {
        return std::nullopt;
    }
    return ReadFile(Host(name));
}

std::vector<pid_t> DesktopSession::DaemonProcesses() const {
    const std::string entry = std::string(kMarkerName) + "=" + layout_.Root();
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& proc : fs::directory_iterator("/proc", error)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(proc.path().filename().c_str()));
        if (pid > 0 && pid != getpid() && HasEntry(ReadFile(proc.path().string() + "/environ"), entry)) {
            pids.push_back(pid);
        }
    }
    return pids;
}

IpcService::IpcService(const std::vector<std::string>& argv, std::string errPath)
    : errPath_(std::move(errPath)), child_({.argv = argv, .inputPipe = true, .errFile = errPath_}) {
    if (!WaitForLine("^LISTENING ", std::chrono::seconds(10))) {
        throw std::runtime_error("ipc-service did not listen: " + ReadFile(errPath_));
    }
}

std::optional<std::string> IpcService::WaitForLine(const std::string& pattern,
                                                   std::chrono::milliseconds timeout) {
    const std::regex expression(pattern);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::optional<std::string> line =
               child_.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now()))) {
        transcript_.push_back(*line);
        if (std::regex_search(*line, expression)) {
            return line;
        }
    }
    return std::nullopt;
}

void IpcService::Send(const std::string& text) {
    if (text.find('\n') != std::string::npos) {
        throw std::invalid_argument("a send command holds one line; use SendFile");
    }
    child_.Write("send " + text + "\n");
}

ChildResult IpcService::Finish(std::chrono::milliseconds timeout) {
    // Whatever it still reports must not fill the pipe it would block on.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    WaitForLine("$^", timeout);
    ChildResult result = child_.Finish(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero())));
    result.err = ReadFile(errPath_);
    return result;
}

std::string IpcService::PayloadOf(const std::string& recvLine) {
    const std::string marker = " payload=";
    std::size_t start = recvLine.find(marker);
    if (start == std::string::npos) {
        return {};
    }
    std::string payload;
    for (std::size_t i = start + marker.size(); i < recvLine.size(); ++i) {
        if (recvLine[i] == '\\' && i + 3 < recvLine.size() && recvLine[i + 1] == 'x') {
            payload += static_cast<char>(std::stoi(recvLine.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            payload += recvLine[i];
        }
    }
    return payload;
}

std::string StartProcessXml(const StartRequest& request) {
    std::string xml = "<Request name=\"StartProcess\"><StartProcess";
    if (request.isApp) {
        xml += " isApp=\"" + XmlEscape(*request.isApp) + "\"";
    }
    xml += ">" + Element("ProcessName", request.name);
    if (!request.path.empty()) {
        xml += Element("ProcessPath", request.path);
    }
    if (request.stdinText) {
        xml += Element("StdinStr", *request.stdinText);
    }
    xml += "<ProcessParams>";
    for (const std::string& param : request.params) {
        xml += Element("Param", param);
    }
    xml += "</ProcessParams>";
    if (request.connectionId) {
        xml += Element("ConnectionId", *request.connectionId);
    }
    return xml + "</StartProcess></Request>";
}

std::string StopProcessXml(const std::string& name, const std::string& connectionId) {
    return "<Request name=\"StopProcess\"><StopProcess>" + Element("ProcessName", name) +
           Element("ConnectionId", connectionId) + "</StopProcess></Request>";
}

std::string TaskXml(const std::string& requestName) {
    return "<Request name=\"" + requestName + "\"/>";
}

std::string DesktopLockedXml(bool locked) {
    return kXmlDeclaration + "<Notify name=\"DesktopLocked\"><DesktopLocked><Locked>" +
           (locked ? "true" : "false") + "</Locked></DesktopLocked></Notify>";
}

}  // namespace dctest
