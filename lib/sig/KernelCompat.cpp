#include "lib/sig/KernelCompat.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "lib/sig/ForkForExec.h"

#if !defined(DC_FORCE_FALLBACKS) && __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif

namespace {

// The fallback walk without /proc tries every number below this, at most.
constexpr rlim_t kMaxDescriptorScan = 65536;

struct LinuxDirent64 {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

SIG_CHILD_CODE bool ParseDescriptor(const char* name, int* fd) {
    if (*name == '\0') {
        return false;
    }
    int value = 0;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9' || value > (INT32_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + (*name - '0');
    }
    *fd = value;
    return true;
}

SIG_CHILD_CODE void MarkCloseOnExec(int fd) {
    const long flags = syscall(SYS_fcntl, fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
        syscall(SYS_fcntl, fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

// getdents64 into a stack buffer: opendir would allocate.
SIG_CHILD_CODE bool MarkListedDescriptors(int lowest) {
    const int dir =
        static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir < 0) {
        return false;
    }
    alignas(8) char buffer[2048];
    for (;;) {
        const long count = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (count <= 0) {
            break;
        }
        for (long at = 0; at < count;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
            int fd = -1;
            if (ParseDescriptor(entry->name, &fd) && fd >= lowest && fd != dir) {
                MarkCloseOnExec(fd);
            }
            at += entry->reclen;
        }
    }
    syscall(SYS_close, dir);
    return true;
}

SIG_CHILD_CODE void MarkEveryNumber(int lowest) {
    rlimit limit{};
    rlim_t top = kMaxDescriptorScan;
    if (syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) == 0 && limit.rlim_cur < top) {
        top = limit.rlim_cur;
    }
    for (rlim_t fd = static_cast<rlim_t>(lowest); fd < top; ++fd) {
        MarkCloseOnExec(static_cast<int>(fd));
    }
}

SIG_CHILD_CODE bool CloseRangeCloseOnExec(int lowest) {
#if !defined(DC_FORCE_FALLBACKS) && defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
    return syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, CLOSE_RANGE_CLOEXEC) == 0;
#else
    (void)lowest;
    return false;
#endif
}

}  // namespace

int Compat_PidFdOpen(pid_t child) {
#if !defined(DC_FORCE_FALLBACKS) && defined(SYS_pidfd_open)
    return static_cast<int>(syscall(SYS_pidfd_open, child, 0));
#else
    (void)child;
    errno = ENOSYS;
    return -1;
#endif
}

SIG_CHILD_CODE void Compat_CloseOnExecFrom(int lowest) {
    const int savedErrno = errno;
    if (!CloseRangeCloseOnExec(lowest) && !MarkListedDescriptors(lowest)) {
        MarkEveryNumber(lowest);
    }
    errno = savedErrno;
}
