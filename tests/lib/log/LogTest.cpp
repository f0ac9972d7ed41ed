#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "lib/log/LogFileOutput.h"
#include "lib/log/LogFiles.h"
#include "lib/log/LogLevels.h"
#include "lib/log/LogModules.h"
#include "lib/log/LogOutput.h"
#include "tests/lib/log/LogTestSupport.h"
#include "tests/support/Sandbox.h"

using dctest::ReadFile;
using logtest::CountOf;
using logtest::InOrder;
using namespace std::chrono_literals;

namespace {

const std::string kStamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";

std::string UserName() {
    if (const char* user = getenv("USER"); user != nullptr && *user != '\0') {
        return user;
    }
    return getpwuid(geteuid())->pw_name;
}

std::string EffectiveUserName() {
    return getpwuid(geteuid())->pw_name;
}

class LogFileOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        areas_.systemArea = temp_.Path() + "/system";
        areas_.tempRoot = temp_.Path();
        Log_SetThreadName("tester");
    }
    void TearDown() override {
        Log_Shutdown();
        Log_SetThreadName(nullptr);
        Log_SetLevel(0, dclog::kInfo);
        Log_SetStderrLevel(0, -1);
    }

    dclog::LogOutput* Start(bool purge = false) {
        return dclog::StartFileOutputIn(
            areas_, [this] { return now_.load(); }, "DC", logtest::MapLayer(dict_), logtest::MapLayer(prefs_),
            purge);
    }
    std::string UserArea() const { return temp_.Path() + "/tarvelo-" + EffectiveUserName(); }
    std::string DefaultPath() const {
        return UserArea() + "/brevant-DesktopController-" + std::to_string(getpid()) + ".log";
    }
    std::string Dir(const std::string& name) const {
        std::string dir = temp_.Path() + "/" + name;
        mkdir(dir.c_str(), 0700);
        return dir;
    }

    dctest::TempDir temp_;
    dclog::LogAreas areas_;
    logtest::Values dict_;
    logtest::Values prefs_;
    std::atomic<int64_t> now_{1000000};
};

pid_t DeadPid() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

void SetAge(const std::string& path, time_t secondsAgo) {
    struct timespec times[2] = {{time(nullptr) - secondsAgo, 0}, {time(nullptr) - secondsAgo, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Writes past the limit fail with EFBIG (SIGXFSZ ignored): a full disk.
void WithFileSizeLimit(rlim_t bytes, const std::function<void()>& body) {
    struct rlimit limit = {bytes, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    body();
    limit.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &limit);
}

// Holds the log lock for a while inside every write, announcing the first.
class SlowOutput : public dclog::LogOutput {
  public:
    explicit SlowOutput(std::atomic<bool>& entered)
        : LogOutput(0x778, "slow", dclog::kDebug2), entered_(entered) {}
    void Write(uint32_t, std::string_view) override {
        entered_ = true;
        std::this_thread::sleep_for(300ms);
    }

  private:
    std::atomic<bool>& entered_;
};

}  // namespace

TEST_F(LogFileOutputTest, DefaultFileHasNameModeHeaderAndPrefixes) {
    dict_ = {{"log.suffix", "DesktopController"}, {"log.keepOld", "3"}, {"log.fileLevel", "debug2"}};
    ASSERT_NE(Start(true), nullptr);
    EXPECT_EQ(dclog::CurrentLogFilePath(), DefaultPath());
    Log("hello %d", 1);
    LogMessage(dclog::kDebug, "debug is below the global level");
    Warning("careful");
    Log_Shutdown();
    EXPECT_EQ(dclog::CurrentLogFilePath(), "");

    struct stat st {};
    ASSERT_EQ(stat(DefaultPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(UserArea().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    const std::string info = kStamp + " In\\(05\\) tester ";
    const std::string text = ReadFile(DefaultPath());
    EXPECT_TRUE(std::regex_match(
        text, std::regex(info + "Log for unknown pid=" + std::to_string(getpid()) +
                         " version=unknown build=unknown option=unknown\n" + info +
                         "The host is x86_64\\.\n" + info + "Host codepage=\\S+ encoding=\\S+\n" + info +
                         "Host is Linux .+\n" + info + "Host offset from UTC is [+-]\\d\\d:\\d\\d\\.\n" +
                         info + "hello 1\n" + kStamp + " Wa\\(03\\) tester careful\n")))
        << text;
}

// Each start keeps the keepOld newest logs of ended runs, rotated pieces
// included, and deletes the older ones. The log of a running process is
// never touched, nor counted; a pid now held by a process that started
// after the file was written is a reused one. Only the user's own regular
// files with exactly the program's names take part.
TEST_F(LogFileOutputTest, PurgeKeepsTheNewestEndedLogsOfThisUserAndNoLiveOne) {
    const std::string area = UserArea();
    mkdir(area.c_str(), 0700);
    const auto file = [&](const std::string& name, time_t age) {
        const std::string path = area + "/" + name;
        std::ofstream(path) << name << "\n";
        SetAge(path, age);
        return path;
    };
    const auto named = [](pid_t pid, const std::string& rest = ".log") {
        return "brevant-DesktopController-" + std::to_string(pid) + rest;
    };
    dctest::ChildProcess laterProcess({.argv = {"/bin/sleep", "600"}});
    const pid_t d1 = DeadPid();
    const std::vector<std::string> deleted = {file(named(laterProcess.Pid()), 5000),
                                              file(named(d1, "-1.log"), 1100), file(named(d1), 1000)};
    const std::vector<std::string> kept = {file(named(DeadPid()), 900), file(named(DeadPid()), 800),
                                           file(named(DeadPid()), 700)};
    const std::string live = file(named(getppid()), 0);
    const std::string foreign = file(named(DeadPid()), 9000);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    const pid_t dead = DeadPid();
    const std::string target = temp_.Path() + "/linked.log";
    std::ofstream(target) << "mine\n";
    SetAge(target, 9000);
    const std::string link = area + "/" + named(DeadPid());
    std::filesystem::create_symlink(target, link);
    const std::string directory = area + "/" + named(DeadPid());
    std::filesystem::create_directory(directory);
    std::vector<std::string> untouched = {
        live,
        foreign,
        target,
        link,
        directory,
        file(named(dead, ".log.gz"), 9000),
        file(named(dead, "-x.log"), 9000),
        file(named(dead, "-01.log"), 9000),
        file(named(dead, ""), 9000),
        file("brevant-DesktopController-0" + std::to_string(dead) + ".log", 9000),
        file("brevant-Other-" + std::to_string(dead) + ".log", 9000)};
    untouched.insert(untouched.end(), kept.begin(), kept.end());

    dict_ = {{"log.suffix", "DesktopController"}, {"log.keepOld", "3"}};
    ASSERT_NE(Start(true), nullptr);
    Log_Shutdown();
    for (const std::string& path : deleted) {
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path))) << path;
    }
    for (const std::string& path : untouched) {
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path))) << path;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_directory(directory));
    EXPECT_EQ(CountOf(ReadFile(DefaultPath()),
                      "Removed 3 old log files of ended processes from '" + area + "' (keepOld 3)\n"),
              1u);
}

// The start's own warnings come out once the log is open, after its
// header, or on standard error when no log can be had.
TEST_F(LogFileOutputTest, StartWarningsReachTheLogOrStandardError) {
    const std::string path = temp_.Path() + "/start.log";
    dict_ = {{"log.fileName", path}, {"log.rotateSize", "5000"}, {"log.keepOld", "-1"}};
    ASSERT_NE(Start(), nullptr);
    Log_Shutdown();
    EXPECT_TRUE(InOrder(ReadFile(path),
                        {"Host offset from UTC", "LogFileInt32: log.keepOld (-1) is invalid. Set to 3.\n",
                         "LogFileVariables: log.rotateSize (5000) is too small. Set to 100000.\n"}));
    dict_ = {{"log.systemAreaTemp", "true"}, {"log.rotateSize", "5000"}};
    dctest::ChildResult result = dctest::RunForked(
        {}, [&] { return Start() == nullptr ? 0 : 1; }, std::chrono::seconds(10));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_TRUE(InOrder(result.err, {"LogFileVariables: log.rotateSize (5000) is too small. Set to 100000.\n",
                                     "Failed to establish the safe logging directory area: "}));
}

TEST_F(LogFileOutputTest, ConfiguredPathIsExpandedAndOldFileRotatedAside) {
    const std::string dir = Dir("custom");
    dict_ = {{"log.config", "DC.log.filename"}, {"log.fileName", dir + "/unused.log"}};
    prefs_ = {{"DC.log.filename", dir + "/dc-$PID-${USER}.log"}};
    const std::string path = dir + "/dc-" + std::to_string(getpid()) + "-" + UserName() + ".log";
    { std::ofstream(path) << "previous run\n"; }
    ASSERT_NE(Start(), nullptr);
    Log("second run");
    Log_Shutdown();
    EXPECT_EQ(ReadFile(dclog::NumberedName(path, 1)), "previous run\n");
    EXPECT_NE(ReadFile(path).find("second run\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/unused.log"));
    EXPECT_EQ(dclog::ExpandFileName("~/x-$NO_SUCH_VARIABLE_42.log"), std::string(getenv("HOME")) + "/x-.log");
}

// Append continues an existing file, even an empty one, without a header;
// a missing file is not appended to: the warning says so and a new file
// starts with its header.
TEST_F(LogFileOutputTest, AppendContinuesOnlyAnExistingFile) {
    const std::string path = temp_.Path() + "/append.log";
    dict_ = {{"log.fileName", path}, {"log.append", "true"}};
    ASSERT_NE(Start(), nullptr);
    Log("first");
    Log_Shutdown();
    const std::string created = ReadFile(path);
    EXPECT_TRUE(InOrder(
        created,
        {"Log for ", "Could not open log file '" + path + "' for append, ignoring log.append option\n",
         "first\n"}));
    ASSERT_NE(Start(), nullptr);
    Log("second");
    Log_Shutdown();
    const std::string appended = ReadFile(path);
    EXPECT_EQ(appended.substr(0, created.size()), created);
    EXPECT_EQ(CountOf(appended, "Log for "), 1u);
    EXPECT_TRUE(InOrder(appended, {"first\n", "second\n"}));
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    ASSERT_NE(Start(), nullptr);
    Log("third");
    Log_Shutdown();
    EXPECT_TRUE(std::regex_match(ReadFile(path), std::regex(kStamp + " In\\(05\\) tester third\n")))
        << ReadFile(path);
}

TEST_F(LogFileOutputTest, SizeRotationKeepsTheNewestFilesInBothModes) {
    for (bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast" : "chain");
        dclog::LogCapture capture;
        const std::string dir = Dir(fast ? "fast" : "chain");
        const std::string path = dir + "/rot.log";
        dict_ = {{"log.fileName", path},
                 {"log.rotateSize", "100000"},
                 {"log.keepOld", "2"},
                 {"log.fastRotation", fast ? "true" : "false"},
                 {"log.throttleBytesPerSec", "-1"}};
        ASSERT_NE(Start(), nullptr);
        const std::string chunk(1000, 'x');
        for (int i = 0; i < 450; ++i) {
            LogMessage(dclog::kInfo, "line %03d %s", i, chunk.c_str());
        }
        Log_Shutdown();
        std::vector<unsigned> numbers;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name != "rot.log") {
                numbers.push_back(static_cast<unsigned>(std::stoul(name.substr(4))));
            }
            EXPECT_TRUE(ReadFile(entry.path().string()).find("Log for ") != std::string::npos) << name;
        }
        std::sort(numbers.begin(), numbers.end());
        EXPECT_EQ(numbers, fast ? std::vector<unsigned>({3, 4}) : std::vector<unsigned>({1, 2}));
        EXPECT_TRUE(capture.Contains("LogRotation: Rotating to a new log file (keepOld 2) took "));
        const std::string current = ReadFile(path);
        EXPECT_NE(current.find("line 449"), std::string::npos);
        EXPECT_LE(current.size(), 100000u + 2100u);
    }
}

TEST_F(LogFileOutputTest, ThrottleCutsOffAndReplaysHeldMessages) {
    dict_ = {{"log.fileName", temp_.Path() + "/throttle.log"}, {"log.throttleThreshold", "1000"}};
    ASSERT_NE(Start(), nullptr);
    const std::string filler(99, 'f');
    for (int i = 0; i < 100; ++i) {
        Log("%s", filler.c_str());
    }
    now_ += 6000000;  // 10000 bytes over 6 s: above 1000 bytes per second
    Log("trigger");
    Log("held 1");
    now_ += 30000000;  // still inside the 60 s window
    Log("held 2");
    EXPECT_EQ(ReadFile(temp_.Path() + "/throttle.log").find("held"), std::string::npos)
        << "held while throttled";
    now_ += 31000000;
    Log("resumed");
    Log_Shutdown();
    const std::string text = ReadFile(temp_.Path() + "/throttle.log");
    EXPECT_EQ(CountOf(text, "<<< file Throttled >>>\n"), 1u);
    EXPECT_EQ(CountOf(text, filler), 100u);
    EXPECT_EQ(CountOf(text, "trigger"), 1u);
    EXPECT_TRUE(std::regex_search(
        text, std::regex(filler + "\n" + kStamp + " No\\(00\\) tester <<< file Throttled >>>\n")));
    EXPECT_TRUE(InOrder(text, {"<<< file Throttled", "trigger", "held 1", "held 2", "resumed"})) << text;
}

// A rotation whose new file cannot take its header (disk full) goes on in
// the old file and waits for another rotateSize bytes before it tries
// again, so the kept logs are not rotated away record by record. What the
// full disk swallowed is counted in the next record that gets out.
TEST_F(LogFileOutputTest, FailedRotationBacksOffAndKeepsTheOldLogs) {
    const std::string path = temp_.Path() + "/full.log";
    dict_ = {{"log.fileName", path},
             {"log.rotateSize", "100000"},
             {"log.keepOld", "2"},
             {"log.throttleBytesPerSec", "-1"}};
    const std::string chunk(1000, 'c');
    const auto fillUntilDue = [&] {
        struct stat st {};
        while (stat(path.c_str(), &st) == 0 && st.st_size <= 100000) {
            Log("%s", chunk.c_str());
        }
    };
    dctest::ChildResult result = dctest::RunForked(
        {},
        [&] {
            signal(SIGXFSZ, SIG_IGN);
            if (Start() == nullptr) {
                return 2;
            }
            fillUntilDue();
            Log("second file");
            fillUntilDue();
            WithFileSizeLimit(100, [] {
                for (int i = 0; i < 4; ++i) {
                    Log("lost %d", i);
                }
            });
            Log("after");
            Log_Shutdown();
            return 0;
        },
        std::chrono::seconds(10));
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::string kept = ReadFile(dclog::NumberedName(path, 1));
    EXPECT_GT(kept.size(), 100000u);
    EXPECT_TRUE(InOrder(kept, {"second file\n", ">>> Error writing log, ", "after\n"}));
    // The next record that gets out tells how much was lost.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(kept, match,
                                  std::regex(kStamp +
                                             " Wa\\(03\\) tester >>> Error writing log, (\\d+) bytes "
                                             "discarded\\. Disk full\\?\n" +
                                             kStamp + " In\\(05\\) tester after\n")));
    // At least the four records, stamp and all.
    EXPECT_GE(std::stoul(match[1].str()),
              4u * std::string("2026-01-01T00:00:00.000Z In(05) tester lost 0\n").size());
    EXPECT_EQ(CountOf(kept + ReadFile(path), "lost "), 0u);
    EXPECT_GT(ReadFile(dclog::NumberedName(path, 2)).size(), 100000u);
}

TEST(LogMessageTest, ChildForkedWhileAnotherThreadLogsCanLogItself) {
    std::atomic<bool> entered{false};
    ASSERT_NE(dclog::RegisterOutput(std::make_unique<SlowOutput>(entered)), nullptr);
    std::thread writer([] { LogMessage(dclog::kInfo, "parent record"); });
    while (!entered) {
        std::this_thread::sleep_for(1ms);
    }
    pid_t child = fork();
    if (child == 0) {
        // A child stuck on the inherited log lock is ended by the alarm.
        alarm(5);
        LogMessage(dclog::kInfo, "child record");
        // Ends through exec, as a real child does: a thread checker would
        // otherwise report the parent's writer thread at the child's exit.
        execl("/bin/true", "true", static_cast<char*>(nullptr));
        _exit(1);
    }
    writer.join();
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child blocked on the inherited log lock";
    EXPECT_TRUE(dclog::RemoveOutput(0x778, "slow"));
}

TEST(LogMessageTest, FormatsMasksTerminatesCutsAndKeepsErrno) {
    dclog::LogCapture capture;
    const std::string medium(1000, 'm');
    LogMessage(dclog::kInfo, "plain %d", 42);
    LogMessage(dclog::kInfo, "kept newline\n");
    Log("the QxR and qxr and qXrx words");
    Warning("warned %s\n", "here");
    LogMessage(dclog::kInfo, "%s", medium.c_str());
    // Fills the stack buffer exactly, leaving no room for the line feed.
    const std::string full(dclog::kStackBufferSize - 1, 's');
    LogMessage(dclog::kInfo, "%s", full.c_str());
    LogMessage(dclog::kInfo, "%s", std::string(40000, 'h').c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6),
              (std::vector<std::string>{"plain 42\n", "kept newline\n", "the *** and *** and ***x words\n",
                                        "warned here\n", medium + "\n", full + "\n"}));
    EXPECT_EQ(capture.LevelOf("the ***"), dclog::kInfo);
    EXPECT_EQ(capture.LevelOf("warned"), dclog::kWarning);
    // Cut to the large buffer: 32766 bytes of text, the last one a line feed.
    ASSERT_EQ(lines[6].size(), static_cast<size_t>(dclog::kLargeBufferSize - 1));
    EXPECT_EQ(lines[6].find_first_not_of('h'), lines[6].size() - 1);

    errno = EACCES;
    LogMessage(dclog::kError, "failed: %d", 1);
    EXPECT_EQ(errno, EACCES);
    errno = ENOENT;
    LogMessage(dclog::kDebug2, "suppressed");
    EXPECT_EQ(errno, ENOENT);
}
