// Child processes for tests: started with an explicit environment, with
// their standard output and error captured, optionally inside a private
// mount namespace (PrivateSystemDirs.h) and under another user, and always
// waited for with a bound. A child still running when its ChildProcess is
// destroyed is killed by pid and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sandbox {

class LineReader;
class SystemDirsLayout;

struct ChildCommand {
    // argv[0] is the program: a path, or a name searched in the test's PATH.
    std::vector<std::string> argv{};
    // "NAME=value" entries; the child gets these and nothing else.
    std::vector<std::string> env{};
    // When set, the child switches to these ids (and no supplementary
    // groups) just before exec.
    std::optional<uid_t> uid{};
    std::optional<gid_t> gid{};
    // When set, the child runs inside a private namespace built from it,
    // with these stand-ins (fixed directory, host directory) in place of
    // the layout's own.
    const SystemDirsLayout* layout = nullptr;
    std::vector<std::pair<std::string, std::string>> standIns{};
    // When true, standard input is a pipe fed through Write(); else /dev/null.
    bool inputPipe = false;
    // When set, standard error goes to this file instead of being captured:
    // for long-running helpers whose chatter nobody reads.
    std::string errFile{};
};

struct ChildResult {
    bool timedOut = false;
    bool exited = false;  // ended through exit(); else killed by termSignal
    int exitStatus = -1;
    int termSignal = 0;
    std::string out;
    std::string err;
};

// Exit status of a child whose namespace or credential set-up failed; the
// failed step is named on its standard error.
inline constexpr int kChildSetupFailed = 125;
// Exit status of a child whose exec failed.
inline constexpr int kChildExecFailed = 127;

class ChildProcess {
  public:
    // Forks and execs; throws std::runtime_error when the fork fails.
    explicit ChildProcess(const ChildCommand& command);
    // Forks and runs body in the child instead of exec'ing; the child
    // exits with body's result. argv and env of setup are not used: the
    // environment is inherited. Only for single-threaded test processes,
    // since the child runs ordinary code after fork.
    ChildProcess(const ChildCommand& setup, const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Readable once the child has ended: for callers that poll many.
    int ExitFd() const { return pidFd_; }
    // Collects output until the child has exited and closed both streams;
    // past the timeout the child is killed with SIGKILL (timedOut is set).
    // Output already taken line by line through ReadLine() is not repeated.
    ChildResult Finish(std::chrono::milliseconds timeout);

    // For children that report as they run: the next line of standard
    // output; nothing when the timeout passes or the output ends first.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // The descriptor of standard output to poll before ReadLine; -1 once
    // the output has ended.
    int OutputFd();
    // Writes to standard input (see inputPipe); throws once nobody reads it.
    void Write(const std::string& text);
    // Sends sig, gives the child five seconds, then SIGKILL; reaps it.
    void Stop(int sig);

  private:
    void Start(const ChildCommand& command, const std::function<int()>* body);

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::unique_ptr<LineReader> lines_;
};

// The sanitizer settings of the test's own environment ("ASAN_OPTIONS=..."
// and the like). A child started with an explicit environment gets them
// too, so that whatever a run sets over the settings compiled into a
// sanitized build holds for the daemon and helpers as well.
std::vector<std::string> SanitizerEnvironment();

// Start, then Finish.
ChildResult RunChild(const ChildCommand& command, std::chrono::milliseconds timeout);

// Fork, run body in the child (see the ChildProcess constructor), Finish.
ChildResult RunForked(const ChildCommand& setup, const std::function<int()>& body,
                      std::chrono::milliseconds timeout);

// Waits at most timeout for the child pid to end and reaps it; false on
// timeout (the child is left alone).
bool WaitForChildExit(pid_t pid, std::chrono::milliseconds timeout, int* status);

}  // namespace sandbox
