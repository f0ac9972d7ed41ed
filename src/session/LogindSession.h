// The logind session the supervisor belongs to, followed through sd-login:
// a login monitor wakes the supervisor on every change of logind's
// sessions, and the session's state then tells whether it still runs.
#pragma once

#include <systemd/sd-login.h>

#include <memory>
#include <string>

class LogindSession {
  public:
    explicit LogindSession(std::string id);

    // Starts watching; false (with a message on standard error) when the
    // session is unknown to logind or already ending.
    bool Watch();
    int Fd() const;
    // Takes the pending change; true once the session has ended: logind no
    // longer knows it, or it is closing (its leader is gone, or it was
    // terminated, while processes of it remain).
    bool EndedAfterChange();
    const std::string& Id() const { return id_; }

  private:
    struct MonitorDeleter {
        void operator()(sd_login_monitor* monitor) const { sd_login_monitor_unref(monitor); }
    };

    bool Ended() const;

    std::string id_;
    std::unique_ptr<sd_login_monitor, MonitorDeleter> monitor_;
};
