// A connection to the session's display, held only to notice when the
// display goes away: an X connection (no events selected, so the server
// never writes to it) or a plain connection to the Wayland compositor's
// socket (which never gets a request). Either becomes readable, with end of
// file, when the server ends.
#pragma once

#include <string>

#include "lib/log/UniqueFd.h"

struct _XDisplay;

class DisplayLink {
  public:
    DisplayLink() = default;
    ~DisplayLink();
    DisplayLink(const DisplayLink&) = delete;
    DisplayLink& operator=(const DisplayLink&) = delete;

    // Connects to WAYLAND_DISPLAY when it is set, else to DISPLAY; false,
    // with a message on standard error, when neither can be reached.
    bool Connect();
    int Fd() const;
    // Reads what arrived; true when the server closed the connection.
    bool LostAfterRead();
    const std::string& Name() const { return name_; }

  private:
    bool ConnectWayland(const char* name);

    std::string name_;
    _XDisplay* display_ = nullptr;
    dclog::UniqueFd wayland_;
    bool lost_ = false;
};
