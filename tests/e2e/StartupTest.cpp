// The DesktopController binary before it serves anyone: the exact messages
// on standard error, the exit status and the log records of every refusal,
// and the bytes of the client information it connects with. Every run
// happens in a private mount namespace with temp directories over the
// fixed paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace dctest {
namespace {

struct Refusal {
    std::vector<std::string> env;
    std::vector<std::string> args;
    std::string magic;   // none when empty
    std::string err;     // exact standard error
    std::string logged;  // a record the log must hold; the log must not exist when empty
    // How often the client id is logged, when that tells where it stopped.
    std::optional<std::size_t> clientIdRecords{};
};

TEST(StartupTest, EachRefusalEndsWithStatusOneAndItsOwnMessage) {
    const std::string noMagic = "DesktopController: failed to read desktop magic, exiting.\n";
    const std::vector<Refusal> refusals = {
        // Nothing else happens without the magic, whatever the arguments.
        {{"BRV_DESKTOP_ID=5"}, {}, "", noMagic, ""},
        {{"BRV_DESKTOP_ID=5"}, {"--help"}, "", noMagic, ""},
        {{"BRV_DESKTOP_ID=12a"}, {}, kMagic, "DesktopController: invalid desktop id \"12a\", exiting.\n", ""},
        {{"BRV_DESKTOP_ID=", "DISPLAY=:1"},
         {},
         kMagic,
         "DesktopController: invalid desktop id \"\", exiting.\n",
         ""},
        {{"BRV_DESKTOP_ID=2147483648", "WAYLAND_DISPLAY="},
         {},
         kMagic,
         "DesktopController: desktop id \"2147483648\" is out of range for a client id, exiting.\n",
         "Desktop id 2147483648 is out of range for a client id, exiting.\n"},
        // A magic of the wrong length fails at the token, after logging began.
        {{"BRV_DESKTOP_ID=5", "WAYLAND_DISPLAY="},
         {},
         kMagic + "\n",
         "",
         "Failed to generate ipc token, exiting.\n"},
        // An X display is required unless the session is a Wayland one.
        {{"BRV_DESKTOP_ID=5"}, {}, kMagic, "", "Failed to open display (unset), exiting.\n", 0},
        {{"BRV_DESKTOP_ID=6", "WAYLAND_DISPLAY="},
         {},
         kMagic,
         "",
         "Failed to connect ipcserver, exiting.\n",
         1},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.env.front() + " " + refusal.err + refusal.logged);
        SystemDirsLayout layout;
        const std::string log = layout.Root() + "/controller.log";
        TempDir::WriteAt(layout.HostPath("/etc/tarvelo") + "/config",
                         "DesktopController.log.filename = \"" + log + "\"\n");
        if (!refusal.magic.empty()) {
            TempDir::WriteAt(layout.HostPath("/var/tarvelo") + "/brv_desktop_magic", refusal.magic, 0600);
        }
        std::vector<std::string> argv = {BuiltBinary("DesktopController")};
        argv.insert(argv.end(), refusal.args.begin(), refusal.args.end());
        std::vector<std::string> env = refusal.env;
        env.push_back("PATH=/usr/bin:/bin");
        ChildResult result = RunChild({.argv = argv, .env = env, .layout = &layout}, kWait);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, refusal.err);
        if (refusal.logged.empty()) {
            EXPECT_FALSE(fs::exists(log));
        } else {
            EXPECT_EQ(Occurrences(ReadFile(log), refusal.logged), 1u) << ReadFile(log);
        }
        EXPECT_EQ(ReadFile(log).find(kMagic.substr(0, 12)), std::string::npos);
        // The client id is logged only once the display is known to work.
        if (refusal.clientIdRecords) {
            EXPECT_EQ(Occurrences(ReadFile(log), "Desktop Controller client ID"), *refusal.clientIdRecords);
        }
    }
}

TEST(StartupTest, RefusedTokenEndsWithStatusOneAfterTheClientInfoWentOut) {
    // Leading zeros are accepted: the id is 7, but the token is made from
    // the text "007". The service derives its token from "7", so it refuses
    // this one and sends no READY; the wire shows what the daemon sent.
    DesktopSandbox session({.desktopId = "007"});
    session.StartDaemon();
    std::optional<std::string> info = session.Service().WaitForLine("CLIENT_INFO", kWait);
    ASSERT_TRUE(info) << session.Log();
    EXPECT_NE(info->find(" clientId=7 name=DesktopController heartbeat=0 token=mismatch "), std::string::npos)
        << *info;
    // A little-endian header (type 1, 92 bytes), then the token as text.
    std::string token = IpcToken("007", session.Magic());
    std::string tokenHex;
    char pair[3];
    for (unsigned char c : token) {
        snprintf(pair, sizeof pair, "%02x", c);
        tokenHex += pair;
    }
    EXPECT_NE(info->find(" raw=010000005c000000" + tokenHex), std::string::npos) << *info;
    EXPECT_EQ(session.FinishDaemon().exitStatus, 1);
    EXPECT_EQ(session.CountInLog("Desktop Controller client ID 007\n"), 1u) << session.Log();
    EXPECT_EQ(session.CountInLog("Failed to wait service ready\n"), 1u);
    EXPECT_EQ(session.CountInLog("Failed to connect ipcserver, exiting.\n"), 1u);
    EXPECT_EQ(session.Service().Finish(kWait).exitStatus, 3);
}

TEST(StartupTest, ServiceStalledInTheHandshakeEndsStartUpAtTheConnectDeadline) {
    const std::vector<std::pair<std::string, std::string>> stalls = {
        {"stall-before-tls", "the TLS handshake"}, {"stall-after-tls", "the server hash"},
        {"stall-in-hash", "the server hash"},      {"stall-in-signature", "the server signature"},
        {"stall-in-ready", "the ready frame"},
    };
    for (const auto& [fault, step] : stalls) {
        SCOPED_TRACE(fault);
        DesktopSandbox session({.serviceArgs = {"--fault", fault},
                                .preferences = "DesktopController.ipc.connectTimeoutMs = 1500\n"});
        const auto start = std::chrono::steady_clock::now();
        session.StartDaemon();
        const ChildResult result = session.FinishDaemon();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(session.CountInLog("Connect timed out after 1500 ms waiting for " + step + "\n"), 1u)
            << session.Log();
        EXPECT_EQ(session.CountInLog("Connect timed out"), 1u);
        EXPECT_EQ(session.CountInLog("Failed to connect ipcserver, exiting.\n"), 1u);
        // Only a service that proved its key ever sees the token.
        EXPECT_EQ(session.Service().WaitForLine("CLOSED client-hung-up", kWait).has_value(), true);
        const bool infoSeen = std::any_of(session.Service().Transcript().begin(),
                                          session.Service().Transcript().end(), [](const std::string& line) {
                                              return line.find("CLIENT_INFO") != std::string::npos ||
                                                     line.find("STALL_RECV") != std::string::npos;
                                          });
        EXPECT_EQ(infoSeen, fault == "stall-in-ready");
    }
}

// A daemon killed by SIGKILL leaves the four names of its queues; the next
// daemon of that user removes them before it makes its own, and leaves the
// names of other users alone.
TEST(StartupTest, NamesLeftByAKilledDaemonGoAtTheNextStart) {
    DesktopSandbox session;
    ASSERT_TRUE(session.StartAndConnect()) << session.Log();
    const std::string pid = std::to_string(session.DaemonPid());
    std::vector<std::string> names;
    for (const char* kind : {"entrySem", "slotSem"}) {
        for (const char* sequence : {"0", "1"}) {
            names.push_back(session.HostShm() + "/sem." + kind + "_" + pid + "_" + sequence);
        }
    }
    kill(session.DaemonPid(), SIGKILL);
    EXPECT_EQ(session.FinishDaemon().termSignal, SIGKILL);
    for (const std::string& name : names) {
        EXPECT_TRUE(fs::exists(name)) << name;
    }
    const std::string foreign = TempDir::WriteAt(session.HostShm() + "/sem.entrySem_" + pid + "_2", "");
    ASSERT_EQ(chown(foreign.c_str(), kNobody, kNobody), 0);

    session.StartDaemon();
    EXPECT_TRUE(session.WaitForLog("Removed 4 named semaphores of ended processes\n")) << session.Log();
    for (const std::string& name : names) {
        EXPECT_FALSE(fs::exists(name)) << name;
    }
    EXPECT_TRUE(fs::exists(foreign));
}

// The default log name carries the pid, so every start makes a new file in
// the user's log area; each start also removes the oldest logs of ended
// starts there, so that no more than keepOld of them stay beside its own.
// Logs from before a reboot whose pids now belong to later processes count
// as ended too.
TEST(StartupTest, StartsInTheDefaultLogAreaKeepOnlyKeepOldEarlierLogs) {
    DesktopSandbox session(
        {.setUserId = true, .logFile = "", .preferences = "DesktopController.log.keepOld = \"2\"\n"});
    const std::string area = session.HostTmp() + "/tarvelo-nobody";
    fs::create_directory(area);
    fs::permissions(area, fs::perms::owner_all);
    ASSERT_EQ(chown(area.c_str(), kNobody, kNobody), 0);
    std::vector<std::unique_ptr<ChildProcess>> laterProcesses;
    for (int age : {2, 1}) {
        const auto& later = laterProcesses.emplace_back(
            std::make_unique<ChildProcess>(ChildCommand{.argv = {"/bin/sleep", "600"}}));
        const std::string log =
            TempDir::WriteAt(area + "/brevant-DesktopController-" + std::to_string(later->Pid()) + ".log",
                             "before a reboot\n");
        ASSERT_EQ(chown(log.c_str(), kNobody, kNobody), 0);
        const timespec daysAgo = {time(nullptr) - age * 86400, 0};
        const timespec times[2] = {daysAgo, daysAgo};
        ASSERT_EQ(utimensat(AT_FDCWD, log.c_str(), times, 0), 0);
    }
    std::vector<std::string> logs;
    for (int start = 0; start < 4; ++start) {
        if (start > 0) {
            session.RestartService();
        }
        ASSERT_TRUE(session.StartAndConnect()) << start;
        logs.push_back("brevant-DesktopController-" + std::to_string(session.DaemonPid()) + ".log");
        session.Service().Close();
        ASSERT_EQ(session.FinishDaemon().exitStatus, 0) << start;
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(area)) {
        left.push_back(entry.path().filename());
    }
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected(logs.begin() + 1, logs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_NE(
        ReadFile(area + "/" + logs.back())
            .find("Removed 1 old log files of ended processes from '/tmp/tarvelo-nobody' (keepOld 2)\n"),
        std::string::npos);
}

// Any local user can make the names of the queues of pids still to come.
// Here nobody holds all four names of each of the next pids, as in the
// private /dev/shm of the daemon: it starts all the same, each queue under a
// fresh name, leaves the planted names alone and removes its own at the end.
TEST(StartupTest, QueueNamesHeldByAnotherUserDoNotStopTheStart) {
    DesktopSandbox session;
    const std::vector<std::string> kinds = {"entrySem", "slotSem"};
    const int last = std::stoi(ReadFile("/proc/sys/kernel/ns_last_pid"));
    const int pidMax = std::stoi(ReadFile("/proc/sys/kernel/pid_max"));
    for (int ahead = 1; ahead <= 2000; ++ahead) {
        const std::string pid = std::to_string((last + ahead) % pidMax);
        for (const std::string& kind : kinds) {
            for (const char* sequence : {"_0", "_1"}) {
                const std::string path = session.HostShm() + "/sem." + kind + "_" + pid + sequence;
                const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                ASSERT_GE(fd, 0) << path;
                ASSERT_EQ(fchown(fd, kNobody, kNobody), 0);
                close(fd);
            }
        }
    }
    ASSERT_TRUE(session.StartAndConnect()) << session.Log();
    const std::string pid = std::to_string(session.DaemonPid());
    ASSERT_TRUE(fs::exists(session.HostShm() + "/sem.entrySem_" + pid + "_0"))
        << "pid beyond the planted names";
    for (const std::string& kind : kinds) {
        for (const char* sequence : {"_0", "_1"}) {
            const std::string taken = kind + "_" + pid + sequence;
            EXPECT_EQ(session.CountInLog("Named semaphore /" + taken + " is taken by someone else, using /" +
                                         taken + "_"),
                      1u)
                << session.Log();
        }
    }
    session.Service().Close();
    EXPECT_EQ(session.FinishDaemon().exitStatus, 0);
    for (const auto& entry : fs::directory_iterator(session.HostShm())) {
        const std::string name = entry.path().filename();
        EXPECT_EQ(name.find("_" + pid + "_0_"), std::string::npos) << name;
        EXPECT_EQ(name.find("_" + pid + "_1_"), std::string::npos) << name;
    }
    struct stat planted {};
    ASSERT_EQ(stat((session.HostShm() + "/sem.slotSem_" + pid + "_1").c_str(), &planted), 0);
    EXPECT_EQ(planted.st_uid, kNobody);
}

}  // namespace
}  // namespace dctest
