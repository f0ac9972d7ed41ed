#include "src/session/LogindSession.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

LogindSession::LogindSession(std::string id) : id_(std::move(id)) {}

bool LogindSession::Watch() {
    sd_login_monitor* monitor = nullptr;
    if (sd_login_monitor_new("session", &monitor) < 0) {
        fprintf(stderr, "desktopcontroller-session: cannot follow logind's sessions\n");
        return false;
    }
    monitor_.reset(monitor);
    if (Ended()) {
        fprintf(stderr, "desktopcontroller-session: logind session %s is not running\n", id_.c_str());
        return false;
    }
    return true;
}

int LogindSession::Fd() const {
    return sd_login_monitor_get_fd(monitor_.get());
}

bool LogindSession::EndedAfterChange() {
    sd_login_monitor_flush(monitor_.get());
    return Ended();
}

bool LogindSession::Ended() const {
    char* state = nullptr;
    if (sd_session_get_state(id_.c_str(), &state) < 0) {
        return true;
    }
    const bool ended = std::string(state) == "closing";
    free(state);
    return ended;
}
