// Test harness around the reference IPC service: starts build/bin/ipc-service
// in a temp directory, follows its standard output line by line, feeds it
// commands, and connects the IPC client to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClientInternal.h"
#include "tests/support/Sandbox.h"

namespace ipctest {

using namespace std::chrono_literals;

using TempDir = dctest::TempDir;

class ServiceProcess {
  public:
    // Starts the service with "--dir <temp dir>" and the given arguments and
    // waits for its LISTENING line.
    explicit ServiceProcess(const std::vector<std::string>& arguments);
    ~ServiceProcess();

    const TempDir& Dir() const { return dir_; }
    IpcClientPaths ClientPaths() const;
    void Command(const std::string& line);
    // Waits until some output line contains text; returns that line.
    std::optional<std::string> WaitForLine(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // Waits until at least count output lines contain text.
    bool WaitForLines(const std::string& text, size_t count, std::chrono::milliseconds timeout = 10s);
    // Waits for the service to exit; its status, or nothing on time-out.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 10s);

  private:
    void ReadOutput();

    TempDir dir_;
    pid_t pid_ = -1;
    int pidFd_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// Collects what the client's callbacks receive.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> payloads;
    int connectedCalls = 0;

    static void OnConnected(void* userData);
    static void OnMessage(char* payload, uint32_t length, void* userData);
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = 10s);
};

// The 40-character token the service expects for a client id and magic.
std::string TokenFor(int64_t clientId, const std::string& magic);
inline const std::string kMagic = "0123456789abcdefghij0123456789ABCDEFGHIJ";
inline constexpr int64_t kClientId = 42;

// A service that knows the desktop magic and expects kClientId (later
// arguments override), and the inbox of a client connected to it.
struct Peer {
    explicit Peer(const std::vector<std::string>& arguments);
    // Connects the client with kClientId and the matching token.
    bool Connect(int32_t heartbeat = 0, const std::string& token = TokenFor(kClientId, kMagic));

    ServiceProcess service;
    Inbox inbox;
};

// Named semaphores of this process still present in /dev/shm.
std::vector<std::string> LeftoverSemaphores();
// Waits for the client to come down after the connection ended and checks
// that it did come down, rather than wait on a thread that missed the end,
// and left no semaphore behind. The bound is far above the half second the
// pollers need on a quiet machine, so a busy one cannot fail it.
void ExpectCleanEnd(const dclog::LogCapture& capture);

}  // namespace ipctest
