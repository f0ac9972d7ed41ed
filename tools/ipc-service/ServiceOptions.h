// Command line of the reference IPC service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class Fault {
    kNone,
    kWrongSignature,
    kForeignKey,
    kWrongOrder,
    kBadReady,
    kGarbageAfterReady,
    kNegativeLength,
    kOverlongLength,
    kCloseMidFrame,
    kSlowReader,
    kZeroLength,
    kStallBeforeTls,
    kStallAfterTls,
    kStallInHash,
    kStallInSignature,
    kStallInReady,
};

// The faults that stop sending partway through the handshake.
bool IsStall(Fault fault);

enum class KeyType { kRsa, kEc, kEd25519 };

struct ServiceOptions {
    std::string dir;
    uint16_t port = 0;
    KeyType keyType = KeyType::kRsa;
    int keyBits = 0;  // 0: 2048 for RSA, 256 for EC
    std::string keyFile;
    std::optional<std::string> desktopMagic;
    std::optional<int64_t> clientId;
    std::vector<std::string> sendFiles;
    bool commands = false;
    int closeAfterFrames = 0;
    int closeAfterMs = 0;
    int acceptTimeoutMs = 30000;
    int clients = 1;
    int slowMs = 5000;
    size_t printLimit = 4096;
    bool epochTimes = false;
    Fault fault = Fault::kNone;
};

// Exit statuses; documented in --help.
inline constexpr int kExitOk = 0;
inline constexpr int kExitSetup = 1;
inline constexpr int kExitProtocol = 2;
inline constexpr int kExitTokenMismatch = 3;
inline constexpr int kExitNoClient = 4;

// Parses argv; on --help prints the usage and sets helpShown. Errors are
// printed to stderr and give nothing.
std::optional<ServiceOptions> ParseServiceOptions(int argc, char** argv, bool& helpShown);
