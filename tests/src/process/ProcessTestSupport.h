// Shared pieces of the process and executor tests: a temp directory, a FIFO
// on which helper children report events, and views of this test process's
// own children in /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace proctest {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kEventTimeout = 10s;

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A FIFO the test keeps open for reading and writing, so it never reports
// end of file; helpers open it, write one line, close it.
class EventFifo {
  public:
    explicit EventFifo(const std::string& path);
    ~EventFifo();
    EventFifo(const EventFifo&) = delete;
    EventFifo& operator=(const EventFifo&) = delete;
    const std::string& Path() const { return path_; }
    // The next line without its line feed, or nothing after the timeout.
    std::optional<std::string> NextLine(std::chrono::milliseconds timeout = kEventTimeout);

  private:
    std::string path_;
    int fd_ = -1;
    std::string buffer_;
};

// The helper program built with the tests.
std::string HelperPath();
std::string ReadFile(const std::string& path);
void WriteExecutable(const std::string& path, const std::string& text);
// Pids of the children of this process, and those of them that are zombies.
std::vector<pid_t> ChildrenOfSelf();
std::vector<pid_t> ZombieChildrenOfSelf();
bool ProcessExists(pid_t pid);
// Lines of a file that start with prefix, prefix removed.
std::vector<std::string> LinesWithPrefix(const std::string& text, const std::string& prefix);

}  // namespace proctest
