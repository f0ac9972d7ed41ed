// One desktop session from connect to close: what the service learns when
// the daemon connects, what the daemon does for the service's requests
// (processes started with their arguments and stdin text, stopped for the
// right requester only, the desktop task script run with exact arguments),
// and how it ends when the service closes: every child stopped and reaped,
// status 0.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "tests/support/DesktopSession.h"
#include "tests/support/TempDir.h"

namespace dctest {
namespace {

std::map<std::string, std::string> ReportedEnvironment(const std::string& payload) {
    std::map<std::string, std::string> entries;
    std::size_t start = payload.find("<DesktopEnvs>");
    std::size_t end = payload.find("</DesktopEnvs>");
    if (start == std::string::npos || end == std::string::npos) {
        return entries;
    }
    std::string section = payload.substr(start, end - start);
    static const std::regex entry("<([A-Za-z_]+)>([^<]*)</\\1>");
    for (std::sregex_iterator it(section.begin(), section.end(), entry), last; it != last; ++it) {
        entries[(*it)[1]] = (*it)[2];
    }
    return entries;
}

std::string LittleEndianHex(uint32_t value) {
    char text[9];
    snprintf(text, sizeof text, "%02x%02x%02x%02x", value & 0xff, (value >> 8) & 0xff, (value >> 16) & 0xff,
             value >> 24);
    return text;
}

// A shell that records its own argv and what arrives on its stdin, then
// becomes a long sleep with the same pid (prelude runs first).
std::string RecordingShell(const std::string& tag, std::size_t stdinBytes, const std::string& prelude = "") {
    std::string base = DesktopSession::Inside(tag);
    std::string script = prelude + "tr '\\0' '\\n' < /proc/$$/cmdline > " + base +
                         ".args; readlink /proc/$$/fd/0 > " + base + ".fd0; ";
    if (stdinBytes > 0) {
        script += "head -c " + std::to_string(stdinBytes) + " > " + base + ".stdin; ";
    }
    return script + "echo $$ > " + base + ".pid.tmp; mv " + base + ".pid.tmp " + base +
           ".pid; exec sleep 600";
}

pid_t WaitForPidFile(DesktopSession& session, const std::string& tag) {
    std::string path = session.Host(tag + ".pid");
    if (!WaitForFile(
            path, [](const std::string& text) { return text.ends_with("\n"); }, kWait)) {
        return -1;
    }
    return std::stoi(ReadFile(path));
}

bool ProcessAlive(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The `mv` that published a pid file may still be on its way out when the
// file appears, so the count settles within a bounded wait.
bool DaemonProcessCountSettlesAt(DesktopSession& session, size_t expected) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (session.DaemonProcesses().size() != expected) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(SessionTest, ServesRequestsFromConnectUntilTheServiceCloses) {
    if (!DesktopSession::XvfbAvailable()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    // Orphans of the daemon become ours: a child it failed to reap would
    // stay visible here as a zombie.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    DesktopSession session({.x11 = true});
    IpcService& service = session.Service();
    session.StartDaemon(session.DaemonEnvironment({"GTK_MODULES=gail", "E2E_PRIVATE=not-reported"}));

    // The handshake, checked by the service, and the logged-on desktop.
    std::optional<std::string> info = service.WaitForLine("CLIENT_INFO", kWait);
    ASSERT_TRUE(info) << session.Log();
    EXPECT_NE(
        info->find(" clientId=" + session.DesktopId() + " name=DesktopController heartbeat=0 token=ok "),
        std::string::npos)
        << *info;
    ASSERT_TRUE(service.WaitForLine(" READY$", kWait));
    std::optional<std::string> frame = service.WaitForLine("RECV type=4 .*DesktopLogged", kWait);
    ASSERT_TRUE(frame) << session.Log();
    std::string payload = IpcService::PayloadOf(*frame);
    EXPECT_TRUE(payload.starts_with(
        kXmlDeclaration + "<Notify name=\"DesktopLogged\"><DesktopLogged><DesktopId>" + session.DesktopId() +
        "</DesktopId><UserName>e2e-user</UserName>"
        "<UserDomain>desk.e2e.test</UserDomain><DesktopType>gnome</DesktopType>"
        "<UserRunTimeDir>/var/tarvelo/e2e/runtime</UserRunTimeDir><DesktopEnvs>"))
        << payload;
    EXPECT_TRUE(payload.ends_with("</DesktopEnvs></DesktopLogged></Notify>")) << payload;
    // Little-endian header: type 4, then the payload length, no terminator.
    EXPECT_NE(frame->find(" length=" + std::to_string(payload.size()) + " header=" + LittleEndianHex(4) +
                          LittleEndianHex(static_cast<uint32_t>(payload.size())) + " "),
              std::string::npos)
        << *frame;
    std::string display;
    for (const std::string& entry : session.DaemonEnvironment()) {
        display = entry.starts_with("DISPLAY=") ? entry.substr(8) : display;
    }
    std::map<std::string, std::string> expected = {
        {"DBUS_SESSION_BUS_ADDRESS", session.Bus().Address()},
        {"DISPLAY", display},
        {"GTK_MODULES", "gail"},
        {"HOME", "/var/tarvelo/e2e/home"},
        {"LANG", "C.UTF-8"},
        {"USER", "e2e-user"},
        {"XDG_CURRENT_DESKTOP", "GNOME"},
        {"XDG_RUNTIME_DIR", "/var/tarvelo/e2e/runtime"},
        {"XDG_SESSION_ID", "e2e"},
    };
    EXPECT_EQ(ReportedEnvironment(payload), expected);
    EXPECT_TRUE(session.WaitForLog("IpcMsgDispatcher->OnConnected ipc server connected"));
    EXPECT_TRUE(session.WaitForLog("DesktopCMonitor->MonitorBus Succeeded to BecomeMonitor."));
    EXPECT_EQ(session.CountInLog("Desktop Controller client ID " + session.DesktopId() + "\n"), 1u);
    EXPECT_EQ(session.CountInLog("IpcMsgDispatcher->NotifyDesktopLogged Notify desktop " +
                                 session.DesktopId() + " is logged\n"),
              1u);

    // Blanks and markup characters must arrive byte for byte.
    const std::string token = " tok&en <7> \"q\" ";
    const std::string workerScript = RecordingShell("worker", token.size());
    service.Send(StartProcessXml({.name = "e2e-worker",
                                  .path = "/bin/sh",
                                  .params = {"-c", workerScript, "two words"},
                                  .stdinText = token,
                                  .connectionId = "7"}));
    pid_t worker = WaitForPidFile(session, "worker");
    ASSERT_GT(worker, 0) << session.Log();
    EXPECT_EQ(ReadFile(session.Host("worker.args")), "e2e-worker\n-c\n" + workerScript + "\ntwo words\n");
    EXPECT_EQ(ReadFile(session.Host("worker.stdin")), token);
    EXPECT_TRUE(ReadFile(session.Host("worker.fd0")).starts_with("pipe:"));

    service.Send(StartProcessXml({.name = "e2e-app",
                                  .path = "/bin/sh",
                                  .params = {"-c", RecordingShell("app", 0)},
                                  .stdinText = "never-sent",
                                  .connectionId = "7",
                                  .isApp = " true "}));
    pid_t app = WaitForPidFile(session, "app");
    ASSERT_GT(app, 0) << session.Log();
    EXPECT_EQ(ReadFile(session.Host("app.fd0")), "/dev/null\n");
    EXPECT_TRUE(session.WaitForLog(
        "DesktopCProcessMgr->StartAppProcess App process name e2e-app, path /bin/sh, is_present 0"));
    // Ignored signals stay ignored across exec: this one only dies by SIGKILL.
    service.Send(StartProcessXml({.name = "stubborn",
                                  .path = "/bin/sh",
                                  .params = {"-c", RecordingShell("stubborn", 0, "trap '' TERM; ")},
                                  .connectionId = "3"}));
    pid_t stubborn = WaitForPidFile(session, "stubborn");
    ASSERT_GT(stubborn, 0) << session.Log();

    // Requests are handled one at a time, so once the lock task has run the
    // stop for another requester has been handled too.
    service.Send(StopProcessXml("e2e-worker", "8"));
    service.Send(TaskXml("LockScreen"));
    ASSERT_TRUE(session.WaitForTaskCalls(1)) << session.Log();
    EXPECT_TRUE(ProcessAlive(worker));
    EXPECT_EQ(
        session.CountInLog("IpcMsgDispatcher->ProcessRequest Received stop process request: e2e-worker"), 1u);
    service.Send(StopProcessXml("e2e-worker", "7"));
    EXPECT_TRUE(session.WaitForLog("Proc(e2e-worker), pid(" + std::to_string(worker) +
                                   "), rid(7), flg(2): killed by signal 15"))
        << session.Log();
    EXPECT_FALSE(ProcessAlive(worker));
    EXPECT_TRUE(ProcessAlive(app));

    service.Send(TaskXml("UnlockScreen"));
    ASSERT_TRUE(session.WaitForTaskCalls(2));
    service.Send(TaskXml("LogoutDesktop"));
    ASSERT_TRUE(session.WaitForTaskCalls(3));
    EXPECT_EQ(
        session.TaskCalls(),
        (std::vector<std::string>{"-a lock -d rocky", "-a unlock -d rocky -t gnome", "-a logout -t gnome"}));
    EXPECT_TRUE(session.WaitForLog("DesktopCExecutor->Exec Task LogoutDesktop executed directly"));
    // The daemon, the app and the stubborn child; the task scripts are done.
    EXPECT_TRUE(DaemonProcessCountSettlesAt(session, 3)) << session.DaemonProcesses().size();

    auto closed = std::chrono::steady_clock::now();
    service.Close();
    ChildResult result = session.FinishDaemon();
    auto took = std::chrono::steady_clock::now() - closed;
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(session.DaemonProcesses().empty());
    for (pid_t child : {worker, app, stubborn}) {
        EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(child))) << child;
    }
    // The stubborn child had its 2 s to react to SIGTERM before SIGKILL.
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_EQ(session.CountInLog("Service terminated!\n"), 1u) << session.Log();
    EXPECT_EQ(service.Finish(kWait).exitStatus, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace dctest
