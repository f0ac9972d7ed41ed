// The TLS connection: set-up, whole-buffer reads and writes, release.
//
// OpenSSL does not allow SSL_read and SSL_write on one SSL object from two
// threads at once, yet the receive loop must be able to sit in a read while
// the outbound poller or the heartbeat writes. The socket is therefore
// non-blocking from the TCP connect on: every SSL call runs under sslLock,
// which is never held while waiting, and a call that would block releases
// the lock and waits in poll(). A reader waiting for the service thus never
// delays a writer. writeLock is separate and is held for a whole frame, so
// frames of different writers never interleave. A wait also watches the
// stop eventfd, so a thread stuck on a silent peer notices stopService at
// once without waking periodically; only without that eventfd does it wait
// in slices. During the handshake every wait also ends at the connect
// deadline.
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "lib/log/Log.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
#include "src/ipc/SocketBio.h"

namespace {

constexpr int kWaitSliceMs = 500;

enum class Progress { kDone, kWaitRead, kWaitWrite, kFailed };

Progress Classify(int sslError) {
    switch (sslError) {
        case SSL_ERROR_WANT_READ:
            return Progress::kWaitRead;
        case SSL_ERROR_WANT_WRITE:
            return Progress::kWaitWrite;
        default:
            return Progress::kFailed;
    }
}

// Milliseconds left until the connect deadline, rounded up so that a wait
// never wakes just before it; nothing when there is no deadline.
std::optional<int> MillisToDeadline() {
    const IpcClientState& state = IpcState();
    if (!state.connectDeadline) {
        return std::nullopt;
    }
    const auto left = *state.connectDeadline - std::chrono::steady_clock::now();
    return static_cast<int>(std::max<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
}

int PollTimeout(std::optional<int> deadlineMs) {
    const int sliceMs = IpcState().stopWake.valid() ? -1 : kWaitSliceMs;
    if (!deadlineMs) {
        return sliceMs;
    }
    return sliceMs < 0 ? *deadlineMs : std::min(sliceMs, *deadlineMs);
}

}  // namespace

bool IpcClient_WaitForSocket(short events) {
    const IpcClientState& state = IpcState();
    pollfd entries[2] = {{state.socket.get(), events, 0}, {state.stopWake.get(), POLLIN, 0}};
    while (!IpcClient_Stopping()) {
        const std::optional<int> deadlineMs = MillisToDeadline();
        if (deadlineMs == 0) {
            LogMessage(dclog::kError, "Connect timed out after %d ms waiting for %s\n",
                       IpcClient_ConnectTimeout(), state.connectStep);
            return false;
        }
        const int ready = poll(entries, 2, PollTimeout(deadlineMs));
        if (ready > 0 && entries[0].revents != 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

namespace {

// Waits until the socket is ready for what OpenSSL asked for.
bool WaitForSocket(Progress wanted) {
    return IpcClient_WaitForSocket(static_cast<short>(wanted == Progress::kWaitRead ? POLLIN : POLLOUT));
}

// Runs one SSL call under sslLock; SSL_get_error must see the state that
// this very call left behind, so it is asked before the lock is released.
template <typename Call>
Progress RunSslCall(Call call, size_t& transferred) {
    IpcClientState& state = IpcState();
    std::lock_guard guard(state.sslLock);
    ERR_clear_error();
    const int result = call(state.ssl.get());
    if (result > 0) {
        transferred = static_cast<size_t>(result);
        return Progress::kDone;
    }
    return Classify(SSL_get_error(state.ssl.get(), result));
}

template <typename Call>
bool TransferAll(size_t length, Call call) {
    size_t done = 0;
    while (done < length) {
        size_t transferred = 0;
        const Progress progress =
            RunSslCall([&](SSL* ssl) { return call(ssl, done, length - done); }, transferred);
        if (progress == Progress::kDone) {
            done += transferred;
        } else if (progress == Progress::kFailed || !WaitForSocket(progress)) {
            return false;
        }
    }
    return true;
}

bool Handshake() {
    for (;;) {
        size_t ignored = 0;
        const Progress progress = RunSslCall([](SSL* ssl) { return SSL_connect(ssl); }, ignored);
        if (progress == Progress::kDone) {
            return true;
        }
        if (progress == Progress::kFailed || !WaitForSocket(progress)) {
            return false;
        }
    }
}

}  // namespace

bool IpcClient_InitSsl() {
    IpcClientState& state = IpcState();
    LogMessage(dclog::kInfo, "Init SSL connection\n");
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);

    ossl::SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        LogMessage(dclog::kError, "Failed to init SSL context\n");
        return false;
    }
    if (SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1) {
        LogMessage(dclog::kError, "Failed to set minimum protocol version\n");
        return false;
    }
    // The service has no business renegotiating: the session is verified
    // once, by the signature step, and a renegotiation would only add
    // handshake surface in the middle of the message stream. Received
    // plaintext may hold secrets; by default it would stay in the
    // connection's record buffer until the next record overwrites it.
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CLEANSE_PLAINTEXT);
    ossl::SslPtr ssl(SSL_new(context.get()));
    if (!ssl) {
        LogMessage(dclog::kError, "Failed to init SSL\n");
        return false;
    }
    BIO* bio = NewNoSignalSocketBio(state.socket.get());
    if (bio == nullptr) {
        LogMessage(dclog::kError, "Failed to establish SSL connection\n");
        return false;
    }
    SSL_set_bio(ssl.get(), bio, bio);
    state.sslContext = std::move(context);
    state.ssl = std::move(ssl);
    state.connectStep = "the TLS handshake";
    if (!Handshake()) {
        LogMessage(dclog::kError, "Failed to establish SSL connection\n");
        SSL_shutdown(state.ssl.get());
        state.ssl.reset();
        state.sslContext.reset();
        return false;
    }
    LogMessage(dclog::kInfo, "SSL connection established\n");
    return true;
}

bool IpcClient_WriteAll(const void* buffer, uint32_t length) {
    if (buffer == nullptr || length == 0) {
        LogMessage(dclog::kError, "Invalid buffer %p with length %d to send to server\n", buffer,
                   static_cast<int>(length));
        return false;
    }
    std::lock_guard guard(IpcState().writeLock);
    const auto* bytes = static_cast<const char*>(buffer);
    const bool ok = TransferAll(length, [bytes](SSL* ssl, size_t offset, size_t remaining) {
        return SSL_write(ssl, bytes + offset, static_cast<int>(remaining));
    });
    if (!ok) {
        LogMessage(dclog::kError, "Failed to write to ssl connection\n");
        IpcClient_RequestStop();
    }
    return ok;
}

bool IpcClient_ReadAll(void* buffer, uint32_t length) {
    if (buffer == nullptr || length == 0) {
        LogMessage(dclog::kError, "Invalid buffer %p with length %d to wait from server\n", buffer,
                   static_cast<int>(length));
        return false;
    }
    auto* bytes = static_cast<char*>(buffer);
    const bool ok = TransferAll(length, [bytes](SSL* ssl, size_t offset, size_t remaining) {
        return SSL_read(ssl, bytes + offset, static_cast<int>(remaining));
    });
    if (!ok) {
        LogMessage(dclog::kError, "Failed to read from ssl connection\n");
        IpcClient_RequestStop();
    }
    return ok;
}

void IpcClient_CleanupSsl() {
    IpcClientState& state = IpcState();
    LogMessage(dclog::kInfo, "Cleanup SSL Resource\n");
    if (state.ssl) {
        SSL_shutdown(state.ssl.get());
        state.ssl.reset();
    }
    state.sslContext.reset();
}

void IpcClient_CleanupTcp() {
    IpcClientState& state = IpcState();
    LogMessage(dclog::kInfo, "Cleanup TCP socket\n");
    if (state.socket.valid()) {
        shutdown(state.socket.get(), SHUT_RDWR);
        // Closed as well, not only shut down: the descriptor would otherwise
        // leak into every child the daemon starts later.
        state.socket.reset();
    }
}
