// Bounded first-in-first-out queue between the IPC client's threads.
//
// A mutex guards the list; two POSIX named semaphores do the blocking, one
// counting queued entries and one counting free slots, so no thread ever
// sleeps while holding the mutex. The queue stores pointers and lengths and
// never copies data: a buffer handed to BlockingQueue_Put must come from
// malloc/calloc, because the queue frees it with free() when it is destroyed
// with the entry still queued. Contexts are never touched.
//
// Semaphore names carry the process id and a process-wide sequence number
// ("/entrySem_<pid>_<n>", "/slotSem_<pid>_<n>"); both are unlinked again by
// BlockingQueue_Destroy and by every failed create. A name that already
// exists is reused only when it is a regular file of the effective user
// (what a crashed earlier process with the same pid leaves). One that
// another user made, or a link, is left alone: the semaphore is made under
// that name plus "_" and 16 random hexadecimal digits instead, after one
// warning record. That user can thus neither stop the create nor watch or
// steer the queue.
//
// Any number of threads may put and take. Destroy only once no thread can
// be waiting on the queue any more.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string_view>

struct QueueNode {
    uint32_t length = 0;
    void* data = nullptr;
    void* context = nullptr;
    QueueNode* next = nullptr;
    QueueNode* previous = nullptr;
};

inline constexpr size_t kSemaphoreNameSize = 64;

struct BlockingQueue {
    std::mutex lock;
    uint32_t capacity = 0;
    // Atomic so that the size queries may read it without the lock.
    std::atomic<uint32_t> count{0};
    sem_t* entrySem = nullptr;
    sem_t* slotSem = nullptr;
    QueueNode* head = nullptr;  // sentinel without payload; none once destroyed
    QueueNode* tail = nullptr;
    // Set with head cleared; put and take test it before any wait, unlocked.
    std::atomic<bool> destroyed{false};
    char entrySemName[kSemaphoreNameSize] = {};
    char slotSemName[kSemaphoreNameSize] = {};
};

// Returns a new queue (release it with delete after BlockingQueue_Destroy),
// or nullptr after one error record.
BlockingQueue* BlockingQueue_Create(uint32_t capacity);
void BlockingQueue_Destroy(BlockingQueue* queue);

// Where the C library keeps named semaphores, as "sem.<name without '/'>".
inline constexpr const char* kSemaphoreDir = "/dev/shm";

// The pid in a name a queue creates ("sem.entrySem_<pid>_<n>" or
// "sem.slotSem_<pid>_<n>", decimal digits only, either of them possibly
// followed by a fresh name's suffix); 0 for any other name.
pid_t BlockingQueue_PidOfName(std::string_view name);

// Unlinks the names that queues of ended processes of the effective user
// left in dir (kSemaphoreDir outside tests): regular files of that user
// with a queue's name (see BlockingQueue_PidOfName) whose pid no longer
// exists. Names of live pids and of other users, and anything that
// is not a regular file, stay. Returns the number removed.
int BlockingQueue_RemoveDeadLeftovers(const char* dir);

// Timeouts are in milliseconds; 0 or less waits without limit.
bool BlockingQueue_Put(BlockingQueue* queue, void* data, uint32_t length, void* context, int32_t timeoutMs);
// The caller owns the returned node (delete) and its data (free).
QueueNode* BlockingQueue_Take(BlockingQueue* queue, int32_t timeoutMs);
// Lets one Take that waits, or the next one, return without an entry: how
// a stop reaches a thread that waits on the queue with no time limit.
void BlockingQueue_Wake(BlockingQueue* queue);

bool BlockingQueue_IsEmpty(const BlockingQueue* queue);
uint32_t BlockingQueue_Capacity(const BlockingQueue* queue);
uint32_t BlockingQueue_Size(const BlockingQueue* queue);

// Returns 0 when the semaphore was taken, -1 on time-out, interruption of an
// unlimited wait, or another error.
int BlockingQueue_WaitSem(sem_t* sem, int32_t timeoutMs);

// The absolute real-time deadline timeoutMs after now, with whole seconds
// carried out of the nanosecond part.
timespec BlockingQueue_Deadline(const timespec& now, int32_t timeoutMs);
