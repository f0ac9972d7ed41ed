// The TLS connection: set-up, whole-buffer reads and writes, release.
//
// OpenSSL does not allow SSL_read and SSL_write on one SSL object from two
// threads at once, yet the receive loop must be able to sit in a read while
// the outbound poller or the heartbeat writes. After the handshake the
// socket is therefore non-blocking: every SSL call runs under sslLock, which
// is never held while waiting, and a call that would block releases the lock
// and waits in poll(). A reader waiting for the service thus never delays a
// writer. writeLock is separate and is held for a whole frame, so frames of
// different writers never interleave. A wait also watches the stop eventfd,
// so a thread stuck on a silent peer notices stopService at once without
// waking periodically; only without that eventfd does it wait in slices.
#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

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

// Waits until the socket is ready for what OpenSSL asked for. False when
// the client is stopping or the socket reports an error.
bool WaitForSocket(Progress wanted) {
    const IpcClientState& state = IpcState();
    pollfd entries[2] = {
        {state.socket.get(), static_cast<short>(wanted == Progress::kWaitRead ? POLLIN : POLLOUT), 0},
        {state.stopWake.get(), POLLIN, 0}};
    const int timeoutMs = state.stopWake.valid() ? -1 : kWaitSliceMs;
    while (!IpcClient_Stopping()) {
        const int ready = poll(entries, 2, timeoutMs);
        if (ready > 0 && entries[0].revents != 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
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

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
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
    // handshake surface in the middle of the message stream.
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
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
    if (SSL_connect(ssl.get()) != 1 || !SetNonBlocking(state.socket.get())) {
        LogMessage(dclog::kError, "Failed to establish SSL connection\n");
        SSL_shutdown(ssl.get());
        return false;
    }
    state.sslContext = std::move(context);
    state.ssl = std::move(ssl);
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
