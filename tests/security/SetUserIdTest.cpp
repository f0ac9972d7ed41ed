// The daemon as a desktop user starts it: installed set-user-id to the
// magic's owner and run by nobody. It reads the magic with the owner's
// rights and gives them up in every thread before it reads anything the
// user controls; afterwards the user can neither read its memory nor get a
// core of it, no secret is left in memory, the log or the output, and what
// its children inherit is only the standard descriptors and the user's
// ids. Request texts and session values never reach a shell, and a crash
// ends in the panic path without a core the user could read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string_view>

#include "tests/support/ProcessMemory.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace dctest {
namespace {

// The lines of a probe report that start with prefix, prefix removed.
std::vector<std::string> ReportLines(const std::string& report, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(prefix)) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

// Run as the invoking user: can it open this file of the daemon's /proc?
bool NobodyCanOpen(pid_t pid, const std::string& file) {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
    return RunForked(
               {.uid = kNobody, .gid = kNobody}, [&path] { return open(path.c_str(), O_RDONLY) < 0 ? 0 : 1; },
               10s)
               .exitStatus != 0;
}

uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

constexpr const char* kShellMarker = "/tmp/shell-ran";

// A connected set-user-id desktop whose session texts and host files carry
// shell syntax that must never run, whose host asks the panic path for a
// dumpable process, and whose user's own preference files name a log of
// their choosing.
class SetUserIdDesktop {
  public:
    SetUserIdDesktop()
        : session_({.currentDesktop = std::string("GNOME; touch ") + kShellMarker + "-desktop",
                    .osReleaseId = std::string("debian; touch ") + kShellMarker + "-release",
                    .setUserId = true,
                    .logFile = "",
                    .logLevel = "verbose",
                    .preferences = "coreDumpFlags = \"1\"\n",
                    .userPreferences = "DesktopController.log.filename = \"" +
                                       DesktopSandbox::Inside("home/mine.log") +
                                       "\"\nDesktopController.log.logLevel = \"error\"\n"}) {
        // The loader drops TMPDIR for a set-user-id program.
        connected_ = session_.StartAndConnect(
            {std::string("DESKTOP_SESSION=mate$(touch ") + kShellMarker + "-session)",
             "TMPDIR=" + DesktopSandbox::Inside("")});
    }

    DesktopSandbox& Session() { return session_; }
    bool Connected() const { return connected_; }
    pid_t Pid() const { return session_.DaemonPid(); }
    // The default log lives in the user's private area in the real /tmp.
    std::string Area() const { return session_.HostTmp() + "/tarvelo-nobody"; }
    std::string LogPath() const {
        return Area() + "/brevant-DesktopController-" + std::to_string(Pid()) + ".log";
    }
    std::string Log() const { return ReadFile(LogPath()); }
    std::string Token() const { return IpcToken(session_.DesktopId(), session_.Magic()); }

  private:
    DesktopSandbox session_;
    bool connected_ = false;
};

TEST(SetUserIdTest, EveryThreadRunsAsTheUserWhoCannotReadTheDaemon) {
    SetUserIdDesktop desktop;
    ASSERT_TRUE(desktop.Connected()) << desktop.Log();
    const pid_t pid = desktop.Pid();
    // A short-lived thread may end between the listing and the read: gone,
    // it holds no ids at all.
    size_t threadsChecked = 0;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::string status = ReadFile(task.path().string() + "/status");
        if (status.empty() && !fs::exists(task.path())) {
            continue;
        }
        ++threadsChecked;
        EXPECT_NE(status.find("\nUid:\t65534\t65534\t65534\t65534\n"), std::string::npos)
            << task.path() << "\n"
            << status;
    }
    EXPECT_GT(threadsChecked, 1u);
    // Non-dumpable after the drop: the kernel hands /proc entries to root
    // and refuses the user, although the user owns every id of the process.
    EXPECT_FALSE(NobodyCanOpen(pid, "mem"));
    EXPECT_FALSE(NobodyCanOpen(pid, "environ"));
    EXPECT_EQ(OwnerOf("/proc/" + std::to_string(pid) + "/status"), 0u);
}

TEST(SetUserIdTest, TheMagicIsGoneFromMemoryAndOnlyTheIpcClientKeepsTheToken) {
    SetUserIdDesktop desktop;
    ASSERT_TRUE(desktop.Connected()) << desktop.Log();
    EXPECT_EQ(CountInMemory(desktop.Pid(), desktop.Session().Magic()), 0u);
    EXPECT_LE(CountInMemory(desktop.Pid(), desktop.Token()), 1u);
}

TEST(SetUserIdTest, ChildrenGetTheirArgumentsTheStandardDescriptorsAndTheUsersIdsOnly) {
    SetUserIdDesktop desktop;
    ASSERT_TRUE(desktop.Connected()) << desktop.Log();
    DesktopSandbox& session = desktop.Session();
    IpcService& service = session.Service();
    service.Send(StartProcessXml({.name = "named",
                                  .path = DesktopSandbox::Probe(),
                                  .params = {DesktopSandbox::Inside("named"), "--stdin"},
                                  .stdinText = "one-shot-text",
                                  .connectionId = "7"}));
    service.Send(StartProcessXml({.name = "app",
                                  .path = DesktopSandbox::Probe(),
                                  .params = {DesktopSandbox::Inside("app")},
                                  .connectionId = "7",
                                  .isApp = "true"}));
    for (const char* task : {"LockScreen", "UnlockScreen", "LogoutDesktop"}) {
        service.Send(TaskXml(task));
    }
    const std::string probe = DesktopSandbox::Probe();
    const std::map<std::string, std::vector<std::string>> expectedArgs = {
        {"named", {"named", DesktopSandbox::Inside("named"), "--stdin"}},
        {"app", {"app", DesktopSandbox::Inside("app")}},
        {"task-lock", {probe, DesktopSandbox::Inside("task-lock"), "-a", "lock", "-d", "debian"}},
        {"task-unlock",
         {probe, DesktopSandbox::Inside("task-unlock"), "-a", "unlock", "-d", "debian", "-t", "gnome"}},
        {"task-logout", {probe, DesktopSandbox::Inside("task-logout"), "-a", "logout", "-t", "gnome"}},
    };
    for (const auto& [name, args] : expectedArgs) {
        SCOPED_TRACE(name);
        std::optional<std::string> report = session.WaitForReport(name);
        ASSERT_TRUE(report) << desktop.Log();
        EXPECT_EQ(ReportLines(*report, "arg "), args);
        // Descriptors 0 to 2 and nothing else: no TLS or D-Bus socket, log
        // file, signal pipe or stdin pipe end of the daemon.
        std::vector<std::string> fds;
        for (const std::string& line : ReportLines(*report, "fd ")) {
            fds.push_back(line.substr(0, line.find(' ')));
        }
        std::sort(fds.begin(), fds.end());
        EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"})) << *report;
        EXPECT_EQ(ReportLines(*report, "uid "), std::vector<std::string>{"65534 65534 65534"});
        // The id read from the display's file is published to children.
        EXPECT_NE(report->find("env BRV_DESKTOP_ID=" + session.DesktopId() + "\n"), std::string::npos);
        EXPECT_EQ(report->find(session.Magic().substr(0, 12)), std::string::npos);
        EXPECT_EQ(report->find(desktop.Token()), std::string::npos);
    }
    std::string named = *session.WaitForReport("named");
    EXPECT_EQ(ReportLines(named, "fd 0 -> ").at(0).substr(0, 5), "pipe:") << named;
    EXPECT_EQ(ReportLines(named, "stdin "), std::vector<std::string>{"one-shot-text"});
    EXPECT_EQ(ReportLines(*session.WaitForReport("app"), "fd 0 -> "), std::vector<std::string>{"/dev/null"});
}

TEST(SetUserIdTest, RequestAndSessionTextsNeverReachAShell) {
    SetUserIdDesktop desktop;
    ASSERT_TRUE(desktop.Connected()) << desktop.Log();
    DesktopSandbox& session = desktop.Session();
    // A program file whose name is full of shell syntax, and arguments that
    // a shell would expand or split.
    const std::string oddName = "probe; touch x $(id) `id` | cat";
    fs::copy_file(session.HostProbe(), fs::path(session.HostProbe()).parent_path() / oddName);
    const std::string marker = kShellMarker;
    const std::vector<std::string> oddParams = {DesktopSandbox::Inside("odd"),
                                                "$(touch " + marker + "-param)",
                                                "a b;touch " + marker + "-semicolon",
                                                "`id`",
                                                "'\"",
                                                "*"};
    session.Service().Send(StartProcessXml({.name = "odd",
                                            .path = "/usr/lib/tarvelo/sandbox/" + oddName,
                                            .params = oddParams,
                                            .connectionId = "7"}));
    // The task script gets the desktop type and distribution, which came
    // from the session's and the host's texts.
    session.Service().Send(TaskXml("LockScreen"));
    std::optional<std::string> odd = session.WaitForReport("odd");
    ASSERT_TRUE(odd) << desktop.Log();
    std::vector<std::string> oddArgs = {"odd"};
    oddArgs.insert(oddArgs.end(), oddParams.begin(), oddParams.end());
    EXPECT_EQ(ReportLines(*odd, "arg "), oddArgs);
    ASSERT_TRUE(session.WaitForReport("task-lock")) << desktop.Log();
    for (const auto& entry : fs::directory_iterator(session.HostTmp())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("shell-ran"))
            << "a shell ran a command built from request or session text: " << entry.path();
    }
}

TEST(SetUserIdTest, ACrashPanicsWithStatus255AndLeavesNoCoreOrSecretForTheUser) {
    SetUserIdDesktop desktop;
    ASSERT_TRUE(desktop.Connected()) << desktop.Log();
    DesktopSandbox& session = desktop.Session();
    const std::string logPath = desktop.LogPath();
    // The core limit allows one, and the host asked for a dumpable process.
    ASSERT_EQ(kill(desktop.Pid(), SIGSEGV), 0);
    ChildResult result = session.FinishDaemon();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_NE(result.err.find("Unexpected signal: 11."), std::string::npos) << result.err;
    for (const auto& entry : fs::directory_iterator(session.Host(""))) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("core")) << entry.path();
    }
    const std::string log = ReadFile(logPath);
    for (const char* record : {"Caught signal 11 -- tid ", "SIGNAL: rip 0x", "SIGNAL: stack ",
                               "PANIC: Unexpected signal: 11.\n", "failed to dump core", "Exiting\n"}) {
        EXPECT_NE(log.find(record), std::string::npos) << record << "\n" << log;
    }
    // Not in the verbose log, nor in what the user saw of the process.
    EXPECT_NE(log.find("Send client info, magic "), std::string::npos);
    for (const std::string& secret : {session.Magic(), desktop.Token()}) {
        EXPECT_EQ(log.find(secret.substr(0, 8)), std::string::npos);
        EXPECT_EQ(result.err.find(secret.substr(0, 8)), std::string::npos);
        EXPECT_EQ(result.out.find(secret.substr(0, 8)), std::string::npos);
    }
}

TEST(SetUserIdTest, TheUsersPreferenceFilesAreIgnoredAndTheLogIsMadeByTheUserAfterTheDrop) {
    SetUserIdDesktop desktop;
    ASSERT_TRUE(desktop.Connected()) << desktop.Log();
    DesktopSandbox& session = desktop.Session();
    struct stat st {};
    ASSERT_EQ(lstat(desktop.Area().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(OwnerOf(desktop.LogPath()), kNobody);
    // Neither TMPDIR nor the user's own log file and level counted.
    EXPECT_FALSE(fs::exists(session.Host("tarvelo-nobody")));
    EXPECT_FALSE(fs::exists(session.Host("home/mine.log")));
    const std::string log = desktop.Log();
    const std::string info =
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z In\\(05\\) \\S+ ";
    EXPECT_TRUE(std::regex_search(
        log, std::regex("^" + info + "Log for DesktopController pid=" + std::to_string(desktop.Pid()) +
                        " version=\\S+ build=\\S+ option=Release\n")))
        << log;
    EXPECT_NE(log.find("Log level of DesktopController is verbose"), std::string::npos);
}

// A drop of rights that the kernel refuses ends start-up at once: the
// daemon never goes on with the magic owner's rights to log, connect or
// start children with them.
TEST(SetUserIdTest, ARefusedDropEndsStartUpWithStatusOneBeforeAnythingRuns) {
    DesktopSandbox session({.setUserId = true});
    const ChildResult result = session.RunDaemonWithUnmappedRealUser(session.DaemonEnvironment());
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "DesktopController: failed to drop privileges from user id 990 to 65534: "
              "setresuid: Invalid argument, exiting.\n");
    EXPECT_EQ(result.out, "");
    // No log was started and no queue made for a connection.
    EXPECT_FALSE(fs::exists(session.LogPath()));
    EXPECT_TRUE(fs::is_empty(session.HostShm()));
}

}  // namespace
}  // namespace dctest
