#include "src/process/ChildLauncher.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "lib/sig/ForkForExec.h"
#include "lib/sig/KernelCompat.h"

extern char** environ;

namespace proc {

namespace {

// What execvp uses when PATH is not set.
constexpr const char* kDefaultPath = "/bin:/usr/bin";
constexpr const char* kShell = "/bin/sh";
constexpr int kExecFailedStatus = 255;

std::string_view KeyOf(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

const char* FindValue(const std::vector<std::string>& env, std::string_view key) {
    for (const std::string& entry : env) {
        if (entry.size() > key.size() && entry[key.size()] == '=' && KeyOf(entry) == key) {
            return entry.c_str() + key.size() + 1;
        }
    }
    return nullptr;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Errors after which execvp goes on with the next directory of PATH.
SIG_CHILD_CODE bool TryNextCandidate(int error) {
    switch (error) {
        case EACCES:
        case ENOENT:
        case ESTALE:
        case ENOTDIR:
        case ENODEV:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

SIG_CHILD_CODE void DupOnto(int from, int to) {
    if (from == to) {
        syscall(SYS_fcntl, to, F_SETFD, 0);
    } else {
        syscall(SYS_dup3, from, to, 0);
    }
}

SIG_CHILD_CODE void ExecFirstRunnable(const ChildPlan& plan) {
    for (size_t index = 0; index < plan.candidateCount; ++index) {
        char* candidate = plan.candidates[index];
        syscall(SYS_execve, candidate, plan.argv, plan.envp);
        if (errno == ENOEXEC) {
            plan.shellArgv[1] = candidate;
            syscall(SYS_execve, kShell, plan.shellArgv, plan.envp);
            return;
        }
        if (!TryNextCandidate(errno)) {
            return;
        }
    }
}

// The child's steps, in their designed order; it reads only the plan.
SIG_CHILD_CODE void ExecChild(void* argument) {
    const ChildPlan& plan = *static_cast<const ChildPlan*>(argument);
    if (plan.stdinFd >= 0) {
        DupOnto(plan.stdinFd, STDIN_FILENO);
    }
    for (size_t index = 0; index < plan.closeCount; ++index) {
        syscall(SYS_close, plan.closeFds[index]);
    }
    if (plan.outFd > 0) {
        DupOnto(plan.outFd, STDOUT_FILENO);
        DupOnto(plan.outFd, STDERR_FILENO);
    }
    // Descriptors opened elsewhere in the daemon without close-on-exec must
    // not reach the child either.
    Compat_CloseOnExecFrom(3);
    Sig_ResetForExec();
    ExecFirstRunnable(plan);
    Sig_ExitChild(kExecFailedStatus);
}

}  // namespace

std::vector<std::string> ApplyEnvironmentEdits(const char* const* base,
                                               const std::vector<std::string>& edits) {
    std::vector<std::string> env;
    for (const char* const* entry = base; entry != nullptr && *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    for (const std::string& edit : edits) {
        std::string_view key = KeyOf(edit);
        if (key.empty()) {
            continue;
        }
        std::erase_if(env, [key](const std::string& entry) {
            return entry.size() > key.size() && entry[key.size()] == '=' && KeyOf(entry) == key;
        });
        if (edit.size() > key.size()) {
            env.push_back(edit);
        }
    }
    return env;
}

std::vector<std::string> ExecCandidates(const std::string& file, const char* pathValue) {
    if (file.empty()) {
        return {};
    }
    if (file.find('/') != std::string::npos) {
        return {file};
    }
    std::string_view path = pathValue != nullptr ? pathValue : kDefaultPath;
    std::vector<std::string> candidates;
    for (;;) {
        size_t colon = path.find(':');
        std::string_view dir = path.substr(0, colon);
        candidates.push_back(dir.empty() ? file : std::string(dir) + "/" + file);
        if (colon == std::string_view::npos) {
            break;
        }
        path.remove_prefix(colon + 1);
    }
    return candidates;
}

ChildLauncher::ChildLauncher(const std::string& file, const std::vector<std::string>& args,
                             const std::vector<std::string>& envEdits)
    : args_(args), env_(ApplyEnvironmentEdits(environ, envEdits)) {
    candidateTexts_ = ExecCandidates(file, FindValue(env_, "PATH"));
    candidates_ = PointersTo(candidateTexts_);
    argv_ = PointersTo(args_);
    envp_ = PointersTo(env_);
    // A file without "#!" that execve refuses is run by the shell, as execvp
    // does; slot 1 is filled with the candidate in the child.
    shellArgv_.push_back(const_cast<char*>(kShell));
    shellArgv_.push_back(nullptr);
    shellArgv_.insert(shellArgv_.end(), argv_.begin() + (args_.empty() ? 0 : 1), argv_.end());
}

pid_t ChildLauncher::spawn(const ChildStdio& stdio) {
    closeFds_.clear();
    for (int fd : stdio.closeFds) {
        if (fd >= 0 && fd != STDIN_FILENO) {
            closeFds_.push_back(fd);
        }
    }
    plan_ = ChildPlan{stdio.stdinFd,    stdio.outFd,        closeFds_.data(),
                      closeFds_.size(), candidates_.data(), candidateTexts_.size(),
                      argv_.data(),     envp_.data(),       shellArgv_.data()};
    return Sig_SpawnForExec(ExecChild, &plan_);
}

}  // namespace proc
