// The daemon as a child of the supervisor, and every process it leaves
// behind: the supervisor is a child subreaper, so the daemon's children
// that outlive it become the supervisor's children, and none is lost.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

class DaemonProcess {
  public:
    explicit DaemonProcess(std::string path);

    // Starts the daemon with this process's environment; false (with a
    // message on standard error) when it cannot be started.
    bool Start();
    bool Running() const { return pid_ > 0; }
    // Reaps every ended child; the daemon's wait status when it was among
    // them.
    std::optional<int> Reap();
    // Ends the daemon and every other child: SIGTERM, then SIGKILL to what
    // is left after `grace`, waiting until all are reaped.
    void StopAll(std::chrono::milliseconds grace);

  private:
    std::string path_;
    pid_t pid_ = -1;
};

// Makes this process the reaper of its descendants' orphans.
bool BecomeSubreaper();
