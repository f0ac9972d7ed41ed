// Which Linux distribution the host runs, from os-release, the release
// files, and lsb_release as the last resort.
#include <algorithm>
#include <cctype>
#include <sstream>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/DesktopConstants.h"
#include "src/core/IdentityFiles.h"
#include "src/core/ShortFile.h"

namespace {

std::string ToLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool Contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

std::string FromReleaseFiles(const std::string& dir) {
    static constexpr std::pair<const char*, std::string_view> kReleaseFiles[] = {
        {"/centos-release", desktop::kDistroCentos},
        {"/rocky-release", desktop::kDistroRocky},
        {"/redhat-release", desktop::kDistroRhel},
    };
    for (const auto& [file, distribution] : kReleaseFiles) {
        if (CommonUtils::FileExists(dir + file)) {
            return std::string(distribution);
        }
    }
    return {};
}

}  // namespace

namespace core {

std::string DistributionFromOsRelease(const std::string& path) {
    std::istringstream lines(ReadShortFile(path).value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        line = ToLower(line);
        if (line.size() < 3 || !line.starts_with("id=")) {
            continue;
        }
        std::string distribution = CommonUtils::MapDistribution(line);
        if (!distribution.empty()) {
            return distribution;
        }
    }
    return {};
}

std::string DetectDistribution(const DistributionSources& sources) {
    if (std::string found = DistributionFromOsRelease(sources.osReleasePath); !found.empty()) {
        return found;
    }
    if (std::string found = FromReleaseFiles(sources.releaseFileDir); !found.empty()) {
        return found;
    }
    std::string output;
    CommonUtils::ExecShell(sources.lsbCommand, output);
    return CommonUtils::MapDistribution(ToLower(output));
}

}  // namespace core

std::string CommonUtils::GetDistribution() {
    return core::DetectDistribution({});
}

std::string CommonUtils::MapDistribution(const std::string& text) {
    if (Contains(text, "rhel")) {
        return std::string(desktop::kDistroRhel);
    }
    if (Contains(text, "centos")) {
        return std::string(desktop::kDistroCentos);
    }
    if (Contains(text, "rocky")) {
        return std::string(desktop::kDistroRocky);
    }
    if (Contains(text, "ubuntu")) {
        return std::string(desktop::kDistroUbuntu);
    }
    if (Contains(text, "sled") || Contains(text, "sles") || Contains(text, "suse")) {
        return std::string(desktop::kDistroSuse);
    }
    if (Contains(text, "debian")) {
        return std::string(desktop::kDistroDebian);
    }
    LogMessage(dclog::kWarning, "Can not find the supported distribution from %s.\n", text.c_str());
    return {};
}
