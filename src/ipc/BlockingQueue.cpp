#include "src/ipc/BlockingQueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/log/Log.h"
#include "lib/log/UniqueDir.h"
#include "lib/log/UniqueFd.h"

namespace {

constexpr long kNanosPerSecond = 1000000000L;
constexpr mode_t kSemaphoreMode = 0644;
// A fresh name is random; that it exists already is all but impossible,
// and a few tries make it so.
constexpr int kFreshNameAttempts = 8;
constexpr size_t kSuffixDigits = 16;

std::atomic<uint32_t> queueSequence{0};

// True when the existing file behind a semaphore name is a regular file of
// the effective user; otherwise false with errno saying why (ELOOP for a
// link, EPERM for another owner or another kind of file). The open neither
// follows a link nor waits on a FIFO. The directory is sticky, so a name
// found ours stays ours until we unlink it, and the reopen that follows
// reaches this same file.
bool IsOwnSemaphoreFile(const char* name) {
    const std::string path = std::string(kSemaphoreDir) + "/sem." + (name + 1);
    dclog::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd.valid() || fstat(fd.get(), &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
        errno = EPERM;
        return false;
    }
    return true;
}

// Creates the semaphore under name plus a random suffix that nobody can
// claim in advance, and leaves that name in the buffer.
sem_t* CreateUnderFreshName(char (&name)[kSemaphoreNameSize], unsigned value) {
    const std::string taken = name;
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        uint64_t suffix = 0;
        if (getrandom(&suffix, sizeof suffix, 0) != sizeof suffix) {
            LogMessage(dclog::kError, "Failed to make a fresh name for named semaphore %s, error: %s\n",
                       taken.c_str(), strerror(errno));
            return nullptr;
        }
        snprintf(name, sizeof name, "%s_%0*llx", taken.c_str(), static_cast<int>(kSuffixDigits),
                 static_cast<unsigned long long>(suffix));
        sem_t* sem = sem_open(name, O_CREAT | O_EXCL, kSemaphoreMode, value);
        if (sem != SEM_FAILED) {
            LogMessage(dclog::kWarning, "Named semaphore %s is taken by someone else, using %s\n",
                       taken.c_str(), name);
            return sem;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    LogMessage(dclog::kError, "Failed to create named semaphore %s, error: %s\n", name, strerror(errno));
    return nullptr;
}

// Creates the named semaphore exclusively; a name left over from an earlier
// process of this user that had the same id is reopened and used with its
// old value. A name that anyone else holds, or that is not a plain file,
// is left alone and the semaphore gets a fresh name: another user must be
// able neither to stop the daemon's start nor to reach its queue.
sem_t* OpenSemaphore(char (&name)[kSemaphoreNameSize], unsigned value) {
    sem_t* sem = sem_open(name, O_CREAT | O_EXCL, kSemaphoreMode, value);
    if (sem != SEM_FAILED) {
        return sem;
    }
    if (errno != EEXIST) {
        LogMessage(dclog::kError, "Failed to create named semaphore %s, error: %s\n", name, strerror(errno));
        return nullptr;
    }
    if (!IsOwnSemaphoreFile(name)) {
        return CreateUnderFreshName(name, value);
    }
    sem = sem_open(name, 0);
    if (sem == SEM_FAILED) {
        LogMessage(dclog::kError, "Failed to open existing named semaphore %s, error: %s\n", name,
                   strerror(errno));
        return nullptr;
    }
    return sem;
}

void CloseSemaphore(sem_t* sem, const char* name) {
    if (sem_close(sem) != 0) {
        LogMessage(dclog::kError, "Failed to close named semaphore %s, error: %s\n", name, strerror(errno));
    }
    if (sem_unlink(name) != 0) {
        LogMessage(dclog::kError, "Failed to unlink named semaphore %s, error: %s\n", name, strerror(errno));
    }
}

bool IsDestroyed(const BlockingQueue* queue) {
    return queue == nullptr || queue->destroyed.load();
}

bool IsSequence(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsFreshSuffix(std::string_view text) {
    return text.size() == kSuffixDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

timespec BlockingQueue_Deadline(const timespec& now, int32_t timeoutMs) {
    long long nanos = static_cast<long long>(now.tv_nsec) + static_cast<long long>(timeoutMs) * 1000000LL;
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(nanos / kNanosPerSecond);
    deadline.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
    return deadline;
}

int BlockingQueue_WaitSem(sem_t* sem, int32_t timeoutMs) {
    if (timeoutMs <= 0) {
        return sem_wait(sem);
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec deadline = BlockingQueue_Deadline(now, timeoutMs);
    int result;
    do {
        result = sem_timedwait(sem, &deadline);
    } while (result != 0 && errno == EINTR);
    return result;
}

BlockingQueue* BlockingQueue_Create(uint32_t capacity) {
    const uint32_t sequence = queueSequence.fetch_add(1);
    LogMessage(dclog::kInfo, "Create blocking queue, capacity=%d\n", static_cast<int>(capacity));
    if (capacity == 0) {
        LogMessage(dclog::kError, "Invalid queue capacity %d\n", static_cast<int>(capacity));
        return nullptr;
    }
    auto* queue = new BlockingQueue;
    queue->capacity = capacity;
    queue->head = queue->tail = new QueueNode;
    snprintf(queue->entrySemName, sizeof queue->entrySemName, "/entrySem_%d_%u", getpid(), sequence);
    snprintf(queue->slotSemName, sizeof queue->slotSemName, "/slotSem_%d_%u", getpid(), sequence);

    queue->entrySem = OpenSemaphore(queue->entrySemName, 0);
    if (queue->entrySem != nullptr) {
        queue->slotSem = OpenSemaphore(queue->slotSemName, capacity);
        if (queue->slotSem == nullptr) {
            // Never leave a linked name behind in /dev/shm.
            CloseSemaphore(queue->entrySem, queue->entrySemName);
        }
    }
    if (queue->entrySem == nullptr || queue->slotSem == nullptr) {
        delete queue->head;
        delete queue;
        return nullptr;
    }
    return queue;
}

void BlockingQueue_Destroy(BlockingQueue* queue) {
    LogMessage(dclog::kInfo, "Destroy blocking queue\n");
    if (queue == nullptr || queue->destroyed.load()) {
        return;
    }
    {
        std::lock_guard guard(queue->lock);
        QueueNode* node = queue->head->next;
        while (node != nullptr) {
            QueueNode* next = node->next;
            free(node->data);
            delete node;
            node = next;
        }
        delete queue->head;
        queue->head = nullptr;
        queue->tail = nullptr;
        queue->destroyed = true;
        queue->count = 0;
    }
    CloseSemaphore(queue->entrySem, queue->entrySemName);
    CloseSemaphore(queue->slotSem, queue->slotSemName);
    queue->entrySem = nullptr;
    queue->slotSem = nullptr;
}

bool BlockingQueue_Put(BlockingQueue* queue, void* data, uint32_t length, void* context, int32_t timeoutMs) {
    if (IsDestroyed(queue)) {
        return false;
    }
    if (BlockingQueue_WaitSem(queue->slotSem, timeoutMs) != 0) {
        return false;
    }
    {
        std::lock_guard guard(queue->lock);
        auto* node = new QueueNode{length, data, context, nullptr, queue->tail};
        queue->tail->next = node;
        queue->tail = node;
        ++queue->count;
    }
    sem_post(queue->entrySem);
    return true;
}

QueueNode* BlockingQueue_Take(BlockingQueue* queue, int32_t timeoutMs) {
    if (IsDestroyed(queue)) {
        return nullptr;
    }
    if (BlockingQueue_WaitSem(queue->entrySem, timeoutMs) != 0) {
        return nullptr;
    }
    QueueNode* node;
    {
        std::lock_guard guard(queue->lock);
        node = queue->head->next;
        if (node == nullptr) {
            return nullptr;
        }
        queue->head->next = node->next;
        if (node == queue->tail) {
            queue->tail = queue->head;
        } else {
            node->next->previous = queue->head;
        }
        --queue->count;
    }
    node->next = nullptr;
    node->previous = nullptr;
    if (sem_post(queue->slotSem) != 0) {
        LogMessage(dclog::kError, "Failed to post slot semaphore, error: %s\n", strerror(errno));
        // Nobody receives the entry, so it is released here rather than leaked.
        free(node->data);
        delete node;
        return nullptr;
    }
    return node;
}

void BlockingQueue_Wake(BlockingQueue* queue) {
    if (!IsDestroyed(queue)) {
        sem_post(queue->entrySem);
    }
}

bool BlockingQueue_IsEmpty(const BlockingQueue* queue) {
    return queue->count == 0;
}

uint32_t BlockingQueue_Capacity(const BlockingQueue* queue) {
    return queue->capacity;
}

uint32_t BlockingQueue_Size(const BlockingQueue* queue) {
    return queue->count;
}

pid_t BlockingQueue_PidOfName(std::string_view name) {
    for (std::string_view prefix : {"sem.entrySem_", "sem.slotSem_"}) {
        if (!name.starts_with(prefix)) {
            continue;
        }
        name.remove_prefix(prefix.size());
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        std::string_view rest(end, name.data() + name.size() - end);
        if (error != std::errc() || pid <= 0 || !rest.starts_with('_')) {
            return 0;
        }
        rest.remove_prefix(1);
        const size_t suffix = rest.find('_');
        const bool valid = suffix == std::string_view::npos
                               ? IsSequence(rest)
                               : IsSequence(rest.substr(0, suffix)) && IsFreshSuffix(rest.substr(suffix + 1));
        return valid ? pid : 0;
    }
    return 0;
}

int BlockingQueue_RemoveDeadLeftovers(const char* dir) {
    dclog::UniqueDir entries = dclog::OpenDir(dir);
    if (!entries) {
        LogMessage(dclog::kWarning, "Failed to open %s for leftover named semaphores, error: %s\n", dir,
                   strerror(errno));
        return 0;
    }
    const int dirFd = dirfd(entries.get());
    const uid_t self = geteuid();
    int removed = 0;
    while (const dirent* entry = readdir(entries.get())) {
        const pid_t pid = BlockingQueue_PidOfName(entry->d_name);
        struct stat status {};
        if (pid == 0 || fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode) || status.st_uid != self) {
            continue;
        }
        // Only ESRCH proves the pid is gone; EPERM means it lives under
        // another user.
        if (kill(pid, 0) == 0 || errno != ESRCH) {
            continue;
        }
        if (unlinkat(dirFd, entry->d_name, 0) != 0) {
            LogMessage(dclog::kWarning, "Failed to remove leftover named semaphore %s, error: %s\n",
                       entry->d_name, strerror(errno));
            continue;
        }
        LogMessage(dclog::kDebug, "Removed leftover named semaphore %s\n", entry->d_name);
        ++removed;
    }
    if (removed > 0) {
        LogMessage(dclog::kInfo, "Removed %d named semaphores of ended processes\n", removed);
    }
    return removed;
}
