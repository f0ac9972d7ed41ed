#include "tools/desktop-sandbox/DesktopSandbox.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tools/desktop-sandbox/SetUserIdExec.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace fs = std::filesystem;

namespace sandbox {
namespace {

constexpr const char* kMarkerName = "DC_SANDBOX";
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

// Forty characters with shell and markup characters among them, so that no
// escaping step between the file and the token can go unnoticed.
std::string FreshMagic() {
    static const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[40];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        throw std::runtime_error("no random bytes for the desktop magic");
    }
    std::string magic;
    for (unsigned char byte : bytes) {
        magic += kAlphabet[byte % kAlphabet.size()];
    }
    const std::string specials = "#%*!&<\"$";
    for (std::size_t i = 0; i < specials.size(); ++i) {
        magic[3 + i * 5] = specials[i];
    }
    return magic;
}

// A fresh RSA key for the services, written as PEM.
std::string WriteServiceKey(const std::string& path) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(path.c_str(), "w"), BIO_free);
    if (!key || !out ||
        PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw std::runtime_error("cannot write the service key " + path);
    }
    return path;
}

// The id file of a display name, under a seat's /var/tarvelo.
std::string IdFile(const std::string& varDir, const std::string& display) {
    const std::string part = display.starts_with("wayland-") ? display.substr(8) : display.substr(1);
    return varDir + "/brv_desktop/brv_desktopid." + part;
}

// One X authority entry for any address and display: family, address,
// display number, method and cookie, each length big-endian first.
std::string WildCookieEntry(const std::string& cookie) {
    std::string entry;
    auto field = [&entry](const std::string& bytes) {
        entry += static_cast<char>(bytes.size() >> 8);
        entry += static_cast<char>(bytes.size() & 0xff);
        entry += bytes;
    };
    entry += "\xff\xff";
    field("");
    field("");
    field("MIT-MAGIC-COOKIE-1");
    field(cookie);
    return entry;
}

std::string OrBuilt(const std::string& path, const std::string& name) {
    return path.empty() ? BuiltBinary(name) : path;
}

// The marks of every sandbox this process has built, for LeftBehind.
struct BuiltMarks {
    std::mutex lock;
    std::vector<std::string> marks;
};

BuiltMarks& AllBuiltMarks() {
    static BuiltMarks built;
    return built;
}

// The marks that the processes of the sandbox at root carry, remembered.
std::vector<std::string> RememberedMarks(const std::string& root, const char* lockerMarker) {
    std::vector<std::string> marks = {std::string(kMarkerName) + "=" + root,
                                      std::string(lockerMarker) + "=" + root};
    BuiltMarks& built = AllBuiltMarks();
    std::lock_guard<std::mutex> guard(built.lock);
    built.marks.insert(built.marks.end(), marks.begin(), marks.end());
    return marks;
}

// Where a service publishes and what it reads.
struct ServiceFiles {
    std::string dir;
    std::string key;
    std::string magicFile;
};

// A service of another user can neither read the key and the magic where
// they are nor write to the seat's /var/tarvelo: it gets a directory of
// its own with copies of both.
ServiceFiles ForeignServiceFiles(const std::string& varDir, const std::string& key, const std::string& magic,
                                 uid_t uid) {
    const ServiceFiles files{varDir + "-service", varDir + "-service/key.pem", varDir + "-service/magic"};
    fs::create_directories(files.dir);
    fs::copy_file(key, files.key, fs::copy_options::overwrite_existing);
    TempDir::WriteAt(files.magicFile, magic, 0600);
    for (const std::string& path : {files.dir, files.key, files.magicFile}) {
        Own(path, uid);
    }
    fs::permissions(files.dir, fs::perms(0700));
    return files;
}

}  // namespace

std::string BuiltBinary(const std::string& name) {
    return fs::read_symlink("/proc/self/exe").parent_path() / name;
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

DesktopSandbox::DesktopSandbox(SandboxOptions options)
    : options_(std::move(options)), leftovers_(RememberedMarks(layout_.Root(), kLockerMarker)) {
    if (options_.desktopId.empty()) {
        // Unique among concurrently running sandboxes, and a valid client id.
        options_.desktopId = std::to_string(10000 + getpid() % 50000);
    }
    if (options_.magic.empty()) {
        options_.magic = FreshMagic();
    }
    if (options_.xAuthority && !options_.x11) {
        throw std::invalid_argument("an X authority needs an X display");
    }
    displayEnv_ = options_.x11 ? StartXvfb() : "WAYLAND_DISPLAY=wayland-0";
    bus_ = std::make_unique<SessionBus>(options_.busPolicy,
                                        options_.setUserId ? std::optional<uid_t>(kNobody) : std::nullopt);
    if (options_.mateScreenSaver) {
        StartMateScreenSaver();
    }
    if (options_.logind || options_.locker != Locker::kNone) {
        StartLogind();
    }
    if (options_.locker != Locker::kNone) {
        StartLocker();
    }
    StartStandInsOnSessionBus();
    keyPath_ = WriteServiceKey(layout_.Root() + "/service-key.pem");
    seats_.push_back({.desktopId = options_.desktopId,
                      .varDir = layout_.HostPath("/var/tarvelo"),
                      .daemonBinary = OrBuilt(options_.daemonBinary, "DesktopController"),
                      .displayEnv = displayEnv_});
    WriteFiles();
    BindHostFiles();
    if (options_.setUserId) {
        InstallSetUserId();
    }
    WriteDesktopIdFile(displayEnv_.substr(displayEnv_.find('=') + 1), options_.desktopId,
                       options_.idFileOwner.value_or(options_.setUserId ? kNobody : 0));
    StartService(seats_.front());
    fs::copy_file(seats_.front().varDir + "/rui.pub", layout_.HostPath("/usr/share/tarvelo") + "/rui.pub");
}

DesktopSandbox::~DesktopSandbox() {
    for (Seat& seat : seats_) {
        seat.daemon.reset();
    }
    for (pid_t pid : DaemonProcesses()) {
        kill(pid, SIGKILL);
    }
    seats_.clear();
    if (screenSaver_) {
        screenSaver_->Stop(SIGTERM);
    }
    for (auto locker = lockers_.rbegin(); locker != lockers_.rend(); ++locker) {
        (*locker)->Stop(SIGTERM);
    }
    // What a locker started and left behind, whoever its parent is now.
    leftovers_.EndAll();
    for (auto& xvfb : xvfbs_) {
        xvfb->Stop(SIGTERM);  // so that it removes its socket and lock file
    }
}

bool DesktopSandbox::XvfbAvailable() {
    return access(kXvfb, X_OK) == 0;
}

std::string DesktopSandbox::StartXvfb() {
    // Xvfb picks a free display itself and reports its number. Hundreds of
    // seats may open it at about the same time. Each daemon's check closes
    // its connection at once, and an X server whose last client left resets
    // itself, refusing whoever connects meanwhile: a real desktop's server
    // always has the session's clients, so this one never resets.
    std::vector<std::string> argv = {kXvfb, "-displayfd", "1", "-nolisten",  "tcp", "-noreset", "-maxclients",
                                     "512", "-screen",    "0", "1024x768x24"};
    if (options_.xAuthority) {
        argv.insert(argv.end(), {"-auth", WriteXAuthority()});
    }
    auto& xvfb = xvfbs_.emplace_back(std::make_unique<ChildProcess>(
        ChildCommand{.argv = argv, .env = {"PATH=/usr/bin:/bin"}, .errFile = "/dev/null"}));
    std::optional<std::string> number = xvfb->ReadLine(10s);
    if (!number || number->empty()) {
        throw std::runtime_error("Xvfb did not report a display");
    }
    return "DISPLAY=:" + *number;
}

// A fresh cookie, in the desktop user's X authority file, readable by that
// user only; the X server reads it there too.
std::string DesktopSandbox::WriteXAuthority() {
    std::string cookie(16, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(cookie.data()), static_cast<int>(cookie.size())) != 1) {
        throw std::runtime_error("no random bytes for the X cookie");
    }
    const std::string path = layout_.HostPath("/var/tarvelo") + "/sandbox/home/.Xauthority";
    fs::create_directories(fs::path(path).parent_path());
    TempDir::WriteAt(path, WildCookieEntry(cookie), 0600);
    Own(path, options_.setUserId ? kNobody : 0);
    return path;
}

void DesktopSandbox::WriteDesktopIdFile(const std::string& display, const std::string& id, uid_t owner) {
    const std::string path = IdFile(layout_.HostPath("/var/tarvelo"), display);
    TempDir::WriteAt(path, "DESKTOPID=" + id + "\n");
    Own(path, owner);
}

void DesktopSandbox::StartMateScreenSaver() {
    if (!options_.x11) {
        throw std::invalid_argument("the MATE screen saver needs an X display");
    }
    screenSaver_ = std::make_unique<ChildProcess>(
        ChildCommand{.argv = {"mate-screensaver", "--no-daemon"},
                     // Without the accessibility bridge it looks for no helper services.
                     .env = {"PATH=/usr/bin:/bin", "NO_AT_BRIDGE=1", "XDG_CURRENT_DESKTOP=MATE", displayEnv_,
                             "DBUS_SESSION_BUS_ADDRESS=" + bus_->Address(), "HOME=" + layout_.Root()},
                     .errFile = layout_.Root() + "/screensaver.err"});
    BusClient client(bus_->Address());
    if (!WaitUntil([&] { return client.HasOwner("org.mate.ScreenSaver"); })) {
        throw std::runtime_error("mate-screensaver did not appear on the session bus");
    }
}

void DesktopSandbox::WriteFiles() {
    WriteSeatFiles(seats_.front());
    std::string config =
        "DesktopController.log.logLevel = \"" + options_.logLevel + "\"\n" + options_.preferences;
    if (!options_.logFile.empty()) {
        config += "DesktopController.log.filename = \"" + Inside(options_.logFile) + "\"\n";
    }
    TempDir::WriteAt(layout_.HostPath("/etc/tarvelo") + "/config", config);
    fs::create_directories(fs::path(HostProbe()).parent_path());
    fs::copy_file(OrBuilt(options_.probeBinary, "dc-sandbox-probe"), HostProbe());
    WriteTaskScript();
}

// The seat's identity files and its work directory, open to the daemon
// whoever it runs as.
void DesktopSandbox::WriteSeatFiles(const Seat& seat) {
    TempDir::WriteAt(seat.varDir + "/brv_desktop_magic", options_.magic, 0600);
    TempDir::WriteAt(IdFile(seat.varDir, seat.displayEnv.substr(seat.displayEnv.find('=') + 1)),
                     "DESKTOPID=" + seat.desktopId + "\n");
    const std::string work = seat.varDir + "/sandbox/";
    for (const char* dir : {"", "home/.tarvelo", "runtime"}) {
        fs::create_directories(work + dir);
        fs::permissions(work + dir, fs::perms::all);
    }
    for (const char* file : {"home/.tarvelo/config", "home/.tarvelo/preferences"}) {
        TempDir::WriteAt(work + file, options_.userPreferences);
    }
}

void DesktopSandbox::WriteTaskScript() {
    const std::string path = layout_.HostPath("/usr/lib/tarvelo") + kTaskScript;
    if (!options_.taskScript.empty() && options_.recordTaskRuns) {
        WriteRecordingWrapper(path, options_.taskScript);
        return;
    }
    if (!options_.taskScript.empty()) {
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(options_.taskScript, path);
        fs::permissions(path, fs::perms(0755));
        return;
    }
    TempDir::WriteAt(path,
                     "#!/bin/sh\n"
                     "# Records the arguments of each run, one run per line, then reports.\n"
                     "printf '%s\\n' \"$*\" >> " +
                         Inside("task-calls") + "\nexec " + Probe() + " " + Inside("task-$2") + " \"$@\"\n",
                     0755);
}

void DesktopSandbox::BindHostFiles() {
    if (!options_.osReleaseId.empty()) {
        std::string osRelease = TempDir::WriteAt(
            layout_.Root() + "/os-release",
            "NAME=\"Sandbox Linux\"\nVERSION_ID=\"9.4\"\nID=\"" + options_.osReleaseId + "\"\n");
        layout_.AddBind(osRelease, "/etc/os-release");
        std::string host = HostName();
        std::string hosts = TempDir::WriteAt(
            layout_.Root() + "/hosts",
            "127.0.0.1 localhost\n127.0.1.1 " + host + ".desk.sandbox.test " + host + "\n::1 localhost\n");
        layout_.AddBind(hosts, "/etc/hosts");
    }
    // The daemon's named semaphores stay out of the host's /dev/shm, where a
    // name another user's ended process left behind would be refused, and it
    // sees no names but those of this sandbox's daemons.
    fs::create_directories(HostShm());
    fs::permissions(HostShm(), fs::perms(01777));
    layout_.AddBind(HostShm(), "/dev/shm");
}

ChildResult DesktopSandbox::RunBeside(const std::string& program, const std::vector<std::string>& args,
                                      const std::vector<std::string>& env) {
    ChildCommand command{.env = env, .layout = &layout_};
    std::string path = BuiltBinary(program);
    if (options_.setUserId) {
        fs::copy_file(path, layout_.HostPath("/usr/lib/tarvelo") + "/sandbox/" + program,
                      fs::copy_options::overwrite_existing);
        path = "/usr/lib/tarvelo/sandbox/" + program;
        command.uid = kNobody;
        command.gid = kNobody;
    }
    command.argv = {path};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    for (std::string& entry : SanitizerEnvironment()) {
        command.env.push_back(std::move(entry));
    }
    return RunChild(command, kWait);
}

void DesktopSandbox::InstallSetUserId() {
    std::string binary = layout_.HostPath("/usr/lib/tarvelo") + "/sandbox/DesktopController";
    fs::copy_file(seats_.front().daemonBinary, binary);
    Own(binary, kMagicOwner);
    fs::permissions(binary, fs::perms(04755));
    Own(MagicPath(), kMagicOwner);
    std::string passwd = layout_.Root() + "/passwd";
    fs::copy_file("/etc/passwd", passwd);
    TempDir::WriteAt(passwd, ReadFile(passwd) + "brvcanvas:x:990:990::/nonexistent:/usr/sbin/nologin\n" +
                                 "dcvictim:x:1101:1101::/nonexistent:/usr/sbin/nologin\n");
    layout_.AddBind(passwd, "/etc/passwd");
    for (const char* path : {"home", "home/.tarvelo", "home/.tarvelo/config", "home/.tarvelo/preferences"}) {
        Own(Host(path), kNobody);
    }
    fs::create_directories(HostTmp());
    fs::permissions(HostTmp(), fs::perms(01777));
    layout_.AddBind(HostTmp(), "/tmp");
}

// Every seat's service signs with the one key whose public half is in
// /usr/share/tarvelo.
void DesktopSandbox::StartService(Seat& seat) {
    const ServiceFiles files =
        options_.serviceUid ? ForeignServiceFiles(seat.varDir, keyPath_, options_.magic, *options_.serviceUid)
                            : ServiceFiles{seat.varDir, keyPath_, seat.varDir + "/brv_desktop_magic"};
    std::vector<std::string> argv = {OrBuilt(options_.serviceBinary, "ipc-service"),
                                     "--dir",
                                     files.dir,
                                     "--key",
                                     files.key,
                                     "--commands",
                                     "--print-limit",
                                     "16777216",
                                     "--desktop-magic-file",
                                     files.magicFile,
                                     "--client-id",
                                     std::to_string(std::stoll(seat.desktopId))};
    argv.insert(argv.end(), options_.serviceArgs.begin(), options_.serviceArgs.end());
    seat.service = std::make_unique<IpcService>(argv, seat.varDir + "/ipc-service.err", options_.serviceUid);
    if (files.dir != seat.varDir) {
        for (const char* published : {"/ipc.port", "/rui.pub"}) {
            fs::copy_file(files.dir + published, seat.varDir + published,
                          fs::copy_options::overwrite_existing);
        }
    }
    if (const std::optional<uid_t> owner =
            options_.portFileOwner ? options_.portFileOwner : options_.serviceUid) {
        Own(seat.varDir + "/ipc.port", *owner);
    }
}

void DesktopSandbox::RestartService() {
    seats_.front().service.reset();
    StartService(seats_.front());
}

std::size_t DesktopSandbox::AddSeat(const std::string& desktopId, const std::string& daemonBinary) {
    if (options_.setUserId) {
        throw std::logic_error("seats share one set-user-id installation; add none");
    }
    Seat seat{.desktopId = desktopId,
              .varDir = layout_.Root() + "/seats/" + std::to_string(seats_.size()),
              .daemonBinary = daemonBinary.empty() ? seats_.front().daemonBinary : daemonBinary,
              .displayEnv = NextSeatDisplay()};
    WriteSeatFiles(seat);
    StartService(seat);
    seats_.push_back(std::move(seat));
    return seats_.size() - 1;
}

// One X server refuses a connection now and then when hundreds open it at
// once; a new display every seatsPerDisplay seats spreads them.
std::string DesktopSandbox::NextSeatDisplay() {
    const bool full = options_.seatsPerDisplay > 0 && seats_.size() % options_.seatsPerDisplay == 0;
    return options_.x11 && full ? StartXvfb() : seats_.back().displayEnv;
}

void DesktopSandbox::StartSeatDaemon(std::size_t seat) {
    Seat& chosen = seats_.at(seat);
    std::vector<std::string> env = DaemonEnvironment();
    std::replace(env.begin(), env.end(), displayEnv_, chosen.displayEnv);
    chosen.daemon = std::make_unique<ChildProcess>(ChildCommand{.argv = {chosen.daemonBinary},
                                                                .env = env,
                                                                .layout = &layout_,
                                                                .standIns = {{"/var/tarvelo", chosen.varDir}},
                                                                .errFile = chosen.varDir + "/daemon.err"});
}

std::string DesktopSandbox::SeatHost(std::size_t seat, const std::string& name) const {
    return seats_.at(seat).varDir + "/sandbox/" + name;
}

std::string DesktopSandbox::Host(const std::string& name) const {
    return SeatHost(0, name);
}

pid_t DesktopSandbox::DaemonPid(std::size_t seat) const {
    const Seat& chosen = seats_.at(seat);
    return chosen.daemon ? chosen.daemon->Pid() : -1;
}

std::vector<std::string> DesktopSandbox::DaemonEnvironment(const std::vector<std::string>& extraEnv) const {
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME=" + Inside("home"),
        options_.setUserId ? "USER=nobody" : "USER=sandbox-user",
        "LANG=C.UTF-8",
        "XDG_RUNTIME_DIR=" + Inside("runtime"),
        "XDG_CURRENT_DESKTOP=" + options_.currentDesktop,
        "DBUS_SESSION_BUS_ADDRESS=" + bus_->Address(),
        displayEnv_,
        std::string(kMarkerName) + "=" + layout_.Root(),
    };
    if (options_.xAuthority) {
        env.push_back("XAUTHORITY=" + XAuthorityPath());
    }
    if (!options_.desktopSession.empty()) {
        env.push_back("DESKTOP_SESSION=" + options_.desktopSession);
    }
    if (!options_.logindOtherSession) {
        env.push_back(std::string("XDG_SESSION_ID=") + kSessionId);
    }
    if (systemBus_) {
        env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus_->Address());
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return env;
}

void DesktopSandbox::StartDaemon(const std::vector<std::string>& env) {
    if (!options_.setUserId) {
        seats_.front().daemon = std::make_unique<ChildProcess>(
            ChildCommand{.argv = {seats_.front().daemonBinary}, .env = env, .layout = &layout_});
        return;
    }
    SetUserIdExec exec(env);
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
        execve(exec.Binary(), exec.Argv(), exec.Envp());
        return kChildExecFailed;
    };
    seats_.front().daemon = std::make_unique<ChildProcess>(
        ChildCommand{.uid = kNobody, .gid = kNobody, .layout = &layout_}, body);
}

bool DesktopSandbox::StartAndConnect(const std::vector<std::string>& extraEnv) {
    StartDaemon(DaemonEnvironment(extraEnv));
    return !WaitForNotification("DesktopLogged").empty();
}

ChildResult DesktopSandbox::FinishDaemon(std::chrono::milliseconds timeout, std::size_t seat) {
    Seat& chosen = seats_.at(seat);
    if (!chosen.daemon) {
        throw std::logic_error("the daemon was not started");
    }
    return chosen.daemon->Finish(timeout);
}

std::string DesktopSandbox::WaitForNotification(const std::string& notification) {
    std::optional<std::string> line =
        Service().WaitForLine("RECV type=4 .*<Notify name=\"" + notification + "\">", kWait);
    return line ? IpcService::PayloadOf(*line) : std::string();
}

std::string DesktopSandbox::Log() const {
    return ReadFile(LogPath());
}

bool DesktopSandbox::WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                                std::size_t count) const {
    return WaitUntil([&] { return CountInLog(text) >= count; }, timeout);
}

std::size_t DesktopSandbox::CountInLog(const std::string& text) const {
    return Occurrences(Log(), text);
}

std::vector<std::string> DesktopSandbox::TaskCalls() const {
    std::istringstream text(ReadFile(Host("task-calls")));
    std::vector<std::string> calls;
    for (std::string line; std::getline(text, line);) {
        calls.push_back(line);
    }
    return calls;
}

bool DesktopSandbox::WaitForTaskCalls(std::size_t count, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return TaskCalls().size() >= count; }, timeout);
}

std::optional<std::string> DesktopSandbox::WaitForReport(const std::string& name,
                                                         std::chrono::milliseconds timeout) {
    // The probe renames a finished report into place: present means whole.
    if (!WaitUntil([&] { return !ReadFile(Host(name)).empty(); }, timeout)) {
        return std::nullopt;
    }
    return ReadFile(Host(name));
}

std::vector<pid_t> DesktopSandbox::DaemonProcesses() const {
    return MarkedProcesses(kMarkerName);
}

std::vector<pid_t> DesktopSandbox::MarkedProcesses(const std::string& marker) const {
    return ProcessesMarked(marker + "=" + layout_.Root());
}

std::vector<pid_t> DesktopSandbox::LeftBehind() {
    BuiltMarks& built = AllBuiltMarks();
    std::lock_guard<std::mutex> guard(built.lock);
    return ProcessesMarkedWithAny(built.marks);
}

}  // namespace sandbox
