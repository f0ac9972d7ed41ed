// DesktopCExecutor: direct runs, what becomes of a running task when the
// executor is destroyed, and start requests it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/core/SessionDetection.h"
#include "src/executor/DesktopCExecutor.h"
#include "src/executor/DesktopCTask.h"
#include "src/process/DesktopCProcessMgr.h"
#include "tests/src/process/ProcessTestSupport.h"

namespace {

using namespace proctest;

// A journal that tasks write to and tests wait on.
class Journal {
  public:
    void Add(const std::string& entry) {
        std::lock_guard guard(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    bool WaitFor(const std::string& entry, std::chrono::milliseconds timeout) {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, timeout, [&] { return HasLocked(entry); });
    }
    bool Has(const std::string& entry) {
        std::lock_guard guard(mutex_);
        return HasLocked(entry);
    }

  private:
    bool HasLocked(const std::string& entry) const {
        return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

// Records "start <name>", then waits for "open <name>" when gated, then
// records the desktop information it was given and "end <name>".
class RecordingTask : public DesktopCTask {
  public:
    RecordingTask(std::string name, Journal& journal, bool gated)
        : name_(std::move(name)), journal_(journal), gated_(gated) {}
    void Execute(const DesktopInfo& info) override {
        journal_.Add("start " + name_);
        if (gated_) {
            journal_.WaitFor("open " + name_, std::chrono::seconds(20));
        }
        journal_.Add("info " + name_ + " " + info.desktopType + "/" + info.distribution);
        journal_.Add("end " + name_);
    }
    std::string GetName() override { return name_; }

  private:
    std::string name_;
    Journal& journal_;
    bool gated_;
};

class DesktopCExecutorTest : public ::testing::Test {
  protected:
    // The desktop type then comes from the environment, the same at every
    // look, and not from whichever session processes (mate-session,
    // ksmserver) other tests on the machine happen to be running.
    void SetUp() override {
        if (const char* current = getenv("XDG_CURRENT_DESKTOP")) {
            savedCurrentDesktop_ = current;
        }
        setenv("XDG_CURRENT_DESKTOP", "MATE", 1);
    }
    void TearDown() override {
        if (savedCurrentDesktop_) {
            setenv("XDG_CURRENT_DESKTOP", savedCurrentDesktop_->c_str(), 1);
        } else {
            unsetenv("XDG_CURRENT_DESKTOP");
        }
    }

    std::shared_ptr<DesktopCTask> Task(const std::string& name, bool gated = false) {
        return std::make_shared<RecordingTask>(name, journal, gated);
    }
    std::string ExpectedInfo() const { return GetDesktopType() + "/" + CommonUtils::GetDistribution(); }

    dclog::LogCapture capture{dclog::kDebug1};
    Journal journal;
    std::shared_ptr<DesktopCProcessMgr> manager = std::make_shared<DesktopCProcessMgr>();

  private:
    std::optional<std::string> savedCurrentDesktop_;
};

// The daemon runs every task directly, each on a thread of its own (the
// executor's queue serves no request): a blocked task holds up neither the
// next one nor the executor's destruction, and it ends after the executor
// with the desktop information it was given.
TEST_F(DesktopCExecutorTest, DirectTasksRunAlongsideAndOutliveTheExecutor) {
    auto executor = std::make_unique<DesktopCExecutor>(manager);
    executor->Exec(Task("Blocked", true), false);
    ASSERT_TRUE(journal.WaitFor("start Blocked", kEventTimeout));
    executor->Exec(Task("Next"), false);
    ASSERT_TRUE(journal.WaitFor("end Next", kEventTimeout));
    EXPECT_TRUE(journal.Has("info Next " + ExpectedInfo()));
    executor.reset();
    EXPECT_FALSE(journal.Has("end Blocked"));
    journal.Add("open Blocked");
    ASSERT_TRUE(journal.WaitFor("end Blocked", kEventTimeout));
    EXPECT_TRUE(journal.Has("info Blocked " + ExpectedInfo()));
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
