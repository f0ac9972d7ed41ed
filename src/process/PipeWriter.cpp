#include "src/process/PipeWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "lib/sig/KernelCompat.h"

namespace proc {

namespace {

// Without a pidfd the child's state is looked at this often while the pipe
// stays full.
constexpr int kExitCheckMs = 100;

bool ChildHasExited(pid_t child) {
    siginfo_t info = {};
    int result = waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT);
    return result != 0 || info.si_pid != 0;
}

// Blocks SIGPIPE for the calling thread while it writes, and discards the
// one a write into a closed pipe leaves pending, so a reader that went away
// shows up as EPIPE instead of ending the daemon.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigemptyset(&sigpipe_);
        sigaddset(&sigpipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
        sigset_t pending;
        sigpending(&pending);
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (raised_ && !alreadyPending_) {
            const timespec noWait = {};
            sigtimedwait(&sigpipe_, nullptr, &noWait);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void noteRaised() { raised_ = true; }

  private:
    sigset_t sigpipe_;
    sigset_t previous_;
    bool alreadyPending_ = false;
    bool raised_ = false;
};

enum class Room { kReady, kChildGone, kFailed };

Room WaitForRoom(int fd, int pidFd, pid_t child, int& error) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {pidFd, POLLIN, 0}};
        int ready = poll(fds, 2, pidFd >= 0 ? -1 : kExitCheckMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            error = errno;
            return Room::kFailed;
        }
        if (fds[1].revents != 0 || (ready == 0 && ChildHasExited(child))) {
            return Room::kChildGone;
        }
        if (fds[0].revents != 0) {
            return Room::kReady;
        }
    }
}

}  // namespace

int OpenPidFd(pid_t child) {
    return Compat_PidFdOpen(child);
}

WriteResult WriteToChild(int fd, int pidFd, pid_t child, std::string_view text) {
    SigpipeBlock sigpipe;
    WriteResult result;
    while (result.written < text.size()) {
        ssize_t count = write(fd, text.data() + result.written, text.size() - result.written);
        if (count > 0) {
            result.written += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN) {
            result.error = errno;
            if (errno == EPIPE) {
                sigpipe.noteRaised();
            }
            break;
        }
        if (WaitForRoom(fd, pidFd, child, result.error) != Room::kReady) {
            break;
        }
    }
    return result;
}

}  // namespace proc
