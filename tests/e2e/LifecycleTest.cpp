// How the daemon ends: cleanly when the service closes (children stopped and
// reaped, status 0), with status 1 when it cannot connect, with 255 after a
// fatal signal, by the signal itself after SIGTERM; and the log file that
// tells an administrator what happened.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/E2eSupport.h"
#include "tests/support/FileWatch.h"

namespace e2e {
namespace {

constexpr const char* kConnectFailed = "Failed to connect ipcserver, exiting.\n";

pid_t StartRecordedSleeper(dctest::DesktopSession& session, const std::string& name,
                           const std::string& prelude, const std::string& isApp = "false") {
    std::string pidFile = session.Scratch(name + ".pid");
    session.Service().Send(
        StartProcessXml({.name = name,
                         .path = "/bin/sh",
                         .params = {"-c", prelude + "echo $$ > " + pidFile + ".tmp; mv " + pidFile + ".tmp " +
                                              pidFile + "; exec sleep 600"},
                         .connectionId = "3",
                         .isApp = isApp}));
    if (!dctest::WaitForFile(
            pidFile, [](const std::string& text) { return text.ends_with("\n"); }, kWait)) {
        return -1;
    }
    return std::stoi(dctest::ReadFileText(pidFile));
}

// The `mv` that published a pid file may still be on its way out when the
// file appears, so the count settles within a bounded wait.
bool DaemonProcessCountSettlesAt(dctest::DesktopSession& session, size_t expected) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (session.DaemonProcesses().size() != expected) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Gone(pid_t pid) {
    return !std::filesystem::exists("/proc/" + std::to_string(pid));
}

TEST(LifecycleTest, ServiceCloseStopsAndReapsEveryChildThenExitsZero) {
    // Orphans of the daemon become ours: a child it failed to reap would
    // stay visible here as a zombie.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    dctest::DesktopSession session;
    ASSERT_TRUE(StartAndConnect(session)) << session.Log();
    pid_t worker = StartRecordedSleeper(session, "worker", "");
    // Ignored signals stay ignored across exec: this one only dies by SIGKILL.
    pid_t stubborn = StartRecordedSleeper(session, "stubborn", "trap '' TERM; ");
    pid_t app = StartRecordedSleeper(session, "app", "", "true");
    ASSERT_GT(worker, 0);
    ASSERT_GT(stubborn, 0);
    ASSERT_GT(app, 0);
    EXPECT_TRUE(DaemonProcessCountSettlesAt(session, 4)) << session.DaemonProcesses().size();

    auto closed = std::chrono::steady_clock::now();
    session.Service().Close();
    dctest::ChildResult result = session.FinishDaemon(kWait);
    auto took = std::chrono::steady_clock::now() - closed;
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(session.DaemonProcesses().empty());
    EXPECT_TRUE(Gone(worker));
    EXPECT_TRUE(Gone(stubborn));
    EXPECT_TRUE(Gone(app));
    // The stubborn child had its 2 s to react to SIGTERM before SIGKILL.
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_EQ(session.CountInLog("Service terminated!\n"), 1u) << session.Log();
    EXPECT_EQ(session.Service().Finish(kWait).exitStatus, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

int ClosedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(LifecycleTest, ConnectFailuresEndWithStatusOneAndTheirCause) {
    {
        dctest::DesktopSession session({.startService = false});
        std::ofstream(session.Layout().HostPath("/var/tarvelo") + "/ipc.port")
            << ClosedLoopbackPort() << "\n";
        session.StartDaemon();
        dctest::ChildResult result = session.FinishDaemon(kWait);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(session.CountInLog("Failed to connect to server, errno: 111\n"), 1u) << session.Log();
        EXPECT_EQ(session.CountInLog(kConnectFailed), 1u);
    }
    {
        dctest::DesktopSession session({.serviceArgs = {"--fault", "foreign-key"}});
        session.StartDaemon();
        dctest::ChildResult result = session.FinishDaemon(kWait);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(session.CountInLog("Server signature verification fail\n"), 1u) << session.Log();
        EXPECT_EQ(session.CountInLog(kConnectFailed), 1u);
        EXPECT_EQ(session.CountInLog("Service start!"), 0u);
    }
    {
        // The service holds another magic: it refuses the token, sends no READY.
        dctest::DesktopSession session;
        std::ofstream(session.MagicPath(), std::ios::trunc) << std::string(40, 'm');
        session.StartDaemon();
        dctest::ChildResult result = session.FinishDaemon(kWait);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(session.CountInLog("Failed to wait service ready\n"), 1u) << session.Log();
        EXPECT_EQ(session.CountInLog(kConnectFailed), 1u);
        std::optional<std::string> info = session.Service().WaitForLine("CLIENT_INFO", kWait);
        ASSERT_TRUE(info);
        EXPECT_NE(info->find(" token=mismatch "), std::string::npos) << *info;
        EXPECT_EQ(session.Service().Finish(kWait).exitStatus, 3);
    }
}

TEST(LifecycleTest, FatalSignalPanicsWithStatus255AndTermEndsByTheSignal) {
    // No core file from the panic path; it reports the zero limit instead.
    rlimit noCore{0, 0};
    getrlimit(RLIMIT_CORE, &noCore);
    noCore.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &noCore), 0);
    {
        dctest::DesktopSession session;
        ASSERT_TRUE(StartAndConnect(session)) << session.Log();
        kill(session.DaemonPid(), SIGSEGV);
        dctest::ChildResult result = session.FinishDaemon(kWait);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitStatus, 255);
        EXPECT_NE(result.err.find("Unexpected signal: 11."), std::string::npos) << result.err;
        std::string log = session.Log();
        for (const char* record :
             {"Caught signal 11 -- tid ", "SIGNAL: rip 0x", "SIGNAL: stack ",
              "PANIC: Unexpected signal: 11.\n",
              "The core dump limit is set to ZERO; no core dump should be expected\n", "Exiting\n"}) {
            EXPECT_NE(log.find(record), std::string::npos) << record << "\n" << log;
        }
    }
    {
        dctest::DesktopSession session;
        ASSERT_TRUE(StartAndConnect(session)) << session.Log();
        kill(session.DaemonPid(), SIGTERM);
        dctest::ChildResult result = session.FinishDaemon(kWait);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.termSignal, SIGTERM);
        std::string log = session.Log();
        EXPECT_TRUE(
            std::regex_search(log, std::regex("Caught signal 15 -- tid [0-9]+ \\(eip 0x[0-9a-f]+\\)\n")))
            << log;
        EXPECT_EQ(log.find("SIGNAL: rip"), std::string::npos);
    }
}

TEST(LifecycleTest, LogFileHasItsDefaultNameHeaderAndLinePrefixes) {
    dctest::DesktopSession session;
    std::ofstream(session.Layout().HostPath("/etc/tarvelo") + "/config", std::ios::trunc)
        << "DesktopController.log.logLevel = \"debug\"\n";
    std::string tmp = session.Scratch("tmp");
    std::filesystem::create_directories(tmp);
    ASSERT_TRUE(StartAndConnect(session, {"TMPDIR=" + tmp})) << session.Log();
    const pid_t daemon = session.DaemonPid();
    std::string path = tmp + "/tarvelo-e2e-user/brevant-DesktopController-" + std::to_string(daemon) + ".log";
    EXPECT_TRUE(dctest::WaitForFile(
        path, [](const std::string& text) { return text.find("ipc server connected") != std::string::npos; },
        kWait))
        << path;
    session.Service().Close();
    EXPECT_EQ(session.FinishDaemon(kWait).exitStatus, 0);

    std::istringstream log(dctest::ReadFileText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 6u);
    const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z ";
    const std::string info = stamp + "In\\(05\\) \\S+ ";
    EXPECT_TRUE(std::regex_match(lines[0],
                                 std::regex(info + "Log for DesktopController pid=" + std::to_string(daemon) +
                                            " version=\\S+ build=\\S+ option=Release")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(info + "The host is x86_64\\."))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(info + "Host codepage=\\S+ encoding=\\S+")))
        << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(info + "Host is .+"))) << lines[3];
    EXPECT_TRUE(
        std::regex_match(lines[4], std::regex(info + "Host offset from UTC is [+-][0-9]{2}:[0-9]{2}\\.")))
        << lines[4];
    // Every record starts with the prefix; a multi-line message continues
    // on lines of its own.
    const std::regex record(stamp + "(Er\\(02\\)|Wa\\(03\\)|In\\(05\\)|Db\\(08\\)|Db\\(09\\)) \\S+ .*");
    std::size_t records = 0;
    for (const std::string& line : lines) {
        records += std::regex_match(line, record) ? 1 : 0;
    }
    EXPECT_GE(records + 2, lines.size());
}

}  // namespace
}  // namespace e2e
