// Log levels of the IPC client's records beyond those named in lib/log.
#pragma once

namespace ipclog {

// The client's verbose records (port and magic, client info) use level 10,
// below debug and trace.
inline constexpr int kVerbose = 10;

}  // namespace ipclog
