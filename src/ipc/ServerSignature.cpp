// Authentication of the service: it must hold the private key that belongs
// to the installed public key. The hash it sends is taken as an already
// computed digest; the client computes none of its own.
#include <openssl/pem.h>

#include <optional>
#include <string>

#include "lib/log/Log.h"
#include "src/ipc/FileText.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
#include "src/ipc/OpenSslPtr.h"
#include "src/ipc/SignatureDigest.h"

namespace {

ossl::PkeyPtr LoadPublicKey(const std::string& pemText) {
    ossl::BioPtr bio(BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size())));
    if (!bio) {
        LogMessage(dclog::kError, "Failed to create BIO mem\n");
        return nullptr;
    }
    ossl::PkeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        LogMessage(dclog::kError, "Failed to read public key\n");
    }
    return key;
}

ossl::PkeyCtxPtr MakeVerifyContext(EVP_PKEY* key) {
    ossl::PkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context) {
        LogMessage(dclog::kError, "Failed to create EVP_PKEY_CTX\n");
        return nullptr;
    }
    // The key type is judged before the verify set-up: keys such as
    // Ed25519 cannot even be set up for a plain verify, and their failure
    // should name the real cause, the unsupported type.
    const EVP_MD* digest = IpcClient_SelectDigest(key);
    if (digest == nullptr) {
        LogMessage(dclog::kError, "unsupported Key type\n");
        return nullptr;
    }
    if (EVP_PKEY_verify_init(context.get()) < 1) {
        LogMessage(dclog::kError, "Failed to init EVP_PKEY verify\n");
        return nullptr;
    }
    if (EVP_PKEY_CTX_set_signature_md(context.get(), digest) <= 0) {
        LogMessage(dclog::kError, "Failed to set signature digest\n");
        return nullptr;
    }
    return context;
}

}  // namespace

bool IpcClient_VerifyServerSignature(const unsigned char* hash, uint32_t hashLength,
                                     const unsigned char* signature, uint32_t signatureLength) {
    LogMessage(dclog::kInfo, "Verify server signature\n");
    const std::optional<std::string> pemText = ReadFileText(IpcState().paths.publicKeyFile);
    if (!pemText) {
        LogMessage(dclog::kError, "Failed to load public key\n");
        return false;
    }
    const ossl::PkeyPtr key = LoadPublicKey(*pemText);
    if (!key) {
        return false;
    }
    const ossl::PkeyCtxPtr context = MakeVerifyContext(key.get());
    if (!context) {
        return false;
    }
    return EVP_PKEY_verify(context.get(), signature, signatureLength, hash, hashLength) == 1;
}
