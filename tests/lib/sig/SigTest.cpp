// Runs sig_helper in real child processes and checks how they end: exit
// status or signal, the log records, standard error and standard output.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kHelperDeadline = std::chrono::seconds(60);

struct HelperRun {
    int pid = -1;
    int status = -1;
    bool finished = false;
    std::string out;
    std::string err;
    std::string log;

    bool Exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool Killed(int signum) const { return WIFSIGNALED(status) && WTERMSIG(status) == signum; }
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class SigHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/sig_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const char* build = getenv("DC_BUILD_DIR");
        ASSERT_NE(build, nullptr) << "DC_BUILD_DIR is set by ctest";
        helper_ = fs::path(build) / "bin" / "sig_helper";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the helper in the temp dir; onOutput sees stdout as it grows and
    // may act on the child (for example send it a signal).
    HelperRun Run(const std::string& scenario, const std::function<void(HelperRun&)>& onOutput = {},
                  const std::string& preferences = "") {
        HelperRun run;
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        run.pid = fork();
        if (run.pid == 0) {
            StartHelper(scenario, out[1], preferences);
        }
        close(out[1]);
        auto deadline = Clock::now() + kHelperDeadline;
        ReadOutput(run, out[0], deadline, onOutput);
        close(out[0]);
        Reap(run, deadline);
        run.err = ReadFile(dir_ / "stderr");
        run.log = ReadFile(dir_ / "log");
        return run;
    }

    fs::path dir_;
    fs::path helper_;

  private:
    [[noreturn]] void StartHelper(const std::string& scenario, int outFd, const std::string& preferences) {
        int errFd = open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (chdir(dir_.c_str()) != 0 || errFd < 0) {
            _exit(120);
        }
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        std::string prefsFile = (dir_ / "host-defaults").string();
        const char* prefsArg = preferences.empty() ? nullptr : prefsFile.c_str();
        execl(helper_.c_str(), "sig_helper", scenario.c_str(), (dir_ / "log").c_str(), prefsArg, nullptr);
        _exit(121);
    }

    static void ReadOutput(HelperRun& run, int fd, Clock::time_point deadline,
                           const std::function<void(HelperRun&)>& onOutput) {
        for (;;) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, RemainingMs(deadline)) <= 0) {
                return;
            }
            char buffer[512];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            run.out.append(buffer, static_cast<size_t>(n));
            if (onOutput) {
                onOutput(run);
            }
        }
    }

    // Waits on a pidfd until the deadline; a helper still alive then is
    // killed, so no test leaves a process behind.
    static void Reap(HelperRun& run, Clock::time_point deadline) {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, run.pid, 0));
        pollfd entry{pidfd, POLLIN, 0};
        run.finished = pidfd >= 0 && poll(&entry, 1, RemainingMs(deadline)) == 1;
        if (!run.finished) {
            kill(run.pid, SIGKILL);
        }
        waitpid(run.pid, &run.status, 0);
        close(pidfd);
        ADD_FAILURE_IF_HUNG(run);
    }

    static void ADD_FAILURE_IF_HUNG(const HelperRun& run) {
        if (!run.finished) {
            ADD_FAILURE() << "helper did not end in time; output so far:\n" << run.out;
        }
    }
};

TEST_F(SigHelperTest, SegvLeavesRegistersStackBacktraceAndEndsWith255) {
    HelperRun run = Run("segv");
    ASSERT_TRUE(run.Exited(255)) << "status " << run.status << "\n" << run.log;

    std::string caught = "3|Caught signal 11 -- tid " + std::to_string(run.pid) + " (addr 0x10)\n";
    size_t at = run.log.find(caught);
    ASSERT_NE(at, std::string::npos) << run.log;
    EXPECT_LT(at, run.log.find("3|SIGNAL: rip 0x"));
    EXPECT_NE(run.log.find("3|SIGNAL: rax 0x"), std::string::npos);
    EXPECT_NE(run.log.find("3|        r8 0x"), std::string::npos);
    EXPECT_EQ(CountOf(run.log, "3|SIGNAL: stack 0x"), 8u);
    EXPECT_NE(run.log.find("3|Backtrace[00] 0x"), std::string::npos);
    EXPECT_NE(run.log.find("1|PANIC: Unexpected signal: 11.\n"), std::string::npos);
    EXPECT_NE(run.log.find("3|\nThe core dump limit is set to ZERO; no core dump should be expected\n"),
              std::string::npos);
    EXPECT_NE(run.log.find("2|[msg.log.error.unrecoverable] DesktopController 1.0.0 unrecoverable error: "
                           "(Unexpected signal: 11.)\n"),
              std::string::npos);
    EXPECT_NE(
        run.log.find("2|[msg.panic.response] We will respond on the basis of your support entitlement.\n"),
        std::string::npos);
    EXPECT_TRUE(run.log.ends_with("1|Exiting\n")) << run.log;

    EXPECT_TRUE(
        run.err.starts_with("Unexpected signal: 11.\nDesktopController 1.0.0 unrecoverable error: "
                            "(Unexpected signal: 11.)\n"))
        << run.err;
}

TEST_F(SigHelperTest, AbortAndBusErrorPanicWithTheirSignal) {
    HelperRun abortRun = Run("abort");
    EXPECT_TRUE(abortRun.Exited(255)) << abortRun.status;
    EXPECT_NE(abortRun.log.find("3|Caught signal 6 -- tid " + std::to_string(abortRun.pid) + " (addr "),
              std::string::npos)
        << abortRun.log;
    EXPECT_NE(abortRun.log.find("1|PANIC: Unexpected signal: 6.\n"), std::string::npos);

    fs::remove(dir_ / "log");
    HelperRun busRun = Run("bus");
    EXPECT_TRUE(busRun.Exited(255)) << busRun.status;
    ASSERT_TRUE(busRun.out.starts_with("page 0x")) << busRun.out;
    std::string page = busRun.out.substr(5, busRun.out.find('\n') - 5);
    EXPECT_NE(
        busRun.log.find("Caught signal 7 -- tid " + std::to_string(busRun.pid) + " (addr " + page + ")\n"),
        std::string::npos)
        << busRun.log;
    EXPECT_NE(busRun.log.find("1|PANIC: Unexpected signal: 7.\n"), std::string::npos);
}

TEST_F(SigHelperTest, SigtermIsLoggedThenEndsTheProcessByDefaultAction) {
    bool sent = false;
    HelperRun run = Run("term", [&sent](HelperRun& r) {
        if (!sent && r.out.find("ready\n") != std::string::npos) {
            sent = kill(r.pid, SIGTERM) == 0;
        }
    });
    ASSERT_TRUE(sent);
    EXPECT_TRUE(run.Killed(SIGTERM)) << "status " << run.status << "\n" << run.log;
    EXPECT_NE(run.log.find("3|Caught signal 15 -- tid " + std::to_string(run.pid) + " (eip 0x"),
              std::string::npos)
        << run.log;
    EXPECT_EQ(run.log.find("SIGNAL:"), std::string::npos);
    EXPECT_EQ(run.log.find("PANIC"), std::string::npos);
}

TEST_F(SigHelperTest, PanicAndAllocationFailureWriteTheMessageAndExit255) {
    HelperRun run = Run("panic");
    EXPECT_TRUE(run.Exited(255)) << run.status;
    EXPECT_TRUE(run.err.starts_with("helper panic 42\n")) << run.err;
    EXPECT_NE(run.log.find("1|PANIC: helper panic 42\n1|Backtrace[00] 0x"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("ZERO; no core dump should be expected"), std::string::npos);
    EXPECT_EQ(run.log.find("Caught signal"), std::string::npos);
    EXPECT_TRUE(run.log.ends_with("1|Exiting\n"));

    fs::remove(dir_ / "log");
    HelperRun check = Run("verify");
    EXPECT_TRUE(check.Exited(255)) << check.status;
    size_t verify = check.log.find("1|PANIC: VERIFY /");
    ASSERT_NE(verify, std::string::npos) << check.log;
    std::string line = check.log.substr(verify, check.log.find('\n', verify) - verify);
    EXPECT_TRUE(line.find("/tests/lib/sig/SigHelper.cpp:") != std::string::npos) << line;

    fs::remove(dir_ / "log");
    HelperRun alloc = Run("alloc");
    EXPECT_TRUE(alloc.Exited(255)) << alloc.status;
    EXPECT_NE(alloc.log.find("1|PANIC: Unrecoverable memory allocation failure, 1048576 bytes attempted\n"),
              std::string::npos)
        << alloc.log;
}

TEST_F(SigHelperTest, PanicSettingsComeFromThePreferences) {
    std::ofstream(dir_ / "host-defaults") << "coreDumpOnPanic = \"FALSE\"\npanic.loopOnPanic = \"TRUE\"\n";
    bool parked = false;
    HelperRun run = Run(
        "loop",
        [&parked](HelperRun& r) {
            std::string looping = "parked\nLooping pid=" + std::to_string(r.pid) + "\n";
            if (!parked && r.out.find(looping) != std::string::npos) {
                parked = kill(r.pid, SIGKILL) == 0;
            }
        },
        "prefs");
    EXPECT_TRUE(parked) << run.out;
    EXPECT_TRUE(run.Killed(SIGKILL)) << run.status;
    EXPECT_NE(run.log.find("1|PANIC: parked\n"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("core dump"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("Exiting"), std::string::npos);
}

TEST_F(SigHelperTest, PanicNamesTheLogFileAndEndsIt) {
    HelperRun run = Run("logfile");
    EXPECT_TRUE(run.Exited(255)) << run.status;
    std::string logFile = (dir_ / "panic.log").string();
    EXPECT_NE(run.log.find("2|[msg.panic.haveLog] A log file is available in \"" + logFile + "\".  \n"),
              std::string::npos)
        << run.log;
    EXPECT_NE(run.err.find("A log file is available in \"" + logFile + "\".  You can request support."),
              std::string::npos)
        << run.err;
    std::string file = ReadFile(logFile);
    EXPECT_NE(file.find(" PANIC: with a log file\n"), std::string::npos) << file;
    EXPECT_TRUE(file.ends_with(" Exiting\n")) << file;
}

TEST_F(SigHelperTest, FaultsInsideThePanicPathEndInBoundedTime) {
    // The panic hook faults: the fatal handler is entered a second time and
    // turns that into a panic of its own instead of recursing.
    HelperRun hook = Run("hookfault");
    EXPECT_TRUE(hook.finished);
    EXPECT_TRUE(hook.Exited(255)) << hook.status;
    EXPECT_NE(hook.log.find("1|PANIC: Loop on signal 11.\n"), std::string::npos) << hook.log;

    // Every "PANIC:" record faults: panic, fault, panic again, fault again.
    fs::remove(dir_ / "log");
    HelperRun loop = Run("panicloop");
    EXPECT_TRUE(loop.finished);
    EXPECT_TRUE(loop.Exited(1)) << loop.status;
    EXPECT_EQ(loop.err, "first\nUnexpected signal: 11.\nLoop on signal 11.\nPanic loop\n");
    EXPECT_NE(loop.log.find("1|PANIC: first\n"), std::string::npos) << loop.log;
    EXPECT_NE(loop.log.find("1|PANIC: Unexpected signal: 11.\n"), std::string::npos);
    EXPECT_EQ(loop.log.find("Exiting"), std::string::npos);
}

TEST_F(SigHelperTest, ArmedRecoveryPointTurnsAFaultIntoAReturnOnce) {
    HelperRun run = Run("recover");
    EXPECT_EQ(run.out, "recovered\nrecovered\n");
    EXPECT_TRUE(run.Exited(255)) << run.status;
    EXPECT_EQ(CountOf(run.log, "Caught signal 11"), 1u) << run.log;
}

TEST_F(SigHelperTest, WritesToAClosedPipeFailWithEpipe) {
    HelperRun run = Run("pipe");
    EXPECT_TRUE(run.Exited(0)) << run.status << run.log;
    EXPECT_EQ(run.out, "EPIPE\n");
}

TEST_F(SigHelperTest, PanicDumpsCoreIntoTheWorkingDirectory) {
    std::string pattern = ReadFile("/proc/sys/kernel/core_pattern");
    if (pattern != "core\n") {
        GTEST_SKIP() << "core_pattern is " << pattern;
    }
    bool usesPid = ReadFile("/proc/sys/kernel/core_uses_pid") != "0\n";
    HelperRun run = Run("core");
    EXPECT_TRUE(run.Exited(255)) << run.status;
    EXPECT_NE(run.log.find("3|\nAttempting a core dump using an unlimited size limit\n"), std::string::npos)
        << run.log;
    EXPECT_NE(run.log.find("3|Core dumped.\n"), std::string::npos);

    std::string prefix = "3|A core file is available in \"" + (dir_ / "core").string();
    size_t at = run.log.find(prefix);
    ASSERT_NE(at, std::string::npos) << run.log;
    size_t end = run.log.find("\"\n", at);
    std::string core = run.log.substr(at + prefix.size() - (dir_ / "core").string().size(),
                                      end - at - prefix.size() + (dir_ / "core").string().size());
    EXPECT_EQ(usesPid, core != (dir_ / "core").string()) << core;
    ASSERT_TRUE(fs::is_regular_file(core)) << core;
    EXPECT_GT(fs::file_size(core), 0u);
    fs::remove(core);
}

TEST_F(SigHelperTest, InitIsIdempotentAndTheSignalPipeIsPrivateToThisProcess) {
    HelperRun run = Run("lifecycle");
    EXPECT_TRUE(run.Exited(0)) << run.status << run.log;
    EXPECT_NE(run.log.find("5|Sig_Init already initialized \n"), std::string::npos) << run.log;
    EXPECT_NE(run.out.find("second init ok\n"), std::string::npos);
    EXPECT_EQ(CountOf(run.out, "open fd"), 2u) << run.out;
    EXPECT_EQ(CountOf(run.out, "cloexec 1 nonblock 1"), 2u) << run.out;
    EXPECT_EQ(run.out.find("closed fd"), std::string::npos) << run.out;
}

TEST_F(SigHelperTest, ImmediateCallbacksRunInTheHandlerAndDeferredOnesOnThePollLoop) {
    HelperRun run = Run("callbacks");
    EXPECT_TRUE(run.Exited(0)) << run.status << run.log;
    EXPECT_EQ(run.out,
              "refused SIGKILL\n"
              "callback 10 code -6 handler 1 context 1\n"
              "raised\n"
              "callback 12 code -6 handler 0 context 0\n"
              "reader gone\n");
    EXPECT_NE(run.log.find("2|Sig_Callback: cannot take signal 9 in mode 2\n"), std::string::npos) << run.log;
}

}  // namespace
