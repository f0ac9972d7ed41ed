#include "src/core/SecretWipe.h"

#include <openssl/crypto.h>

void WipeSecret(std::string& text) {
    // The whole capacity, not just size(): an earlier, longer value may
    // still sit behind the terminator.
    text.resize(text.capacity());
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

void WipeBytes(void* data, std::size_t size) {
    OPENSSL_cleanse(data, size);
}
