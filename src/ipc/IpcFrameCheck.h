// Checks of the headers the service sends, apart from the TLS reads that
// fetch them, so that they can be exercised on plain bytes. Each check logs
// its own failure record; the caller decides what the failure ends.
#pragma once

#include <cstdint>
#include <optional>

enum class IpcHandshakeCheck { kOk, kWrongType, kBadLength };

// A handshake header (server hash or signature): big-endian type and
// length. typeSeen and length are filled in every case. The length must be
// positive and within the handshake bound.
IpcHandshakeCheck IpcFrame_CheckHandshakeHeader(const unsigned char* header, uint32_t expectedType,
                                                uint32_t& typeSeen, int32_t& length);

// The 12-byte ready block: true when its big-endian type is
// IPC_MSG_TYPE_READY; the rest is not interpreted.
bool IpcFrame_CheckReady(const unsigned char* ready);

// The payload length of an inbound frame header (big-endian, signed), or
// nothing when it is negative or beyond the payload bound. The type is
// ignored.
std::optional<uint32_t> IpcFrame_PayloadLength(const unsigned char* header);
