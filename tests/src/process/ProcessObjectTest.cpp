// ProcessObject and RdeProcess against real children (the proc_helper
// program): what the child receives, how it is stopped, what is logged.
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/process/ProcessObject.h"
#include "src/process/RdeProcess.h"
#include "tests/src/process/ProcessTestSupport.h"

namespace {

using namespace proctest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

// While set, every thread detach in this program is held up, so that an
// exit hook runs to its end before the monitor that started it goes on.
std::atomic<bool> gSlowDetach{false};

}  // namespace

extern "C" int pthread_detach(pthread_t thread) {
    using Detach = int (*)(pthread_t);
    static const auto next = reinterpret_cast<Detach>(dlsym(RTLD_NEXT, "pthread_detach"));
    if (gSlowDetach) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return next(thread);
}

namespace {

// Lets go of its only owner from the exit hook, as the manager does for an
// application, and tells which threads watched and destroyed it.
class ReleasedByItsHook : public ProcessObject {
  public:
    struct Threads {
        std::promise<std::thread::id> monitor;
        std::promise<std::thread::id> destroyer;
    };
    ReleasedByItsHook(std::shared_ptr<ProcessObject>& owner, Threads& threads)
        : ProcessObject("released", 3, 0, -1), owner_(owner), threads_(threads) {}
    ~ReleasedByItsHook() override {
        shutdown();
        threads_.destroyer.set_value(std::this_thread::get_id());
    }

  protected:
    void onStarted() override { threads_.monitor.set_value(std::this_thread::get_id()); }
    void onExitCb() override { owner_.reset(); }

  private:
    std::shared_ptr<ProcessObject>& owner_;
    Threads& threads_;
};

class ProcessObjectTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_THAT(ChildrenOfSelf(true), IsEmpty()); }

    // The exit record of the child of that name, once it is logged: a child
    // that ends at once may be reaped before the test could read its pid.
    std::string WaitForExitRecord(const std::string& name) const {
        const std::string exited = "): Process " + name + "(";
        if (!capture.WaitFor(exited, kEventTimeout)) {
            return "";
        }
        for (const std::string& line : capture.Lines()) {
            if (line.rfind("Proc(" + name + "), pid(", 0) == 0 && line.find(exited) != std::string::npos) {
                return line.substr(line.find(exited) + 3);
            }
        }
        return "";
    }
    // Starts the helper in a mode that announces "ready <pid>" and waits for it.
    pid_t StartReady(ProcessObject& process, const std::string& mode, int flags = 0) {
        EXPECT_TRUE(process.start(HelperPath(), {mode, events.Path()}, {}, flags));
        const pid_t pid = events.NextReadyPid();
        EXPECT_EQ(pid, process.getPid());
        return pid;
    }
    dclog::LogCapture capture{dclog::kDebug1};
    TempDir dir;
    EventFifo events{dir.File("events")};
};

// What the child gets of its argv, standard input and the rest is checked
// end to end; here only what no daemon test can provoke: a descriptor a
// library opened without close-on-exec, and a path that cannot be run.
TEST_F(ProcessObjectTest, NoStrayDescriptorReachesTheChildAndAFailedExecExitsWith255) {
    const std::string out = dir.File("report");
    auto process = std::make_shared<ProcessObject>("reporter", 7, 0, -1);
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    ASSERT_TRUE(process->start(HelperPath(), {"report", out, events.Path()}, {}, 0));
    ASSERT_EQ(events.NextLine(), "reported");
    close(stray);
    // The child names its own pid: it may be reaped, and getPid() -1, before
    // this thread gets to run again after the start.
    const std::string report = ReadFile(out);
    const std::vector<std::string> pid = LinesWithPrefix(report, "pid ");
    ASSERT_EQ(pid.size(), 1u) << report;
    ASSERT_EQ(WaitForExitRecord("reporter"), "Process reporter(" + pid[0] + ") exited, status=0\n");
    EXPECT_THAT(LinesWithPrefix(report, "fd "), ElementsAre("0", "1", "2"));
    // Joins the reporter's watcher: a thread checker in a child that fails
    // its exec would otherwise report the finished, unjoined thread.
    process.reset();

    const std::pair<std::string, std::string> failures[] = {{"missing", dir.File("missing")},
                                                            {"plain", dir.Write("plain", "data")}};
    for (const auto& [name, path] : failures) {
        auto failing = std::make_shared<ProcessObject>(name, 4, 0, -1);
        ASSERT_TRUE(failing->start(path, {}, {}, 0)) << name;
        EXPECT_TRUE(WaitForExitRecord(name).ends_with(") exited, status=255\n")) << name;
    }
}

TEST_F(ProcessObjectTest, AChildThatNeverReadsItsStdinCannotHoldUpStop) {
    const std::string text(1 << 20, 't');
    // The child ignores SIGTERM and never reads: SIGKILL ends it and the write.
    auto deaf = std::make_shared<RdeProcess>("deaf", 8, -1);
    deaf->setStdinStr(text);
    StartReady(*deaf, "ignore-term", ProcessObject::kStdinPipe);
    auto begin = Clock::now();
    deaf->stop(true, ProcessObject::kStopTimeoutMs);
    EXPECT_LT(Clock::now() - begin, 3500ms);
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
    EXPECT_LT(Clock::now() - begin, 1500ms);
    EXPECT_TRUE(capture.Contains("rid(9), flg(2): Failed to send message"));
    kill(grandchild, SIGKILL);
    EXPECT_EQ(waitpid(grandchild, nullptr, 0), grandchild);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(ProcessObjectTest, AnOwnerLettingGoInTheExitHookLeavesTheEndToTheHooksThread) {
    ReleasedByItsHook::Threads threads;
    std::future<std::thread::id> monitor = threads.monitor.get_future();
    std::future<std::thread::id> destroyer = threads.destroyer.get_future();
    std::shared_ptr<ProcessObject> owner;
    owner = std::make_shared<ReleasedByItsHook>(owner, threads);
    ProcessObject* process = owner.get();
    gSlowDetach = true;
    ASSERT_TRUE(process->start(HelperPath(), {"exit", "0"}, {}, 0));
    // Ending on its own monitor thread, the object would have to join the
    // thread it runs on: the program would abort here.
    ASSERT_EQ(destroyer.wait_for(kEventTimeout), std::future_status::ready);
    gSlowDetach = false;
    EXPECT_NE(destroyer.get(), monitor.get());
    EXPECT_TRUE(capture.Contains("Proc(released), pid(-1), rid(3), flg(0): The process already exited"));
}

TEST_F(ProcessObjectTest, AnObjectWhoseChildCannotBeReapedEndsWithinItsStopAndLeavesTheReapingBehind) {
    auto held = std::make_shared<ProcessObject>("held", 5, 0, -1);
    const pid_t pid = StartReady(*held, "wait");
    ReapBlocker blocker(pid);
    if (!blocker.Holding()) {
        GTEST_SKIP() << "this host does not allow a tracer to attach";
    }
    std::promise<void> destroyed;
    std::future<void> done = destroyed.get_future();
    std::thread destroyer([&destroyed, last = std::move(held)]() mutable {
        last.reset();
        destroyed.set_value();
    });
    const bool bounded = done.wait_for(2 * std::chrono::milliseconds(ProcessObject::kStopTimeoutMs) + 3s) ==
                         std::future_status::ready;
    blocker.Release();
    destroyer.join();
    EXPECT_TRUE(bounded);
    // The monitor left behind reaps the child once it can, touching nothing
    // of the destroyed object (the address sanitizer mode checks that).
    const std::string prefix = "Proc(held), pid(" + std::to_string(pid) + "), rid(5), flg(0): ";
    EXPECT_EQ(capture.LevelOf(prefix + "The child could not be reaped; its monitor reaps it later.\n"),
              dclog::kWarning);
    EXPECT_TRUE(capture.WaitFor(prefix + "killed by signal 9\n", kEventTimeout));
    EXPECT_THAT(ChildrenOfSelfAfter(), IsEmpty());
}

}  // namespace
