#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/OpenSslPtr.h"

namespace {

const char* DigestName(const EVP_MD* digest) {
    return digest == nullptr ? "none" : EVP_MD_get0_name(digest);
}

TEST(IpcDigest, FollowsKeyTypeAndSize) {
    struct Case {
        ossl::PkeyPtr key;
        const char* digest;
    };
    Case cases[] = {
        {ossl::PkeyPtr(EVP_RSA_gen(2048)), "SHA256"},
        {ossl::PkeyPtr(EVP_RSA_gen(3072)), "SHA384"},
        {ossl::PkeyPtr(EVP_EC_gen("P-256")), "SHA256"},
        {ossl::PkeyPtr(EVP_EC_gen("P-384")), "SHA384"},
        {ossl::PkeyPtr(EVP_EC_gen("P-521")), "SHA512"},
        {ossl::PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")), "none"},
        {nullptr, "none"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(DigestName(IpcClient_SelectDigest(c.key.get())), c.digest)
            << (c.key ? EVP_PKEY_get0_type_name(c.key.get()) : "no key") << " "
            << (c.key ? EVP_PKEY_get_bits(c.key.get()) : 0);
    }
}

TEST(IpcMagicMask, ShowsAtMostFourCharacters) {
    EXPECT_EQ(IpcClient_MaskMagic(nullptr), "NULL");
    EXPECT_EQ(IpcClient_MaskMagic(""), "");
    EXPECT_EQ(IpcClient_MaskMagic("abcd"), "abcd");
    EXPECT_EQ(IpcClient_MaskMagic("abcde"), "abcd-***");
    EXPECT_EQ(IpcClient_MaskMagic("0123456789abcdefghij0123456789ABCDEFGHIJ"), "0123-***");
}

}  // namespace
