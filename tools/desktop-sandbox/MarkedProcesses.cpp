#include "tools/desktop-sandbox/MarkedProcesses.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace fs = std::filesystem;

namespace sandbox {
namespace {

constexpr auto kEndBound = std::chrono::seconds(10);

bool HasEntry(const std::string& nulSeparated, const std::string& entry) {
    const std::string padded = '\0' + nulSeparated;
    return padded.find('\0' + entry + '\0') != std::string::npos;
}

}  // namespace

std::vector<pid_t> ProcessesMarked(const std::string& entry) {
    return ProcessesMarkedWithAny({entry});
}

std::vector<pid_t> ProcessesMarkedWithAny(const std::vector<std::string>& entries) {
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& proc : fs::directory_iterator("/proc", error)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(proc.path().filename().c_str()));
        const std::string environment =
            pid > 0 && pid != getpid() ? ReadFile(proc.path().string() + "/environ") : "";
        if (std::any_of(entries.begin(), entries.end(),
                        [&](const std::string& entry) { return HasEntry(environment, entry); })) {
            pids.push_back(pid);
        }
    }
    return pids;
}

bool EndMarkedProcesses(const std::vector<std::string>& entries, std::chrono::milliseconds bound) {
    return WaitUntil(
        [&] {
            const std::vector<pid_t> left = ProcessesMarkedWithAny(entries);
            for (pid_t pid : left) {
                kill(pid, SIGKILL);
            }
            return left.empty();
        },
        bound);
}

bool MarkedProcessesGuard::EndAll() const {
    return EndMarkedProcesses(entries_, kEndBound);
}

}  // namespace sandbox
