// One desktop session from connect to close: what the service learns when
// the daemon connects, what the daemon does for the service's requests
// (processes started with their arguments and stdin text, stopped for the
// right requester only, the desktop task script run with exact arguments),
// what it makes of bad input (one clear record each, and service goes on;
// entities in a request are neither read nor expanded), and how it ends
// when the service closes: every child stopped and reaped, status 0.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "tests/support/ProcessIdentity.h"
#include "tests/support/Sandbox.h"

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
    std::string base = DesktopSandbox::Inside(tag);
    std::string script = prelude + "tr '\\0' '\\n' < /proc/$$/cmdline > " + base +
                         ".args; readlink /proc/$$/fd/0 > " + base + ".fd0; ";
    if (stdinBytes > 0) {
        script += "head -c " + std::to_string(stdinBytes) + " > " + base + ".stdin; ";
    }
    return script + "echo $$ > " + base + ".pid.tmp; mv " + base + ".pid.tmp " + base +
           ".pid; exec sleep 600";
}

pid_t WaitForPidFile(DesktopSandbox& session, const std::string& tag) {
    std::string path = session.Host(tag + ".pid");
    if (!WaitUntil([&] { return ReadFile(path).ends_with("\n"); })) {
        return -1;
    }
    return std::stoi(ReadFile(path));
}

constexpr const char* kPayloadError = "IpcMsgDispatcher->ParseMsgPayload Parse payload error, cause: ";
constexpr const char* kRequestError = "IpcMsgDispatcher->ProcessRequest Parse request payload error, cause: ";
constexpr const char* kStartError =
    "IpcMsgDispatcher->ProcessStartProcessRequest Parse startProcess request error, cause: ";

// A valid request whose effect the test can see: the task script runs.
// Requests are served one at a time, so after a payload of many megabytes
// it waits for that payload's parse too, which a sanitized build makes
// several times slower.
void ExpectStillServing(DesktopSandbox& session, std::size_t calls,
                        std::chrono::milliseconds timeout = sandbox::kWait) {
    session.Service().Send(TaskXml("LogoutDesktop"));
    EXPECT_TRUE(session.WaitForTaskCalls(calls, timeout)) << session.Log();
}

constexpr std::chrono::milliseconds kAfterHugePayload = 60s;

TEST(SessionTest, ServesRequestsFromConnectUntilTheServiceCloses) {
    if (!DesktopSandbox::XvfbAvailable()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    // Orphans of the daemon become ours: a child it failed to reap would
    // stay visible here as a zombie.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    DesktopSandbox session({.x11 = true, .serviceArgs = {"--fault", "zero-length"}});
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
        "</DesktopId><UserName>sandbox-user</UserName>"
        "<UserDomain>desk.sandbox.test</UserDomain><DesktopType>gnome</DesktopType>"
        "<UserRunTimeDir>/var/tarvelo/sandbox/runtime</UserRunTimeDir><DesktopEnvs>"))
        << payload;
    EXPECT_TRUE(payload.ends_with("</DesktopEnvs></DesktopLogged></Notify>")) << payload;
    // Xlib served the display check only: a connected daemon maps none of it.
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(session.DaemonPid()) + "/maps").find("libX11"),
              std::string::npos);
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
        {"HOME", "/var/tarvelo/sandbox/home"},
        {"LANG", "C.UTF-8"},
        {"USER", "sandbox-user"},
        {"XDG_CURRENT_DESKTOP", "GNOME"},
        {"XDG_RUNTIME_DIR", "/var/tarvelo/sandbox/runtime"},
        {"XDG_SESSION_ID", "sandbox"},
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
    const dctest::ProcessIdentity workerProcess(worker);
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
    const dctest::ProcessIdentity appProcess(app);
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
    EXPECT_TRUE(workerProcess.Alive());
    EXPECT_EQ(
        session.CountInLog("IpcMsgDispatcher->ProcessRequest Received stop process request: e2e-worker"), 1u);
    service.Send(StopProcessXml("e2e-worker", "7"));
    EXPECT_TRUE(session.WaitForLog("Proc(e2e-worker), pid(" + std::to_string(worker) +
                                   "), rid(7), flg(2): killed by signal 15"))
        << session.Log();
    EXPECT_FALSE(workerProcess.Alive());
    EXPECT_TRUE(appProcess.Alive());

    service.Send(TaskXml("UnlockScreen"));
    ASSERT_TRUE(session.WaitForTaskCalls(2));
    service.Send(TaskXml("LogoutDesktop"));
    ASSERT_TRUE(session.WaitForTaskCalls(3));
    EXPECT_EQ(
        session.TaskCalls(),
        (std::vector<std::string>{"-a lock -d rocky", "-a unlock -d rocky -t gnome", "-a logout -t gnome"}));
    EXPECT_TRUE(session.WaitForLog("DesktopCExecutor->Exec Task LogoutDesktop executed directly"));
    // The daemon, the app and the stubborn child; the task scripts are done.
    // The `mv` that published a pid file may still be on its way out.
    EXPECT_TRUE(WaitUntil([&] { return session.DaemonProcesses().size() == 3; }))
        << session.DaemonProcesses().size();

    // Whatever else the service sends, the daemon logs one clear record for
    // what it cannot use and handles the next valid request. The empty frame
    // went out right after READY, before the daemon's first notification.
    const auto& transcript = service.Transcript();
    EXPECT_TRUE(std::any_of(transcript.begin(), transcript.end(), [](const std::string& line) {
        return line.find(" SENT type=4 length=0") != std::string::npos;
    })) << ::testing::PrintToString(transcript);
    // Nothing so far was an error, and the empty frame is an empty document.
    const std::size_t errors = session.CountInLog("Er(02)");
    EXPECT_EQ(errors, 0u) << session.Log();
    const std::string startRecord =
        "IpcMsgDispatcher->ProcessStartProcessRequest Received start process request";
    const std::size_t starts = session.CountInLog(startRecord);
    ExpectStillServing(session, 4);
    EXPECT_EQ(session.CountInLog("Received an IPC message without payload\n"), 1u) << session.Log();

    service.Send("<Request name=\"LockScreen\"");
    ExpectStillServing(session, 5);
    EXPECT_EQ(session.CountInLog(kPayloadError), 1u) << session.Log();

    // Names are exact; unknown ones and Responses are for someone else.
    service.Send(TaskXml("lockscreen"));
    service.Send(TaskXml("Reboot"));
    service.Send("<Response name=\"LockScreen\"/>");
    ExpectStillServing(session, 6);

    service.Send("<Request><LockScreen/></Request>");
    service.Send(StartProcessXml({.name = "no-path", .connectionId = "1"}));
    service.Send(
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>x</ProcessName></StopProcess></Request>");
    service.Send(StopProcessXml("x", "abc"));
    ExpectStillServing(session, 7);
    EXPECT_EQ(session.CountInLog(std::string(kRequestError) + "No such node (Request.<xmlattr>.name)\n"), 1u)
        << session.Log();
    EXPECT_EQ(session.CountInLog(std::string(kStartError) + "No such node (ProcessPath)\n"), 1u);
    EXPECT_EQ(session.CountInLog(std::string(kRequestError) + "No such node (StopProcess.ConnectionId)\n"),
              1u);
    EXPECT_EQ(session.CountInLog(std::string(kRequestError) + "conversion of data to type \"i\" failed\n"),
              1u);
    EXPECT_EQ(session.CountInLog(kRequestError), 3u);
    EXPECT_EQ(session.CountInLog(startRecord), starts);

    // 8 MiB of XML that never closes its elements.
    std::string huge = session.Host("huge.xml");
    {
        std::ofstream out(huge);
        out << "<Request name=\"StartProcess\"><StartProcess><ProcessParams>";
        for (int i = 0; i < 8 * 1024 * 1024 / 16; ++i) {
            out << "<P>0123456</P>\n";
        }
    }
    service.SendFile(huge);
    ExpectStillServing(session, 8, kAfterHugePayload);
    EXPECT_EQ(session.CountInLog(kPayloadError), 2u);
    // The empty frame was an empty document: nothing to log for it.
    EXPECT_EQ(session.CountInLog("Er(02)"), errors + 6) << session.Log();

    // External and nested internal entities; a parser that expanded them
    // would pass the file's text, or a blown-up string, to the probe.
    TempDir::WriteAt(session.Host("secret.txt"), "file-content-that-must-stay-put");
    service.Send(
        "<?xml version=\"1.0\"?><!DOCTYPE Request [<!ENTITY x SYSTEM \"file://" +
        DesktopSandbox::Inside("secret.txt") +
        "\"><!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><Request name=\"StartProcess\"><StartProcess>"
        "<ProcessName>ent</ProcessName><ProcessPath>" +
        DesktopSandbox::Probe() + "</ProcessPath><ProcessParams><p>" + DesktopSandbox::Inside("ent") +
        "</p><p>&x;</p><p>&c;</p></ProcessParams><ConnectionId>1</ConnectionId></StartProcess></Request>");
    // 16 MiB of parameter text in one well-formed request.
    std::string big = TempDir::WriteAt(
        session.Host("big.xml"),
        "<Request "
        "name=\"StartProcess\"><StartProcess><ProcessName>big</ProcessName><ProcessPath>/nonexistent/big"
        "</ProcessPath><ProcessParams><p>" +
            std::string(16 << 20, 'A') +
            "</p></ProcessParams><ConnectionId>1</ConnectionId></StartProcess></Request>");
    service.SendFile(big);
    ExpectStillServing(session, 9, kAfterHugePayload);
    EXPECT_TRUE(session.WaitForLog("/nonexistent/big")) << "the big request was not read";
    std::string log = session.Log();
    if (std::optional<std::string> ent = session.WaitForReport("ent", 1s)) {
        EXPECT_EQ(ent->find("file-content"), std::string::npos) << *ent;
        EXPECT_EQ(ent->find("lollol"), std::string::npos) << *ent;
    } else {
        EXPECT_EQ(Occurrences(log, "Er(02)"), errors + 7)
            << "the entity request was neither run nor refused\n"
            << log;
    }
    EXPECT_EQ(log.find("file-content"), std::string::npos);
    EXPECT_EQ(log.find("lollol"), std::string::npos);

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
