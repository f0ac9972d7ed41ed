// The one process-wide state block of the IPC client. Reset by every
// connect, released by IpcClient_WaitForTerminate or a failed connect.
#pragma once

#include <openssl/crypto.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "lib/log/UniqueFd.h"
#include "src/ipc/BlockingQueue.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/OpenSslPtr.h"

// The client's magic: optional like std::optional<std::string>, but its
// bytes are overwritten whenever the text is replaced, reset or destroyed,
// so the secret does not linger in freed heap memory.
class WipedText {
  public:
    WipedText() = default;
    ~WipedText() { reset(); }
    WipedText(const WipedText&) = delete;
    WipedText& operator=(const WipedText&) = delete;

    WipedText& operator=(std::string text) {
        reset();
        value_ = std::move(text);
        present_ = true;
        return *this;
    }
    void reset() {
        value_.resize(value_.capacity());
        OPENSSL_cleanse(value_.data(), value_.size());
        value_.clear();
        present_ = false;
    }
    bool has_value() const { return present_; }
    explicit operator bool() const { return present_; }
    const std::string& operator*() const { return value_; }
    const std::string* operator->() const { return &value_; }

  private:
    std::string value_;
    bool present_ = false;
};

struct IpcClientState {
    IpcClientPaths paths;

    // Declared before the TLS objects so that they are released first.
    dclog::UniqueFd socket;
    ossl::SslCtxPtr sslContext;
    ossl::SslPtr ssl;

    std::optional<pthread_t> receiveLoopThread;
    std::optional<pthread_t> onConnectThread;
    std::optional<pthread_t> inboundPollerThread;
    std::optional<pthread_t> outboundPollerThread;
    std::optional<pthread_t> heartbeatThread;

    // The queue slots, guarded by queueLock. Every thread that uses a queue
    // holds a reference of its own, taken from its slot: a sender on another
    // thread (a lock change) may arrive while the slots are released, and
    // the last reference, not the release, destroys the queue.
    std::mutex queueLock;
    std::shared_ptr<BlockingQueue> inboundQueue;
    std::shared_ptr<BlockingQueue> outboundQueue;

    IpcOnConnectedFn onConnected = nullptr;
    IpcOnMessageFn onMessage = nullptr;
    void* userData = nullptr;

    // Keeps whole frames together when several threads write.
    std::mutex writeLock;
    // Held around every single SSL call, reads included; never while waiting.
    std::mutex sslLock;

    // stopService only ever goes from false to true while threads run; the
    // condition variable lets the heartbeat notice it without a full sleep.
    std::atomic<bool> stopService{false};
    std::mutex stopLock;
    std::condition_variable stopSignal;
    // An eventfd that becomes readable when stopService is set, so a thread
    // waiting in poll() for the socket wakes at once and an idle connection
    // costs no periodic wake-ups. Replaced by every connect.
    dclog::UniqueFd stopWake;

    // Set by connect for the handshake and cleared before the worker
    // threads start, so only the handshake's waits are bounded by it.
    std::optional<std::chrono::steady_clock::time_point> connectDeadline;
    // What the handshake is waiting for, named when the deadline passes.
    const char* connectStep = "";

    int32_t heartbeatTimeout = 0;
    int32_t port = 0;
    int64_t clientId = 0;
    std::string clientName;
    WipedText magic;
};

IpcClientState& IpcState();

// A reference to the queue in its slot, or none once it was released.
std::shared_ptr<BlockingQueue> IpcClient_InboundQueue();
std::shared_ptr<BlockingQueue> IpcClient_OutboundQueue();

// The connect time-out; outside the state block, which every connect resets.
int32_t IpcClient_ConnectTimeout();

// Sets stopService and wakes every thread that waits on it.
void IpcClient_RequestStop();
bool IpcClient_Stopping();
