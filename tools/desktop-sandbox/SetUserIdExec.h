// What an exec of the sandbox's installed set-user-id daemon needs, built
// before the fork: between fork and exec the child may not allocate.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/desktop-sandbox/ChildProcess.h"

namespace sandbox {

class SetUserIdExec {
  public:
    // env plus the sanitizer settings, which a set-user-id process cannot
    // read from its own /proc/self/environ.
    explicit SetUserIdExec(const std::vector<std::string>& env) : texts_(env) {
        for (std::string& entry : SanitizerEnvironment()) {
            texts_.push_back(std::move(entry));
        }
        for (std::string& entry : texts_) {
            envp_.push_back(entry.data());
        }
        envp_.push_back(nullptr);
    }
    SetUserIdExec(const SetUserIdExec&) = delete;
    SetUserIdExec& operator=(const SetUserIdExec&) = delete;

    char** Envp() { return envp_.data(); }
    char** Argv() { return argv_; }
    const char* Binary() const { return kBinary; }

  private:
    static inline char kBinary[] = "/usr/lib/tarvelo/sandbox/DesktopController";
    std::vector<std::string> texts_;
    std::vector<char*> envp_;
    char* argv_[2] = {kBinary, nullptr};
};

}  // namespace sandbox
