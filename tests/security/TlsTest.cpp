// The client's side of the TLS connection and of the service check, against
// a service written here that misbehaves on purpose: an old protocol only,
// a renegotiation request after the handshake, and handshake frames beyond
// the bounds. A signature made without the published key is refused in the
// handshake tests of the IPC client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClientState.h"
#include "src/ipc/IpcWire.h"
#include "src/ipc/OpenSslPtr.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace {

using namespace std::chrono_literals;

enum class Misbehaviour { kOldProtocolOnly, kRenegotiate, kHugeHash, kNegativeHash, kHugeSignature };

ossl::X509Ptr SelfSigned(EVP_PKEY* key) {
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ipc"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_sign(cert.get(), key, EVP_sha256());
    return cert;
}

std::string Frame(uint32_t type, int32_t length, const std::string& payload) {
    unsigned char header[ipcwire::kHeaderSize];
    ipcwire::PutBe32(header, type);
    ipcwire::PutBe32(header + 4, static_cast<uint32_t>(length));
    return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

std::string Sign(EVP_PKEY* key, const std::string& digest) {
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    EVP_PKEY_sign_init(ctx.get());
    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
    size_t length = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(digest.data());
    EVP_PKEY_sign(ctx.get(), nullptr, &length, in, digest.size());
    std::string signature(length, '\0');
    EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, in, digest.size());
    signature.resize(length);
    return signature;
}

// One connection, served on its own thread.
class MisbehavingService {
  public:
    explicit MisbehavingService(Misbehaviour how)
        : how_(how), key_(EVP_RSA_gen(2048)), cert_(SelfSigned(key_.get())) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        dir_.Write("ipc.port", std::to_string(ntohs(address.sin_port)) + "\n");
        ossl::BioPtr pem(BIO_new(BIO_s_mem()));
        PEM_write_bio_PUBKEY(pem.get(), key_.get());
        char* text = nullptr;
        long length = BIO_get_mem_data(pem.get(), &text);
        dir_.Write("rui.pub", std::string(text, static_cast<size_t>(length)));
        thread_ = std::thread([this] { Serve(); });
    }
    ~MisbehavingService() {
        Join();
        close(listener_);
    }
    IpcClientPaths Paths() const { return {dir_.File("ipc.port"), dir_.File("none"), dir_.File("rui.pub")}; }
    int ClientHellos() const { return clientHellos_; }
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void Serve() {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        timeval wait{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ossl::SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
        SSL_CTX_use_certificate(ctx.get(), cert_.get());
        SSL_CTX_use_PrivateKey(ctx.get(), key_.get());
        if (how_ == Misbehaviour::kOldProtocolOnly) {
            SSL_CTX_set_security_level(ctx.get(), 0);
            SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0");
            SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
            SSL_CTX_set_max_proto_version(ctx.get(), TLS1_1_VERSION);
        } else {
            SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
        }
        SSL_CTX_set_app_data(ctx.get(), this);
        SSL_CTX_set_msg_callback(ctx.get(), [](int written, int, int type, const void* buf, size_t len,
                                               SSL* ssl, void*) {
            const auto* bytes = static_cast<const unsigned char*>(buf);
            if (written == 0 && type == SSL3_RT_HANDSHAKE && len > 0 && bytes[0] == SSL3_MT_CLIENT_HELLO) {
                static_cast<MisbehavingService*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))->clientHellos_++;
            }
        });
        ossl::SslPtr ssl(SSL_new(ctx.get()));
        SSL_set_fd(ssl.get(), fd);
        if (SSL_accept(ssl.get()) == 1) {
            Talk(ssl.get());
            SSL_shutdown(ssl.get());
        }
        close(fd);
    }

    void Talk(SSL* ssl) {
        std::string digest(32, '\0');
        RAND_bytes(reinterpret_cast<unsigned char*>(digest.data()), 32);
        const std::string signature = Sign(key_.get(), digest);
        std::string out;
        if (how_ == Misbehaviour::kHugeHash) {
            out = Frame(ipcwire::kTypeServerHash, ipcwire::kMaxHandshakeFrame + 1, digest);
        } else if (how_ == Misbehaviour::kNegativeHash) {
            out = Frame(ipcwire::kTypeServerHash, -32, digest);
        } else if (how_ == Misbehaviour::kHugeSignature) {
            out = Frame(ipcwire::kTypeServerHash, 32, digest) +
                  Frame(ipcwire::kTypeServerSignature, 0x7fffffff, signature);
        } else {
            out = Frame(ipcwire::kTypeServerHash, 32, digest) +
                  Frame(ipcwire::kTypeServerSignature, static_cast<int32_t>(signature.size()), signature);
        }
        SSL_write(ssl, out.data(), static_cast<int>(out.size()));
        char info[ipcwire::kHeaderSize + ipcwire::kClientInfoSize];
        if (SSL_read(ssl, info, sizeof info) <= 0) {
            return;
        }
        const std::string ready = Frame(ipcwire::kTypeReady, 4, std::string(4, '\0'));
        SSL_write(ssl, ready.data(), static_cast<int>(ready.size()));
        if (how_ == Misbehaviour::kRenegotiate) {
            SSL_renegotiate(ssl);
            SSL_do_handshake(ssl);
        }
        const std::string data = Frame(ipcwire::kTypeData, 11, "<Response/>");
        SSL_write(ssl, data.data(), static_cast<int>(data.size()));
        // Gives the client the chance to answer a renegotiation request;
        // returns on the client's alert or after the receive time-out.
        char sink[64];
        SSL_read(ssl, sink, sizeof sink);
    }

    Misbehaviour how_;
    ossl::PkeyPtr key_;
    ossl::X509Ptr cert_;
    ipctest::TempDir dir_;
    int listener_ = -1;
    std::atomic<int> clientHellos_{0};
    std::thread thread_;
};

const std::string kToken = ipctest::TokenFor(9, ipctest::kMagic);

bool Connect(const MisbehavingService& service, ipctest::Inbox& inbox) {
    return IpcClient_ConnectWithPaths(service.Paths(), 9, ipctest::Inbox::OnConnected,
                                      ipctest::Inbox::OnMessage, kToken.c_str(), "DesktopController", 0,
                                      &inbox);
}

TEST(Tls, ProtocolFloorIsTls12AndRenegotiationIsRefused) {
    {
        dclog::LogCapture capture;
        MisbehavingService old(Misbehaviour::kOldProtocolOnly);
        ipctest::Inbox inbox;
        EXPECT_FALSE(Connect(old, inbox));
        EXPECT_TRUE(capture.Contains("Failed to establish SSL connection\n"));
        EXPECT_EQ(inbox.connectedCalls, 0);
    }
    MisbehavingService service(Misbehaviour::kRenegotiate);
    ipctest::Inbox inbox;
    ASSERT_TRUE(Connect(service, inbox));
    EXPECT_EQ(SSL_CTX_get_min_proto_version(IpcState().sslContext.get()), TLS1_2_VERSION);
    EXPECT_TRUE(inbox.WaitForCount(1, 10s));
    service.Join();
    // The service's HelloRequest did not lead to a second handshake.
    EXPECT_EQ(service.ClientHellos(), 1);
    IpcClient_WaitForTerminate();
}

TEST(Tls, ServiceCheckCannotBeSkippedOrAbusedWithHugeFrames) {
    const std::pair<Misbehaviour, const char*> cases[] = {
        {Misbehaviour::kHugeHash, "Invalid length 8193 of handshake frame type 2\n"},
        {Misbehaviour::kNegativeHash, "Invalid length -32 of handshake frame type 2\n"},
        {Misbehaviour::kHugeSignature, "Invalid length 2147483647 of handshake frame type 3\n"},
    };
    for (const auto& [how, record] : cases) {
        SCOPED_TRACE(record);
        dclog::LogCapture capture(10);
        MisbehavingService service(how);
        ipctest::Inbox inbox;
        EXPECT_FALSE(Connect(service, inbox));
        EXPECT_TRUE(capture.Contains(record));
        EXPECT_TRUE(capture.Contains("Failed to verify server\n"));
        EXPECT_FALSE(capture.Contains("Send client info"));
    }
}

}  // namespace
