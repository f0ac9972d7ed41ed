// ProcessObject, RdeProcess and DesktopCProcessMgr against real children
// (the proc_helper program): what the child receives, how it is stopped,
// what is logged; named processes restarted by name, application processes
// started once, the drive clean-up of "CDRServer".
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/process/DesktopCProcessMgr.h"
#include "src/process/ProcessObject.h"
#include "src/process/RdeProcess.h"
#include "tests/src/process/ProcessTestSupport.h"
#include "tests/support/SignalsToLeaveBehind.h"

namespace {

using namespace proctest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

// While set, every thread detach in this program is held up, so that an
// exit hook runs to its end before the monitor that started it goes on.
std::atomic<bool> gSlowDetach{false};

// While armed, the next thread this program creates waits for the release
// before it runs, and says when it has ended.
struct HeldThread {
    std::atomic<bool> armed{false};
    std::promise<void> caught;
    std::promise<void> release;
    std::promise<void> ended;
    void* (*routine)(void*) = nullptr;
    void* argument = nullptr;
};
HeldThread* gHeldThread = nullptr;

}  // namespace

extern "C" int pthread_detach(pthread_t thread) {
    using Detach = int (*)(pthread_t);
    static const auto next = reinterpret_cast<Detach>(dlsym(RTLD_NEXT, "pthread_detach"));
    if (gSlowDetach) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return next(thread);
}

// Threads the sanitizers must see being created are left alone in their builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCanHoldThreads = false;
#else
constexpr bool kCanHoldThreads = true;

static void* RunHeldThread(void*) {
    HeldThread& held = *gHeldThread;
    held.caught.set_value();
    held.release.get_future().wait_for(proctest::kEventTimeout);
    void* result = held.routine(held.argument);
    held.ended.set_value();
    return result;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (gHeldThread != nullptr && gHeldThread->armed.exchange(false)) {
        gHeldThread->routine = routine;
        gHeldThread->argument = argument;
        return next(thread, attributes, RunHeldThread, nullptr);
    }
    return next(thread, attributes, routine, argument);
}
#endif

namespace {

// ThreadSanitizer runs a vfork as a plain fork.
#ifdef __SANITIZE_THREAD__
constexpr bool kVforkIsAFork = true;
#else
constexpr bool kVforkIsAFork = false;
#endif

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

// The child gets the argv it was given and the daemon's environment; a
// descriptor a library opened without close-on-exec does not reach it, and
// a path that cannot be run ends it with 255. Standard input is checked end
// to end.
TEST_F(ProcessObjectTest, ArgvEnvironmentAndDescriptorsReachTheChildExactly) {
    setenv("DC_T_KEPT", "kept value", 1);
    const std::string out = dir.File("report");
    const std::vector<std::string> params = {"report", out, events.Path(), "DC_T_KEPT", "with space", ""};
    auto process = std::make_shared<ProcessObject>("reporter", 7, 0, -1);
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    ASSERT_TRUE(process->start(HelperPath(), params, {}, 0));
    ASSERT_EQ(events.NextLine(), "reported");
    close(stray);
    // The child names its own pid: it may be reaped, and getPid() -1, before
    // this thread gets to run again after the start.
    const std::string report = ReadFile(out);
    const std::vector<std::string> pid = LinesWithPrefix(report, "pid ");
    ASSERT_EQ(pid.size(), 1u) << report;
    ASSERT_EQ(WaitForExitRecord("reporter"), "Process reporter(" + pid[0] + ") exited, status=0\n");
    std::vector<std::string> argv = {"reporter"};
    argv.insert(argv.end(), params.begin(), params.end());
    EXPECT_EQ(LinesWithPrefix(report, "arg "), argv);
    EXPECT_THAT(LinesWithPrefix(report, "env "), ElementsAre("DC_T_KEPT=kept value"));
    EXPECT_THAT(LinesWithPrefix(report, "fd "), ElementsAre("0", "1", "2"));
    unsetenv("DC_T_KEPT");
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

// A started child shares no memory with the daemon once start returns: its
// program runs already. It starts with no signal ignored or blocked, and
// resetting them in the child leaves the daemon's own as they were.
TEST_F(ProcessObjectTest, StartReturnsWithTheProgramRunningOnDefaultSignalsAndTheDaemonsKept) {
    auto waiting = std::make_shared<ProcessObject>("waiting", 6, 0, -1);
    ASSERT_TRUE(waiting->start(HelperPath(), {"wait", events.Path()}, {}, 0));
    const std::string exe = "/proc/" + std::to_string(waiting->getPid()) + "/exe";
    if (!kVforkIsAFork) {
        EXPECT_EQ(std::filesystem::read_symlink(exe), std::filesystem::canonical(HelperPath()));
    }
    EXPECT_EQ(events.NextReadyPid(), waiting->getPid());
    waiting->stop(true, ProcessObject::kStopTimeoutMs);

    const std::string listing = dir.File("signals");
    const int out = open(listing.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    {
        dctest::SignalsToLeaveBehind signals;
        auto lister = std::make_shared<ProcessObject>("lister", 7, 0, out);
        ASSERT_TRUE(lister->start("/bin/sh", {"-c", "grep -E '^Sig(Ign|Blk)' /proc/self/status"}, {}, 0));
        EXPECT_EQ(WaitForExitRecord("lister").substr(0, 15), "Process lister(");
        EXPECT_TRUE(signals.InForce());
    }
    close(out);
    EXPECT_EQ(ReadFile(listing), dctest::SignalsToLeaveBehind::kChildDefaults);
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

// Makes the next pid the kernel hands out be pid, as far as nothing else on
// the host forks first; false where the host does not allow it.
bool NextPidWillBe(pid_t pid) {
    std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
    lastPid << pid - 1;
    lastPid.flush();
    return lastPid.good();
}

class DesktopCProcessMgrTest : public ::testing::Test {
  protected:
    void TearDown() override {
        manager.reset();
        EXPECT_THAT(ChildrenOfSelfAfter(), IsEmpty());
    }
    std::vector<std::string> Wait() const { return {"wait", events.Path()}; }

    dclog::LogCapture capture{dclog::kDebug1};
    TempDir dir;
    EventFifo events{dir.File("events")};
    std::shared_ptr<DesktopCProcessMgr> manager = std::make_shared<DesktopCProcessMgr>();
};

TEST_F(DesktopCProcessMgrTest, NamedProcessIsRestartedByName) {
    manager->StartProcess("named", HelperPath(), Wait(), "", 11);
    const pid_t first = events.NextReadyPid();
    manager->StartProcess("named", HelperPath(), Wait(), "", 12);
    const pid_t second = events.NextReadyPid();
    EXPECT_NE(first, second);
    EXPECT_FALSE(IsUnreapedChild(first));
    // Stopping by connection id, the right one only, is checked end to end.
    EXPECT_TRUE(IsUnreapedChild(second));
}

TEST_F(DesktopCProcessMgrTest, AStdinTextThatCouldNotBeDeliveredReachesNoLaterChild) {
    // A start of the existing entry with a text runs first, with descriptors
    // to spare: the undefined-behaviour checker needs some the first time it
    // checks the type behind a call, and finds none inside the tight limit.
    manager->StartProcess("token", HelperPath(), {"exit", "0"}, "", 1);
    ASSERT_TRUE(capture.WaitFor("): Process token(", kEventTimeout));
    manager->StartProcess("token", HelperPath(), Wait(), "warm", 1);
    // Its text is written before the next start stops it.
    const pid_t warm = events.NextReadyPid();
    ASSERT_TRUE(capture.WaitFor("pid(" + std::to_string(warm) +
                                    "), rid(1), flg(2): void ProcessObject::monitor(pid_t): Start to wait",
                                kEventTimeout));
    // With every descriptor below the limit in use, the stdin pipe cannot be made.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowestFree = dup(0);
    close(lowestFree);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    manager->StartProcess("token", HelperPath(), Wait(), "secret", 1);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(capture.Contains("Proc(token), pid(-1), rid(1), flg(2): Failed to create pipe.\n"));

    // A child that survives its stop is still running: the text reaches nobody.
    manager->StartProcess("token", HelperPath(), Wait(), "", 2);
    const pid_t survivor = events.NextReadyPid();
    ReapBlocker blocker(survivor);
    if (blocker.Holding()) {
        manager->StartProcess("token", HelperPath(), Wait(), "secret", 3);
        EXPECT_TRUE(capture.Contains("The process token(" + std::to_string(survivor) +
                                     ") have been already running."));
        blocker.Release();
        EXPECT_TRUE(capture.WaitFor(
            "Proc(token), pid(" + std::to_string(survivor) + "), rid(3), flg(0): killed by signal 9",
            kEventTimeout));
    }

    // The next start carries no text: its child keeps running, stdin untouched.
    manager->StartProcess("token", HelperPath(), Wait(), "", 4);
    const pid_t child = events.NextReadyPid();
    manager->StopProcess("token", 4);
    EXPECT_FALSE(IsUnreapedChild(child));
    EXPECT_FALSE(capture.Contains("Failed to send ipctoken"));
    EXPECT_TRUE(capture.Contains("Proc(token), pid(" + std::to_string(child) +
                                 "), rid(4), flg(0): killed by signal 15"));
}

TEST_F(DesktopCProcessMgrTest, ApplicationsStartOncePerNameAndPathAndLeaveTheListOnExit) {
    const std::string otherPath = dir.File("helper-link");
    ASSERT_EQ(symlink(HelperPath().c_str(), otherPath.c_str()), 0);
    manager->StartAppProcess("app", HelperPath(), Wait(), 1);
    const pid_t first = events.NextReadyPid();
    manager->StartAppProcess("app", HelperPath(), Wait(), 2);
    EXPECT_TRUE(capture.Contains("DesktopCProcessMgr->StartAppProcess App process name app, path " +
                                 HelperPath() + ", is_present 1"));
    manager->StartAppProcess("app", otherPath, Wait(), 3);
    const pid_t second = events.NextReadyPid();
    EXPECT_NE(first, second);

    // An application that exits leaves the list and can start again.
    manager->StartAppProcess("brief", HelperPath(), {"exit", "0"}, 4);
    ASSERT_TRUE(
        capture.WaitFor("Proc(brief), pid(-1), rid(4), flg(0): The process already exited", kEventTimeout));
    capture.Clear();
    manager->StartAppProcess("brief", HelperPath(), {"exit", "0"}, 5);
    EXPECT_TRUE(capture.Contains("App process name brief, path " + HelperPath() + ", is_present 0"));
}

TEST_F(DesktopCProcessMgrTest, AnExitingApplicationRemovesItselfNotANewOneWithItsReusedPid) {
    if (!kCanHoldThreads) {
        GTEST_SKIP() << "the sanitizers own thread creation";
    }
    manager->StartAppProcess("gone", HelperPath(), Wait(), 1);
    const pid_t reused = events.NextReadyPid();
    ASSERT_TRUE(capture.WaitFor("Proc(gone), pid(" + std::to_string(reused) +
                                    "), rid(1), flg(0): void "
                                    "ProcessObject::monitor(pid_t): Start to wait for the process.",
                                kEventTimeout));
    // The exit hook of "gone" is held until a new application has its pid.
    HeldThread held;
    gHeldThread = &held;
    held.armed = true;
    kill(reused, SIGTERM);
    ASSERT_EQ(held.caught.get_future().wait_for(kEventTimeout), std::future_status::ready);
    std::string name;
    for (int attempt = 0; attempt < 20 && name.empty() && NextPidWillBe(reused); ++attempt) {
        const std::string candidate = "new" + std::to_string(attempt);
        manager->StartAppProcess(candidate, HelperPath(), Wait(), 2);
        if (events.NextReadyPid() == reused) {
            name = candidate;
        }
    }
    if (!name.empty()) {
        ASSERT_TRUE(
            capture.WaitFor("Proc(" + name + "), pid(" + std::to_string(reused) +
                                "), rid(2), flg(0): void ProcessObject::monitor(pid_t): Start to wait",
                            kEventTimeout));
    }
    held.release.set_value();
    ASSERT_EQ(held.ended.get_future().wait_for(kEventTimeout), std::future_status::ready);
    gHeldThread = nullptr;
    if (name.empty()) {
        GTEST_SKIP() << "the pid of the exited application could not be handed out again";
    }
    EXPECT_TRUE(capture.Contains("DesktopCProcessMgr->onExitCb App process gone(" + std::to_string(reused) +
                                 ") exit."));
    capture.Clear();
    manager->StartAppProcess(name, HelperPath(), Wait(), 3);
    EXPECT_TRUE(capture.Contains("App process name " + name + ", path " + HelperPath() + ", is_present 1"));
    EXPECT_TRUE(IsUnreapedChild(reused));
}

TEST_F(DesktopCProcessMgrTest, OnlyTheDriveServerUnmountsTsclientWhenItExits) {
    // Each unmount waits for a line on the gate, so the test decides when it ends.
    EventFifo gate{dir.File("gate")};
    auto openGate = [&] {
        const int fd = open(gate.Path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(write(fd, "\n", 1), 1);
        close(fd);
    };
    const std::string record = dir.File("fusermount-calls");
    dir.Write("bin/fusermount",
              "#!/bin/sh\necho \"$*\" >> '" + record + "'\necho unmounting > '" + events.Path() +
                  "'\nread line < '" + gate.Path() + "'\necho unmounted > '" + events.Path() + "'\n",
              0755);
    const std::string oldPath = getenv("PATH");
    const std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("PATH", (dir.File("bin") + ":" + oldPath).c_str(), 1);
    setenv("HOME", dir.Path().c_str(), 1);
    for (const char* name : {"CDRServerX", "cdrserver"}) {
        manager->StartProcess(name, HelperPath(), {"exit", "0"}, "", 1);
        EXPECT_TRUE(capture.WaitFor(std::string("Process ") + name + "(", kEventTimeout));
    }
    manager->StartProcess("CDRServer", HelperPath(), Wait(), "", 1);
    events.NextReadyPid();

    // The old server's mount is detached before the new server starts, or
    // the unmount would detach the new server's mount.
    auto restarted = std::async(std::launch::async,
                                [&] { manager->StartProcess("CDRServer", HelperPath(), Wait(), "", 2); });
    EXPECT_EQ(events.NextLine(), "unmounting");
    EXPECT_EQ(events.NextLine(1s), std::nullopt);
    openGate();
    EXPECT_EQ(events.NextLine(), "unmounted");
    events.NextReadyPid();
    restarted.wait();
    EXPECT_EQ(ReadFile(record), "-u -z " + dir.Path() + "/tsclient\n");

    openGate();
    manager->StopProcess("CDRServer");
    EXPECT_EQ(events.NextLine(), "unmounting");
    EXPECT_EQ(events.NextLine(), "unmounted");
    // Shell commands run one at a time: this returns once the hook's has ended.
    CommonUtils::ExecShell("true", true);
    setenv("PATH", oldPath.c_str(), 1);
    setenv("HOME", oldHome.c_str(), 1);
}

TEST_F(DesktopCProcessMgrTest, ConcurrentStartsAndStopsOfOneNameLeaveNoChild) {
    // Starts and stops of one name from several threads leave no child behind.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 10; ++i) {
                manager->StartProcess("contended", HelperPath(), Wait(), "", t);
                manager->StopProcess("contended");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    manager->StopAllProcess();
    EXPECT_THAT(ChildrenOfSelf(), IsEmpty());
}

}  // namespace
