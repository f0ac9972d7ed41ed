#include "src/ipc/IpcFrameCheck.h"

#include "lib/log/Log.h"
#include "src/ipc/IpcWire.h"

IpcHandshakeCheck IpcFrame_CheckHandshakeHeader(const unsigned char* header, uint32_t expectedType,
                                                uint32_t& typeSeen, int32_t& length) {
    typeSeen = ipcwire::GetBe32(header);
    length = static_cast<int32_t>(ipcwire::GetBe32(header + 4));
    if (typeSeen != expectedType) {
        return IpcHandshakeCheck::kWrongType;
    }
    if (length <= 0 || length > ipcwire::kMaxHandshakeFrame) {
        LogMessage(dclog::kError, "Invalid length %d of handshake frame type %d\n", length,
                   static_cast<int>(expectedType));
        return IpcHandshakeCheck::kBadLength;
    }
    return IpcHandshakeCheck::kOk;
}

bool IpcFrame_CheckReady(const unsigned char* ready) {
    const auto type = static_cast<int32_t>(ipcwire::GetBe32(ready));
    if (type != static_cast<int32_t>(ipcwire::kTypeReady)) {
        LogMessage(dclog::kError, "Expect IPC_MSG_TYPE_READY, but get %d\n", type);
        LogMessage(dclog::kError, "Failed to wait service ready\n");
        return false;
    }
    return true;
}

std::optional<uint32_t> IpcFrame_PayloadLength(const unsigned char* header) {
    const auto length = static_cast<int32_t>(ipcwire::GetBe32(header + 4));
    // Lengths beyond the payload bound are refused like negative ones, so a
    // corrupt header cannot make the client allocate gigabytes.
    if (length < 0 || length > ipcwire::kMaxPayload) {
        LogMessage(dclog::kError, "Invalid payload size %d(%x)\n", length, static_cast<unsigned>(length));
        return std::nullopt;
    }
    return static_cast<uint32_t>(length);
}
