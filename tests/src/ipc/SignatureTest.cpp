#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/OpenSslPtr.h"

namespace {

// The digest follows the server key's type and size; the magic is masked
// to four characters in the log.
TEST(IpcClientHelpers, DigestFollowsKeyAndMagicIsMasked) {
    const std::pair<ossl::PkeyPtr, const char*> cases[] = {
        {ossl::PkeyPtr(EVP_RSA_gen(2048)), "SHA256"},
        {ossl::PkeyPtr(EVP_RSA_gen(3072)), "SHA384"},
        {ossl::PkeyPtr(EVP_EC_gen("P-256")), "SHA256"},
        {ossl::PkeyPtr(EVP_EC_gen("P-521")), "SHA512"},
        {ossl::PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")), "none"},
        {nullptr, "none"},
    };
    for (const auto& [key, name] : cases) {
        const EVP_MD* digest = IpcClient_SelectDigest(key.get());
        EXPECT_STREQ(digest == nullptr ? "none" : EVP_MD_get0_name(digest), name)
            << (key ? EVP_PKEY_get0_type_name(key.get()) : "no key") << " "
            << (key ? EVP_PKEY_get_bits(key.get()) : 0);
    }
    EXPECT_EQ(IpcClient_MaskMagic(nullptr), "NULL");
    EXPECT_EQ(IpcClient_MaskMagic("abcd"), "abcd");
    EXPECT_EQ(IpcClient_MaskMagic("abcde"), "abcd-***");
}

}  // namespace
