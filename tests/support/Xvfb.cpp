#include "tests/support/Xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>

#include "tests/support/ChildProcess.h"

namespace dctest {
namespace {

constexpr const char* kXvfbPath = "/usr/bin/Xvfb";
constexpr int kReadyTimeoutMs = 10000;

// Reads the display number line that Xvfb writes once it accepts clients.
std::string ReadDisplayNumber(int fd) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return {};
        }
        char chunk[32];
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0) {
            return {};
        }
        text.append(chunk, static_cast<std::size_t>(count));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

bool XvfbServer::Available() {
    return access(kXvfbPath, X_OK) == 0;
}

XvfbServer::XvfbServer() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    std::string fdText = std::to_string(ready[1]);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(kChildSetupFailed);
        }
        fcntl(ready[1], F_SETFD, 0);
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execl(kXvfbPath, "Xvfb", "-displayfd", fdText.c_str(), "-nolisten", "tcp", "-screen", "0",
              "640x480x24", static_cast<char*>(nullptr));
        _exit(kChildExecFailed);
    }
    close(ready[1]);
    if (pid_ < 0) {
        close(ready[0]);
        throw std::runtime_error("fork failed");
    }
    std::string number = ReadDisplayNumber(ready[0]);
    close(ready[0]);
    if (number.empty()) {
        Stop();
        throw std::runtime_error("Xvfb did not report a display");
    }
    display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    Stop();
}

void XvfbServer::Stop() {
    if (pid_ <= 0) {
        return;
    }
    int status = 0;
    kill(pid_, SIGTERM);
    if (!WaitForChildExit(pid_, std::chrono::seconds(5), &status)) {
        kill(pid_, SIGKILL);
        WaitForChildExit(pid_, std::chrono::seconds(5), &status);
    }
    pid_ = -1;
}

}  // namespace dctest
