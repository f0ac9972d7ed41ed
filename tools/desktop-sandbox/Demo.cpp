// The scripted session of dc-sandbox demo: each step prints what happened
// and checks it; the first check that fails ends the demo with status 1.
#include <openssl/rand.h>
#include <signal.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
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
        out += (out.empty() ? "" : "\n") + std::string(8, ' ') + lines[i];
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

class Demo {
  public:
    explicit Demo(SandboxOptions options) : box_(std::move(options)) {}
    void Run();

  private:
    std::string Expect(const std::string& pattern);
    std::string ScreenSaverState();
    void Handshake();
    void StartAndStopWorker();
    void LockAndUnlock();
    void CloseAndExit();

    DesktopSandbox box_;
    pid_t worker_ = -1;
};

std::string Demo::Expect(const std::string& pattern) {
    std::optional<std::string> line = box_.Service().WaitForLine(pattern, kWait);
    Check(line.has_value(), "the service did not report: " + pattern);
    return *line;
}

std::string Demo::ScreenSaverState() {
    ChildResult query = RunChild({.argv = {"mate-screensaver-command", "--query"},
                                  .env = {"PATH=/usr/bin:/bin", box_.DisplayEnv(),
                                          "DBUS_SESSION_BUS_ADDRESS=" + box_.Bus().Address()}},
                                 kWait);
    return FirstLine(query.out);
}

void Demo::Run() {
    Say("Private desktop in " + box_.Host(""));
    Say("    Xvfb on " + box_.DisplayEnv().substr(8) + ", session bus " + box_.Bus().Address() +
        ", mate-screensaver running");
    Say("    desktop id " + box_.DesktopId() + ", fresh desktop magic, task script installed");
    Say("Reference IPC service listening on 127.0.0.1:" + FirstLine(ReadFile(box_.PortPath())));
    box_.StartDaemon();
    Say("DesktopController started (pid " + std::to_string(box_.DaemonPid()) + ")");
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
