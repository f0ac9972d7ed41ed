// Framing, the worker threads, and the public operations that run once the
// connection is ready.
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "lib/log/Log.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
#include "src/ipc/IpcFrameCheck.h"
#include "src/ipc/IpcWire.h"

namespace {

constexpr int32_t kPollPeriodMs = 500;
// The pollers wait for an entry or the wake of a stop, never for a timer,
// so that an idle connection costs no wake-ups.
constexpr int32_t kUntilEntryOrStop = 0;
constexpr auto kHeartbeatPeriod = std::chrono::seconds(4);

struct IpcSendCompletion {
    IpcOnSentFn onSent;
    void* context;
};

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

// What the service sends may hold secrets (a start request's stdin text),
// and freed memory keeps its bytes: every received payload is wiped before
// it is released.
void ReleasePayload(void* payload, size_t length) {
    OPENSSL_cleanse(payload, length);
    free(payload);
}

// Waits for a free slot in slices, so that a sender blocked on a full queue
// gives up once the client stops instead of waiting for a poller that has
// already ended. A timeout of 0 or less waits until then.
bool PutUntilStopped(const std::shared_ptr<BlockingQueue>& queue, void* data, uint32_t length, void* context,
                     int32_t timeoutMs) {
    int32_t remaining = timeoutMs;
    for (;;) {
        const int32_t slice = timeoutMs <= 0 ? kPollPeriodMs : std::min(kPollPeriodMs, remaining);
        if (BlockingQueue_Put(queue.get(), data, length, context, slice)) {
            return true;
        }
        if (queue == nullptr || IpcClient_Stopping()) {
            return false;
        }
        if (timeoutMs > 0) {
            remaining -= slice;
            if (remaining <= 0) {
                return false;
            }
        }
    }
}

bool QueueFrame(char* frame, uint32_t frameLength, void* context, IpcOnSentFn onSent, int32_t timeoutMs) {
    // Once the client stops nothing writes the queue any more, so a send
    // from then on fails rather than queue a frame that is never written.
    const std::shared_ptr<BlockingQueue> queue = IpcClient_OutboundQueue();
    auto* completion = new IpcSendCompletion{onSent, context};
    if (!IpcClient_Stopping() && PutUntilStopped(queue, frame, frameLength, completion, timeoutMs)) {
        return true;
    }
    LogMessage(dclog::kError, "Failed to queue IPC message of %u bytes\n", frameLength);
    delete completion;
    free(frame);
    return false;
}

void* ReceiveLoopThread(void* userData) {
    LogMessage(dclog::kInfo, "Receive loop thread will start\n");
    const std::shared_ptr<BlockingQueue> queue = IpcClient_InboundQueue();
    while (!IpcClient_Stopping()) {
        unsigned char header[ipcwire::kHeaderSize] = {};
        if (!IpcClient_ReadAll(header, sizeof header)) {
            LogMessage(dclog::kError, "Failed to receive IPC header\n");
            return nullptr;
        }
        const std::optional<uint32_t> length = IpcFrame_PayloadLength(header);
        if (!length) {
            IpcClient_RequestStop();
            return nullptr;
        }
        auto* payload = static_cast<char*>(calloc(static_cast<size_t>(*length) + 1, 1));
        if (payload == nullptr) {
            LogMessage(dclog::kError, "Failed to allocate memory for message\n");
            IpcClient_RequestStop();
            break;
        }
        // A frame without payload is delivered as an empty message: it is
        // well formed, and ending the loop here would leave the pollers
        // running with stopService still false.
        if (*length == 0) {
            LogMessage(dclog::kWarning, "Received an IPC message without payload\n");
        } else if (!IpcClient_ReadAll(payload, *length)) {
            LogMessage(dclog::kError, "Failed to receive IPC message\n");
            ReleasePayload(payload, *length);
            return nullptr;
        }
        // Sliced waits instead of one unlimited one: once the inbound poller
        // has ended, nobody would ever free a slot.
        if (!PutUntilStopped(queue, payload, *length, userData, 0)) {
            ReleasePayload(payload, *length);
        }
    }
    LogMessage(dclog::kInfo, "Receive loop thread terminated(stopService = %s)\n",
               YesNo(IpcClient_Stopping()));
    return nullptr;
}

void* InboundPollerThread(void* userData) {
    LogMessage(dclog::kInfo, "Inbound poller thread will start\n");
    IpcClientState& state = IpcState();
    const std::shared_ptr<BlockingQueue> queue = IpcClient_InboundQueue();
    while (!IpcClient_Stopping()) {
        QueueNode* node = BlockingQueue_Take(queue.get(), kUntilEntryOrStop);
        if (node == nullptr) {
            continue;
        }
        if (state.onMessage != nullptr) {
            state.onMessage(static_cast<char*>(node->data), node->length, userData);
        }
        ReleasePayload(node->data, node->length);
        delete node;
    }
    LogMessage(dclog::kInfo, "Inbound poller thread terminated(stopService = %s)\n",
               YesNo(IpcClient_Stopping()));
    return nullptr;
}

void* OutboundPollerThread(void*) {
    LogMessage(dclog::kInfo, "Outbound poller thread will start\n");
    const std::shared_ptr<BlockingQueue> queue = IpcClient_OutboundQueue();
    while (!IpcClient_Stopping()) {
        QueueNode* node = BlockingQueue_Take(queue.get(), kUntilEntryOrStop);
        if (node == nullptr) {
            continue;
        }
        IpcClient_WriteAll(node->data, node->length);
        auto* completion = static_cast<IpcSendCompletion*>(node->context);
        if (completion->onSent != nullptr) {
            completion->onSent(static_cast<char*>(node->data), node->length, completion->context);
        }
        delete completion;
        delete node;
    }
    LogMessage(dclog::kInfo, "Outbound poller thread terminated(stopService = %s)\n",
               YesNo(IpcClient_Stopping()));
    return nullptr;
}

void* OnConnectThread(void* userData) {
    if (IpcState().onConnected != nullptr) {
        IpcState().onConnected(userData);
    }
    return nullptr;
}

void* HeartbeatThread(void*) {
    static const unsigned char kFrame[] = {6, 0, 0, 0, 1, 0, 0, 0, 0};
    IpcClientState& state = IpcState();
    while (!IpcClient_Stopping()) {
        {
            std::unique_lock lock(state.stopLock);
            if (state.stopSignal.wait_for(lock, kHeartbeatPeriod, [&] { return state.stopService.load(); })) {
                break;
            }
        }
        if (!IpcClient_WriteAll(kFrame, sizeof kFrame)) {
            LogMessage(dclog::kError, "Failed to send heartbeat to server, stop heartbeat thread\n");
        }
    }
    return nullptr;
}

bool StartThread(std::optional<pthread_t>& handle, void* (*body)(void*), void* argument,
                 const char* failureRecord) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, argument) != 0) {
        LogMessage(dclog::kError, "%s", failureRecord);
        return false;
    }
    handle = thread;
    return true;
}

void JoinThread(std::optional<pthread_t>& handle) {
    if (handle) {
        pthread_join(*handle, nullptr);
        handle.reset();
    }
}

void DestroyQueue(BlockingQueue* queue) {
    BlockingQueue_Destroy(queue);
    delete queue;
}

// Payloads still queued when the connection ends are never delivered.
void DestroyInboundQueue(BlockingQueue* queue) {
    while (QueueNode* node = BlockingQueue_Take(queue, 1)) {
        ReleasePayload(node->data, node->length);
        delete node;
    }
    DestroyQueue(queue);
}

// Frames still queued for sending are dropped without their completion
// callbacks; their completion records are released here.
void DestroyOutboundQueue(BlockingQueue* queue) {
    while (QueueNode* node = BlockingQueue_Take(queue, 1)) {
        delete static_cast<IpcSendCompletion*>(node->context);
        free(node->data);
        delete node;
    }
    DestroyQueue(queue);
}

std::shared_ptr<BlockingQueue> NewQueue(void (*release)(BlockingQueue*)) {
    constexpr uint32_t kQueueCapacity = 30;
    BlockingQueue* queue = BlockingQueue_Create(kQueueCapacity);
    return queue != nullptr ? std::shared_ptr<BlockingQueue>(queue, release) : nullptr;
}

}  // namespace

void IpcClient_RemoveLeftoverSemaphores() {
    BlockingQueue_RemoveDeadLeftovers(kSemaphoreDir);
}

bool IpcClient_CreateQueues() {
    std::shared_ptr<BlockingQueue> inbound = NewQueue(DestroyInboundQueue);
    std::shared_ptr<BlockingQueue> outbound = NewQueue(DestroyOutboundQueue);
    if (!inbound || !outbound) {
        LogMessage(dclog::kError, "Failed to create blocking inboundQueue/outboundQueue\n");
        return false;
    }
    IpcClientState& state = IpcState();
    std::lock_guard guard(state.queueLock);
    state.inboundQueue = std::move(inbound);
    state.outboundQueue = std::move(outbound);
    return true;
}

bool IpcClient_StartWorkers() {
    IpcClientState& state = IpcState();
    void* userData = state.userData;
    if (!StartThread(state.inboundPollerThread, InboundPollerThread, userData,
                     "Failed to create inbound poller thread\n") ||
        !StartThread(state.outboundPollerThread, OutboundPollerThread, userData,
                     "Failed to create outbound poller thread\n") ||
        !StartThread(state.receiveLoopThread, ReceiveLoopThread, userData,
                     "Failed to create receive loop thread\n") ||
        !StartThread(state.onConnectThread, OnConnectThread, userData,
                     "Failed to create onConnect callback thread\n")) {
        return false;
    }
    return state.heartbeatTimeout <= 0 || StartThread(state.heartbeatThread, HeartbeatThread, nullptr,
                                                      "Failed to create heartbeat thread\n");
}

bool IpcClient_SendMessage(const void* msg, uint32_t length, uint32_t type, bool sendNow, void* context,
                           IpcOnSentFn onSent, int32_t timeoutMs) {
    if (msg == nullptr || length == 0) {
        LogMessage(dclog::kError, "Invalid parameter: msg=%p, msgLen=%d\n", msg, static_cast<int>(length));
        return false;
    }
    if (type < ipcwire::kFirstType || type > ipcwire::kLastType) {
        LogMessage(dclog::kError, "Invalid IPC message type %d\n", static_cast<int>(type));
        return false;
    }
    const size_t frameLength = static_cast<size_t>(length) + ipcwire::kHeaderSize;
    auto* frame = static_cast<char*>(calloc(frameLength + 1, 1));
    if (frame == nullptr) {
        LogMessage(dclog::kError, "Failed to allocate memory for ipc message\n");
        return false;
    }
    ipcwire::PutLe32(reinterpret_cast<unsigned char*>(frame), type);
    ipcwire::PutLe32(reinterpret_cast<unsigned char*>(frame) + 4, length);
    memcpy(frame + ipcwire::kHeaderSize, msg, length);
    if (sendNow) {
        const bool written = IpcClient_WriteAll(frame, static_cast<uint32_t>(frameLength));
        // Frames sent at once carry the client record with the magic; freed
        // memory keeps its bytes, so they are wiped first.
        OPENSSL_cleanse(frame, frameLength);
        free(frame);
        return written;
    }
    return QueueFrame(frame, static_cast<uint32_t>(frameLength), context, onSent, timeoutMs);
}

bool IpcClient_SendData(const void* msg, uint32_t length, void* context, IpcOnSentFn onSent,
                        int32_t timeoutMs) {
    return IpcClient_SendMessage(msg, length, ipcwire::kTypeData, false, context, onSent, timeoutMs);
}

bool IpcClient_StopService() {
    LogMessage(dclog::kInfo, "Client is about to stop service\n");
    IpcClient_RequestStop();
    if (shutdown(IpcState().socket.get(), SHUT_RDWR) != 0) {
        LogMessage(dclog::kError, "Failed to shutdown socket\n");
        return false;
    }
    return true;
}

void IpcClient_WaitThreads() {
    IpcClientState& state = IpcState();
    LogMessage(dclog::kInfo, "Wait for service terminate\n");
    JoinThread(state.receiveLoopThread);
    JoinThread(state.onConnectThread);
    JoinThread(state.inboundPollerThread);
    JoinThread(state.outboundPollerThread);
    if (state.heartbeatTimeout > 0) {
        JoinThread(state.heartbeatThread);
    }
}

void IpcClient_CleanupIpc() {
    IpcClientState& state = IpcState();
    LogMessage(dclog::kInfo, "Cleanup IPC resource\n");
    std::shared_ptr<BlockingQueue> inbound;
    std::shared_ptr<BlockingQueue> outbound;
    {
        std::lock_guard guard(state.queueLock);
        inbound = std::move(state.inboundQueue);
        outbound = std::move(state.outboundQueue);
    }
    // Destroyed here unless a sender is still inside one; it then goes
    // with that sender's reference.
    inbound.reset();
    outbound.reset();
    state.magic.reset();
    state.clientName.clear();
}

void IpcClient_WaitForTerminate() {
    LogMessage(dclog::kInfo, "Service start!\n");
    IpcClient_WaitThreads();
    IpcClient_CleanupIpc();
    IpcClient_CleanupSsl();
    IpcClient_CleanupTcp();
    LogMessage(dclog::kInfo, "Service terminated!\n");
}
