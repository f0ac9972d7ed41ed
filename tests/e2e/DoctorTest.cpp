// dc-doctor run by the desktop user (nobody, beside the set-user-id daemon)
// on the sandboxed desktop: a healthy desktop first, then one broken
// precondition at a time, each of which its own check must name.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace dctest {
namespace {

const std::vector<std::string> kChecks = {"daemon",      "identity",    "desktop", "display", "service",
                                          "session-bus", "task-script", "log",     "crashes", "leftovers"};

// "<status> <name>: ..." lines, by check name.
std::map<std::string, std::string> LinesByCheck(const std::string& out) {
    std::map<std::string, std::string> lines;
    std::istringstream text(out);
    for (std::string line; std::getline(text, line);) {
        const std::size_t blank = line.find(' ');
        const std::size_t colon = line.find(':');
        if (blank != std::string::npos && colon != std::string::npos && blank < colon) {
            lines[line.substr(blank + 1, colon - blank - 1)] = line;
        }
    }
    return lines;
}

std::vector<std::string> Without(std::vector<std::string> env, const std::string& name) {
    std::erase_if(env, [&](const std::string& entry) { return entry.starts_with(name + "="); });
    return env;
}

// env with the variable name set to value instead.
std::vector<std::string> Replaced(const std::vector<std::string>& env, const std::string& name,
                                  const std::string& value) {
    std::vector<std::string> replaced = Without(env, name);
    replaced.push_back(name + "=" + value);
    return replaced;
}

// A loopback port that nobody listens on any more.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

pid_t EndedPid() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

// One broken precondition: how to break it (or the environment that
// does), how to restore it, and the text its check's line must hold.
struct Broken {
    std::string check;
    std::string status;  // "failure" or "warning"
    std::string text;
    std::function<void()> breakIt{};
    std::function<void()> restore{};
    std::vector<std::string> env{};
};

// A precondition broken by the environment the doctor runs with.
Broken ByEnvironment(std::string check, std::string text, std::vector<std::string> env) {
    return {std::move(check), "failure", std::move(text), {}, {}, std::move(env)};
}

class Doctor {
  public:
    explicit Doctor(DesktopSandbox& session) : session_(session) {}

    // Runs it with env (the daemon's by default); the line of the check,
    // after asserting how the run ended.
    std::string Line(const std::string& check, int exitStatus, const std::vector<std::string>& env = {}) {
        last_ = session_.RunBeside("dc-doctor", {}, env.empty() ? session_.DaemonEnvironment() : env);
        session_.RestartService();
        EXPECT_TRUE(last_.exited) << last_.err;
        EXPECT_EQ(last_.exitStatus, exitStatus) << last_.out << last_.err;
        EXPECT_EQ(last_.out.find(session_.Magic()), std::string::npos);
        return LinesByCheck(last_.out)[check];
    }
    const ChildResult& Last() const { return last_; }

  private:
    DesktopSandbox& session_;
    ChildResult last_;
};

TEST(DoctorTest, PassesOnAHealthyDesktopAndNamesEachBrokenPrecondition) {
    // Cores allowed, as on a desktop set up to report crashes.
    rlimit cores{};
    getrlimit(RLIMIT_CORE, &cores);
    cores.rlim_cur = cores.rlim_max;
    setrlimit(RLIMIT_CORE, &cores);
    DesktopSandbox session({.setUserId = true});
    auto saver = std::make_unique<BusClient>(session.Bus().Address());
    saver->RequestName("org.gnome.ScreenSaver");
    Doctor doctor(session);

    doctor.Line("identity", 0);
    const auto healthy = LinesByCheck(doctor.Last().out);
    ASSERT_EQ(healthy.size(), kChecks.size()) << doctor.Last().out;
    for (const std::string& check : kChecks) {
        // A set-user-id daemon leaves no core on a host with fs.suid_dumpable 0.
        const bool warningAllowed = check == "crashes";
        const std::string line = healthy.at(check);
        EXPECT_TRUE(line.starts_with("ok ") || (warningAllowed && line.starts_with("warning "))) << line;
    }
    const std::string installed = "/usr/lib/tarvelo/sandbox/DesktopController";
    EXPECT_EQ(healthy.at("daemon"), "ok daemon: " + installed + " is version " + DC_VERSION_TEXT +
                                        ", the same as this dc-doctor, set-user-id to brvcanvas");
    EXPECT_NE(healthy.at("desktop").find("desktop id " + session.DesktopId() +
                                         " from "
                                         "/var/tarvelo/brv_desktop/brv_desktopid.0; desktop type gnome, "
                                         "distribution rocky"),
              std::string::npos);
    EXPECT_NE(
        healthy.at("service").find("signature verified against /usr/share/tarvelo/rui.pub (RSA 2048-bit "
                                   "key, digest SHA256)"),
        std::string::npos);
    EXPECT_NE(healthy.at("service").find(", run by uid 0 (root), "), std::string::npos);
    EXPECT_NE(healthy.at("session-bus").find("org.gnome.ScreenSaver is owned, BecomeMonitor allowed"),
              std::string::npos);
    EXPECT_NE(healthy.at("log").find("directory /tmp/tarvelo-nobody is safe; level debug from HOST DEFAULTS "
                                     "/etc/tarvelo/config"),
              std::string::npos);
    ChildResult json = session.RunBeside("dc-doctor", {"--json"}, session.DaemonEnvironment());
    // The service saw the client go before it said who it was: no client
    // info, so no token, ever leaves the doctor.
    EXPECT_TRUE(session.Service().WaitForLine("CLOSED ", kWait));
    const std::vector<std::string>& transcript = session.Service().Transcript();
    for (const std::string& line : transcript) {
        EXPECT_EQ(line.find("CLIENT_INFO"), std::string::npos) << line;
    }
    session.RestartService();
    EXPECT_EQ(json.exitStatus, 0);
    boost::property_tree::ptree document;
    std::istringstream jsonText(json.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(jsonText, document)) << json.out;
    EXPECT_EQ(document.get<std::string>("status"),
              healthy.at("crashes").starts_with("ok") ? "ok" : "warning");
    std::vector<std::string> names;
    for (const auto& [key, check] : document.get_child("checks")) {
        names.push_back(check.get<std::string>("name"));
    }
    EXPECT_EQ(names, kChecks);
    ChildResult bad = session.RunBeside("dc-doctor", {"--verbose"}, session.DaemonEnvironment());
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("usage: dc-doctor [--json]"), std::string::npos);
    ChildResult help = session.RunBeside("dc-doctor", {"--help"}, session.DaemonEnvironment());
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.out.starts_with("usage: dc-doctor [--json]\n")) << help.out;
    EXPECT_EQ(help.out.find("identity"), std::string::npos) << "--help ran the checks: " << help.out;

    const std::vector<std::string> env = session.DaemonEnvironment();
    const std::string pub = session.SystemDir("/usr/share/tarvelo") + "/rui.pub";
    const std::string script = session.SystemDir("/usr/lib/tarvelo") + "/nordagent/desktop/desktopCTask.sh";
    const std::string squatted = session.HostTmp() + "/tarvelo-nobody";
    const std::string leftover = session.HostShm() + "/sem.entrySem_" + std::to_string(EndedPid()) + "_0";
    const std::string key = ReadFile(pub);
    const std::string daemon = session.SystemDir("/usr/lib/tarvelo") + "/sandbox/DesktopController";
    const std::string daemonBytes = ReadFile(daemon);
    // An older daemon's file, as the doctor reads it: the mark and its text
    // among other bytes. Written in place, so the set-user-id bit stays.
    const auto installDaemon = [&](const std::string& bytes) {
        std::ofstream(daemon, std::ios::binary | std::ios::trunc) << bytes;
    };
    const std::vector<Broken> cases = {
        {"daemon", "warning",
         installed + " is version 0.9.2 build 17, this dc-doctor version " + DC_VERSION_TEXT +
             ": the checks may not be the ones that daemon makes -- fix: install desktopcontroller and "
             "desktopcontroller-tools of one version",
         [&] { installDaemon("code\0@(#)DesktopController 0.9.2 build 17\0data"s); },
         [&] { installDaemon(daemonBytes); }},
        {"daemon", "warning", installed + " carries no version; this dc-doctor is version " + DC_VERSION_TEXT,
         [&] { installDaemon("code and data of a daemon built before versions were marked"); },
         [&] { installDaemon(daemonBytes); }},
        {"identity", "failure", "/var/tarvelo/brv_desktop_magic has mode 0644, it must be 0600",
         [&] { fs::permissions(session.MagicPath(), fs::perms(0644)); },
         [&] { fs::permissions(session.MagicPath(), fs::perms(0600)); }},
        ByEnvironment("desktop", "no valid desktop id in /var/tarvelo/brv_desktop/brv_desktopid.7",
                      Replaced(env, "WAYLAND_DISPLAY", "wayland-7")),
        // Another user's desktop, which the set-user-id daemon refuses.
        {"desktop",
         "failure",
         "the installed set-user-id daemon would refuse this desktop: the desktop id file of a Wayland "
         "display must belong to the real user (display wayland-8, file "
         "/var/tarvelo/brv_desktop/brv_desktopid.8, owner dcvictim(1101), real user nobody(65534)) -- fix: "
         "the agent writes the display's desktop id file for the desktop's user (owned by nobody(65534))",
         [&] { session.WriteDesktopIdFile("wayland-8", session.DesktopId(), kOtherDesktopUser); },
         {},
         Replaced(env, "WAYLAND_DISPLAY", "wayland-8")},
        ByEnvironment("display", "cannot open X display :97",
                      Replaced(Without(env, "WAYLAND_DISPLAY"), "DISPLAY", ":97")),
        {"service", "failure", "Failed to connect to server, errno: 111",
         // The next service writes its own port.
         [&] { TempDir::WriteAt(session.PortPath(), std::to_string(ClosedPort())); }},
        {"service", "failure", "the public key /usr/share/tarvelo/rui.pub does not parse",
         [&] { TempDir::WriteAt(pub, "-----BEGIN PUBLIC KEY-----\nbroken\n-----END PUBLIC KEY-----\n"); },
         [&] { TempDir::WriteAt(pub, key); }},
        {"session-bus", "failure", "nobody owns org.gnome.ScreenSaver", [&] { saver.reset(); },
         [&] {
             saver = std::make_unique<BusClient>(session.Bus().Address());
             saver->RequestName("org.gnome.ScreenSaver");
         }},
        ByEnvironment("session-bus", "nobody owns org.freedesktop.ScreenSaver",
                      Replaced(env, "XDG_CURRENT_DESKTOP", "KDE")),
        ByEnvironment("session-bus", "cannot reach the session bus",
                      Replaced(env, "DBUS_SESSION_BUS_ADDRESS", "unix:abstract=dc-no-such-bus")),
        {"task-script", "failure", "/usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh is not executable",
         [&] { fs::permissions(script, fs::perms(0644)); },
         [&] { fs::permissions(script, fs::perms(0755)); }},
        {"log", "failure", "the log directory /tmp/tarvelo-nobody is a symbolic link",
         [&] { fs::create_directory_symlink("/tmp", squatted); }, [&] { fs::remove(squatted); }},
        {"crashes", "warning", "the core size limit is 0",
         [&] {
             rlimit none{.rlim_cur = 0, .rlim_max = cores.rlim_max};
             setrlimit(RLIMIT_CORE, &none);
         },
         [&] { setrlimit(RLIMIT_CORE, &cores); }},
        {"leftovers", "warning",
         "names of ended daemons that this user cannot remove: " + fs::path(leftover).filename().string() +
             " (root)",
         [&] { TempDir::WriteAt(leftover, ""); }, [&] { fs::remove(leftover); }},
    };
    for (const Broken& broken : cases) {
        SCOPED_TRACE(broken.text);
        if (broken.breakIt) {
            broken.breakIt();
        }
        const int exitStatus = broken.status == "failure" ? 1 : 0;
        const std::string line = doctor.Line(broken.check, exitStatus, broken.env.empty() ? env : broken.env);
        EXPECT_TRUE(line.starts_with(broken.status + " " + broken.check + ": ")) << doctor.Last().out;
        EXPECT_NE(line.find(broken.text), std::string::npos) << doctor.Last().out;
        if (broken.restore) {
            broken.restore();
        }
    }
    // Everything is restored: healthy again.
    doctor.Line("identity", 0);
}

TEST(DoctorTest, NamesWhoRunsTheServiceAndFailsWhenItIsNeitherRootNorThePortFilesOwner) {
    DesktopSandbox session({.serviceUid = kNobody, .portFileOwner = 0, .setUserId = true});
    BusClient saver(session.Bus().Address());
    saver.RequestName("org.gnome.ScreenSaver");
    Doctor doctor(session);
    std::string port = std::to_string(std::stoi(ReadFile(session.PortPath())));
    EXPECT_EQ(doctor.Line("service", 1),
              "failure service: the service on port " + port +
                  " belongs to uid 65534 (nobody), expected root or uid 0 (root), the owner of "
                  "/var/tarvelo/ipc.port -- fix: run the agent's IPC service as root or as the owner of "
                  "/var/tarvelo/ipc.port");
    // The restarted service's port file, handed to the user who runs it.
    ASSERT_EQ(chown(session.PortPath().c_str(), kNobody, kNobody), 0);
    port = std::to_string(std::stoi(ReadFile(session.PortPath())));
    const std::string line = doctor.Line("service", 0);
    EXPECT_TRUE(line.starts_with("ok service: port " + port +
                                 " from /var/tarvelo/ipc.port, run by uid 65534 (nobody), TLS up, "))
        << line;
}

TEST(DoctorTest, NamesTheFallbackWhenTheBusRefusesMonitors) {
    DesktopSandbox session({.busPolicy = BusPolicy::kRefuseBecomeMonitor, .setUserId = true});
    BusClient saver(session.Bus().Address());
    saver.RequestName("org.gnome.ScreenSaver");
    Doctor doctor(session);
    const std::string line = doctor.Line("session-bus", 0);
    EXPECT_TRUE(
        line.starts_with("warning session-bus: org.gnome.ScreenSaver is owned, BecomeMonitor refused ("
                         "DesktopCMonitor->MonitorBus Failed to utilize BecomeMonitor: "
                         "org.freedesktop.DBus.Error.AccessDenied: "))
        << line;
    EXPECT_NE(line.find("the daemon falls back to an eavesdropping match rule"), std::string::npos) << line;
}

}  // namespace
}  // namespace dctest
