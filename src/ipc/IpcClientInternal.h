// Internal operations of the IPC client, shared by its source files and its
// tests. Nothing outside src/ipc and its tests includes this header.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string>

#include "src/ipc/IpcClient.h"
#include "src/ipc/IpcClientPaths.h"
#include "src/ipc/IpcServiceCheck.h"
#include "src/ipc/SignatureDigest.h"

bool IpcClient_ConnectWithPaths(const IpcClientPaths& paths, int64_t clientId, IpcOnConnectedFn onConnected,
                                IpcOnMessageFn onMessage, const char* magic, const char* clientName,
                                int32_t heartbeatTimeout, void* userData);

// IpcClient_CheckService on the given files.
bool IpcClient_CheckServiceWithPaths(const IpcClientPaths& paths, std::optional<IpcServiceOwner>* owner);

bool IpcClient_ParseOption();
bool IpcClient_InitSsl();
bool IpcClient_VerifyServerSignature(const unsigned char* hash, uint32_t hashLength,
                                     const unsigned char* signature, uint32_t signatureLength);

bool IpcClient_SendMessage(const void* msg, uint32_t length, uint32_t type, bool sendNow, void* context,
                           IpcOnSentFn onSent, int32_t timeoutMs);
// Waits for poll() events on the connection's socket. False when the
// client is stopping, the wait fails, or the connect deadline passed (which
// it logs, naming the handshake step being waited for).
bool IpcClient_WaitForSocket(short events);
bool IpcClient_WriteAll(const void* buffer, uint32_t length);
bool IpcClient_ReadAll(void* buffer, uint32_t length);

// Creates both queues with their release; false after its record.
bool IpcClient_CreateQueues();
bool IpcClient_StartWorkers();
void IpcClient_WaitThreads();
void IpcClient_CleanupIpc();
void IpcClient_CleanupSsl();
void IpcClient_CleanupTcp();

// The magic as it may appear in a log line: "NULL", up to four characters
// unchanged, or the first four followed by "-***".
std::string IpcClient_MaskMagic(const char* magic);
