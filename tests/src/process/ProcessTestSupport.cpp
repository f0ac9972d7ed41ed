#include "tests/src/process/ProcessTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/ProcessIdentity.h"

namespace proctest {

EventFifo::EventFifo(const std::string& path) : path_(path) {
    if (mkfifo(path.c_str(), 0600) != 0 || (fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        throw std::runtime_error("cannot make the event fifo " + path);
    }
}

EventFifo::~EventFifo() {
    close(fd_);
    unlink(path_.c_str());
}

std::optional<std::string> EventFifo::NextLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd in = {fd_, POLLIN, 0};
        char chunk[4096];
        if (left.count() <= 0) {
            return std::nullopt;
        }
        const ssize_t count =
            poll(&in, 1, static_cast<int>(left.count())) > 0 ? read(fd_, chunk, sizeof chunk) : 0;
        buffer_.append(chunk, count > 0 ? static_cast<size_t>(count) : 0);
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
}

pid_t EventFifo::NextReadyPid() {
    std::optional<std::string> line = NextLine();
    if (!line || line->rfind("ready ", 0) != 0) {
        ADD_FAILURE() << "no ready line, got: " << line.value_or("<nothing>");
        return -1;
    }
    return std::stoi(line->substr(6));
}

ReapBlocker::ReapBlocker(pid_t child) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return;
    }
    tracer_ = fork();
    if (tracer_ == 0) {
        const char held = ptrace(PTRACE_SEIZE, child, nullptr, nullptr) == 0 ? '1' : '0';
        if (write(ready[1], &held, 1) != 1 || held != '1') {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    pollfd wait = {ready[0], POLLIN, 0};
    char held = '0';
    if (tracer_ > 0 && poll(&wait, 1, static_cast<int>(kEventTimeout.count())) == 1) {
        holding_ = read(ready[0], &held, 1) == 1 && held == '1';
    }
    close(ready[0]);
}

ReapBlocker::~ReapBlocker() {
    Release();
}

void ReapBlocker::Release() {
    if (tracer_ > 0) {
        kill(tracer_, SIGKILL);
        waitpid(tracer_, nullptr, 0);
        tracer_ = -1;
    }
    holding_ = false;
}

std::string HelperPath() {
    const char* buildDir = getenv("DC_BUILD_DIR");
    return std::string(buildDir != nullptr ? buildDir : ".") + "/bin/proc_helper";
}

std::vector<pid_t> ChildrenOfSelf(bool zombiesOnly) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const pid_t pid = atoi(entry.path().filename().c_str());
        const std::optional<dctest::ProcessStat> stat = dctest::ReadProcessStat(pid);
        if (stat && stat->parent == getpid() && (!zombiesOnly || stat->state == 'Z')) {
            children.push_back(pid);
        }
    }
    return children;
}

std::vector<pid_t> ChildrenOfSelfAfter(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<pid_t> children = ChildrenOfSelf();
    while (!children.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        children = ChildrenOfSelf();
    }
    return children;
}

bool IsUnreapedChild(pid_t pid) {
    const std::optional<dctest::ProcessStat> stat = dctest::ReadProcessStat(pid);
    return stat && stat->parent == getpid();
}

std::vector<std::string> LinesWithPrefix(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

}  // namespace proctest
