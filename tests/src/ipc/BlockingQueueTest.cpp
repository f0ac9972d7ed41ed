#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/ipc/BlockingQueue.h"
#include "src/ipc/IpcClientInternal.h"
#include "tests/src/ipc/ServiceHarness.h"
#include "tests/support/Sandbox.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct QueueDeleter {
    void operator()(BlockingQueue* queue) const {
        BlockingQueue_Destroy(queue);
        delete queue;
    }
};
using QueuePtr = std::unique_ptr<BlockingQueue, QueueDeleter>;

int ValueOf(sem_t* sem) {
    int value = -1;
    sem_getvalue(sem, &value);
    return value;
}

// The order of frames and the bounds of the timed waits are checked through
// the client: requests are served in order end to end, and the traffic
// tests fill the queue with timed sends and bound the pollers' timed takes.
TEST(BlockingQueue, LongTimeoutCarriesNanosecondsIntoSeconds) {
    const timespec deadline = BlockingQueue_Deadline(timespec{100, 900000000}, 1500);
    EXPECT_EQ(deadline.tv_sec, 102);
    EXPECT_EQ(deadline.tv_nsec, 400000000);
}

// The name the queue after the next one will use, found by creating a probe
// queue; probe keeps that queue.
std::string NameAfter(QueuePtr& probe, const char* kind) {
    probe.reset(BlockingQueue_Create(1));
    unsigned sequence = 0;
    if (!probe || sscanf(probe->entrySemName, "/entrySem_%*d_%u", &sequence) != 1) {
        return "";
    }
    return std::string("/") + kind + "_" + std::to_string(getpid()) + "_" + std::to_string(sequence + 1);
}

std::string ShmPath(const std::string& name) {
    return "/dev/shm/sem." + name.substr(1);
}

// Unused by any account, so nothing of it runs on the machine.
constexpr uid_t kOtherUser = 54321;

// The queue's semaphore took the taken name plus a random suffix, with one
// warning naming both.
void ExpectFreshName(const char* used, const std::string& taken, const dclog::LogCapture& capture) {
    const std::string name = used;
    ASSERT_EQ(name.size(), taken.size() + 17) << name;
    EXPECT_EQ(name.substr(0, taken.size() + 1), taken + "_");
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", taken.size() + 1), std::string::npos) << name;
    EXPECT_EQ(capture.LevelOf("Named semaphore " + taken + " is taken by someone else, using " + name + "\n"),
              dclog::kWarning);
}

TEST(BlockingQueue, BadCapacityLeftoverAndTakenNames) {
    dclog::LogCapture capture;
    EXPECT_EQ(BlockingQueue_Create(0), nullptr);
    EXPECT_EQ(capture.LevelOf("Invalid queue capacity 0\n"), dclog::kError);

    // A leftover entry semaphore of our own, holding one token under the
    // name the next queue will use, is reopened with its old value.
    QueuePtr probe;
    std::string name = NameAfter(probe, "entrySem");
    sem_t* leftover = sem_open(name.c_str(), O_CREAT | O_EXCL, 0644, 1);
    ASSERT_NE(leftover, SEM_FAILED);
    sem_close(leftover);
    QueuePtr reopened(BlockingQueue_Create(2));
    ASSERT_TRUE(reopened);
    EXPECT_EQ(std::string(reopened->entrySemName), name);
    // The old token lets a take pass the semaphore, but the list is empty.
    EXPECT_EQ(ValueOf(reopened->entrySem), 1);
    EXPECT_EQ(std::unique_ptr<QueueNode>(BlockingQueue_Take(reopened.get(), 2000)), nullptr);
    EXPECT_EQ(ValueOf(reopened->entrySem), 0);
    reopened.reset();

    // A link squatting the slot name is not followed: the semaphore gets a
    // fresh name, and the link stays.
    name = NameAfter(probe, "slotSem");
    ASSERT_EQ(symlink("/dev/null", ShmPath(name).c_str()), 0);
    QueuePtr beside(BlockingQueue_Create(2));
    ASSERT_TRUE(beside);
    ExpectFreshName(beside->slotSemName, name, capture);
    EXPECT_EQ(ValueOf(beside->slotSem), 2);
    beside.reset();
    struct stat link {};
    EXPECT_EQ(lstat(ShmPath(name).c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    unlink(ShmPath(name).c_str());
    probe.reset();
    EXPECT_TRUE(ipctest::LeftoverSemaphores().empty());

    if (geteuid() != 0) {
        GTEST_SKIP() << "a semaphore of another user needs root to make";
    }
    // Another user creates the entry name first: it is neither adopted nor
    // a reason to fail; the queue works under a fresh name, and the planted
    // one stays that user's, with its value untouched.
    name = NameAfter(probe, "entrySem");
    const dctest::ChildResult other = dctest::RunForked(
        {.uid = kOtherUser, .gid = kOtherUser},
        [&] {
            sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0644, 5);
            return sem == SEM_FAILED ? 1 : 0;
        },
        10s);
    ASSERT_TRUE(other.exited && other.exitStatus == 0) << other.err;
    QueuePtr fresh(BlockingQueue_Create(2));
    ASSERT_TRUE(fresh);
    ExpectFreshName(fresh->entrySemName, name, capture);
    EXPECT_EQ(ValueOf(fresh->entrySem), 0);
    char* data = static_cast<char*>(calloc(1, 1));
    ASSERT_TRUE(BlockingQueue_Put(fresh.get(), data, 1, nullptr, 2000));
    std::unique_ptr<QueueNode> node(BlockingQueue_Take(fresh.get(), 2000));
    ASSERT_TRUE(node);
    EXPECT_EQ(node->data, data);
    free(data);
    struct stat planted {};
    EXPECT_EQ(lstat(ShmPath(name).c_str(), &planted), 0);
    EXPECT_EQ(planted.st_uid, kOtherUser);
    sem_t* plantedSem = sem_open(name.c_str(), 0);
    ASSERT_NE(plantedSem, SEM_FAILED);
    EXPECT_EQ(ValueOf(plantedSem), 5);
    sem_close(plantedSem);
    fresh.reset();
    unlink(ShmPath(name).c_str());
    probe.reset();
    EXPECT_TRUE(ipctest::LeftoverSemaphores().empty());
    EXPECT_FALSE(BlockingQueue_Put(nullptr, nullptr, 0, nullptr, 0));
}

// Only regular files of this user named after a queue of a pid that is gone,
// fresh names included, are removed; names of live pids, of other users,
// links and other names stay.
TEST(BlockingQueue, SweepRemovesOnlyOurNamesOfEndedProcesses) {
    dclog::LogCapture capture(dclog::kDebug);
    const pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) {
        _exit(0);
    }
    int status = 0;
    ASSERT_TRUE(dctest::WaitForChildExit(dead, 10s, &status));
    const std::string ended = std::to_string(dead);
    const std::string live = std::to_string(getpid());
    dctest::TempDir dir;
    const std::string suffix = "_0123456789abcdef";
    for (const std::string& name :
         {"sem.entrySem_" + ended + "_0", "sem.slotSem_" + ended + "_0", "sem.entrySem_" + ended + "_1",
          "sem.entrySem_" + live + "_0", "sem.slotSem_" + ended + "_x", "sem.other_" + ended + "_0",
          "sem.entrySem_" + ended + "_2" + suffix, "sem.slotSem_" + live + "_2" + suffix,
          "sem.slotSem_" + ended + "_2" + suffix.substr(1), "sem.slotSem_" + ended + "_3" + suffix + "0",
          "sem.slotSem_" + ended + "_4_0123456789ABCDEF"}) {
        dir.Write(name, "");
    }
    ASSERT_EQ(symlink("/dev/null", dir.File("sem.slotSem_" + ended + "_1").c_str()), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.File("sem.entrySem_" + ended + "_1").c_str(), kOtherUser, kOtherUser), 0);
    }
    EXPECT_EQ(BlockingQueue_RemoveDeadLeftovers(dir.Path().c_str()), root ? 3 : 4);
    std::vector<std::string> kept;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        kept.push_back(entry.path().filename());
    }
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> expected = {"sem.entrySem_" + live + "_0",
                                         "sem.other_" + ended + "_0",
                                         "sem.slotSem_" + ended + "_1",
                                         "sem.slotSem_" + ended + "_x",
                                         "sem.slotSem_" + live + "_2" + suffix,
                                         "sem.slotSem_" + ended + "_2" + suffix.substr(1),
                                         "sem.slotSem_" + ended + "_3" + suffix + "0",
                                         "sem.slotSem_" + ended + "_4_0123456789ABCDEF"};
    if (root) {
        expected.push_back("sem.entrySem_" + ended + "_1");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(capture.LevelOf("Removed leftover named semaphore sem.slotSem_" + ended + "_0\n"),
              dclog::kDebug);
    EXPECT_EQ(
        capture.LevelOf("Removed leftover named semaphore sem.entrySem_" + ended + "_2" + suffix + "\n"),
        dclog::kDebug);
    EXPECT_EQ(
        capture.LevelOf("Removed " + std::to_string(root ? 3 : 4) + " named semaphores of ended processes\n"),
        dclog::kInfo);
}

// A lock change reaches the client from the monitor's thread at any time,
// also while the client releases its queues at the end of the connection:
// each send either queues or fails with its one record, and none may touch
// a queue that is gone. No poller runs here, so the queue fills and the
// sender sits in its slot wait when the release comes.
TEST(BlockingQueue, SendsRacingTheClientsReleaseFailCleanly) {
    dclog::LogCapture capture;
    const std::string message = "<Notify name=\"DesktopLocked\"/>";
    const auto freeFrame = [](char* frame, uint32_t, void*) { free(frame); };
    int failed = 0;
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(IpcClient_CreateQueues());
        std::atomic<int> sends{0};
        std::atomic<bool> released{false};
        std::thread sender([&] {
            for (bool last = false; !last; ++sends) {
                last = released.load();
                if (!IpcClient_SendData(message.data(), static_cast<uint32_t>(message.size()), nullptr,
                                        freeFrame, 1)) {
                    ++failed;
                }
            }
        });
        for (const auto until = Clock::now() + 10s; sends.load() <= 30 && Clock::now() < until;) {
            std::this_thread::yield();
        }
        IpcClient_CleanupIpc();
        released = true;
        sender.join();
    }
    // At least the send after each release failed, each with one record.
    EXPECT_GE(failed, 200);
    const std::string record =
        "Failed to queue IPC message of " + std::to_string(message.size() + 8) + " bytes\n";
    const auto lines = capture.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), record), failed);
    EXPECT_TRUE(ipctest::LeftoverSemaphores().empty());
}

}  // namespace
