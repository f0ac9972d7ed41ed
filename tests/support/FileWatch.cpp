#include "tests/support/FileWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace dctest {
namespace {

// Changes that arrive between two reads are covered by the watch; this only
// bounds the damage should a change slip past it (e.g. a rename).
constexpr int kRecheckMs = 250;

std::vector<std::string> SplitNul(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool WaitForFile(const std::string& path, const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout) {
    int watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    std::string dir = fs::path(path).parent_path().string();
    if (watchFd >= 0) {
        inotify_add_watch(watchFd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool reached = done(ReadFile(path));
    while (!reached) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{watchFd, POLLIN, 0};
        int wait = static_cast<int>(std::min<long long>(left.count(), kRecheckMs));
        if (poll(&entry, watchFd >= 0 ? 1 : 0, wait) > 0) {
            std::array<char, 4096> events{};
            while (read(watchFd, events.data(), events.size()) > 0) {
            }
        }
        reached = done(ReadFile(path));
    }
    if (watchFd >= 0) {
        close(watchFd);
    }
    return reached;
}

std::vector<pid_t> ProcessesWithEnvEntry(const std::string& entry) {
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& proc : fs::directory_iterator("/proc", error)) {
        pid_t pid = static_cast<pid_t>(std::atoi(proc.path().filename().c_str()));
        if (pid <= 0 || pid == getpid()) {
            continue;
        }
        std::vector<std::string> environment = SplitNul(ReadFile(proc.path().string() + "/environ"));
        if (std::find(environment.begin(), environment.end(), entry) != environment.end()) {
            pids.push_back(pid);
        }
    }
    return pids;
}

}  // namespace dctest
