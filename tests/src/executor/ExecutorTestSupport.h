// Pieces of the executor tests: a journal that tasks write to and tests
// wait on, and a task that records its run in it.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "src/executor/DesktopCTask.h"

namespace exectest {

class Journal {
  public:
    void Add(const std::string& entry) {
        std::lock_guard guard(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    bool WaitFor(const std::string& entry, std::chrono::milliseconds timeout) {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, timeout, [&] { return HasLocked(entry); });
    }
    bool Has(const std::string& entry) {
        std::lock_guard guard(mutex_);
        return HasLocked(entry);
    }

  private:
    bool HasLocked(const std::string& entry) const {
        return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

// Records "start <name>", then waits for "open <name>" when gated, then
// records the desktop information it was given and "end <name>".
class RecordingTask : public DesktopCTask {
  public:
    RecordingTask(std::string name, Journal& journal, bool gated)
        : name_(std::move(name)), journal_(journal), gated_(gated) {}
    void Execute(const DesktopInfo& info) override {
        journal_.Add("start " + name_);
        if (gated_) {
            journal_.WaitFor("open " + name_, std::chrono::seconds(20));
        }
        journal_.Add("info " + name_ + " " + info.desktopType + "/" + info.distribution);
        journal_.Add("end " + name_);
    }
    std::string GetName() override { return name_; }

  private:
    std::string name_;
    Journal& journal_;
    bool gated_;
};

}  // namespace exectest
