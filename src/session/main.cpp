// desktopcontroller-session: runs DesktopController for the graphical
// session it is started in, from the systemd user unit or the XDG
// autostart entry, and ends with that session. Takes no arguments.
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "src/session/SessionLock.h"
#include "src/session/SessionPaths.h"
#include "src/session/SessionSupervisor.h"

namespace {

std::string TakeString(char* text) {
    std::string value = text;
    free(text);
    return value;
}

// The logind session this process belongs to when the session manager
// started it; else the one the environment names (what the desktop gave
// the user's systemd); else the user's graphical session; empty without
// logind.
std::string FindSessionId() {
    char* session = nullptr;
    if (sd_pid_get_session(0, &session) >= 0) {
        return TakeString(session);
    }
    if (const char* id = getenv("XDG_SESSION_ID"); id != nullptr && *id != '\0') {
        return id;
    }
    if (sd_uid_get_display(getuid(), &session) >= 0) {
        return TakeString(session);
    }
    return "";
}

}  // namespace

int main() {
    const std::string sessionId = FindSessionId();
    const char* display =
        getenv("WAYLAND_DISPLAY") != nullptr ? getenv("WAYLAND_DISPLAY") : getenv("DISPLAY");
    const char* runtimeDir = getenv("XDG_RUNTIME_DIR");
    if (sessionId.empty() && display == nullptr) {
        fprintf(stderr, "desktopcontroller-session: no graphical session here, exiting\n");
        return 1;
    }
    SessionLock lock;
    if (runtimeDir == nullptr || !lock.Acquire(runtimeDir, sessionId.empty() ? display : sessionId)) {
        return runtimeDir == nullptr ? 1 : 0;
    }
    fprintf(stderr, "desktopcontroller-session: controlling %s%s on display %s\n",
            sessionId.empty() ? "a desktop without logind session" : "logind session ", sessionId.c_str(),
            display != nullptr ? display : "(unset)");
    SessionSupervisor supervisor(SystemSessionPaths(), sessionId);
    return supervisor.Run();
}
