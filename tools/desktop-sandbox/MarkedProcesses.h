// Processes found by a mark in their environment. Everything a sandbox
// starts carries "NAME=<the sandbox's directory>", and every descendant
// inherits it: a process whose parent died is reparented away from the
// sandbox, and its mark is then the only way to find it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sandbox {

// Live processes other than the caller whose environment, as they were
// started with it, holds entry ("NAME=value"). A process that has ended
// holds none, even before it is reaped.
std::vector<pid_t> ProcessesMarked(const std::string& entry);

// The same for any of entries, in one look at every process.
std::vector<pid_t> ProcessesMarkedWithAny(const std::vector<std::string>& entries);

// Kills every process holding one of entries by pid and waits until none
// is left, kill after kill, since one may fork while it is being ended;
// false when some are still there after bound.
bool EndMarkedProcesses(const std::vector<std::string>& entries, std::chrono::milliseconds bound);

// Ends the processes marked with entries when it goes: a member declared
// before everything that starts processes does so on every path, even
// when its owner's constructor throws halfway, which runs no destructor
// body.
class MarkedProcessesGuard {
  public:
    explicit MarkedProcessesGuard(std::vector<std::string> entries) : entries_(std::move(entries)) {}
    ~MarkedProcessesGuard() { EndAll(); }
    MarkedProcessesGuard(const MarkedProcessesGuard&) = delete;
    MarkedProcessesGuard& operator=(const MarkedProcessesGuard&) = delete;

    bool EndAll() const;

  private:
    std::vector<std::string> entries_;
};

}  // namespace sandbox
