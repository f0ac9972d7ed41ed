// The IPC client: one TLS connection per process to the agent's IPC service
// on the loopback address. Plain functions over one process-wide state
// block; every function returns a plain result, logs its failures once and
// never throws.
//
// Threads after a successful connect: receive loop, inbound poller (runs
// every message callback, one at a time), outbound poller (writes queued
// frames), on-connected thread, and a heartbeat thread when asked for.
#pragma once

#include <cstdint>

// Called once on the on-connected thread.
using IpcOnConnectedFn = void (*)(void* userData);
// Called on the inbound poller thread. The buffer belongs to the library and
// holds length + 1 bytes; the callback may write buffer[length] but must not
// keep the buffer.
using IpcOnMessageFn = void (*)(char* payload, uint32_t length, void* userData);
// Called on the outbound poller thread after a queued frame was written (or
// failed to be). The callback owns the frame buffer and must release it with
// free().
using IpcOnSentFn = void (*)(char* frame, uint32_t frameLength, void* context);

// The whole connect, from the TCP connect through the service's READY, has
// one deadline: a service that stalls anywhere in the handshake makes the
// connect fail once it passes, instead of hanging the caller. Applies to
// every later connect; 0 or less waits without limit.
inline constexpr int32_t kIpcDefaultConnectTimeoutMs = 10000;
void IpcClient_SetConnectTimeout(int32_t timeoutMs);

bool IpcClient_Connect(int64_t clientId, IpcOnConnectedFn onConnected, IpcOnMessageFn onMessage,
                       const char* magic, const char* clientName, int32_t heartbeatTimeout, void* userData);

// Queues one IPC_MSG_TYPE_DATA frame; true means queued, not yet written.
// A timeout of 0 or less waits without limit for a free queue slot.
bool IpcClient_SendData(const void* msg, uint32_t length, void* context, IpcOnSentFn onSent,
                        int32_t timeoutMs);

bool IpcClient_StopService();

// Blocks until every worker thread has ended, then releases everything.
void IpcClient_WaitForTerminate();

// Removes the semaphore names that queues of this user's ended processes
// left behind (a daemon killed by SIGKILL leaves four). Call once at
// start-up, after the final user id is set and before the first connect;
// names of other users and of live processes are never touched.
void IpcClient_RemoveLeftoverSemaphores();
