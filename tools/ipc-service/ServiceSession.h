// One client connection of the reference IPC service, from listening to
// close. Single-threaded: the handshake runs with blocking I/O bounded by
// socket time-outs, the rest in one poll() loop over the TLS socket, the
// command input and the close and resume deadlines.
#pragma once

#include <chrono>
#include <string>

#include "lib/log/UniqueFd.h"
#include "src/ipc/OpenSslPtr.h"
#include "tools/ipc-service/ServiceCrypto.h"
#include "tools/ipc-service/ServiceOptions.h"

class ServiceSession {
  public:
    ServiceSession(const ServiceOptions& options, EVP_PKEY* key);
    // Runs the whole session and returns the process exit status.
    int Run();

  private:
    using Clock = std::chrono::steady_clock;

    bool Listen();
    bool Publish();
    int AcceptClient();
    // Serves up to the configured number of clients, each in a child process
    // of its own, the way the agent's service meets every desktop of a
    // host; returns once the last child has ended, with the worst status.
    int ServeEach();
    // The handshake and traffic of the accepted client.
    int Serve();
    bool SetUpTls();
    bool StartTls();
    bool SendServerProof();
    int CheckClientInfo();
    bool SendAfterReady();
    int Loop();
    int StallUntilHangUp();

    bool WriteBlocking(const void* data, size_t length);
    bool ReadBlocking(void* data, size_t length);
    void QueueFrame(uint32_t type, const std::string& payload, bool announceLength = true);
    bool QueueFile(const std::string& path);
    bool FlushSome();
    bool DrainReads();
    void ParseFrames();
    void HandleCommand(const std::string& line);
    void ReadCommands();
    int PollTimeoutMs() const;
    void Close(const std::string& reason, bool abrupt = false);

    const ServiceOptions& options_;
    EVP_PKEY* key_;
    dclog::UniqueFd listener_;
    dclog::UniqueFd client_;
    ossl::SslCtxPtr context_;
    ossl::SslPtr ssl_;
    uint16_t port_ = 0;
    std::string pending_;
    std::string received_;
    std::string commandBuffer_;
    int framesReceived_ = 0;
    bool reading_ = true;
    bool commandsOpen_ = false;
    bool closed_ = false;
    bool protocolError_ = false;
    Clock::time_point closeAt_ = Clock::time_point::max();
    Clock::time_point resumeAt_ = Clock::time_point::max();
};

// One timestamped line on standard output, flushed at once.
void EmitLine(const std::string& text);
// Switches the <time> of every emitted line to epoch seconds with microseconds.
void UseEpochTimes();
