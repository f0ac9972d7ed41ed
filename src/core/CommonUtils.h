// Static utilities of the controller core: the desktop magic and IPC token,
// the per-display desktop id file, the distribution, shell commands, file
// tests and the host's domain. The class has no instances.
//
// Every failure is reported by its result (empty text, false) plus one log
// record; nothing here throws except on memory exhaustion.
#pragma once

#include <cstddef>
#include <string>

class CommonUtils {
  public:
    CommonUtils() = delete;

    // Desktop identity and token.
    static std::string GetDesktopMagic();
    // Wipes the cached magic. Start-up calls it once the token is derived:
    // the machine-wide secret must not stay in the memory of a process that
    // goes on running with the desktop user's rights.
    static void ForgetDesktopMagic();
    static std::string GenerateDesktopToken(const std::string& desktopId, const std::string& magic);
    static std::string ToHexString(const unsigned char* data, unsigned count);
    static std::string GetDisplayFilePath(const std::string& prefix, const std::string& displayName);
    static std::string ReadDesktopId(const std::string& displayName);

    // Distribution detection.
    static std::string GetDistribution();
    static std::string MapDistribution(const std::string& text);

    // System utilities.
    static bool ExecShell(const std::string& command, bool wait);
    static bool ExecShell(const std::string& command, std::string& output);
    static bool FileExists(const std::string& path);
    static std::string GetHostDomain();
};
