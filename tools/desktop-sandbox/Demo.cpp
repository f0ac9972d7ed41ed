// The scripted session of dc-sandbox demo: each step prints what happened
// and checks it; the first check that fails ends the demo with status 1.
#include <openssl/rand.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/SandboxCli.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

namespace sandbox {
namespace {

constexpr const char* kInstalledTaskScript = "/usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh";

struct DemoFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Check(bool holds, const std::string& what) {
    if (!holds) {
        throw DemoFailure(what);
    }
}

std::string Indented(const std::string& text, std::size_t lastLines = 0) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::string out;
    for (std::size_t i = lastLines && lines.size() > lastLines ? lines.size() - lastLines : 0;
         i < lines.size(); ++i) {
        out += out.empty() ? "" : "\n";
        out.append(8, ' ').append(lines[i]);
    }
    return out;
}

// The frame as indented XML, without its declaration.
std::string PrettyXml(const std::string& xml) {
    pt::ptree tree;
    std::istringstream in(xml);
    pt::read_xml(in, tree, pt::xml_parser::trim_whitespace);
    std::ostringstream out;
    pt::write_xml(out, tree, pt::xml_writer_make_settings<std::string>(' ', 2));
    std::string text = out.str();
    return Indented(text.substr(text.find('\n') + 1));
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    RAND_bytes(raw.data(), static_cast<int>(raw.size()));
    std::string hex;
    char pair[3];
    for (unsigned char byte : raw) {
        snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

bool IsSetUserId(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_ISUID) != 0;
}

class Demo {
  public:
    explicit Demo(SandboxOptions options) : setUserId_(options.setUserId), box_(std::move(options)) {}
    void Run();

  private:
    void Steps();
    bool DaemonEnded();
    void ReportDaemonEnd();
    std::string Expect(const std::string& pattern);
    std::string ScreenSaverState();
    void Handshake();
    void StartAndStopWorker();
    void LockAndUnlock();
    void CloseAndExit();

    bool setUserId_;
    DesktopSandbox box_;
    pid_t worker_ = -1;
};

bool Demo::DaemonEnded() {
    pollfd exit{box_.DaemonExitFd(0), POLLIN, 0};
    return poll(&exit, 1, 0) == 1;
}

// Waits for the service to report pattern, and no longer than the daemon
// runs: an ended daemon makes the service report nothing more.
std::string Demo::Expect(const std::string& pattern) {
    IpcService& service = box_.Service();
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
        if (std::optional<std::string> line = service.WaitForLine(pattern, std::chrono::milliseconds(0))) {
            return *line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        Check(left.count() > 0, "the service did not report: " + pattern);
        std::array<pollfd, 2> fds{{{service.OutputFd(), POLLIN, 0}, {box_.DaemonExitFd(0), POLLIN, 0}}};
        poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (fds[1].revents != 0) {
            // What the daemon sent before it ended may still be on its way.
            std::optional<std::string> line = service.WaitForLine(pattern, std::chrono::seconds(1));
            Check(line.has_value(), "DesktopController ended before the service reported: " + pattern);
            return *line;
        }
    }
}

// The daemon's exit status and standard error, which say why it ended; a
// daemon still running is stopped first.
void Demo::ReportDaemonEnd() {
    if (box_.DaemonPid() < 0) {
        return;
    }
    const bool ended = DaemonEnded();
    if (!ended) {
        Say("    DesktopController (pid " + std::to_string(box_.DaemonPid()) + ") still runs; stopping it");
    }
    const ChildResult result = box_.FinishDaemon(ended ? kWait : std::chrono::milliseconds(0));
    if (ended) {
        Say(result.exited ? "    DesktopController exited with status " + std::to_string(result.exitStatus)
                          : "    DesktopController was ended by signal " + std::to_string(result.termSignal));
    }
    Say(result.err.empty() ? "    its standard error was empty" : "    its standard error:");
    if (!result.err.empty()) {
        std::cout << Indented(result.err) << std::endl;
    }
}

std::string Demo::ScreenSaverState() {
    ChildResult query = RunChild({.argv = {"mate-screensaver-command", "--query"},
                                  .env = {"PATH=/usr/bin:/bin", box_.DisplayEnv(),
                                          "DBUS_SESSION_BUS_ADDRESS=" + box_.Bus().Address()}},
                                 kWait);
    return FirstLine(query.out);
}

void Demo::Run() {
    try {
        Steps();
    } catch (const DemoFailure&) {
        ReportDaemonEnd();
        throw;
    }
}

void Demo::Steps() {
    Say("Private desktop in " + box_.Host(""));
    Say("    Xvfb on " + box_.DisplayEnv().substr(8) + ", session bus " + box_.Bus().Address() +
        ", mate-screensaver running");
    Say("    desktop id " + box_.DesktopId() + ", fresh desktop magic, task script installed");
    Say("Reference IPC service listening on 127.0.0.1:" + FirstLine(ReadFile(box_.PortPath())));
    box_.StartDaemon();
    Say("DesktopController started (pid " + std::to_string(box_.DaemonPid()) + ")");
    if (setUserId_) {
        Say("    set-user-id, as installed: a copy owned by the magic's owner, started by nobody");
    }
    Handshake();
    StartAndStopWorker();
    LockAndUnlock();
    CloseAndExit();
    const std::string kept = TempDir::WriteAt(
        fs::temp_directory_path() / ("desktopcontroller-demo-" + std::to_string(getpid()) + ".log"),
        box_.Log());
    Say("Log: " + kept + " (last lines)");
    std::cout << Indented(box_.Log(), 12) << std::endl;
    Say("DEMO PASSED");
}

void Demo::Handshake() {
    Say("Handshake: service signature, client info with the desktop token, READY");
    const std::string info = Expect("CLIENT_INFO");
    Check(info.find("token=ok") != std::string::npos, "token check failed: " + info);
    Say("    client id " + box_.DesktopId() + ", name DesktopController, token checked by the service: ok");
    Expect(" READY");
    const std::string logged = Expect("RECV .*DesktopLogged");
    Say("DesktopLogged notification:");
    std::cout << PrettyXml(IpcService::PayloadOf(logged)) << std::endl;
}

void Demo::StartAndStopWorker() {
    const std::string token = RandomHex(20);
    Say("StartProcess 'demo-worker' with a one-shot stdin token " + token);
    box_.Service().Send(StartProcessXml(
        {.name = "demo-worker",
         .path = "/bin/sh",
         .params = {"-c", "head -c 40 > " + DesktopSandbox::Inside("received-token") + "; exec sleep 600"},
         .stdinText = token,
         .connectionId = "7"}));
    WaitUntil([&] { return ReadFile(box_.Host("received-token")).size() >= 40; });
    const std::string received = ReadFile(box_.Host("received-token"));
    Check(received == token, "the worker received '" + received + "'");
    // The worker's shell execs sleep once head has read the token.
    WaitUntil([&] {
        for (pid_t pid : box_.DaemonProcesses()) {
            if (FirstLine(ReadFile("/proc/" + std::to_string(pid) + "/comm")) == "sleep") {
                worker_ = pid;
            }
        }
        return worker_ > 0;
    });
    Check(worker_ > 0, "the worker is not running");
    Say("    the worker (pid " + std::to_string(worker_) + ") read from its stdin: " + received);
    Say("StopProcess 'demo-worker' (connection 7)");
    box_.Service().Send(StopProcessXml("demo-worker", "7"));
    Check(WaitUntil([&] { return kill(worker_, 0) != 0; }), "the worker is still running");
    Say("    the worker has ended");
}

void Demo::LockAndUnlock() {
    for (const bool lock : {true, false}) {
        Say(lock ? "LockScreen: the daemon runs the task script, the screen saver locks"
                 : "UnlockScreen: the screen saver is deactivated");
        box_.Service().Send(TaskXml(lock ? "LockScreen" : "UnlockScreen"));
        const std::string frame = IpcService::PayloadOf(Expect("RECV .*DesktopLocked"));
        Check(frame == DesktopLockedXml(lock),
              "expected Locked " + std::string(lock ? "true" : "false") + ": " + frame);
        Say("    screen saver: " + ScreenSaverState());
        Say("    DesktopLocked notification:");
        std::cout << PrettyXml(frame) << std::endl;
    }
    // The screen saver reports the change before the task script has seen
    // it confirmed; the script's looks end within its own bound.
    Check(WaitUntil([&] { return box_.DaemonProcesses().size() == 1; }), "the task script did not end");
}

void Demo::CloseAndExit() {
    Say("The service closes the connection");
    box_.Service().Close();
    const ChildResult result = box_.FinishDaemon();
    Check(result.exited, "the daemon did not exit");
    Say("    DesktopController exited with status " + std::to_string(result.exitStatus));
    Check(result.exitStatus == 0, "unexpected exit status " + std::to_string(result.exitStatus));
    Check(box_.DaemonProcesses().empty() && kill(worker_, 0) != 0, "children are left");
    Say("    no child process is left");
}

}  // namespace

int RunDemo(const CliOptions& options) {
    std::string taskScript = options.taskScript.empty() ? kInstalledTaskScript : options.taskScript;
    if (!fs::exists(taskScript)) {
        Say("DEMO FAILED: no task script at " + taskScript + " (give --task-script)");
        return 1;
    }
    try {
        Demo demo({.currentDesktop = "MATE",
                   .desktopSession = "mate",
                   .x11 = true,
                   .mateScreenSaver = true,
                   .desktopId = std::to_string(100 + getpid() % 900),
                   .osReleaseId = "",
                   // Such a daemon reads the magic as the file's owner, and
                   // only a magic of that owner: it runs the way a desktop
                   // user starts it, as the package installs it.
                   .setUserId = IsSetUserId(options.daemonBinary),
                   .taskScript = taskScript,
                   .daemonBinary = options.daemonBinary});
        demo.Run();
        return 0;
    } catch (const std::exception& failure) {
        Say(std::string("DEMO FAILED: ") + failure.what());
        return 1;
    }
}

}  // namespace sandbox
