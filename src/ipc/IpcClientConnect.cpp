// Connect and handshake: port and magic, TCP to the loopback address, TLS,
// the service's signature and owner, the client-info record and the wait
// for ready.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/log/Log.h"
#include "src/ipc/FileText.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
#include "src/ipc/IpcFrameCheck.h"
#include "src/ipc/IpcLogLevels.h"
#include "src/ipc/IpcServiceCheck.h"
#include "src/ipc/IpcWire.h"
#include "src/ipc/SocketOwner.h"

namespace {

constexpr size_t kMagicLength = 40;
constexpr const char* kLoopbackAddress = "127.0.0.1";

void ResetState(const IpcClientPaths& paths) {
    IpcClientState& state = IpcState();
    state.paths = paths;
    state.socket.reset();
    state.ssl.reset();
    state.sslContext.reset();
    state.receiveLoopThread.reset();
    state.onConnectThread.reset();
    state.inboundPollerThread.reset();
    state.outboundPollerThread.reset();
    state.heartbeatThread.reset();
    {
        std::lock_guard guard(state.queueLock);
        state.inboundQueue.reset();
        state.outboundQueue.reset();
    }
    state.onConnected = nullptr;
    state.onMessage = nullptr;
    state.userData = nullptr;
    state.stopService = false;
    state.stopWake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    state.heartbeatTimeout = 0;
    state.port = 0;
    state.clientId = 0;
    state.clientName.clear();
    state.magic.reset();
    state.connectStep = "";
    state.connectDeadline.reset();
    if (const int32_t timeoutMs = IpcClient_ConnectTimeout(); timeoutMs > 0) {
        state.connectDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    }
}

bool ReadPort() {
    IpcClientState& state = IpcState();
    const auto text = ReadFileText(state.paths.portFile);
    if (!text) {
        LogMessage(dclog::kError, "Failed to get port from file\n");
        return false;
    }
    // Only the leading decimal number counts; a line end or other text after
    // it is ignored.
    state.port = static_cast<int32_t>(strtol(text->c_str(), nullptr, 10));
    return true;
}

void ReadMagicFromFile() {
    IpcClientState& state = IpcState();
    if (getuid() != 0) {
        LogMessage(dclog::kError, "Only root privilege could parse the ipc file\n");
        LogMessage(dclog::kError, "Failed to get magic from file\n");
        return;
    }
    auto text = ReadFileText(state.paths.magicFile);
    if (!text) {
        LogMessage(dclog::kError, "Failed to get magic from file\n");
        return;
    }
    state.magic = std::move(*text);
}

void ReadMagicFromStdin() {
    char word[kMagicLength + 1] = {};
    if (scanf("%40s", word) != 1) {
        LogMessage(dclog::kError, "Failed to get magic from stdin\n");
        return;
    }
    IpcState().magic = word;
}

const char* MagicOrNull() {
    const auto& magic = IpcState().magic;
    return magic ? magic->c_str() : nullptr;
}

// The socket is non-blocking from the start, so that the connect itself
// waits in poll() and ends at the connect deadline.
int ConnectToLoopback(int fd, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, kLoopbackAddress, &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS) {
        return errno;
    }
    IpcState().connectStep = "the TCP connection";
    if (!IpcClient_WaitForSocket(POLLOUT)) {
        return ETIMEDOUT;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

bool ConnectTcp() {
    IpcClientState& state = IpcState();
    state.socket.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!state.socket.valid()) {
        LogMessage(dclog::kError, "Failed to create socket\n");
        LogMessage(dclog::kError, "Failed to establish connection to server\n");
        return false;
    }
    if (const int error = ConnectToLoopback(state.socket.get(), static_cast<uint16_t>(state.port & 0xffff));
        error != 0) {
        LogMessage(dclog::kError, "Failed to connect to server, errno: %d\n", error);
        state.socket.reset();
        LogMessage(dclog::kError, "Failed to establish connection to server\n");
        return false;
    }
    LogMessage(dclog::kInfo, "TCP connection established\n");
    return true;
}

// Reads one handshake frame of the expected type into body. A failed read
// leaves the zeroed header, so the type test reports it.
IpcHandshakeCheck ReadHandshakeFrame(uint32_t expectedType, const char* step, uint32_t& typeSeen,
                                     std::vector<unsigned char>& body) {
    IpcState().connectStep = step;
    unsigned char header[ipcwire::kHeaderSize] = {};
    IpcClient_ReadAll(header, sizeof header);
    int32_t length = 0;
    const IpcHandshakeCheck check = IpcFrame_CheckHandshakeHeader(header, expectedType, typeSeen, length);
    if (check != IpcHandshakeCheck::kOk) {
        return check;
    }
    body.assign(static_cast<size_t>(length), 0);
    if (!IpcClient_ReadAll(body.data(), static_cast<uint32_t>(length))) {
        return IpcHandshakeCheck::kBadLength;
    }
    return IpcHandshakeCheck::kOk;
}

bool VerifyServer() {
    std::vector<unsigned char> hash;
    std::vector<unsigned char> signature;
    uint32_t type = 0;
    IpcHandshakeCheck result = ReadHandshakeFrame(ipcwire::kTypeServerHash, "the server hash", type, hash);
    if (result == IpcHandshakeCheck::kWrongType) {
        LogMessage(dclog::kError, "Expect server hash, but get %d\n", static_cast<int>(type));
    }
    if (result == IpcHandshakeCheck::kOk) {
        result = ReadHandshakeFrame(ipcwire::kTypeServerSignature, "the server signature", type, signature);
        if (result == IpcHandshakeCheck::kWrongType) {
            LogMessage(dclog::kError, "Expect server signature, but get %d\n", static_cast<int>(type));
        }
    }
    if (result == IpcHandshakeCheck::kOk) {
        if (IpcClient_VerifyServerSignature(hash.data(), static_cast<uint32_t>(hash.size()), signature.data(),
                                            static_cast<uint32_t>(signature.size()))) {
            LogMessage(dclog::kInfo, "Server signature verification success\n");
            return true;
        }
        LogMessage(dclog::kError, "Server signature verification fail\n");
    }
    LogMessage(dclog::kError, "Failed to verify server\n");
    return false;
}

// What is left of the connect deadline, or the default connect time-out
// when the connect has none: the owner lookup asks the kernel, which
// answers at once, but it is bounded all the same.
std::chrono::milliseconds OwnerLookupTimeout() {
    const auto& deadline = IpcState().connectDeadline;
    if (!deadline) {
        return std::chrono::milliseconds(kIpcDefaultConnectTimeoutMs);
    }
    return std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
}

// A valid signature does not show who answers: the service signs bytes it
// chooses, so a pair recorded from the real service can be replayed by
// anyone who takes its port while it is down. The token therefore goes
// only to a service whose socket belongs to root or to the owner of the
// port file.
bool VerifyServiceOwner(std::optional<IpcServiceOwner>* found) {
    const IpcClientState& state = IpcState();
    const char* portFile = state.paths.portFile.c_str();
    struct stat portStatus {};
    if (stat(portFile, &portStatus) != 0) {
        LogMessage(dclog::kError, "Failed to find the owner of %s, errno: %d\n", portFile, errno);
        LogMessage(dclog::kError, "Failed to verify server\n");
        return false;
    }
    IpcServiceOwner owner{.port = state.port & 0xffff, .portFileOwner = portStatus.st_uid};
    if (const std::optional<TcpConnection> view = PeerViewOf(state.socket.get())) {
        owner.uid = SocketOwner(*view, OwnerLookupTimeout());
    }
    if (found != nullptr) {
        *found = owner;
    }
    if (owner.Accepted()) {
        LogMessage(dclog::kInfo, "Service on port %d belongs to uid %u\n", owner.port, *owner.uid);
        return true;
    }
    if (owner.uid) {
        LogMessage(dclog::kError,
                   "Service on port %d belongs to uid %u, expected root or uid %u (owner of %s)\n",
                   owner.port, *owner.uid, owner.portFileOwner, portFile);
    } else {
        LogMessage(dclog::kError,
                   "Owner of the service on port %d not found, expected root or uid %u (owner of %s)\n",
                   owner.port, owner.portFileOwner, portFile);
    }
    LogMessage(dclog::kError, "Failed to verify server\n");
    return false;
}

bool SendClientInfo() {
    IpcClientState& state = IpcState();
    LogMessage(ipclog::kVerbose, "Send client info, magic %s\n", IpcClient_MaskMagic(MagicOrNull()).c_str());
    unsigned char record[ipcwire::kClientInfoSize] = {};
    strncpy(reinterpret_cast<char*>(record), MagicOrNull(), ipcwire::kMagicFieldSize);
    strncpy(reinterpret_cast<char*>(record + ipcwire::kMagicFieldSize), state.clientName.c_str(),
            ipcwire::kNameFieldSize);
    ipcwire::PutLe64(record + ipcwire::kClientIdOffset, static_cast<uint64_t>(state.clientId));
    ipcwire::PutLe32(record + ipcwire::kHeartbeatOffset, static_cast<uint32_t>(state.heartbeatTimeout));
    state.connectStep = "the client info to be sent";
    const bool sent =
        IpcClient_SendMessage(record, sizeof record, ipcwire::kTypeClientInfo, true, nullptr, nullptr, 0);
    OPENSSL_cleanse(record, sizeof record);
    if (!sent) {
        LogMessage(dclog::kError, "Failed to send client info\n");
        return false;
    }
    return true;
}

// Once the service is ready the connect deadline no longer applies: the
// worker threads wait for the service without limit.
bool WaitForReady() {
    IpcState().connectStep = "the ready frame";
    unsigned char ready[ipcwire::kReadySize] = {};
    // A read cut short may already hold the ready type, so its result
    // counts as well as the type.
    if (!IpcClient_ReadAll(ready, sizeof ready)) {
        LogMessage(dclog::kError, "Failed to wait service ready\n");
        return false;
    }
    if (!IpcFrame_CheckReady(ready)) {
        return false;
    }
    IpcState().connectDeadline.reset();
    return true;
}

bool EstablishTls() {
    if (IpcClient_InitSsl()) {
        return true;
    }
    LogMessage(dclog::kError, "Failed to establish SSL connection to server\n");
    return false;
}

bool RunConnectSteps() {
    IpcClientState& state = IpcState();
    if (state.heartbeatTimeout >= 1 && state.heartbeatTimeout <= 4) {
        LogMessage(dclog::kError, "Invalid heartbeat timeout, must be 0 or greater than 4");
        return false;
    }
    if (!IpcClient_ParseOption()) {
        LogMessage(dclog::kError, "Failed to parse option\n");
        return false;
    }
    if (!ConnectTcp()) {
        return false;
    }
    return EstablishTls() && VerifyServer() && VerifyServiceOwner(nullptr) && SendClientInfo() &&
           WaitForReady() && IpcClient_CreateQueues() && IpcClient_StartWorkers();
}

}  // namespace

IpcClientPaths IpcClient_SystemPaths() {
    return {"/var/tarvelo/ipc.port", "/var/tarvelo/nordagent/ipc.magic", "/usr/share/tarvelo/rui.pub"};
}

std::string IpcClient_MaskMagic(const char* magic) {
    if (magic == nullptr) {
        return "NULL";
    }
    if (strlen(magic) <= 4) {
        return magic;
    }
    char masked[16];
    snprintf(masked, sizeof masked, "%4.4s-***", magic);
    return masked;
}

bool IpcClient_ParseOption() {
    IpcClientState& state = IpcState();
    if (!ReadPort()) {
        return false;
    }
    if (state.magic) {
        if (state.magic->size() != kMagicLength) {
            LogMessage(dclog::kError, "Invalid customized magic length: %d(expect %d bytes)\n",
                       static_cast<int>(state.magic->size()), static_cast<int>(kMagicLength));
            return false;
        }
    } else {
        ReadMagicFromFile();
    }
    if (!state.magic) {
        ReadMagicFromStdin();
    }
    LogMessage(ipclog::kVerbose, "%s get port and magic(%s), clientId is %ld\n",
               state.magic ? "Successfully" : "Failed to", IpcClient_MaskMagic(MagicOrNull()).c_str(),
               static_cast<long>(state.clientId));
    return state.magic.has_value();
}

bool IpcClient_ConnectWithPaths(const IpcClientPaths& paths, int64_t clientId, IpcOnConnectedFn onConnected,
                                IpcOnMessageFn onMessage, const char* magic, const char* clientName,
                                int32_t heartbeatTimeout, void* userData) {
    ResetState(paths);
    IpcClientState& state = IpcState();
    state.onConnected = onConnected;
    state.onMessage = onMessage;
    state.userData = userData;
    state.clientId = clientId;
    state.clientName = clientName != nullptr ? clientName : "";
    state.heartbeatTimeout = heartbeatTimeout;
    if (magic != nullptr && magic[0] != '\0') {
        state.magic = magic;
    }
    if (RunConnectSteps()) {
        return true;
    }
    IpcClient_RequestStop();
    IpcClient_WaitThreads();
    IpcClient_CleanupIpc();
    IpcClient_CleanupSsl();
    IpcClient_CleanupTcp();
    return false;
}

bool IpcClient_Connect(int64_t clientId, IpcOnConnectedFn onConnected, IpcOnMessageFn onMessage,
                       const char* magic, const char* clientName, int32_t heartbeatTimeout, void* userData) {
    return IpcClient_ConnectWithPaths(IpcClient_SystemPaths(), clientId, onConnected, onMessage, magic,
                                      clientName, heartbeatTimeout, userData);
}

bool IpcClient_CheckServiceWithPaths(const IpcClientPaths& paths, std::optional<IpcServiceOwner>* owner) {
    ResetState(paths);
    const bool verified =
        ReadPort() && ConnectTcp() && EstablishTls() && VerifyServer() && VerifyServiceOwner(owner);
    IpcClient_CleanupSsl();
    IpcClient_CleanupTcp();
    return verified;
}

bool IpcClient_CheckService(std::optional<IpcServiceOwner>* owner) {
    return IpcClient_CheckServiceWithPaths(IpcClient_SystemPaths(), owner);
}
