// The desktop magic, the IPC token derived from it, and the per-display
// desktop id file.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SecretWipe.h"
#include "src/core/ShortFile.h"

namespace {

constexpr std::size_t kMagicLength = 40;
constexpr std::size_t kMagicReadLimit = 63;
constexpr unsigned kTokenBytes = 20;
constexpr std::string_view kDesktopIdKey = "DESKTOPID=";
constexpr std::string_view kWaylandPrefix = "wayland-";

// Holds the magic until ForgetDesktopMagic, and wipes it when static
// destructors run at exit at the latest, so the secret never outlives the
// process image in readable form.
class MagicCache {
  public:
    MagicCache() { value_.reserve(kMagicReadLimit + 1); }
    ~MagicCache() { WipeSecret(value_); }
    MagicCache(const MagicCache&) = delete;
    MagicCache& operator=(const MagicCache&) = delete;

    std::string& value() { return value_; }

  private:
    std::string value_;
};

MagicCache& Cache() {
    static MagicCache cache;
    return cache;
}

struct DigestCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestCtxPtr = std::unique_ptr<EVP_MD_CTX, DigestCtxDeleter>;

const std::array<std::string, 256>& HexTable() {
    static const std::array<std::string, 256> table = [] {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::array<std::string, 256> entries;
        for (unsigned i = 0; i < entries.size(); ++i) {
            entries[i] = {kDigits[i >> 4], kDigits[i & 0xf]};
        }
        return entries;
    }();
    return table;
}

}  // namespace

namespace core {

std::string ReadMagicFrom(const char* path) {
    static constexpr const char* kOp = "GetDesktopMagic";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LogMessage(dclog::kError, "CommonUtils->%s: Fail to open file %s, %s.\n", kOp, path, strerror(errno));
        return {};
    }
    std::array<char, kMagicReadLimit + 1> buffer{};
    ssize_t count = read(fd, buffer.data(), kMagicReadLimit);
    int readErrno = errno;
    close(fd);
    std::string magic;
    if (count < 0) {
        LogMessage(dclog::kError, "CommonUtils->%s: Fail to read file %s, %s.\n", kOp, path,
                   strerror(readErrno));
    } else {
        magic.reserve(kMagicReadLimit + 1);
        magic.assign(buffer.data(), strnlen(buffer.data(), static_cast<std::size_t>(count)));
    }
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return magic;
}

std::string ReadDesktopIdFrom(const std::string& path) {
    std::optional<std::string> content = ReadShortFile(path);
    if (!content) {
        LogMessage(dclog::kError, "Failed to open file %s.\n", path.c_str());
        return {};
    }
    std::string id = DesktopIdIn(*content);
    if (id.empty()) {
        LogMessage(dclog::kError, "Failed to get desktop id from %s.\n", path.c_str());
    }
    return id;
}

std::string DesktopIdIn(const std::string& content) {
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(kDesktopIdKey)) {
            return line.substr(kDesktopIdKey.size());
        }
    }
    return {};
}

}  // namespace core

std::string CommonUtils::GetDesktopMagic() {
    std::string& cached = Cache().value();
    if (cached.empty()) {
        std::string fresh = core::ReadMagicFrom(core::kDesktopMagicPath);
        cached.assign(fresh);
        WipeSecret(fresh);
    }
    return cached;
}

void CommonUtils::ForgetDesktopMagic() {
    WipeSecret(Cache().value());
}

std::string CommonUtils::GenerateDesktopToken(const std::string& desktopId, const std::string& magic) {
    static constexpr const char* kOp = "GenerateDesktopToken";
    DigestCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) {
        return {};
    }
    if (magic.size() != kMagicLength) {
        LogMessage(dclog::kError,
                   "CommonUtils->%s: Invalid desktop magic number, expected length %d, actual length %zu.\n",
                   kOp, static_cast<int>(kMagicLength), magic.size());
        return {};
    }
    if (EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        LogMessage(dclog::kError, "CommonUtils->%s: Failed to init SHA256 context.\n", kOp);
        return {};
    }
    if (EVP_DigestUpdate(ctx.get(), desktopId.data(), desktopId.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), magic.data(), magic.size()) != 1) {
        LogMessage(dclog::kError, "CommonUtils->%s: Failed to update SHA256 string.\n", kOp);
        return {};
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &digestLength) != 1 || digestLength < kTokenBytes) {
        LogMessage(dclog::kError, "CommonUtils->%s: Failed to compute SHA256 digest.\n", kOp);
        return {};
    }
    std::string token = ToHexString(digest.data(), kTokenBytes);
    OPENSSL_cleanse(digest.data(), digest.size());
    return token;
}

std::string CommonUtils::ToHexString(const unsigned char* data, unsigned count) {
    const auto& table = HexTable();
    std::string text;
    if (data == nullptr || count == 0) {
        return text;
    }
    text.reserve(2 * static_cast<std::size_t>(count));
    for (unsigned i = 0; i < count; ++i) {
        text += table[data[i]];
    }
    return text;
}

std::string CommonUtils::GetDisplayFilePath(const std::string& prefix, const std::string& displayName) {
    std::string idPart;
    if (displayName.starts_with(kWaylandPrefix)) {
        idPart = displayName.substr(kWaylandPrefix.size());
    } else if (auto colon = displayName.find(':'); colon != std::string::npos) {
        idPart = displayName.substr(colon + 1);
    } else {
        idPart = displayName;
    }
    LogMessage(dclog::kDebug, "prefix: %s, display: %s, idPart: %s", prefix.c_str(), displayName.c_str(),
               idPart.c_str());
    return prefix + idPart;
}

std::string CommonUtils::ReadDesktopId(const std::string& displayName) {
    return core::ReadDesktopIdFrom(GetDisplayFilePath(core::kDesktopIdPrefix, displayName));
}
