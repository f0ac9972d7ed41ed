// Shared pieces of the process and executor tests: a FIFO on which helper
// children (proc_helper) report events, and views of this test process's
// own children in /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace proctest {

using namespace std::chrono_literals;
using dctest::ReadFile;
using dctest::TempDir;

inline constexpr std::chrono::milliseconds kEventTimeout = 10s;

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
    // The pid of the next "ready <pid>" line; -1 (and a test failure) on
    // anything else.
    pid_t NextReadyPid();

  private:
    std::string path_;
    int fd_ = -1;
    std::string buffer_;
};

// Keeps a child of this process from being reaped, as a child stuck in
// uninterruptible sleep would: a tracer process attaches to it, so its exit
// goes to the tracer, which never collects it. Release ends the tracer, and
// the exit then reaches the parent.
class ReapBlocker {
  public:
    explicit ReapBlocker(pid_t child);
    ~ReapBlocker();
    ReapBlocker(const ReapBlocker&) = delete;
    ReapBlocker& operator=(const ReapBlocker&) = delete;
    // False when this host does not allow the attach (no ptrace rights).
    bool Holding() const { return holding_; }
    void Release();

  private:
    pid_t tracer_ = -1;
    bool holding_ = false;
};

// The helper program built with the tests.
std::string HelperPath();
// Pids of the children of this process, or those of them that are zombies.
std::vector<pid_t> ChildrenOfSelf(bool zombiesOnly = false);
// The children still there once they have had timeout to end: a child can
// be stopped on another thread (an exit hook that held the last reference
// to its owner) after the call the test made has returned.
std::vector<pid_t> ChildrenOfSelfAfter(std::chrono::milliseconds timeout = kEventTimeout);
// Whether pid is a child of this process not yet reaped. Unlike a probe with
// kill(), a pid another process took after the reap does not count: on a
// busy host pids come round again within milliseconds.
bool IsUnreapedChild(pid_t pid);
// Lines of a text that start with prefix, prefix removed.
std::vector<std::string> LinesWithPrefix(const std::string& text, const std::string& prefix);

}  // namespace proctest
