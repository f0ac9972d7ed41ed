// Writes a text into a child's standard-input pipe without ever blocking
// forever: the pipe's write end is non-blocking, and while the pipe is full
// the writer waits both for room and for the child's exit. A child that
// exits (or is killed) without reading everything ends the write early, so a
// text larger than the pipe buffer cannot pin the writing thread, and
// through it the stop of the child, to a child that never reads.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace proc {

struct WriteResult {
    size_t written = 0;
    int error = 0;  // errno of a failed write, 0 when none failed
};

// fd: non-blocking write end. pidFd: a pidfd of the child, or -1 when the
// kernel has none (the child's state is then checked periodically).
// A broken pipe reports EPIPE without raising SIGPIPE in the process.
WriteResult WriteToChild(int fd, int pidFd, pid_t child, std::string_view text);

// A pidfd for a child that has not been reaped yet, or -1.
int OpenPidFd(pid_t child);

}  // namespace proc
