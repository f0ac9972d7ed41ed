// Path-taking building blocks behind the fixed-path operations of
// CommonUtils. The public operations always use the fixed system paths;
// these exist so that the reading and parsing can be exercised on files
// anywhere.
#pragma once

#include <sys/types.h>
#include <string>

namespace core {

// The fixed locations written by the agent.
inline constexpr const char* kDesktopMagicPath = "/var/tarvelo/brv_desktop_magic";
inline constexpr const char* kDesktopIdPrefix = "/var/tarvelo/brv_desktop/brv_desktopid.";

// Reads the magic from path exactly as stored (at most 63 bytes, cut at the
// first NUL byte). Empty on failure, after one log record.
std::string ReadMagicFrom(const char* path);

// Returns the value of the first "DESKTOPID=" line of the file at path,
// untrimmed. Empty on failure, after one log record.
std::string ReadDesktopIdFrom(const std::string& path);

// The value of the first "DESKTOPID=" line of an id file's content,
// untrimmed; empty when there is none.
std::string DesktopIdIn(const std::string& content);

// Where distribution detection looks. The defaults are the real system.
struct DistributionSources {
    std::string osReleasePath = "/etc/os-release";
    std::string releaseFileDir = "/etc";
    std::string lsbCommand = "lsb_release -is";
};

std::string DetectDistribution(const DistributionSources& sources);

// The distribution named by the first "ID=" line (any case) of an
// os-release file that maps to a supported one; empty when none does or the
// file cannot be read.
std::string DistributionFromOsRelease(const std::string& path);

// Finds the first process under procRoot (normally "/proc/") whose comm
// name equals name exactly; -1 when there is none.
pid_t FindProcessIn(const std::string& procRoot, const std::string& name);

}  // namespace core
