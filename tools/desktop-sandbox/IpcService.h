// The reference IPC service (tools/ipc-service) as a peer of the daemon:
// driven through its command input, read line by line from its event
// output. Stopped by pid when destroyed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/desktop-sandbox/ChildProcess.h"

namespace sandbox {

class IpcService {
  public:
    // Starts the service (argv[0] the binary, its standard error going to
    // errPath), as uid (and the group of that number) when given, and waits
    // until it listens; throws when it does not.
    IpcService(const std::vector<std::string>& argv, std::string errPath, std::optional<uid_t> uid = {});

    // Consumes lines until one matches pattern (searched anywhere in the
    // line) and returns it; nothing when the timeout passes or the service
    // ends first. Every line read is kept in Transcript().
    std::optional<std::string> WaitForLine(const std::string& pattern, std::chrono::milliseconds timeout);
    // The next line, whatever it says; nothing as above.
    std::optional<std::string> NextLine(std::chrono::milliseconds timeout);
    const std::vector<std::string>& Transcript() const { return transcript_; }
    // For callers that poll many services: the descriptor to wait on (-1
    // once the output ended), and the complete lines available now.
    int OutputFd() { return child_.OutputFd(); }
    std::vector<std::string> ReadyLines();

    // Sends text as one data frame; text must not contain a line feed.
    void Send(const std::string& text);
    // Sends a file's content as one data frame.
    void SendFile(const std::string& path) { child_.Write("sendfile " + path + "\n"); }
    // Asks the service to close the connection and exit.
    void Close() { child_.Write("close\n"); }
    // Waits for the service to exit (after Close or on its own); err holds
    // what it wrote on standard error.
    ChildResult Finish(std::chrono::milliseconds timeout);
    pid_t Pid() const { return child_.Pid(); }

    // The payload of a RECV line, its \xNN escapes decoded.
    static std::string PayloadOf(const std::string& recvLine);

  private:
    std::string errPath_;
    ChildProcess child_;
    std::vector<std::string> transcript_;
};

}  // namespace sandbox
