#include "tools/ipc-service/ServiceCrypto.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>

namespace {

constexpr long kCertificateDays = 1;
constexpr size_t kTokenBytes = 20;

const char* CurveFor(int bits) {
    if (bits > 384) {
        return "P-521";
    }
    return bits > 256 ? "P-384" : "P-256";
}

}  // namespace

ossl::PkeyPtr GenerateKey(KeyType type, int bits) {
    switch (type) {
        case KeyType::kRsa:
            return ossl::PkeyPtr(EVP_RSA_gen(static_cast<unsigned>(bits > 0 ? bits : 2048)));
        case KeyType::kEc:
            return ossl::PkeyPtr(EVP_EC_gen(CurveFor(bits > 0 ? bits : 256)));
        case KeyType::kEd25519:
            return ossl::PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    }
    return nullptr;
}

ossl::PkeyPtr LoadPrivateKey(const std::string& path) {
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr) {
        return nullptr;
    }
    ossl::PkeyPtr key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
    fclose(file);
    return key;
}

ossl::X509Ptr MakeSelfSignedCertificate(EVP_PKEY* key) {
    ossl::X509Ptr cert(X509_new());
    if (!cert) {
        return nullptr;
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kCertificateDays * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ipc-service"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    const EVP_MD* digest = EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
    if (X509_sign(cert.get(), key, digest) <= 0) {
        return nullptr;
    }
    return cert;
}

bool WritePublicKeyPem(EVP_PKEY* key, const std::string& path) {
    const std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "we");
    if (file == nullptr) {
        return false;
    }
    const bool written = PEM_write_PUBKEY(file, key) == 1;
    const bool closed = fclose(file) == 0;
    // Renamed into place so that a watcher never reads half a key.
    return written && closed && rename(temporary.c_str(), path.c_str()) == 0;
}

Bytes RandomHashFor(const EVP_PKEY* key) {
    const EVP_MD* digest = IpcClient_SelectDigest(key);
    Bytes hash(digest != nullptr ? static_cast<size_t>(EVP_MD_get_size(digest)) : 32);
    RAND_bytes(hash.data(), static_cast<int>(hash.size()));
    return hash;
}

namespace {

// OpenSSL's signing calls are made twice: once without a buffer for the
// length, then for the signature itself.
template <typename SignCall>
std::optional<Bytes> SignTwoPass(SignCall sign) {
    size_t length = 0;
    if (!sign(nullptr, &length)) {
        return std::nullopt;
    }
    Bytes signature(length);
    if (!sign(signature.data(), &length)) {
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

}  // namespace

std::optional<Bytes> SignHash(EVP_PKEY* key, const Bytes& hash) {
    const EVP_MD* digest = IpcClient_SelectDigest(key);
    if (digest == nullptr) {
        ossl::MdCtxPtr context(EVP_MD_CTX_new());
        if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1) {
            return std::nullopt;
        }
        return SignTwoPass([&](unsigned char* out, size_t* length) {
            return EVP_DigestSign(context.get(), out, length, hash.data(), hash.size()) == 1;
        });
    }
    ossl::PkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), digest) <= 0) {
        return std::nullopt;
    }
    return SignTwoPass([&](unsigned char* out, size_t* length) {
        return EVP_PKEY_sign(context.get(), out, length, hash.data(), hash.size()) == 1;
    });
}

std::string HexOf(const unsigned char* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0xf]);
    }
    return text;
}

std::string Sha256Hex(const unsigned char* data, size_t length) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data, length, digest);
    return HexOf(digest, sizeof digest);
}

std::string ExpectedToken(int64_t clientId, const std::string& magic) {
    const std::string input = std::to_string(clientId) + magic;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    return HexOf(digest, kTokenBytes);
}
