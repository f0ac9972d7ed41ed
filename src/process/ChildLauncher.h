// Starts one child process and execs a program in it.
//
// The child is started the way vfork starts one (Sig_SpawnForExec): it
// shares the daemon's memory until its exec, so nothing of the daemon's
// pages is copied, and when spawn returns the program already runs. The
// child may therefore make raw system calls only, so everything it needs
// (argument vector, the edited environment, the files to try along PATH,
// the descriptor plan) is built before, as plain pointers. Between start
// and exec the child only rearranges descriptors, resets its signal state
// and calls execve.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace proc {

// Descriptors the child rearranges before exec. -1 means "leave alone".
struct ChildStdio {
    int stdinFd = -1;                // becomes descriptor 0
    int outFd = -1;                  // becomes descriptors 1 and 2
    std::vector<int> closeFds = {};  // closed in the child (after stdinFd was copied)
};

// What the child reads between its start and exec: nothing but these.
struct ChildPlan {
    int stdinFd;
    int outFd;
    const int* closeFds;
    size_t closeCount;
    char* const* candidates;
    size_t candidateCount;
    char* const* argv;
    char* const* envp;
    char** shellArgv;  // slot 1 takes the candidate the shell is to run
};

class ChildLauncher {
  public:
    // file: searched along PATH (of the edited environment) when it has no
    // slash, like execvp. args[0] is the child's argv[0]. envEdits: see
    // ApplyEnvironmentEdits.
    ChildLauncher(const std::string& file, const std::vector<std::string>& args,
                  const std::vector<std::string>& envEdits);

    // Returns the child's pid, or -1 with errno set when it could not be
    // started. When exec fails the child ends with status 255 and writes
    // nothing.
    pid_t spawn(const ChildStdio& stdio);

  private:
    std::vector<std::string> args_;
    std::vector<std::string> env_;
    std::vector<std::string> candidateTexts_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
    std::vector<char*> candidates_;
    std::vector<char*> shellArgv_;
    std::vector<int> closeFds_;
    ChildPlan plan_{};
};

// The current environment with each edit applied in order: "KEY=VALUE" sets
// KEY (split at the first '=', so the value may contain '='), "KEY" alone
// removes it. Edits with an empty key change nothing.
std::vector<std::string> ApplyEnvironmentEdits(const char* const* base,
                                               const std::vector<std::string>& edits);

// The files execvp tries for `file` given the PATH value (nullptr = unset).
std::vector<std::string> ExecCandidates(const std::string& file, const char* pathValue);

}  // namespace proc
