// A bare OpenSSL connection over loopback, as the baseline for the IPC
// client's numbers: a server thread echoes every 1 KiB record it reads.
#pragma once

#include <cstddef>
#include <memory>

class BareTlsLoop {
  public:
    BareTlsLoop();
    ~BareTlsLoop();
    // Writes one message and reads its echo; false on any TLS failure.
    bool RoundTrip(const char* data, size_t length);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
