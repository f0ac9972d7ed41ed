// The reference IPC service (tools/ipc-service) as a test peer: started with
// a fresh key pair, driven through its command input and read line by line
// from its event output with bounded waits. Killed and reaped on destruction.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

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

    // Consumes lines until one matches pattern (searched anywhere in the
    // line) and returns it; nothing when the timeout passes or the service
    // ends first. Every line read is kept in Transcript().
    std::optional<std::string> WaitForLine(const std::string& pattern, std::chrono::milliseconds timeout);
    const std::vector<std::string>& Transcript() const { return transcript_; }

    // Sends text as one data frame; text must not contain a line feed.
    void Send(const std::string& text);
    // Sends a file's content as one data frame.
    void SendFile(const std::string& path) { child_.Write("sendfile " + path + "\n"); }
    // Asks the service to close the connection and exit.
    void Close() { child_.Write("close\n"); }
    // Waits for the service to exit (after Close or on its own); err holds
    // what it wrote on standard error.
    ChildResult Finish(std::chrono::milliseconds timeout);

    // The payload of a RECV line, its \xNN escapes decoded.
    static std::string PayloadOf(const std::string& recvLine);

  private:
    std::string errPath_;
    ChildProcess child_;
    std::vector<std::string> transcript_;
};

}  // namespace dctest
