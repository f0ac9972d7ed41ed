#include "bench/ipc/BareTlsLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "src/ipc/OpenSslPtr.h"
#include "lib/log/UniqueFd.h"

namespace {

constexpr size_t kEchoSize = 1024;

bool ReadExactly(SSL* ssl, char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const int got = SSL_read(ssl, data + done, static_cast<int>(length - done));
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

ossl::X509Ptr SelfSigned(EVP_PKEY* key) {
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_sign(cert.get(), key, EVP_sha256());
    return cert;
}

void NoDelay(int fd) {
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

}  // namespace

struct BareTlsLoop::Impl {
    ossl::PkeyPtr key{EVP_EC_gen("P-256")};
    ossl::SslCtxPtr serverContext{SSL_CTX_new(TLS_server_method())};
    ossl::SslCtxPtr clientContext{SSL_CTX_new(TLS_client_method())};
    dclog::UniqueFd listener{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    dclog::UniqueFd clientFd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    ossl::SslPtr client;
    std::thread server;

    void Serve(dclog::UniqueFd fd) {
        ossl::SslPtr ssl(SSL_new(serverContext.get()));
        SSL_set_fd(ssl.get(), fd.get());
        if (SSL_accept(ssl.get()) != 1) {
            return;
        }
        std::vector<char> buffer(kEchoSize);
        while (ReadExactly(ssl.get(), buffer.data(), buffer.size()) &&
               SSL_write(ssl.get(), buffer.data(), static_cast<int>(buffer.size())) > 0) {
        }
        SSL_shutdown(ssl.get());
    }
};

BareTlsLoop::BareTlsLoop() : impl_(std::make_unique<Impl>()) {
    const ossl::X509Ptr cert = SelfSigned(impl_->key.get());
    SSL_CTX_use_certificate(impl_->serverContext.get(), cert.get());
    SSL_CTX_use_PrivateKey(impl_->serverContext.get(), impl_->key.get());
    SSL_CTX_set_min_proto_version(impl_->clientContext.get(), TLS1_2_VERSION);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(impl_->listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(impl_->listener.get(), 1) != 0 ||
        getsockname(impl_->listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(impl_->clientFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("loopback set-up failed");
    }
    dclog::UniqueFd accepted(accept4(impl_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    NoDelay(accepted.get());
    NoDelay(impl_->clientFd.get());
    impl_->server =
        std::thread([impl = impl_.get(), fd = std::move(accepted)]() mutable { impl->Serve(std::move(fd)); });
    impl_->client.reset(SSL_new(impl_->clientContext.get()));
    SSL_set_fd(impl_->client.get(), impl_->clientFd.get());
    if (SSL_connect(impl_->client.get()) != 1) {
        throw std::runtime_error("TLS handshake failed");
    }
}

BareTlsLoop::~BareTlsLoop() {
    SSL_shutdown(impl_->client.get());
    shutdown(impl_->clientFd.get(), SHUT_RDWR);
    impl_->server.join();
}

bool BareTlsLoop::RoundTrip(const char* data, size_t length) {
    std::vector<char> echo(length);
    return SSL_write(impl_->client.get(), data, static_cast<int>(length)) > 0 &&
           ReadExactly(impl_->client.get(), echo.data(), echo.size());
}
