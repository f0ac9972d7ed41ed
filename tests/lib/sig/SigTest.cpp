// Runs sig_helper in real child processes and checks how they end: exit
// status or signal, the log records, standard error and standard output;
// and where the kernel puts a core.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/sig/CoreFileName.h"
#include "tests/lib/log/LogTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using dctest::ReadFile;
using logtest::CountOf;
using logtest::InOrder;

struct HelperRun {
    pid_t pid = -1;
    int status = -1;
    std::string out;
    std::string err;
    std::string log;

    bool Exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

class SigHelperTest : public ::testing::Test {
  protected:
    // Runs the helper with the temp dir as working directory and fresh log
    // files there. With a signal, that signal goes three times to the helper
    // once it is ready, and the helper's log is its real log file. A helper
    // still alive at the deadline is killed, so no test leaves a process
    // behind.
    HelperRun Run(const std::string& scenario, int signum = 0) {
        const std::string helper = std::string(getenv("DC_BUILD_DIR")) + "/bin/sig_helper";
        std::filesystem::remove(dir_.File("log"));
        std::filesystem::remove(dir_.File("panic.log"));
        HelperRun run;
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        run.pid = fork();
        if (run.pid == 0) {
            int errFd = open(dir_.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (errFd < 0 || chdir(dir_.Path().c_str()) != 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
                dup2(errFd, STDERR_FILENO) < 0) {
                _exit(dctest::kChildSetupFailed);
            }
            execl(helper.c_str(), "sig_helper", scenario.c_str(), dir_.File("log").c_str(), nullptr);
            _exit(dctest::kChildExecFailed);
        }
        close(out[1]);
        dctest::LineReader reader(out[0]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(signum != 0 ? 10 : 60);
        while (std::optional<std::string> line = reader.ReadLine(deadline)) {
            run.out += *line + "\n";
            if (signum != 0 && *line == "ready") {
                for (int i = 0; i < 3; ++i) {
                    kill(run.pid, signum);
                }
                break;
            }
        }
        if (!dctest::WaitForChildExit(run.pid, std::chrono::seconds(signum != 0 ? 5 : 10), &run.status)) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &run.status, 0);
            ADD_FAILURE() << "helper did not end in time; output so far:\n" << run.out;
        }
        run.err = ReadFile(dir_.File("stderr"));
        run.log = ReadFile(dir_.File(signum != 0 ? "panic.log" : "log"));
        return run;
    }

    dctest::TempDir dir_;
};

TEST_F(SigHelperTest, PanicsAndFailedChecksExitWith255AndNameTheLogFile) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"verify", {"1|PANIC: VERIFY ", "/tests/lib/sig/SigHelper.cpp:"}},
        {"panic", {"1|PANIC: helper panic 42\n1|Backtrace[00] 0x", "ZERO; no core dump should be expected"}},
    };
    for (const auto& [scenario, records] : cases) {
        HelperRun run = Run(scenario);
        EXPECT_TRUE(run.Exited(255)) << scenario << " status " << run.status;
        EXPECT_TRUE(InOrder(run.log, records)) << scenario;
        EXPECT_TRUE(run.log.ends_with("1|Exiting\n")) << scenario;
    }
    // The panic message also goes to standard error (the last run's).
    EXPECT_TRUE(ReadFile(dir_.File("stderr")).starts_with("helper panic 42\n"));

    // With the log file output running, the panic names the file.
    HelperRun run = Run("logfile");
    EXPECT_TRUE(run.Exited(255)) << run.status;
    const std::string logFile = dir_.File("panic.log");
    EXPECT_TRUE(
        InOrder(run.log, {"2|[msg.panic.haveLog] A log file is available in \"" + logFile + "\".  \n"}));
    EXPECT_TRUE(
        InOrder(run.err, {"A log file is available in \"" + logFile + "\".  You can request support."}));
    const std::string file = ReadFile(logFile);
    EXPECT_TRUE(InOrder(file, {" PANIC: with a log file\n"}));
    EXPECT_TRUE(file.ends_with(" Exiting\n")) << file;
}

TEST_F(SigHelperTest, FaultsInsideThePanicPathEndInBoundedTime) {
    // Every "PANIC:" record faults: panic, fault, panic again, fault again.
    HelperRun loop = Run("panicloop");
    EXPECT_TRUE(loop.Exited(1)) << loop.status;
    EXPECT_EQ(loop.err, "first\nUnexpected signal: 11.\nLoop on signal 11.\nPanic loop\n");
    EXPECT_TRUE(InOrder(loop.log, {"1|PANIC: first\n", "1|PANIC: Unexpected signal: 11.\n"}));
    EXPECT_EQ(loop.log.find("Exiting"), std::string::npos);
}

TEST_F(SigHelperTest, SignalBurstsReachTheWaitingMainThreadWhileOthersAllocateAndLog) {
    // The handler runs on the main thread, never inside another thread's
    // malloc or log write, and allocates nothing itself; a second signal of
    // the burst is not a loop.
    for (int round = 0; round < 200; ++round) {
        HelperRun run = Run("storm", SIGTERM);
        ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM)
            << "round " << round << " status " << run.status << "\n"
            << run.err;
        ASSERT_TRUE(InOrder(run.log, {" Caught signal 15 -- tid " + std::to_string(run.pid) + " (eip 0x"}))
            << "round " << round;
    }
    for (int round = 0; round < 200; ++round) {
        HelperRun run = Run("storm", SIGUSR1);
        ASSERT_TRUE(run.Exited(255)) << "round " << round << " status " << run.status << "\n" << run.err;
        ASSERT_TRUE(InOrder(run.log, {" Caught signal 10 -- tid " + std::to_string(run.pid) + "\n",
                                      " PANIC: Unexpected signal: 10.\n", " Exiting\n"}))
            << "round " << round;
    }
}

TEST_F(SigHelperTest, PanicDumpsCoreIntoTheWorkingDirectory) {
    const std::string pattern = ReadFile("/proc/sys/kernel/core_pattern");
    if (pattern != "core\n") {
        GTEST_SKIP() << "core_pattern is " << pattern;
    }
    const bool usesPid = ReadFile("/proc/sys/kernel/core_uses_pid") != "0\n";
    HelperRun run = Run("core");
    EXPECT_TRUE(run.Exited(255)) << run.status;
    const std::string core = dir_.File(usesPid ? "core." + std::to_string(run.pid) : "core");
    EXPECT_TRUE(InOrder(run.log, {"3|\nAttempting a core dump using an unlimited size limit\n",
                                  "3|Core dumped.\n", "3|A core file is available in \"" + core + "\"\n"}));
    ASSERT_TRUE(std::filesystem::is_regular_file(core)) << core;
    EXPECT_GT(std::filesystem::file_size(core), 0u);
}

struct Expansion {
    const char* pattern;
    bool usesPid;
    const char* host;
    std::string name;  // empty: the expansion fails
    bool wildcard;
    size_t size = 256;
};

// Where the kernel puts the core of pid 4321 (uid 1000, gid 100, host "box",
// working directory /home/user/work) and whether the name has unknown parts.
TEST(CoreFileName, FollowsTheKernelsPatternRules) {
    const Expansion cases[] = {
        {"/var/crash/core.%p.%u.%g.%s", true, "box", "/var/crash/core.4321.1000.100.6", false},
        {"|/usr/lib/systemd/systemd-coredump %P %u", true, "box", "/home/user/work/core.4321", false},
        {"core", false, "box", "", false, 20},
    };
    for (const Expansion& c : cases) {
        SCOPED_TRACE(std::string(c.pattern ? c.pattern : "(null)") + " size " + std::to_string(c.size));
        CorePatternInputs in{c.pattern, c.usesPid, 4321, 1000, 100, c.host, "/home/user/work"};
        char out[256];
        bool wildcard = true;
        bool ok = CoreFileName_Expand(in, out, c.size, &wildcard);
        ASSERT_EQ(ok, !c.name.empty());
        if (ok) {
            EXPECT_EQ(out, c.name);
            EXPECT_EQ(wildcard, c.wildcard);
        }
    }
}

}  // namespace
