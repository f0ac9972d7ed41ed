// A private X server for tests. Xvfb picks a free display number itself
// and reports it on its standard output (-displayfd 1), so start-up needs
// no guessing and no sleeping. It is stopped with SIGTERM (so that it
// removes its socket and lock file), then SIGKILL, and reaped.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/ChildProcess.h"

namespace dctest {

class XvfbServer {
  public:
    // Throws std::runtime_error when Xvfb cannot be started or does not
    // report a display within ten seconds.
    XvfbServer();
    ~XvfbServer() { server_.Stop(SIGTERM); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // The value for DISPLAY, e.g. ":3".
    const std::string& Display() const { return display_; }
    pid_t Pid() const { return server_.Pid(); }

    // True when an Xvfb binary is installed; tests skip otherwise.
    static bool Available();

  private:
    ChildProcess server_;
    std::string display_;
};

}  // namespace dctest
