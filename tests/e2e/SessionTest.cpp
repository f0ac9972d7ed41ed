// The daemon at work on a private desktop: what the service learns when it
// connects, and what the daemon does for the service's requests (processes
// started with their arguments and stdin text, stopped for the right
// requester only, and the desktop task script run with exact arguments).
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "tests/e2e/E2eSupport.h"
#include "tests/support/FileWatch.h"

namespace e2e {
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

std::string EnvValue(const std::vector<std::string>& env, const std::string& name) {
    for (const std::string& entry : env) {
        if (entry.starts_with(name + "=")) {
            return entry.substr(name.size() + 1);
        }
    }
    return {};
}

std::string LittleEndianHex(uint32_t value) {
    char text[9];
    snprintf(text, sizeof text, "%02x%02x%02x%02x", value & 0xff, (value >> 8) & 0xff, (value >> 16) & 0xff,
             value >> 24);
    return text;
}

TEST(SessionTest, ConnectSendsTheCheckedClientInfoAndTheLoggedOnDesktop) {
    if (!dctest::XvfbServer::Available()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    dctest::DesktopSession session({.x11 = true});
    dctest::IpcService& service = session.Service();
    session.StartDaemon(session.DaemonEnvironment({"GTK_MODULES=gail", "E2E_PRIVATE=not-reported"}));

    std::optional<std::string> info = service.WaitForLine("CLIENT_INFO", kWait);
    ASSERT_TRUE(info) << session.Log();
    EXPECT_NE(
        info->find(" clientId=" + session.DesktopId() + " name=DesktopController heartbeat=0 token=ok "),
        std::string::npos)
        << *info;
    ASSERT_TRUE(service.WaitForLine(" READY$", kWait));

    std::optional<std::string> frame = service.WaitForLine("RECV type=4 .*DesktopLogged", kWait);
    ASSERT_TRUE(frame) << session.Log();
    std::string payload = dctest::IpcService::PayloadOf(*frame);
    std::string root = session.Layout().Root();
    EXPECT_TRUE(payload.starts_with(
        kXmlDeclaration + "<Notify name=\"DesktopLogged\"><DesktopLogged><DesktopId>" + session.DesktopId() +
        "</DesktopId><UserName>e2e-user</UserName>"
        "<UserDomain>desk.e2e.test</UserDomain><DesktopType>gnome</DesktopType>"
        "<UserRunTimeDir>" +
        root + "/runtime</UserRunTimeDir><DesktopEnvs>"))
        << payload;
    EXPECT_TRUE(payload.ends_with("</DesktopEnvs></DesktopLogged></Notify>")) << payload;
    // Little-endian header: type 4, then the payload length, no terminator.
    EXPECT_NE(frame->find(" length=" + std::to_string(payload.size()) + " header=" + LittleEndianHex(4) +
                          LittleEndianHex(static_cast<uint32_t>(payload.size())) + " "),
              std::string::npos)
        << *frame;

    std::map<std::string, std::string> expected = {
        {"DBUS_SESSION_BUS_ADDRESS", session.Bus().Address()},
        {"DISPLAY", EnvValue(session.DaemonEnvironment(), "DISPLAY")},
        {"GTK_MODULES", "gail"},
        {"HOME", root + "/home"},
        {"LANG", "C.UTF-8"},
        {"USER", "e2e-user"},
        {"XDG_CURRENT_DESKTOP", "GNOME"},
        {"XDG_RUNTIME_DIR", root + "/runtime"},
        {"XDG_SESSION_ID", "e2e"},
    };
    EXPECT_EQ(ReportedEnvironment(payload), expected);

    EXPECT_TRUE(session.WaitForLog("IpcMsgDispatcher->OnConnected ipc server connected", kWait));
    EXPECT_EQ(session.CountInLog("Desktop Controller client ID " + session.DesktopId() + "\n"), 1u);
    EXPECT_EQ(session.CountInLog("IpcMsgDispatcher->NotifyDesktopLogged Notify desktop " +
                                 session.DesktopId() + " is logged\n"),
              1u);
    service.Close();
    dctest::ChildResult result = session.FinishDaemon(kWait);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(service.Finish(kWait).exitStatus, 0);
}

// A shell that records its own argv and what arrives on its stdin, then
// becomes a long sleep with the same pid.
std::string RecordingShell(dctest::DesktopSession& session, const std::string& tag, std::size_t stdinBytes) {
    std::string base = session.Scratch(tag);
    std::string script =
        "tr '\\0' '\\n' < /proc/$$/cmdline > " + base + ".args; readlink /proc/$$/fd/0 > " + base + ".fd0; ";
    if (stdinBytes > 0) {
        script += "head -c " + std::to_string(stdinBytes) + " > " + base + ".stdin; ";
    }
    return script + "echo $$ > " + base + ".pid.tmp; mv " + base + ".pid.tmp " + base +
           ".pid; exec sleep 600";
}

pid_t WaitForPidFile(dctest::DesktopSession& session, const std::string& tag) {
    std::string path = session.Scratch(tag + ".pid");
    if (!dctest::WaitForFile(
            path, [](const std::string& text) { return text.ends_with("\n"); }, kWait)) {
        return -1;
    }
    return std::stoi(dctest::ReadFileText(path));
}

TEST(SessionTest, StartStopAndDesktopTasksDoExactlyWhatWasRequested) {
    dctest::DesktopSession session;
    dctest::IpcService& service = session.Service();
    ASSERT_TRUE(StartAndConnect(session)) << session.Log();

    // Blanks and markup characters must arrive byte for byte.
    const std::string token = " tok&en <7> \"q\" ";
    service.Send(
        StartProcessXml({.name = "e2e-worker",
                         .path = "/bin/sh",
                         .params = {"-c", RecordingShell(session, "worker", token.size()), "two words"},
                         .stdinText = token,
                         .connectionId = "7"}));
    pid_t worker = WaitForPidFile(session, "worker");
    ASSERT_GT(worker, 0) << session.Log();
    EXPECT_EQ(dctest::ReadFileText(session.Scratch("worker.args")),
              "e2e-worker\n-c\n" + RecordingShell(session, "worker", token.size()) + "\ntwo words\n");
    EXPECT_EQ(dctest::ReadFileText(session.Scratch("worker.stdin")), token);
    EXPECT_TRUE(dctest::ReadFileText(session.Scratch("worker.fd0")).starts_with("pipe:"));

    service.Send(StartProcessXml({.name = "e2e-app",
                                  .path = "/bin/sh",
                                  .params = {"-c", RecordingShell(session, "app", 0)},
                                  .stdinText = "never-sent",
                                  .connectionId = "7",
                                  .isApp = " true "}));
    pid_t app = WaitForPidFile(session, "app");
    ASSERT_GT(app, 0) << session.Log();
    EXPECT_EQ(dctest::ReadFileText(session.Scratch("app.fd0")), "/dev/null\n");
    EXPECT_TRUE(
        session.WaitForLog("DesktopCProcessMgr->StartAppProcess App process name e2e-app, path /bin/sh, "
                           "is_present 0",
                           kWait));

    // Requests are handled one at a time, so once the lock task has run the
    // stop for another requester has been handled too.
    service.Send(StopProcessXml("e2e-worker", "8"));
    service.Send(TaskXml("LockScreen"));
    ASSERT_TRUE(session.WaitForTaskCalls(1, kWait)) << session.Log();
    EXPECT_TRUE(ProcessAlive(worker));
    EXPECT_EQ(
        session.CountInLog("IpcMsgDispatcher->ProcessRequest Received stop process request: e2e-worker"), 1u);

    service.Send(StopProcessXml("e2e-worker", "7"));
    EXPECT_TRUE(session.WaitForLog(
        "Proc(e2e-worker), pid(" + std::to_string(worker) + "), rid(7), flg(2): killed by signal 15", kWait))
        << session.Log();
    EXPECT_FALSE(ProcessAlive(worker));
    EXPECT_TRUE(ProcessAlive(app));

    service.Send(TaskXml("UnlockScreen"));
    ASSERT_TRUE(session.WaitForTaskCalls(2, kWait));
    service.Send(TaskXml("LogoutDesktop"));
    ASSERT_TRUE(session.WaitForTaskCalls(3, kWait));
    EXPECT_EQ(
        session.TaskCalls(),
        (std::vector<std::string>{"-a lock -d rocky", "-a unlock -d rocky -t gnome", "-a logout -t gnome"}));
    EXPECT_TRUE(session.WaitForLog("DesktopCExecutor->Exec Task LogoutDesktop executed directly", kWait));

    service.Close();
    dctest::ChildResult result = session.FinishDaemon(kWait);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(ProcessAlive(app));
}

}  // namespace
}  // namespace e2e
