#include "tools/desktop-sandbox/MarkedProcesses.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

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

std::vector<pid_t> ProcessesMarkedWithAny(const std::vector<std::string>& entries) {
    std::vector<pid_t> pids;
    for (const std::string& entry : entries) {
        for (pid_t pid : ProcessesMarked(entry)) {
            pids.push_back(pid);
        }
    }
    return pids;
}

// Live processes other than the caller whose environment satisfies marked.
std::vector<pid_t> ProcessesWhere(const std::function<bool(const std::string&)>& marked) {
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& proc : fs::directory_iterator("/proc", error)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(proc.path().filename().c_str()));
        if (pid > 0 && pid != getpid() && marked(ReadFile(proc.path().string() + "/environ"))) {
            pids.push_back(pid);
        }
    }
    return pids;
}

// The value of name in a NUL-separated environment; empty when absent.
std::string ValueOf(const std::string& environment, const std::string& name) {
    const std::string padded = '\0' + environment;
    const std::size_t at = padded.find('\0' + name + '=');
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + name.size() + 2;
    return padded.substr(start, padded.find('\0', start) - start);
}

}  // namespace

std::vector<pid_t> ProcessesMarked(const std::string& entry) {
    return ProcessesWhere([&](const std::string& environment) { return HasEntry(environment, entry); });
}

std::vector<pid_t> ProcessesMarkingGoneDirectories(const std::vector<std::string>& names) {
    return ProcessesWhere([&](const std::string& environment) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            const std::string directory = ValueOf(environment, name);
            return !directory.empty() && !fs::exists(directory);
        });
    });
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
