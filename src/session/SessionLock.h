// Makes the supervisor the only one of its session, whichever way the
// desktop started it (the systemd user unit, the XDG autostart entry or
// both): an exclusive lock on a file named after the session in the user's
// runtime directory, held for the life of the process.
#pragma once

#include <string>

#include "lib/log/UniqueFd.h"

class SessionLock {
  public:
    // key: the session id, or the display name where there is no session.
    // False when another supervisor holds the lock (or none can be taken;
    // both reported on standard error).
    bool Acquire(const std::string& runtimeDir, const std::string& key);

  private:
    dclog::UniqueFd fd_;
};
