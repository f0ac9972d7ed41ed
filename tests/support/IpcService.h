// The reference IPC service (tools/ipc-service) as a test peer: started with
// a fresh key pair, driven through its command input and read line by line
// from its event output with bounded waits. Stopped and reaped by pid on
// destruction.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/LineReader.h"

namespace dctest {

struct IpcServiceOptions {
    // Receives ipc.port and rui.pub: the stand-in of /var/tarvelo.
    std::string dir{};
    // When set, the service checks the client's token against it.
    std::string magicFile{};
    std::optional<long long> clientId{};
    // Further options, e.g. {"--fault", "zero-length"}.
    std::vector<std::string> extraArgs{};
};

class IpcService {
  public:
    // Starts the service and waits until it listens; throws
    // std::runtime_error when it does not within ten seconds.
    IpcService(const std::string& binary, const IpcServiceOptions& options);
    ~IpcService();
    IpcService(const IpcService&) = delete;
    IpcService& operator=(const IpcService&) = delete;

    // Consumes lines until one matches pattern (searched anywhere in the
    // line) and returns it; nothing when the timeout passes or the service
    // ends first. Every line read is kept in Transcript().
    std::optional<std::string> WaitForLine(const std::string& pattern, std::chrono::milliseconds timeout);
    // All lines read so far.
    const std::vector<std::string>& Transcript() const { return transcript_; }

    // Sends text as one data frame; text must not contain a line feed.
    void Send(const std::string& text);
    // Sends a file's content as one data frame.
    void SendFile(const std::string& path);
    // Asks the service to close the connection and exit.
    void Close();
    // Waits for the service to exit (after Close or on its own).
    ChildResult Finish(std::chrono::milliseconds timeout);

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }

    // The payload of a RECV line, its \xNN escapes decoded.
    static std::string PayloadOf(const std::string& recvLine);

  private:
    void Command(const std::string& line);

    pid_t pid_ = -1;
    int commandFd_ = -1;
    std::optional<LineReader> events_;
    std::string errPath_;
    std::vector<std::string> transcript_;
    int port_ = 0;
};

}  // namespace dctest
