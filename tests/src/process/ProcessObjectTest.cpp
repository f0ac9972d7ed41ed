// ProcessObject and RdeProcess against real children (the proc_helper
// program): what the child receives, how it is stopped, what is logged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/process/ProcessObject.h"
#include "src/process/RdeProcess.h"
#include "tests/src/process/ProcessTestSupport.h"

namespace {

using namespace proctest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

class ProcessObjectTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_THAT(ZombieChildrenOfSelf(), IsEmpty()); }

    // Index of the first captured line containing text, or -1.
    int IndexOf(const std::string& text) const {
        std::vector<std::string> lines = capture.Lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    int CountOf(const std::string& text) const {
        std::vector<std::string> lines = capture.Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }
    // The exit record of the child of that name, once it is logged: a child
    // that ends at once may be reaped before the test could read its pid.
    std::string WaitForExitRecord(const std::string& name) const {
        const std::string start = "Proc(" + name + "), pid(";
        const std::string exited = "): Process " + name + "(";
        if (!capture.WaitFor(exited, kEventTimeout)) {
            return "";
        }
        for (const std::string& line : capture.Lines()) {
            if (line.rfind(start, 0) == 0 && line.find(exited) != std::string::npos) {
                return line.substr(line.find(exited) + 3);
            }
        }
        return "";
    }
    static std::string ExitedRecord(const std::string& name, pid_t pid, int status) {
        return "Process " + name + "(" + std::to_string(pid) + ") exited, status=" + std::to_string(status) +
               "\n";
    }

    dclog::LogCapture capture{dclog::kDebug1};
    TempDir dir;
    EventFifo events{dir.File("events")};
};

TEST_F(ProcessObjectTest, ArgvEnvironmentAndDescriptorsReachTheChildExactly) {
    setenv("DC_T_REMOVED", "present", 1);
    setenv("DC_T_KEPT", "kept value", 1);
    const std::string out = dir.File("report");
    const std::string binDir = std::filesystem::path(HelperPath()).parent_path().string();
    const std::vector<std::string> params = {"report",    out,          events.Path(),
                                             "DC_T_SET",  "DC_T_EMPTY", "DC_T_REMOVED",
                                             "DC_T_KEPT", "with space", ""};
    auto process = std::make_shared<ProcessObject>("reporter", 7, 0, -1);

    // No slash in the path: found along the PATH the edits give the child.
    ASSERT_TRUE(process->start("proc_helper", params,
                               {"DC_T_SET=a=b==c", "DC_T_EMPTY=", "DC_T_REMOVED", "PATH=" + binDir}, 0));
    const pid_t pid = process->getPid();
    ASSERT_EQ(events.NextLine(), "reported");
    ASSERT_EQ(WaitForExitRecord("reporter"), ExitedRecord("reporter", pid, 0));

    const std::string report = ReadFile(out);
    std::vector<std::string> argv = {"reporter"};
    argv.insert(argv.end(), params.begin(), params.end());
    EXPECT_THAT(LinesWithPrefix(report, "arg "), ElementsAreArray(argv));
    EXPECT_THAT(LinesWithPrefix(report, "env "),
                ElementsAre("DC_T_SET=a=b==c", "DC_T_EMPTY=", "DC_T_KEPT=kept value"));
    EXPECT_THAT(LinesWithPrefix(report, "unset "), ElementsAre("DC_T_REMOVED", "with space", ""));
    EXPECT_THAT(LinesWithPrefix(report, "fd "), ElementsAre("0", "1", "2"));
    char ownStdin[512] = {};
    ASSERT_GT(readlink("/proc/self/fd/0", ownStdin, sizeof ownStdin - 1), 0);
    EXPECT_THAT(LinesWithPrefix(report, "stdin "), ElementsAre(ownStdin));
    EXPECT_EQ(capture.LevelOf("Proc(reporter), pid(-1), rid(7), flg(0): Add param: with space"),
              dclog::kDebug);
    EXPECT_EQ(capture.LevelOf("Add env: DC_T_SET=a=b==c"), dclog::kDebug);
    EXPECT_EQ(capture.LevelOf("Process reporter("), dclog::kInfo);
    EXPECT_TRUE(capture.WaitFor("virtual void ProcessObject::onExitCb().", kEventTimeout));
    unsetenv("DC_T_REMOVED");
    unsetenv("DC_T_KEPT");
}

TEST_F(ProcessObjectTest, StdinTextArrivesByteExactOnceAndThePipeStaysOpen) {
    std::string text(1 << 20, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>((i * 131) % 256);
    }
    const std::string received = dir.File("received");
    auto reader = std::make_shared<RdeProcess>("reader", 3, -1);
    reader->setStdinStr(text);
    ASSERT_TRUE(reader->start(HelperPath(), {"stdin", received, std::to_string(text.size()), events.Path()},
                              {}, ProcessObject::kStdinPipe));
    ASSERT_EQ(events.NextLine(), "read 1048576 open");
    EXPECT_TRUE(ReadFile(received) == text) << "the child read different bytes";

    // Another child started meanwhile sees none of the pipe's descriptors.
    auto reporter = std::make_shared<ProcessObject>("reporter", 3, 0, -1);
    ASSERT_TRUE(reporter->start(HelperPath(), {"report", dir.File("report"), events.Path()}, {}, 0));
    ASSERT_EQ(events.NextLine(), "reported");
    EXPECT_THAT(LinesWithPrefix(ReadFile(dir.File("report")), "fd "), ElementsAre("0", "1", "2"));

    // The text was for one start only: the restarted child gets a pipe with nothing in it.
    ASSERT_TRUE(reader->restart(HelperPath(), {"stdin", received, "0", events.Path()}, {},
                                ProcessObject::kStdinPipe));
    EXPECT_EQ(events.NextLine(), "read 0 open");
    EXPECT_TRUE(
        capture.WaitFor("Proc(reader), pid(" + std::to_string(reader->getPid()) +
                            "), rid(3), flg(2): void ProcessObject::monitor(pid_t): Start successfully.",
                        kEventTimeout));
    reader->stop(true, ProcessObject::kStopTimeoutMs);
    EXPECT_FALSE(capture.Contains("Failed to send"));
}

TEST_F(ProcessObjectTest, StopSendsSigkillTwoSecondsAfterAnIgnoredSigterm) {
    auto stubborn = std::make_shared<ProcessObject>("stubborn", 1, 0, -1);
    ASSERT_TRUE(stubborn->start(HelperPath(), {"ignore-term", events.Path()}, {}, 0));
    const pid_t pid = stubborn->getPid();
    ASSERT_EQ(events.NextLine(), "ready " + std::to_string(pid));

    const auto begin = Clock::now();
    stubborn->stop(true, ProcessObject::kStopTimeoutMs);
    const auto elapsed = Clock::now() - begin;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1950));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3500));
    EXPECT_EQ(stubborn->getPid(), -1);
    EXPECT_FALSE(ProcessExists(pid));

    const std::string prefix = "Proc(stubborn), pid(" + std::to_string(pid) + "), rid(1), flg(0): ";
    EXPECT_EQ(capture.LevelOf(prefix + "Process " + std::to_string(pid) + " not finished yet."),
              dclog::kDebug1);
    EXPECT_EQ(capture.LevelOf(prefix + "Stop timeout after 2000, force quit."), dclog::kInfo);
    EXPECT_LT(IndexOf("Stop timeout after 2000"), IndexOf(prefix + "killed by signal 9"));
    EXPECT_FALSE(capture.Contains("Move forward after force stop"));

    // Without waiting, stop returns right after SIGTERM.
    auto quick = std::make_shared<ProcessObject>("quick", 2, 0, -1);
    ASSERT_TRUE(quick->start(HelperPath(), {"wait", events.Path()}, {}, 0));
    const pid_t quickPid = quick->getPid();
    ASSERT_EQ(events.NextLine(), "ready " + std::to_string(quickPid));
    const auto stopBegin = Clock::now();
    quick->stop(false, ProcessObject::kStopTimeoutMs);
    EXPECT_LT(Clock::now() - stopBegin, std::chrono::milliseconds(500));
    EXPECT_TRUE(capture.WaitFor(
        "Proc(quick), pid(" + std::to_string(quickPid) + "), rid(2), flg(0): killed by signal 15",
        kEventTimeout));
}

TEST_F(ProcessObjectTest, ExitStatusesAndExecFailuresAreLogged) {
    const std::string notExecutable = dir.File("plain");
    std::ofstream(notExecutable) << "data";
    struct Case {
        std::string name;
        std::string path;
        std::vector<std::string> params;
        int status;
    };
    const std::vector<Case> cases = {
        {"three", HelperPath(), {"exit", "3"}, 3},
        {"missing", dir.File("missing"), {}, 255},
        {"directory", dir.Path(), {}, 255},
        {"plain", notExecutable, {}, 255},
        {"badname", "no-such-program-anywhere", {}, 255},
    };
    for (const Case& c : cases) {
        auto process = std::make_shared<ProcessObject>(c.name, 4, 0, -1);
        ASSERT_TRUE(process->start(c.path, c.params, {}, 0)) << c.name;
        const std::string record = WaitForExitRecord(c.name);
        EXPECT_TRUE(record.ends_with(") exited, status=" + std::to_string(c.status) + "\n"))
            << c.name << ": " << record;
        EXPECT_TRUE(capture.WaitFor("Proc(" + c.name +
                                        "), pid(-1), rid(4), flg(0): virtual void "
                                        "ProcessObject::onExitCb().",
                                    kEventTimeout))
            << c.name;
    }
}

TEST_F(ProcessObjectTest, RunningAndStoppedObjectsKeepTheirState) {
    auto process = std::make_shared<ProcessObject>("twice", 5, 0, -1);
    ASSERT_TRUE(process->start(HelperPath(), {"wait", events.Path()}, {}, 0));
    const pid_t first = process->getPid();
    ASSERT_EQ(events.NextLine(), "ready " + std::to_string(first));

    EXPECT_TRUE(process->start("/bin/false", {}, {}, ProcessObject::kStdinPipe));
    EXPECT_TRUE(
        capture.Contains("The process twice(" + std::to_string(first) + ") have been already running."));
    EXPECT_EQ(process->getPath(), HelperPath());
    EXPECT_EQ(process->getPid(), first);
    EXPECT_FALSE(process->sendMessage("token"));
    EXPECT_EQ(capture.LevelOf("flg(0): Can't get the stdin."), dclog::kError);

    ASSERT_TRUE(process->restart());
    const pid_t second = process->getPid();
    EXPECT_NE(second, first);
    EXPECT_EQ(events.NextLine(), "ready " + std::to_string(second));
    EXPECT_TRUE(capture.Contains("Proc(twice), pid(" + std::to_string(first) +
                                 "), rid(5), flg(0): killed by signal 15"));

    // The first child's exit record is already captured; the wait must see
    // the second one's, or that record lands after the next Clear.
    capture.Clear();
    process->stop(true, ProcessObject::kStopTimeoutMs);
    ASSERT_TRUE(capture.WaitFor(
        "Proc(twice), pid(-1), rid(5), flg(0): virtual void ProcessObject::onExitCb().", kEventTimeout));
    capture.Clear();
    process->stop(true, ProcessObject::kStopTimeoutMs);
    EXPECT_THAT(capture.Lines(),
                ElementsAre("Proc(twice), pid(-1), rid(5), flg(0): The process already exited, "
                            "need not stop.\n"));
    EXPECT_EQ(capture.LevelOf("need not stop"), dclog::kWarning);

    capture.Clear();
    process.reset();
    ASSERT_TRUE(capture.WaitFor("need not stop", kEventTimeout));
    EXPECT_EQ(CountOf("need not stop"), 1);
}

TEST_F(ProcessObjectTest, AChildThatNeverReadsItsStdinCannotHoldUpStop) {
    const std::string text(1 << 20, 't');

    // The child ignores SIGTERM and never reads: SIGKILL ends it and the write.
    auto deaf = std::make_shared<RdeProcess>("deaf", 8, -1);
    deaf->setStdinStr(text);
    ASSERT_TRUE(deaf->start(HelperPath(), {"ignore-term", events.Path()}, {}, ProcessObject::kStdinPipe));
    ASSERT_EQ(events.NextLine(), "ready " + std::to_string(deaf->getPid()));
    auto begin = Clock::now();
    deaf->stop(true, ProcessObject::kStopTimeoutMs);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(3500));
    EXPECT_EQ(deaf->getPid(), -1);
    // The write ends either on the child's exit or on the pipe it closed.
    EXPECT_EQ(capture.LevelOf("flg(2): Failed to send message"), dclog::kError);
    EXPECT_EQ(capture.LevelOf("onStarted: Failed to send ipctoken to CoworkUI"), dclog::kError);

    // A grandchild keeps the pipe open without reading: the child's exit
    // still ends the write, so SIGTERM is enough.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto family = std::make_shared<RdeProcess>("family", 9, -1);
    family->setStdinStr(text);
    ASSERT_TRUE(family->start(HelperPath(), {"grandchild", events.Path()}, {}, ProcessObject::kStdinPipe));
    std::optional<std::string> line = events.NextLine();
    ASSERT_TRUE(line && line->rfind("grandchild ", 0) == 0);
    const pid_t grandchild = std::stoi(line->substr(11));
    begin = Clock::now();
    family->stop(true, ProcessObject::kStopTimeoutMs);
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(1500));
    EXPECT_TRUE(capture.Contains("rid(9), flg(2): Failed to send message"));
    kill(grandchild, SIGKILL);
    EXPECT_EQ(waitpid(grandchild, nullptr, 0), grandchild);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
