// Keys, certificate, signatures and tokens of the reference IPC service.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/ipc/OpenSslPtr.h"
#include "src/ipc/SignatureDigest.h"
#include "tools/ipc-service/ServiceOptions.h"

using Bytes = std::vector<unsigned char>;

ossl::PkeyPtr GenerateKey(KeyType type, int bits);
ossl::PkeyPtr LoadPrivateKey(const std::string& path);
ossl::X509Ptr MakeSelfSignedCertificate(EVP_PKEY* key);
bool WritePublicKeyPem(EVP_PKEY* key, const std::string& path);

// A fresh random "server hash" of the size the client's digest expects.
Bytes RandomHashFor(const EVP_PKEY* key);
std::optional<Bytes> SignHash(EVP_PKEY* key, const Bytes& hash);

// First 20 bytes of SHA-256 over the decimal client id and the magic, as
// 40 lower-case hex characters.
std::string ExpectedToken(int64_t clientId, const std::string& magic);
std::string HexOf(const unsigned char* data, size_t length);
std::string Sha256Hex(const unsigned char* data, size_t length);
