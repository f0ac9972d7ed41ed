// The agent's files that decide whether the daemon can start: the IPC
// service's port file, which each start of the service writes anew, and
// the desktop magic. One inotify watch on their directory (or, until the
// agent makes it, on its parent) reports each change; nothing is polled.
#pragma once

#include <string>

#include "lib/log/UniqueFd.h"

class AgentFiles {
  public:
    explicit AgentFiles(std::string dir);

    bool Watch();
    int Fd() const { return inotify_.get(); }
    // Takes the pending events; true when the port file or the magic was
    // written, replaced or created since the last call.
    bool ChangedAfterEvents();
    bool PortFileExists() const;

  private:
    bool WatchDirOrParent();

    std::string dir_;
    dclog::UniqueFd inotify_;
    int watch_ = -1;
    bool watchingParent_ = false;
};
