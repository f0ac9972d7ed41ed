// The bytes the IPC service sends, read the way the client reads them:
// server hash frame, server signature frame, the 12-byte ready block, then
// data frames until the input ends or a header is refused.
#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/FuzzSupport.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
#include "src/ipc/IpcFrameCheck.h"
#include "src/ipc/IpcWire.h"

namespace dcfuzz {

namespace {

// The input as the TLS stream: a read that cannot be served whole fails
// and leaves the caller's zeroed buffer as it was, as a failed read does.
class Stream {
  public:
    Stream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Read(void* out, size_t n) {
        if (size_ - pos_ < n) {
            pos_ = size_;
            return false;
        }
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    size_t Remaining() const { return size_ - pos_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Network order decoded independently of the wire helpers.
uint32_t NetworkWord(const unsigned char* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return ntohl(word);
}

std::string PublicKeyFile(const char* algorithm, const char* parameter, const char* fileName) {
    EVP_PKEY* key = std::strcmp(algorithm, "EC") == 0
                        ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", parameter)
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
    Require(key != nullptr, "service key can be generated");
    const std::string path = ScratchDir() + "/" + fileName;
    BIO* out = BIO_new_file(path.c_str(), "w");
    Require(out != nullptr && PEM_write_bio_PUBKEY(out, key) == 1, "public key file can be written");
    BIO_free(out);
    EVP_PKEY_free(key);
    return path;
}

const std::string& KeyFile(bool rsa) {
    static const std::string ec = PublicKeyFile("EC", "P-256", "ec.pub");
    static const std::string rsaKey = PublicKeyFile("RSA", nullptr, "rsa.pub");
    return rsa ? rsaKey : ec;
}

// One handshake frame of the expected type; false ends the handshake.
bool ReadHandshakeFrame(Stream& in, uint32_t expectedType, std::vector<unsigned char>& body) {
    unsigned char header[ipcwire::kHeaderSize] = {};
    in.Read(header, sizeof header);
    uint32_t type = 0;
    int32_t length = 0;
    const IpcHandshakeCheck check = IpcFrame_CheckHandshakeHeader(header, expectedType, type, length);
    Require(type == NetworkWord(header), "handshake type is read in network order");
    Require(length == static_cast<int32_t>(NetworkWord(header + 4)),
            "handshake length is read in network order");
    const bool acceptable = type == expectedType && length > 0 && length <= ipcwire::kMaxHandshakeFrame;
    Require((check == IpcHandshakeCheck::kOk) == acceptable, "handshake frames are bounded and typed");
    Require(check != IpcHandshakeCheck::kWrongType || type != expectedType,
            "a wrong type is only reported for one");
    if (check != IpcHandshakeCheck::kOk) {
        return false;
    }
    body.assign(static_cast<size_t>(length), 0);
    return in.Read(body.data(), body.size());
}

void ReadDataFrames(Stream& in) {
    for (;;) {
        unsigned char header[ipcwire::kHeaderSize] = {};
        if (!in.Read(header, sizeof header)) {
            return;
        }
        const std::optional<uint32_t> length = IpcFrame_PayloadLength(header);
        const auto announced = static_cast<int32_t>(NetworkWord(header + 4));
        Require(length.has_value() == (announced >= 0 && announced <= ipcwire::kMaxPayload),
                "payload lengths are refused exactly when negative or oversized");
        if (!length) {
            return;
        }
        Require(*length == static_cast<uint32_t>(announced), "payload length is read in network order");
        // The client allocates before reading; a frame longer than what is
        // left would fail its read, so only frames that fit are allocated.
        if (in.Remaining() < *length) {
            return;
        }
        std::vector<char> payload(static_cast<size_t>(*length) + 1, '\0');
        in.Read(payload.data(), *length);
        Require(payload[*length] == '\0', "every payload is followed by a zero byte");
    }
}

}  // namespace

void FuzzFrames(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    IpcState().paths.publicKeyFile = KeyFile((data[0] & 1) != 0);
    Stream in(data + 1, size - 1);
    std::vector<unsigned char> hash;
    std::vector<unsigned char> signature;
    if (!ReadHandshakeFrame(in, ipcwire::kTypeServerHash, hash) ||
        !ReadHandshakeFrame(in, ipcwire::kTypeServerSignature, signature)) {
        return;
    }
    // A forged signature is refused; the rest of the stream is read anyway
    // so that the fuzzer can reach the ready block and the data frames.
    const bool verified =
        IpcClient_VerifyServerSignature(hash.data(), static_cast<uint32_t>(hash.size()), signature.data(),
                                        static_cast<uint32_t>(signature.size()));
    Require(!verified || signature.size() >= 8, "no trivially short signature is accepted");
    unsigned char ready[ipcwire::kReadySize] = {};
    in.Read(ready, sizeof ready);
    const bool isReady = IpcFrame_CheckReady(ready);
    Require(isReady == (NetworkWord(ready) == ipcwire::kTypeReady),
            "the ready type is read in network order");
    if (isReady) {
        ReadDataFrames(in);
    }
}

}  // namespace dcfuzz
