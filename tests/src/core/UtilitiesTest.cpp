// Shell commands, file tests and the host domain.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "tests/src/core/LogCapture.h"
#include "tests/src/core/TestFiles.h"
#include "tests/support/ChildProcess.h"

using namespace std::chrono_literals;

namespace coretest {
namespace {

struct Interval {
    long long start;
    long long end;
};

// Each line of the file is "<start ns> <end ns>" written by one command.
std::vector<Interval> ReadIntervals(const std::string& path) {
    std::istringstream lines(ReadFile(path));
    std::vector<Interval> intervals;
    Interval interval{};
    while (lines >> interval.start >> interval.end) {
        intervals.push_back(interval);
    }
    return intervals;
}

bool Overlap(const Interval& a, const Interval& b) {
    return a.start < b.end && b.start < a.end;
}

const char* kTimedCommand = "s=$(date +%s%N); sleep 0.3; echo \"$s $(date +%s%N)\"";

TEST(ExecShellTest, RunVariantWaitsForItsShellAndSerialisesCallers) {
    TempDir dir;
    std::string log = dir.Path() + "/intervals";
    std::string command = std::string("{ ") + kTimedCommand + "; } >> " + log;
    std::thread other([&] { EXPECT_TRUE(CommonUtils::ExecShell(command, true)); });
    EXPECT_TRUE(CommonUtils::ExecShell(command, true));
    other.join();
    auto intervals = ReadIntervals(log);
    ASSERT_EQ(intervals.size(), 2u);
    EXPECT_FALSE(Overlap(intervals[0], intervals[1]));

    std::string name = dir.Path() + "/name";
    ClearLog();
    EXPECT_TRUE(CommonUtils::ExecShell("echo \"$0\" > " + name, true));
    EXPECT_EQ(ReadFile(name), "execshell\n");
    EXPECT_EQ(
        CountRecords(dclog::kDebug, "CommonUtils->ExecShell Command echo \"$0\" > " + name + " executed\n"),
        1);
    EXPECT_TRUE(CommonUtils::ExecShell("no-such-command-anywhere 2>/dev/null", true));
}

TEST(ExecShellTest, ShellStartsWithDefaultSignalsWhateverTheCallerBlocksOrIgnores) {
    TempDir dir;
    std::string status = dir.Path() + "/status";
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &ignore, &previous);
    sigset_t blocked;
    sigset_t oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
    EXPECT_TRUE(CommonUtils::ExecShell("grep -E '^Sig(Ign|Blk)' /proc/self/status > " + status, true));
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(ReadFile(status), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(ExecShellTest, CaptureAppendsAllOutputAndIsSerialisedSeparately) {
    std::string output = "abc";
    EXPECT_TRUE(CommonUtils::ExecShell("printf 'one\\ntwo\\n'", output));
    EXPECT_EQ(output, "abcone\ntwo\n");

    std::string big;
    EXPECT_TRUE(CommonUtils::ExecShell("seq 1 3000", big));
    std::string expected;
    for (int i = 1; i <= 3000; ++i) {
        expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(big, expected);

    std::string first;
    std::string second;
    std::thread other([&] { CommonUtils::ExecShell(kTimedCommand, first); });
    CommonUtils::ExecShell(kTimedCommand, second);
    other.join();
    std::istringstream a(first);
    std::istringstream b(second);
    Interval x{};
    Interval y{};
    ASSERT_TRUE(a >> x.start >> x.end);
    ASSERT_TRUE(b >> y.start >> y.end);
    EXPECT_FALSE(Overlap(x, y));

    // The variants do not exclude each other: the run variant waits for a
    // line that only a capture command delivers.
    TempDir dir;
    std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received = dir.Path() + "/received";
    std::thread runner([&] {
        CommonUtils::ExecShell("timeout 10 sh -c 'read line < " + fifo + "; echo $line' > " + received, true);
    });
    std::string sent;
    EXPECT_TRUE(CommonUtils::ExecShell("timeout 10 sh -c 'echo hello > " + fifo + "'; echo sent", sent));
    runner.join();
    EXPECT_EQ(sent, "sent\n");
    EXPECT_EQ(ReadFile(received), "hello\n");
}

TEST(FileExistsTest, MeansReadableByThisProcess) {
    TempDir dir;
    std::string open = dir.Write("open", "x", 0644);
    std::string closed = dir.Write("closed", "x", 0600);
    EXPECT_TRUE(CommonUtils::FileExists(open));
    EXPECT_TRUE(CommonUtils::FileExists(closed));
    EXPECT_FALSE(CommonUtils::FileExists(dir.Path() + "/missing"));
    dctest::ChildResult result = dctest::RunForked(
        {},
        [&] {
            if (setresuid(65534, 65534, 65534) != 0) {
                return 2;
            }
            return CommonUtils::FileExists(open) && !CommonUtils::FileExists(closed) ? 0 : 1;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0);
}

// Resolves in a child with its own host name and its own hosts file, so
// the answer depends on nothing outside the test.
std::string HostDomainWith(const std::string& hosts, std::vector<LogRecord>* records = nullptr) {
    TempDir dir;
    std::string hostsPath = dir.Write("hosts", hosts);
    std::string nsswitch = dir.Write("nsswitch.conf", "hosts: files\n");
    std::string resultPath = dir.Path() + "/result";
    std::string recordsPath = dir.Path() + "/records";
    dctest::ChildResult result = dctest::RunForked(
        {},
        [&] {
            if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(hostsPath.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
                mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0 ||
                sethostname("dcprobe", 7) != 0) {
                return 2;
            }
            ClearLog();
            std::ofstream(resultPath) << CommonUtils::GetHostDomain();
            std::ofstream out(recordsPath);
            for (const LogRecord& record : LoggedRecords()) {
                out << record.level << ' ' << record.text;
            }
            return 0;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    if (records != nullptr) {
        std::istringstream lines(ReadFile(recordsPath));
        LogRecord record{};
        while (lines >> record.level && std::getline(lines >> std::ws, record.text)) {
            records->push_back({record.level, record.text + "\n"});
        }
    }
    return ReadFile(resultPath);
}

TEST(HostDomainTest, DomainPartOfTheOfficialNameElseTheHostName) {
    EXPECT_EQ(HostDomainWith("127.0.1.1 dcprobe.lab.example.org dcprobe\n"), "lab.example.org");
    EXPECT_EQ(HostDomainWith("127.0.1.1 dcprobe\n"), "dcprobe");
    EXPECT_EQ(HostDomainWith("127.0.1.1 other.example.org dcprobe\n"), "example.org");

    // Enough aliases that the first work buffer is too small.
    std::string aliases;
    for (int i = 0; i < 200; ++i) {
        aliases += " alias-number-" + std::to_string(i) + ".example.org";
    }
    EXPECT_EQ(HostDomainWith("127.0.1.1 dcprobe.big.example.org dcprobe" + aliases + "\n"),
              "big.example.org");

    std::vector<LogRecord> records;
    EXPECT_EQ(HostDomainWith("127.0.0.1 localhost\n", &records), "dcprobe");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, dclog::kError);
    EXPECT_EQ(records[0].text,
              "CommonUtils->GetHostDomain Failed to call gethostbyname_r, error: Unknown host\n");
}

}  // namespace
}  // namespace coretest
