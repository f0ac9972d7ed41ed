// One file as the agent or the system could leave it, read as the
// per-display desktop id file, as os-release and as the desktop magic; its
// first line also serves as a display name.
#include <array>
#include <string>
#include <string_view>

#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/FuzzSupport.h"
#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"

namespace dcfuzz {

namespace {

constexpr std::string_view kDesktopIdKey = "DESKTOPID=";
constexpr std::array<std::string_view, 7> kDistributions = {"",      "debian", "suse",  "rhel",
                                                            "rocky", "centos", "ubuntu"};

// The remainder of the first line starting with the key, found
// independently of the reader.
std::string ExpectedDesktopId(std::string_view text) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.starts_with(kDesktopIdKey)) {
            return std::string(line.substr(kDesktopIdKey.size()));
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return {};
}

bool IsLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void CheckDesktopId(const std::string& path, std::string_view text) {
    const std::string id = core::ReadDesktopIdFrom(path);
    Require(id == ExpectedDesktopId(text), "the desktop id is the rest of the first DESKTOPID= line");
}

void CheckDistribution(const std::string& path) {
    const std::string distribution = core::DistributionFromOsRelease(path);
    bool known = false;
    for (std::string_view name : kDistributions) {
        known = known || distribution == name;
    }
    Require(known, "os-release maps to a supported distribution or none");
}

void CheckMagicAndToken(const std::string& path, std::string_view text) {
    const std::string magic = core::ReadMagicFrom(path.c_str());
    const std::string_view expected = text.substr(0, 63);
    Require(magic == expected.substr(0, expected.find('\0')),
            "the magic is the file's first 63 bytes up to a zero");
    const std::string token = CommonUtils::GenerateDesktopToken(ExpectedDesktopId(text), magic);
    if (magic.size() == 40) {
        Require(token.size() == 40 && IsLowerHex(token), "a 40-character magic gives a 40-digit token");
    } else {
        Require(token.empty(), "a magic of another length gives no token");
    }
}

void CheckDisplayPath(std::string_view text) {
    const std::string display(text.substr(0, text.find('\n')));
    const std::string prefix = core::kDesktopIdPrefix;
    const std::string path = CommonUtils::GetDisplayFilePath(prefix, display);
    Require(path.starts_with(prefix), "the display file lies under the prefix");
    Require(display.ends_with(path.substr(prefix.size())), "the display part is the end of the display name");
}

}  // namespace

void FuzzDesktopId(const uint8_t* data, size_t size) {
    const std::string_view text = AsText(data, size);
    const std::string path = ScratchDir() + "/identity";
    WriteScratchFile(path, text);
    CheckDesktopId(path, text);
    CheckDistribution(path);
    CheckMagicAndToken(path, text);
    CheckDisplayPath(text);
}

}  // namespace dcfuzz
