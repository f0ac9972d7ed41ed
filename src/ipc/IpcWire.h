// The IPC wire format shared by the client and the reference service.
//
// Frame: an 8-byte header (type, payload length) followed by the payload.
// The client writes both header fields little-endian; the service writes
// them big-endian and the client reads its length as a signed value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ipcwire {

inline constexpr uint32_t kTypeClientInfo = 1;
inline constexpr uint32_t kTypeServerHash = 2;
inline constexpr uint32_t kTypeServerSignature = 3;
inline constexpr uint32_t kTypeData = 4;
inline constexpr uint32_t kTypeHeartbeat = 6;
inline constexpr uint32_t kTypeReady = 7;
inline constexpr uint32_t kFirstType = 1;
inline constexpr uint32_t kLastType = 7;

inline constexpr size_t kHeaderSize = 8;
// The ready message is read as one block: header plus 4 uninterpreted bytes.
inline constexpr size_t kReadySize = 12;

// Client-info record: magic, client name, client id, heartbeat time-out.
inline constexpr size_t kMagicFieldSize = 40;
inline constexpr size_t kNameFieldSize = 40;
inline constexpr size_t kClientIdOffset = 80;
inline constexpr size_t kHeartbeatOffset = 88;
inline constexpr size_t kClientInfoSize = 92;

// Bounds on what the client will allocate for a length read from the wire.
// A digest is at most 64 bytes and a signature of a 16384-bit RSA key 2048,
// so the handshake frames get a tight bound; payloads get a generous one.
inline constexpr int32_t kMaxHandshakeFrame = 8192;
inline constexpr int32_t kMaxPayload = 64 * 1024 * 1024;

inline void PutLe32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void PutLe64(unsigned char* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void PutBe32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * (3 - i)));
    }
}

inline uint32_t GetLe32(const unsigned char* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

inline uint64_t GetLe64(const unsigned char* in) {
    return static_cast<uint64_t>(GetLe32(in)) | static_cast<uint64_t>(GetLe32(in + 4)) << 32;
}

inline uint32_t GetBe32(const unsigned char* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

}  // namespace ipcwire
