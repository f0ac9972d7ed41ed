#include "tests/security/DaemonSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace fs = std::filesystem;

namespace sectest {

namespace {

constexpr const char* kDaemonInside = "/usr/lib/tarvelo/sectest/DesktopController";
constexpr const char* kHomeInside = "/var/tarvelo/sectest/home";
constexpr const char* kLogInside = "/var/log/tarvelo/sectest/controller.log";

std::string BuildDir() {
    return std::string(getenv("DC_BUILD_DIR"));
}

void WriteFile(const std::string& path, const std::string& text, fs::perms mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, mode);
}

void MakeOpenDir(const std::string& path) {
    fs::create_directories(path);
    fs::permissions(path, fs::perms::all);
}

void Own(const std::string& path, uid_t uid) {
    if (chown(path.c_str(), uid, uid) != 0) {
        throw std::runtime_error("chown failed for " + path);
    }
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Waits for a file to be renamed into dir (the probe writes its report
// that way); the watch is made before the first look, so no arrival is
// missed.
bool AwaitArrival(const std::string& dir, const std::string& name, std::chrono::milliseconds timeout) {
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool found = fs::exists(dir + "/" + name);
    while (!found && std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count()) + 1) > 0) {
            char events[4096];
            while (read(fd, events, sizeof events) > 0) {
            }
        }
        found = fs::exists(dir + "/" + name);
    }
    close(fd);
    return found;
}

// Mappings larger than this are address-space reservations, such as a
// sanitizer's shadow memory (terabytes), never data the daemon wrote.
constexpr unsigned long kLargestDataRegion = 1ul << 30;

// Reads the region in slices that overlap by the needle's length, so a copy
// that straddles two slices is still found, and counted once.
size_t CountInRegion(int mem, unsigned long start, unsigned long end, const std::string& needle) {
    constexpr size_t kSlice = 1 << 20;
    std::string slice(kSlice + needle.size(), '\0');
    size_t count = 0;
    for (unsigned long at = start; at < end; at += kSlice) {
        const size_t wanted = std::min<size_t>(slice.size(), end - at);
        const ssize_t got = pread(mem, slice.data(), wanted, static_cast<off_t>(at));
        if (got <= 0) {
            continue;
        }
        std::string_view view(slice.data(), static_cast<size_t>(got));
        for (size_t hit = view.find(needle); hit != std::string_view::npos && hit < kSlice;
             hit = view.find(needle, hit + 1)) {
            ++count;
        }
    }
    return count;
}

}  // namespace

DaemonSession::DaemonSession(const SessionOptions& options) {
    PrepareFiles(options);
    service_ = std::make_unique<ipctest::ServiceProcess>(std::vector<std::string>{
        "--desktop-magic", kMagic, "--client-id", std::to_string(kDesktopId), "--commands"});
    fs::copy_file(service_->Dir().File("ipc.port"), layout_.HostPath("/var/tarvelo") + "/ipc.port");
    fs::copy_file(service_->Dir().File("rui.pub"), layout_.HostPath("/usr/share/tarvelo") + "/rui.pub");
    StartDaemon(options);
    if (!service_->WaitForLine("DesktopLogged", 30s)) {
        throw std::runtime_error("the daemon never reported the logged-on desktop");
    }
}

DaemonSession::~DaemonSession() = default;

void DaemonSession::PrepareFiles(const SessionOptions& options) {
    const std::string lib = layout_.HostPath("/usr/lib/tarvelo") + "/sectest";
    fs::create_directories(lib);
    fs::copy_file(BuildDir() + "/bin/DesktopController", lib + "/DesktopController");
    Own(lib + "/DesktopController", kMagicOwner);
    fs::permissions(lib + "/DesktopController", fs::perms(04755));
    fs::copy_file(BuildDir() + "/bin/security_probe", lib + "/probe");

    const std::string passwd = layout_.Root() + "/passwd";
    fs::copy_file("/etc/passwd", passwd);
    std::ofstream(passwd, std::ios::app) << "brvcanvas:x:990:990::/nonexistent:/usr/sbin/nologin\n";
    layout_.AddBind(passwd, "/etc/passwd");

    const std::string magic = layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic";
    WriteFile(magic, kMagic, fs::perms::owner_read | fs::perms::owner_write);
    Own(magic, kMagicOwner);

    MakeOpenDir(Host(""));
    MakeOpenDir(layout_.HostPath("/var/log/tarvelo") + "/sectest");
    const std::string home = Host("home");
    fs::create_directories(home + "/.tarvelo");
    for (const char* file : {"/.tarvelo/config", "/.tarvelo/preferences"}) {
        WriteFile(home + file, options.userPreferences, fs::perms(0644));
        Own(home + file, kNobody);
    }
    Own(home, kNobody);
    Own(home + "/.tarvelo", kNobody);

    std::string config = "DesktopController.log.logLevel = \"verbose\"\n" + options.hostPreferences;
    if (options.configureLogFile) {
        config += "DesktopController.log.filename = \"" + std::string(kLogInside) + "\"\n";
    }
    WriteFile(layout_.HostPath("/etc/tarvelo") + "/config", config, fs::perms(0644));
    WriteFile(layout_.HostPath("/usr/lib/tarvelo") + "/nordagent/desktop/desktopCTask.sh",
              "#!/bin/sh\nexec " + Probe() + " " + Inside("task-$2") + " \"$@\"\n", fs::perms(0755));

    if (!options.osRelease.empty()) {
        WriteFile(layout_.Root() + "/os-release", options.osRelease, fs::perms(0644));
        layout_.AddBind(layout_.Root() + "/os-release", "/etc/os-release");
    }
    tmp_ = layout_.Root() + "/tmp";
    fs::create_directories(tmp_);
    fs::permissions(tmp_, fs::perms(01777));
    layout_.AddBind(tmp_, "/tmp");
}

void DaemonSession::StartDaemon(const SessionOptions& options) {
    std::vector<std::string> env = options.env;
    for (const char* entry : {"WAYLAND_DISPLAY=", "USER=nobody", "PATH=/usr/bin:/bin"}) {
        env.emplace_back(entry);
    }
    env.push_back("BRV_DESKTOP_ID=" + std::to_string(kDesktopId));
    env.push_back("HOME=" + std::string(kHomeInside));
    for (std::string& entry : dctest::SanitizerEnvironment()) {
        env.push_back(std::move(entry));
    }
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(kDaemonInside), nullptr};
    const bool allowCores = options.allowCores;
    // Runs in the forked child after the namespace and the user switch:
    // only system calls. The work directory is where a core would land.
    auto body = [&envp, &argv, allowCores]() {
        if (chdir(Inside("").c_str()) != 0) {
            return 126;
        }
        rlimit limit{};
        getrlimit(RLIMIT_CORE, &limit);
        limit.rlim_cur = allowCores ? limit.rlim_max : 0;
        setrlimit(RLIMIT_CORE, &limit);
        execve(kDaemonInside, argv, envp.data());
        return dctest::kChildExecFailed;
    };
    daemon_ = std::make_unique<dctest::ChildProcess>(
        dctest::ChildCommand{.uid = kNobody, .gid = kNobody, .layout = &layout_}, body);
}

std::string DaemonSession::Token() const {
    return ipctest::TokenFor(kDesktopId, kMagic);
}

std::string DaemonSession::Host(const std::string& name) const {
    return layout_.HostPath("/var/tarvelo") + "/sectest/" + name;
}

std::string DaemonSession::HostProbe() const {
    return layout_.HostPath("/usr/lib/tarvelo") + "/sectest/probe";
}

std::string DaemonSession::HostLogPath() const {
    return layout_.HostPath("/var/log/tarvelo") + "/sectest/controller.log";
}

std::string DaemonSession::Log() const {
    return ReadText(HostLogPath());
}

void DaemonSession::Send(const std::string& xml) {
    service_->Command("send " + xml);
}

std::optional<std::string> DaemonSession::WaitForReport(const std::string& name,
                                                        std::chrono::milliseconds timeout) {
    if (!AwaitArrival(Host(""), name, timeout)) {
        return std::nullopt;
    }
    return ReadText(Host(name));
}

dctest::ChildResult DaemonSession::Close() {
    service_->Command("close");
    return daemon_->Finish(30s);
}

std::string StartRequest(const std::string& name, const std::string& path,
                         const std::vector<std::string>& params, const std::string& stdinText, bool isApp) {
    std::string xml = "<Request name=\"StartProcess\"><StartProcess isApp=\"" +
                      std::string(isApp ? "true" : "false") + "\"><ProcessName>" + Escaped(name) +
                      "</ProcessName><ProcessPath>" + Escaped(path) + "</ProcessPath>";
    if (!stdinText.empty()) {
        xml += "<StdinStr>" + Escaped(stdinText) + "</StdinStr>";
    }
    xml += "<ProcessParams>";
    for (const std::string& param : params) {
        xml += "<p>" + Escaped(param) + "</p>";
    }
    return xml + "</ProcessParams><ConnectionId>7</ConnectionId></StartProcess></Request>";
}

std::string TaskRequest(const std::string& name) {
    return "<Request name=\"" + name + "\"/>";
}

size_t CountInMemory(pid_t pid, const std::string& needle) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream maps(proc + "/maps");
    int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    size_t count = 0;
    std::string line;
    while (mem >= 0 && std::getline(maps, line)) {
        unsigned long start = 0;
        unsigned long end = 0;
        char perms[5] = {};
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
            line.find("[vvar]") != std::string::npos) {
            continue;
        }
        if (end - start > kLargestDataRegion) {
            continue;
        }
        count += CountInRegion(mem, start, end, needle);
    }
    if (mem >= 0) {
        close(mem);
    }
    return count;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> ReportLines(const std::string& report, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(prefix)) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

}  // namespace sectest
