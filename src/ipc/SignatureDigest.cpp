#include "src/ipc/SignatureDigest.h"

const EVP_MD* IpcClient_SelectDigest(const EVP_PKEY* key) {
    if (key == nullptr) {
        return nullptr;
    }
    const int bits = EVP_PKEY_get_bits(key);
    switch (EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_EC:
            return bits > 520 ? EVP_sha512() : bits >= 384 ? EVP_sha384() : EVP_sha256();
        case EVP_PKEY_RSA:
            return bits >= 4096 ? EVP_sha512() : bits >= 3072 ? EVP_sha384() : EVP_sha256();
        default:
            return nullptr;
    }
}
