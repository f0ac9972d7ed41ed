#include "tests/src/process/ProcessTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace proctest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dc-proc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

EventFifo::EventFifo(const std::string& path) : path_(path) {
    if (mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo failed");
    }
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::runtime_error("open fifo failed");
    }
}

EventFifo::~EventFifo() {
    close(fd_);
    unlink(path_.c_str());
}

std::optional<std::string> EventFifo::NextLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd in = {fd_, POLLIN, 0};
        if (poll(&in, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        ssize_t count = read(fd_, chunk, sizeof chunk);
        if (count > 0) {
            buffer_.append(chunk, static_cast<size_t>(count));
        }
    }
}

std::string HelperPath() {
    const char* buildDir = getenv("DC_BUILD_DIR");
    return std::string(buildDir != nullptr ? buildDir : ".") + "/bin/proc_helper";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteExecutable(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), 0755);
}

namespace {

// Parent pid and state of a process from /proc/<pid>/stat.
bool ReadStat(pid_t pid, pid_t& parent, char& state) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream rest(stat.substr(close + 1));
    rest >> state >> parent;
    return !rest.fail();
}

std::vector<pid_t> Children(bool zombiesOnly) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        pid_t pid = atoi(entry->d_name);
        pid_t parent = 0;
        char state = 0;
        if (pid > 0 && ReadStat(pid, parent, state) && parent == getpid() && (!zombiesOnly || state == 'Z')) {
            children.push_back(pid);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return children;
}

}  // namespace

std::vector<pid_t> ChildrenOfSelf() {
    return Children(false);
}
std::vector<pid_t> ZombieChildrenOfSelf() {
    return Children(true);
}

bool ProcessExists(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
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
