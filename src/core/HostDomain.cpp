// The host's DNS domain, from the resolver's official name for the host.
#include <netdb.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"

namespace {

constexpr const char* kOp = "GetHostDomain";
constexpr std::size_t kInitialWorkSize = 1024;

struct FreeDeleter {
    void operator()(char* block) const { free(block); }
};
using WorkBuffer = std::unique_ptr<char, FreeDeleter>;

// The resolver's official name for host, empty when the entry has none;
// nullopt when resolving failed (already logged). The work buffer grows
// until gethostbyname_r has room.
std::optional<std::string> OfficialName(const std::string& host) {
    std::size_t size = kInitialWorkSize;
    WorkBuffer work(static_cast<char*>(malloc(size)));
    if (!work) {
        LogMessage(dclog::kError, "CommonUtils->%s failed to malloc %d.\n", kOp, static_cast<int>(size));
        return std::nullopt;
    }
    hostent entry{};
    hostent* result = nullptr;
    int resolverError = 0;
    int code = 0;
    while ((code = gethostbyname_r(host.c_str(), &entry, work.get(), size, &result, &resolverError)) ==
           ERANGE) {
        size *= 2;
        char* bigger = static_cast<char*>(realloc(work.get(), size));
        if (bigger == nullptr) {
            LogMessage(dclog::kError, "CommonUtils->%s Failed to realloc %d.\n", kOp, static_cast<int>(size));
            return std::nullopt;
        }
        static_cast<void>(work.release());
        work.reset(bigger);
    }
    if (code != 0 || result == nullptr) {
        LogMessage(dclog::kError, "CommonUtils->%s Failed to call gethostbyname_r, error: %s\n", kOp,
                   hstrerror(resolverError));
        return std::nullopt;
    }
    return std::string(entry.h_name != nullptr ? entry.h_name : "");
}

}  // namespace

std::string CommonUtils::GetHostDomain() {
    std::array<char, 64> buffer{};
    if (gethostname(buffer.data(), buffer.size()) != 0) {
        LogMessage(dclog::kError, "CommonUtils->%s Failed to get host name, error: %s\n", kOp,
                   strerror(errno));
        return buffer.data();
    }
    buffer.back() = '\0';
    std::string host(buffer.data());
    std::optional<std::string> resolved = OfficialName(host);
    if (!resolved) {
        return host;
    }
    const std::string& official = *resolved;
    if (official.empty()) {
        LogMessage(dclog::kWarning, "CommonUtils->%s hostfqdn is empty, use %s instead.\n", kOp,
                   host.c_str());
        return host;
    }
    auto dot = official.find('.');
    if (official == host || dot == std::string::npos) {
        return host;
    }
    return official.substr(dot + 1);
}
