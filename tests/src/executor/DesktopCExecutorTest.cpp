// DesktopCExecutor: queue order, direct runs beside the queue, and what
// becomes of queued and running tasks when the executor is destroyed.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/core/SessionDetection.h"
#include "src/executor/DesktopCExecutor.h"
#include "src/process/DesktopCProcessMgr.h"
#include "tests/src/executor/ExecutorTestSupport.h"
#include "tests/src/process/ProcessTestSupport.h"

namespace {

using namespace exectest;
using namespace proctest;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class DesktopCExecutorTest : public ::testing::Test {
  protected:
    std::shared_ptr<DesktopCTask> Task(const std::string& name, bool gated = false) {
        return std::make_shared<RecordingTask>(name, journal, gated);
    }
    // The entries of the journal, or the captured lines, that contain one of the parts.
    static std::vector<std::string> Containing(const std::vector<std::string>& lines,
                                               const std::vector<std::string>& parts) {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (std::any_of(parts.begin(), parts.end(),
                            [&](const std::string& part) { return line.find(part) != std::string::npos; })) {
                found.push_back(line);
            }
        }
        return found;
    }
    std::string ExpectedInfo() const { return GetDesktopType() + "/" + CommonUtils::GetDistribution(); }

    dclog::LogCapture capture{dclog::kDebug1};
    Journal journal;
    std::shared_ptr<DesktopCProcessMgr> manager = std::make_shared<DesktopCProcessMgr>();
};

TEST_F(DesktopCExecutorTest, QueuedTasksRunInOrderWhileDirectTasksRunAlongside) {
    DesktopCExecutor executor(manager);
    executor.Exec(Task("A", true), true);
    executor.Exec(Task("B"), true);
    executor.Exec(Task("C"), true);
    ASSERT_TRUE(journal.WaitFor("start A", kEventTimeout));

    // A blocked direct task is reported at once and holds up nothing.
    executor.Exec(Task("D", true), false);
    EXPECT_EQ(capture.LevelOf("DesktopCExecutor->Exec Task D executed directly"), dclog::kInfo);
    executor.Exec(Task("E"), false);
    ASSERT_TRUE(journal.WaitFor("end E", kEventTimeout));
    EXPECT_FALSE(journal.Has("end D"));
    EXPECT_FALSE(journal.Has("start B"));

    journal.Add("open A");
    ASSERT_TRUE(journal.WaitFor("end C", kEventTimeout));
    EXPECT_THAT(Containing(journal.Entries(), {"start A", "end A", "start B", "end B", "start C", "end C"}),
                ElementsAre("start A", "end A", "start B", "end B", "start C", "end C"));
    EXPECT_TRUE(journal.Has("info B " + ExpectedInfo()));
    ASSERT_TRUE(capture.WaitFor("Task C executed in queue", kEventTimeout));
    EXPECT_THAT(Containing(capture.Lines(), {"executed in queue"}),
                ElementsAre("DesktopCExecutor->ScheduleTask Task A executed in queue\n",
                            "DesktopCExecutor->ScheduleTask Task B executed in queue\n",
                            "DesktopCExecutor->ScheduleTask Task C executed in queue\n"));
    journal.Add("open D");
    EXPECT_TRUE(journal.WaitFor("end D", kEventTimeout));
}

TEST_F(DesktopCExecutorTest, DestructionWaitsForTheRunningQueuedTaskAndDropsTheRest) {
    auto executor = std::make_unique<DesktopCExecutor>(manager);
    executor->Exec(Task("A", true), true);
    executor->Exec(Task("B"), true);
    executor->Exec(Task("Late", true), false);
    ASSERT_TRUE(journal.WaitFor("start A", kEventTimeout));
    ASSERT_TRUE(journal.WaitFor("start Late", kEventTimeout));

    std::promise<void> destroyed;
    std::future<void> done = destroyed.get_future();
    std::thread destroyer([&] {
        executor.reset();
        destroyed.set_value();
    });
    EXPECT_NE(done.wait_for(std::chrono::milliseconds(200)), std::future_status::ready);
    journal.Add("open A");
    EXPECT_EQ(done.wait_for(kEventTimeout), std::future_status::ready);
    destroyer.join();
    EXPECT_THAT(Containing(journal.Entries(), {"start "}), UnorderedElementsAre("start A", "start Late"));
    EXPECT_FALSE(capture.Contains("Task B executed"));

    // The direct task outlives the executor with its own desktop information.
    journal.Add("open Late");
    ASSERT_TRUE(journal.WaitFor("end Late", kEventTimeout));
    EXPECT_TRUE(journal.Has("info Late " + ExpectedInfo()));
}

TEST_F(DesktopCExecutorTest, AStartRequestNamingAFifoReturnsAtOnce) {
    DesktopCExecutor executor(manager);
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto started = std::async(std::launch::async, [&] { executor.StartProcess("fifo", fifo, {}, "", 1); });
    EXPECT_EQ(started.wait_for(kEventTimeout), std::future_status::ready);
    // A check that waited for a writer is let go, so that the test can end.
    close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    started.wait();

    executor.StartAppProcess("missing", dir.File("missing"), {}, 1);
    EXPECT_EQ(capture.LevelOf("DesktopCExecutor->StartAppProcess File path " + dir.File("missing") +
                              " not found\n"),
              dclog::kWarning);
}

}  // namespace
