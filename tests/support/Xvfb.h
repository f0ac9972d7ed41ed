// A private X server for tests. Xvfb picks a free display number itself
// and reports it through -displayfd, so start-up needs no guessing and no
// sleeping. The server is stopped (SIGTERM, then SIGKILL) and reaped by
// pid on destruction, and dies with the test process if that ends first.
#pragma once

#include <sys/types.h>

#include <string>

namespace dctest {

class XvfbServer {
  public:
    // Throws std::runtime_error when Xvfb cannot be started or does not
    // report a display within ten seconds.
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // The value for DISPLAY, e.g. ":3".
    const std::string& Display() const { return display_; }
    pid_t Pid() const { return pid_; }

    // True when an Xvfb binary is installed; tests skip otherwise.
    static bool Available();

  private:
    void Stop();

    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace dctest
