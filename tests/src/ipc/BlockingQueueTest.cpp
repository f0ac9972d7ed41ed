#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/ipc/BlockingQueue.h"
#include "tests/src/ipc/ServiceHarness.h"

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

void* Buffer(const std::string& text) {
    void* data = malloc(text.size() + 1);
    memcpy(data, text.c_str(), text.size() + 1);
    return data;
}

std::string TakeText(BlockingQueue* queue, int32_t timeoutMs) {
    std::unique_ptr<QueueNode> node(BlockingQueue_Take(queue, timeoutMs));
    if (!node) {
        return "<none>";
    }
    std::string text(static_cast<char*>(node->data), node->length);
    free(node->data);
    return text;
}

long long MillisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(BlockingQueue, DeliversInOrderAndTimesOutWhenFullOrEmpty) {
    dclog::LogCapture capture;
    QueuePtr queue(BlockingQueue_Create(3));
    ASSERT_TRUE(queue);
    EXPECT_TRUE(capture.Contains("Create blocking queue, capacity=3\n"));
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_TRUE(
            BlockingQueue_Put(queue.get(), Buffer(text), static_cast<uint32_t>(strlen(text)), nullptr, 500));
    }
    EXPECT_EQ(BlockingQueue_Size(queue.get()), 3u);

    void* extra = Buffer("four");
    auto start = Clock::now();
    EXPECT_FALSE(BlockingQueue_Put(queue.get(), extra, 4, nullptr, 500));
    EXPECT_GE(MillisSince(start), 450);
    EXPECT_LT(MillisSince(start), 1500);

    EXPECT_EQ(TakeText(queue.get(), 500), "one");
    EXPECT_EQ(TakeText(queue.get(), 500), "two");
    EXPECT_TRUE(BlockingQueue_Put(queue.get(), extra, 4, nullptr, 500));
    EXPECT_EQ(TakeText(queue.get(), 500), "three");
    EXPECT_EQ(TakeText(queue.get(), 500), "four");
    EXPECT_TRUE(BlockingQueue_IsEmpty(queue.get()));

    start = Clock::now();
    EXPECT_EQ(TakeText(queue.get(), 500), "<none>");
    EXPECT_GE(MillisSince(start), 450);
    EXPECT_LT(MillisSince(start), 1500);
}

TEST(BlockingQueue, UnlimitedPutWaitsForATakeOnAnotherThread) {
    QueuePtr queue(BlockingQueue_Create(1));
    ASSERT_TRUE(BlockingQueue_Put(queue.get(), Buffer("first"), 5, nullptr, 0));
    std::thread taker([&] {
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(TakeText(queue.get(), 0), "first");
    });
    const auto start = Clock::now();
    EXPECT_TRUE(BlockingQueue_Put(queue.get(), Buffer("second"), 6, nullptr, 0));
    EXPECT_GE(MillisSince(start), 150);
    taker.join();
    EXPECT_EQ(TakeText(queue.get(), 500), "second");
}

TEST(BlockingQueue, LongTimeoutCarriesNanosecondsIntoSeconds) {
    const timespec now{100, 900000000};
    const timespec deadline = BlockingQueue_Deadline(now, 1500);
    EXPECT_EQ(deadline.tv_sec, 102);
    EXPECT_EQ(deadline.tv_nsec, 400000000);

    // The same on the real clock: start the wait when the nanosecond part is
    // past half a second; a deadline without the carry would be refused at
    // once by sem_timedwait.
    QueuePtr queue(BlockingQueue_Create(1));
    timespec real{};
    do {
        clock_gettime(CLOCK_REALTIME, &real);
    } while (real.tv_nsec < 600000000 || real.tv_nsec > 900000000);
    const auto start = Clock::now();
    EXPECT_EQ(TakeText(queue.get(), 1500), "<none>");
    EXPECT_GE(MillisSince(start), 1400);
    EXPECT_LT(MillisSince(start), 2500);
}

TEST(BlockingQueue, RefusesZeroCapacityAndReopensLeftoverSemaphores) {
    dclog::LogCapture capture;
    EXPECT_EQ(BlockingQueue_Create(0), nullptr);
    EXPECT_TRUE(capture.Contains("Invalid queue capacity 0\n"));
    EXPECT_EQ(capture.LevelOf("Invalid queue capacity"), dclog::kError);

    // Probe the next sequence number, then plant a leftover entry semaphore
    // holding one token under the name the queue after it will use.
    QueuePtr probe(BlockingQueue_Create(1));
    unsigned sequence = 0;
    ASSERT_EQ(sscanf(probe->entrySemName, "/entrySem_%*d_%u", &sequence), 1);
    const std::string name = "/entrySem_" + std::to_string(getpid()) + "_" + std::to_string(sequence + 1);
    sem_t* leftover = sem_open(name.c_str(), O_CREAT | O_EXCL, 0644, 1);
    ASSERT_NE(leftover, SEM_FAILED);
    sem_close(leftover);

    QueuePtr queue(BlockingQueue_Create(2));
    ASSERT_TRUE(queue);
    EXPECT_EQ(std::string(queue->entrySemName), name);
    // The old token lets a take pass the semaphore, but the list is empty.
    const auto start = Clock::now();
    EXPECT_EQ(TakeText(queue.get(), 2000), "<none>");
    EXPECT_LT(MillisSince(start), 1000);
    queue.reset();
    probe.reset();
    EXPECT_TRUE(ipctest::LeftoverSemaphores().empty());
}

TEST(BlockingQueue, DestroyedQueueFailsAtOnceAndLeavesNothingBehind) {
    dclog::LogCapture capture;
    auto* queue = BlockingQueue_Create(2);
    ASSERT_NE(queue, nullptr);
    ASSERT_TRUE(BlockingQueue_Put(queue, Buffer("queued"), 6, nullptr, 0));
    EXPECT_EQ(ipctest::LeftoverSemaphores().size(), 2u);
    BlockingQueue_Destroy(queue);
    EXPECT_TRUE(capture.Contains("Destroy blocking queue\n"));
    EXPECT_TRUE(ipctest::LeftoverSemaphores().empty());

    const auto start = Clock::now();
    void* data = Buffer("late");
    EXPECT_FALSE(BlockingQueue_Put(queue, data, 4, nullptr, 0));
    EXPECT_EQ(BlockingQueue_Take(queue, 0), nullptr);
    EXPECT_LT(MillisSince(start), 100);
    free(data);
    BlockingQueue_Destroy(queue);
    delete queue;
    EXPECT_FALSE(BlockingQueue_Put(nullptr, nullptr, 0, nullptr, 0));
}

}  // namespace
