#include "tools/ipc-service/ServiceSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "src/ipc/IpcWire.h"

namespace {

constexpr int kHandshakeTimeoutSeconds = 10;
constexpr int kSlowReaderBuffer = 4096;
constexpr int kFlushTimeoutMs = 5000;
constexpr size_t kWriteChunk = 16384;
constexpr uint32_t kOverlongLength = 1024 * 1024;
constexpr uint32_t kMidFrameLength = 1000;

bool gEpochTimes = false;

std::string Timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (gEpochTimes) {
        char epoch[32];
        snprintf(epoch, sizeof epoch, "%lld.%06ld", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
        return epoch;
    }
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[48];
    const size_t used = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    snprintf(text + used, sizeof text - used, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

std::string Printable(const char* data, size_t length, size_t limit) {
    std::string text;
    for (size_t i = 0; i < std::min(length, limit); ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            text.push_back(static_cast<char>(byte));
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    if (length > limit) {
        text += "...";
    }
    return text;
}

std::string BeHeader(uint32_t type, uint32_t length) {
    unsigned char header[ipcwire::kHeaderSize];
    ipcwire::PutBe32(header, type);
    ipcwire::PutBe32(header + 4, length);
    return std::string(reinterpret_cast<char*>(header), sizeof header);
}

void SetTimeouts(int fd, int seconds) {
    timeval timeout{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.flush()) {
            return false;
        }
    }
    return rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

void UseEpochTimes() {
    gEpochTimes = true;
}

namespace {

// Reaps the ended children among `children`, waiting for all of them
// unless `flags` holds WNOHANG, and keeps the highest exit status seen.
void ReapChildren(std::set<pid_t>& children, int flags, int& worst) {
    while (!children.empty()) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, flags);
        if (pid <= 0) {
            return;
        }
        children.erase(pid);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kExitSetup;
        worst = std::max(worst, code);
    }
}

}  // namespace

void EmitLine(const std::string& text) {
    printf("%s %s\n", Timestamp().c_str(), text.c_str());
    fflush(stdout);
}

ServiceSession::ServiceSession(const ServiceOptions& options, EVP_PKEY* key) : options_(options), key_(key) {}

int ServiceSession::Run() {
    if (!SetUpTls() || !Listen() || !Publish()) {
        return kExitSetup;
    }
    if (options_.clients > 1) {
        return ServeEach();
    }
    const int accepted = AcceptClient();
    if (accepted != kExitOk) {
        return accepted;
    }
    return Serve();
}

int ServiceSession::ServeEach() {
    std::set<pid_t> children;
    int served = 0;
    int worst = kExitOk;
    while (served < options_.clients) {
        ReapChildren(children, WNOHANG, worst);
        pollfd entry{listener_.get(), POLLIN, 0};
        if (poll(&entry, 1, options_.acceptTimeoutMs) != 1) {
            break;
        }
        dclog::UniqueFd client(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            continue;
        }
        ++served;
        const pid_t pid = fork();
        if (pid == 0) {
            listener_.reset();
            client_ = std::move(client);
            SetTimeouts(client_.get(), kHandshakeTimeoutSeconds);
            const int status = Serve();
            fflush(stdout);
            _exit(status);
        }
        if (pid > 0) {
            children.insert(pid);
        }
    }
    listener_.reset();
    ReapChildren(children, 0, worst);
    if (served == 0) {
        EmitLine("CLOSED no-client");
        return kExitNoClient;
    }
    return worst;
}

int ServiceSession::Serve() {
    if (options_.fault == Fault::kStallBeforeTls) {
        return StallUntilHangUp();
    }
    if (!StartTls() || !SendServerProof()) {
        Close("handshake-failed");
        return kExitProtocol;
    }
    if (IsStall(options_.fault) && options_.fault != Fault::kStallInReady) {
        return StallUntilHangUp();
    }
    const int infoStatus = CheckClientInfo();
    if (infoStatus != kExitOk) {
        Close(infoStatus == kExitTokenMismatch ? "token-mismatch" : "protocol-error");
        return infoStatus;
    }
    if (!SendAfterReady()) {
        return closed_ ? kExitOk : kExitSetup;
    }
    return options_.fault == Fault::kStallInReady ? StallUntilHangUp() : Loop();
}

bool ServiceSession::Listen() {
    listener_ = dclog::UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (options_.fault == Fault::kSlowReader) {
        // A small receive window makes the client feel back-pressure early.
        setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &kSlowReaderBuffer, sizeof kSlowReaderBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.get(), options_.clients > 1 ? SOMAXCONN : 1) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fprintf(stderr, "ipc-service: cannot listen on 127.0.0.1:%u: %s\n", options_.port, strerror(errno));
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

bool ServiceSession::Publish() {
    if (!WritePublicKeyPem(key_, options_.dir + "/rui.pub") ||
        !WriteFileAtomically(options_.dir + "/ipc.port", std::to_string(port_) + "\n")) {
        fprintf(stderr, "ipc-service: cannot write ipc.port and rui.pub in %s\n", options_.dir.c_str());
        return false;
    }
    printf("LISTENING %u\n", port_);
    fflush(stdout);
    return true;
}

int ServiceSession::AcceptClient() {
    pollfd entry{listener_.get(), POLLIN, 0};
    if (poll(&entry, 1, options_.acceptTimeoutMs) != 1) {
        EmitLine("CLOSED no-client");
        return kExitNoClient;
    }
    client_ = dclog::UniqueFd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client_.valid()) {
        fprintf(stderr, "ipc-service: accept failed: %s\n", strerror(errno));
        return kExitSetup;
    }
    listener_.reset();
    SetTimeouts(client_.get(), kHandshakeTimeoutSeconds);
    return kExitOk;
}

// One TLS context, with its certificate, for every client: the children
// that serve clients inherit it, so a connection costs a handshake and no
// more, as with an agent that set up its TLS once.
bool ServiceSession::SetUpTls() {
    context_.reset(SSL_CTX_new(TLS_server_method()));
    const ossl::X509Ptr certificate = MakeSelfSignedCertificate(key_);
    if (!context_ || !certificate || SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate(context_.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context_.get(), key_) != 1) {
        fprintf(stderr, "ipc-service: cannot set up TLS\n");
        return false;
    }
    SSL_CTX_set_mode(context_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return true;
}

bool ServiceSession::StartTls() {
    ssl_.reset(SSL_new(context_.get()));
    if (!ssl_ || SSL_set_fd(ssl_.get(), client_.get()) != 1 || SSL_accept(ssl_.get()) != 1) {
        fprintf(stderr, "ipc-service: TLS handshake failed\n");
        return false;
    }
    return true;
}

bool ServiceSession::WriteBlocking(const void* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const int written =
            SSL_write(ssl_.get(), static_cast<const char*>(data) + done, static_cast<int>(length - done));
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

bool ServiceSession::ReadBlocking(void* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const int got =
            SSL_read(ssl_.get(), static_cast<char*>(data) + done, static_cast<int>(length - done));
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool ServiceSession::SendServerProof() {
    const Bytes hash = RandomHashFor(key_);
    EVP_PKEY* signer = key_;
    ossl::PkeyPtr foreign;
    if (options_.fault == Fault::kForeignKey) {
        foreign = GenerateKey(KeyType::kRsa, EVP_PKEY_get_bits(key_));
        if (EVP_PKEY_get_base_id(key_) != EVP_PKEY_RSA) {
            foreign =
                GenerateKey(EVP_PKEY_get_base_id(key_) == EVP_PKEY_EC ? KeyType::kEc : KeyType::kEd25519,
                            EVP_PKEY_get_bits(key_));
        }
        signer = foreign.get();
    }
    std::optional<Bytes> signature = signer != nullptr ? SignHash(signer, hash) : std::nullopt;
    if (!signature) {
        fprintf(stderr, "ipc-service: cannot sign the server hash\n");
        return false;
    }
    if (options_.fault == Fault::kWrongSignature) {
        signature->back() ^= 0x01;
    }
    const std::string hashFrame = BeHeader(ipcwire::kTypeServerHash, static_cast<uint32_t>(hash.size())) +
                                  std::string(hash.begin(), hash.end());
    const std::string signatureFrame =
        BeHeader(ipcwire::kTypeServerSignature, static_cast<uint32_t>(signature->size())) +
        std::string(signature->begin(), signature->end());
    std::string proof =
        options_.fault == Fault::kWrongOrder ? signatureFrame + hashFrame : hashFrame + signatureFrame;
    if (options_.fault == Fault::kStallAfterTls) {
        proof.clear();
    } else if (options_.fault == Fault::kStallInHash) {
        proof.resize(hashFrame.size() / 2);
    } else if (options_.fault == Fault::kStallInSignature) {
        proof.resize(hashFrame.size() + signatureFrame.size() / 2);
    }
    return proof.empty() || WriteBlocking(proof.data(), proof.size());
}

int ServiceSession::CheckClientInfo() {
    unsigned char header[ipcwire::kHeaderSize];
    unsigned char record[ipcwire::kClientInfoSize];
    if (!ReadBlocking(header, sizeof header) || ipcwire::GetLe32(header) != ipcwire::kTypeClientInfo ||
        ipcwire::GetLe32(header + 4) != ipcwire::kClientInfoSize || !ReadBlocking(record, sizeof record)) {
        return kExitProtocol;
    }
    const std::string token(reinterpret_cast<char*>(record),
                            strnlen(reinterpret_cast<char*>(record), ipcwire::kMagicFieldSize));
    const std::string name(
        reinterpret_cast<char*>(record + ipcwire::kMagicFieldSize),
        strnlen(reinterpret_cast<char*>(record + ipcwire::kMagicFieldSize), ipcwire::kNameFieldSize));
    const auto clientId = static_cast<int64_t>(ipcwire::GetLe64(record + ipcwire::kClientIdOffset));
    const auto heartbeat = static_cast<int32_t>(ipcwire::GetLe32(record + ipcwire::kHeartbeatOffset));
    bool tokenOk = true;
    if (options_.desktopMagic) {
        tokenOk = token == ExpectedToken(clientId, *options_.desktopMagic) &&
                  (!options_.clientId || *options_.clientId == clientId);
    }
    std::ostringstream line;
    line << "CLIENT_INFO clientId=" << clientId << " name=" << Printable(name.data(), name.size(), 64)
         << " heartbeat=" << heartbeat << " token="
         << (!options_.desktopMagic ? "unchecked"
             : tokenOk              ? "ok"
                                    : "mismatch")
         << " raw=" << HexOf(header, sizeof header) << HexOf(record, sizeof record);
    EmitLine(line.str());
    return tokenOk ? kExitOk : kExitTokenMismatch;
}

void ServiceSession::QueueFrame(uint32_t type, const std::string& payload, bool announceLength) {
    pending_ += BeHeader(type, announceLength ? static_cast<uint32_t>(payload.size()) : 0) + payload;
    EmitLine("SENT type=" + std::to_string(type) + " length=" + std::to_string(payload.size()));
}

bool ServiceSession::QueueFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "ipc-service: cannot read %s\n", path.c_str());
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    QueueFrame(ipcwire::kTypeData, content.str());
    return true;
}

bool ServiceSession::SendAfterReady() {
    unsigned char ready[ipcwire::kReadySize] = {};
    ipcwire::PutBe32(ready, options_.fault == Fault::kBadReady ? ipcwire::kTypeData : ipcwire::kTypeReady);
    ipcwire::PutBe32(ready + 4, 4);
    const size_t readyLength = options_.fault == Fault::kStallInReady ? sizeof ready / 2 : sizeof ready;
    if (!WriteBlocking(ready, readyLength)) {
        Close("write-failed");
        return false;
    }
    if (options_.fault == Fault::kStallInReady) {
        return true;
    }
    EmitLine(options_.fault == Fault::kBadReady ? "READY type=4" : "READY");
    switch (options_.fault) {
        case Fault::kGarbageAfterReady:
            pending_ += "GARBAGE!GARBAGE!";
            break;
        case Fault::kNegativeLength:
            pending_ += BeHeader(ipcwire::kTypeData, 0x80000000u);
            break;
        case Fault::kOverlongLength:
            pending_ += BeHeader(ipcwire::kTypeData, kOverlongLength) + std::string(16, 'x');
            break;
        case Fault::kCloseMidFrame: {
            const std::string half = BeHeader(ipcwire::kTypeData, kMidFrameLength) + std::string(10, 'x');
            WriteBlocking(half.data(), half.size());
            Close("abrupt", true);
            return false;
        }
        case Fault::kZeroLength:
            QueueFrame(ipcwire::kTypeData, "");
            break;
        case Fault::kSlowReader:
            reading_ = false;
            if (options_.slowMs > 0) {
                resumeAt_ = Clock::now() + std::chrono::milliseconds(options_.slowMs);
            }
            break;
        default:
            break;
    }
    for (const std::string& path : options_.sendFiles) {
        if (!QueueFile(path)) {
            Close("bad-send-file");
            return false;
        }
    }
    if (options_.closeAfterMs > 0) {
        closeAt_ = Clock::now() + std::chrono::milliseconds(options_.closeAfterMs);
    }
    return true;
}

bool ServiceSession::FlushSome() {
    while (!pending_.empty()) {
        const size_t chunk = std::min(pending_.size(), kWriteChunk);
        const int written = SSL_write(ssl_.get(), pending_.data(), static_cast<int>(chunk));
        if (written <= 0) {
            const int error = SSL_get_error(ssl_.get(), written);
            return error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ;
        }
        pending_.erase(0, static_cast<size_t>(written));
    }
    return true;
}

bool ServiceSession::DrainReads() {
    char buffer[65536];
    for (;;) {
        const int got = SSL_read(ssl_.get(), buffer, sizeof buffer);
        if (got > 0) {
            received_.append(buffer, static_cast<size_t>(got));
            continue;
        }
        const int error = SSL_get_error(ssl_.get(), got);
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }
}

void ServiceSession::ParseFrames() {
    const auto* bytes = reinterpret_cast<const unsigned char*>(received_.data());
    size_t offset = 0;
    while (!closed_ && received_.size() - offset >= ipcwire::kHeaderSize) {
        const uint32_t type = ipcwire::GetLe32(bytes + offset);
        const uint32_t length = ipcwire::GetLe32(bytes + offset + 4);
        if (length > static_cast<uint32_t>(ipcwire::kMaxPayload)) {
            protocolError_ = true;
            Close("protocol-error");
            return;
        }
        if (received_.size() - offset - ipcwire::kHeaderSize < length) {
            break;
        }
        const char* payload = received_.data() + offset + ipcwire::kHeaderSize;
        EmitLine("RECV type=" + std::to_string(type) + " length=" + std::to_string(length) +
                 " header=" + HexOf(bytes + offset, ipcwire::kHeaderSize) +
                 " sha256=" + Sha256Hex(reinterpret_cast<const unsigned char*>(payload), length) +
                 " payload=" + Printable(payload, length, options_.printLimit));
        offset += ipcwire::kHeaderSize + length;
        ++framesReceived_;
        if (options_.closeAfterFrames > 0 && framesReceived_ >= options_.closeAfterFrames) {
            Close("after-frames");
        }
    }
    received_.erase(0, offset);
}

void ServiceSession::HandleCommand(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "send") {
        QueueFrame(ipcwire::kTypeData, argument);
    } else if (verb == "sendfile") {
        QueueFile(argument);
    } else if (verb == "resume") {
        reading_ = true;
        resumeAt_ = Clock::time_point::max();
    } else if (verb == "close") {
        Close("command");
    } else if (!verb.empty()) {
        fprintf(stderr, "ipc-service: unknown command %s\n", verb.c_str());
    }
}

void ServiceSession::ReadCommands() {
    char buffer[4096];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
        commandsOpen_ = false;
        Close("end-of-commands");
        return;
    }
    commandBuffer_.append(buffer, static_cast<size_t>(got));
    size_t end;
    while (!closed_ && (end = commandBuffer_.find('\n')) != std::string::npos) {
        const std::string line = commandBuffer_.substr(0, end);
        commandBuffer_.erase(0, end + 1);
        HandleCommand(line);
    }
}

int ServiceSession::PollTimeoutMs() const {
    const Clock::time_point next = std::min(closeAt_, resumeAt_);
    if (next == Clock::time_point::max()) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

int ServiceSession::Loop() {
    fcntl(client_.get(), F_SETFL, fcntl(client_.get(), F_GETFL) | O_NONBLOCK);
    commandsOpen_ = options_.commands;
    while (!closed_) {
        if (!FlushSome()) {
            Close("peer-gone");
            break;
        }
        pollfd entries[2] = {
            {client_.get(), static_cast<short>((reading_ ? POLLIN : 0) | (pending_.empty() ? 0 : POLLOUT)),
             0},
            {commandsOpen_ ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(entries, 2, PollTimeoutMs()) < 0 && errno != EINTR) {
            Close("poll-failed");
            break;
        }
        if (Clock::now() >= resumeAt_) {
            reading_ = true;
            resumeAt_ = Clock::time_point::max();
        }
        if (Clock::now() >= closeAt_) {
            Close("after-ms");
            break;
        }
        if (entries[1].revents != 0) {
            ReadCommands();
        }
        if (!closed_ && reading_) {
            const bool open = DrainReads();
            ParseFrames();
            if (!open && !closed_) {
                Close("peer-closed");
            }
        }
    }
    return protocolError_ ? kExitProtocol : kExitOk;
}

// Sends nothing more and reads whatever arrives (so the client never finds
// its writes blocked) until the client hangs up. Past the handshake point
// the stall was set at, anything the client sends is reported: a client
// that is still waiting for the service must not have sent its record.
int ServiceSession::StallUntilHangUp() {
    EmitLine("STALLED");
    const auto giveUpAt = Clock::now() + std::chrono::milliseconds(options_.acceptTimeoutMs);
    char buffer[4096];
    while (Clock::now() < giveUpAt) {
        pollfd entry{client_.get(), POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) {
            continue;
        }
        if (!ssl_) {
            const ssize_t got = read(client_.get(), buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                break;
            }
            continue;
        }
        const int got = SSL_read(ssl_.get(), buffer, sizeof buffer);
        if (got > 0) {
            EmitLine("STALL_RECV length=" + std::to_string(got));
        } else if (SSL_get_error(ssl_.get(), got) != SSL_ERROR_WANT_READ) {
            break;
        }
    }
    Close(Clock::now() < giveUpAt ? "client-hung-up" : "stall-timeout", true);
    return kExitOk;
}

void ServiceSession::Close(const std::string& reason, bool abrupt) {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (ssl_ && !abrupt) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kFlushTimeoutMs);
        while (!pending_.empty() && Clock::now() < deadline && FlushSome()) {
            pollfd entry{client_.get(), POLLOUT, 0};
            poll(&entry, 1, 100);
        }
        SSL_shutdown(ssl_.get());
    }
    client_.reset();
    EmitLine("CLOSED " + reason);
}
