// The agent's IPC service as the daemon reaches it: the port file, TCP,
// TLS, the signature against the installed public key and the user the
// service runs as. The check stops there, before the client-info record,
// so no token ever leaves.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "src/ipc/FileText.h"
#include "src/ipc/IpcClientPaths.h"
#include "src/ipc/IpcServiceCheck.h"
#include "src/ipc/SignatureDigest.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"
#include "tools/dc-doctor/ProblemRecords.h"

namespace doctor {
namespace {

constexpr const char* kName = "service";

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::unique_ptr<EVP_PKEY, KeyDeleter> LoadKey(const std::string& pem) {
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return std::unique_ptr<EVP_PKEY, KeyDeleter>(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The key and the digest the daemon would verify with, or why there are none.
CheckResult DescribeKey(const std::string& path) {
    const auto pem = ReadFileText(path);
    if (!pem) {
        return Failure(kName, "cannot read the public key " + path, "reinstall the agent");
    }
    const auto key = LoadKey(*pem);
    if (!key) {
        return Failure(kName, "the public key " + path + " does not parse as a PEM public key",
                       "reinstall the agent's public key");
    }
    const std::string type = EVP_PKEY_get0_type_name(key.get());
    const std::string bits = std::to_string(EVP_PKEY_get_bits(key.get()));
    const EVP_MD* digest = IpcClient_SelectDigest(key.get());
    if (digest == nullptr) {
        return Failure(
            kName, "the public key " + path + " is a " + type + " key, which the daemon cannot verify with",
            "the service must sign with an RSA or EC key");
    }
    return Ok(kName, type + " " + bits + "-bit key, digest " + EVP_MD_get0_name(digest));
}

std::string PortText(const std::string& path) {
    const auto text = ReadFileText(path);
    return text ? std::to_string(strtol(text->c_str(), nullptr, 10)) : std::string("?");
}

std::string Account(uid_t uid) {
    return "uid " + std::to_string(uid) + " (" + UserName(uid) + ")";
}

// The daemon refuses a service that another user runs: whoever holds the
// port may have replayed a signature recorded from the real service.
CheckResult OwnerFailure(const IpcServiceOwner& owner, const std::string& portFile) {
    const std::string found =
        owner.uid ? "belongs to " + Account(*owner.uid) : "has no owner that could be found";
    return Failure(kName,
                   "the service on port " + std::to_string(owner.port) + " " + found + ", expected root or " +
                       Account(owner.portFileOwner) + ", the owner of " + portFile,
                   "run the agent's IPC service as root or as the owner of " + portFile);
}

}  // namespace

CheckResult CheckService() {
    const IpcClientPaths paths = IpcClient_SystemPaths();
    CheckResult key = DescribeKey(paths.publicKeyFile);
    if (key.status != Status::kOk) {
        return key;
    }
    ProblemRecords problems;
    std::optional<IpcServiceOwner> owner;
    if (!IpcClient_CheckService(&owner)) {
        if (owner && !owner->Accepted()) {
            return OwnerFailure(*owner, paths.portFile);
        }
        return Failure(kName, "the service on the port in " + paths.portFile + " failed: " + problems.Text(),
                       "start the agent's IPC service; a port file left by a stopped service is stale");
    }
    return Ok(kName, "port " + PortText(paths.portFile) + " from " + paths.portFile + ", run by " +
                         Account(*owner->uid) + ", TLS up, signature verified against " +
                         paths.publicKeyFile + " (" + key.detail + ")");
}

}  // namespace doctor
