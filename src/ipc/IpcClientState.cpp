#include "src/ipc/IpcClientState.h"

#include <unistd.h>

#include <cstdint>

namespace {

std::atomic<int32_t> connectTimeoutMs{kIpcDefaultConnectTimeoutMs};

}  // namespace

void IpcClient_SetConnectTimeout(int32_t timeoutMs) {
    connectTimeoutMs = timeoutMs;
}

int32_t IpcClient_ConnectTimeout() {
    return connectTimeoutMs.load();
}

IpcClientState& IpcState() {
    static IpcClientState state;
    return state;
}

std::shared_ptr<BlockingQueue> IpcClient_InboundQueue() {
    std::lock_guard guard(IpcState().queueLock);
    return IpcState().inboundQueue;
}

std::shared_ptr<BlockingQueue> IpcClient_OutboundQueue() {
    std::lock_guard guard(IpcState().queueLock);
    return IpcState().outboundQueue;
}

void IpcClient_RequestStop() {
    IpcClientState& state = IpcState();
    {
        std::lock_guard guard(state.stopLock);
        state.stopService = true;
    }
    state.stopSignal.notify_all();
    for (const std::shared_ptr<BlockingQueue>& queue :
         {IpcClient_InboundQueue(), IpcClient_OutboundQueue()}) {
        if (queue) {
            BlockingQueue_Wake(queue.get());
        }
    }
    if (state.stopWake.valid()) {
        const uint64_t one = 1;
        // Only fails when the counter is already set, which wakes as well.
        [[maybe_unused]] const ssize_t written = write(state.stopWake.get(), &one, sizeof one);
    }
}

bool IpcClient_Stopping() {
    return IpcState().stopService.load();
}
