// Waiting for a file to reach some state (a log record, a recorded call)
// without sleeping: the wait wakes on every change in the file's directory.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace dctest {

// Re-reads path whenever its directory changes until done(content) holds;
// false when the timeout passes first. A missing file reads as empty.
bool WaitForFile(const std::string& path, const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout);

// Live (not zombie) processes other than the caller whose environment holds
// exactly entry ("NAME=value").
std::vector<pid_t> ProcessesWithEnvEntry(const std::string& entry);

}  // namespace dctest
