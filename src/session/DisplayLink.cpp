#include "src/session/DisplayLink.h"

#include <X11/Xlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

DisplayLink::~DisplayLink() {
    // Closing a connection the server dropped would end the process in
    // Xlib's I/O error handler; the process is ending then anyway.
    if (display_ != nullptr && !lost_) {
        XCloseDisplay(display_);
    }
}

bool DisplayLink::Connect() {
    if (const char* wayland = getenv("WAYLAND_DISPLAY")) {
        return ConnectWayland(wayland);
    }
    const char* x = getenv("DISPLAY");
    name_ = x != nullptr ? x : "(unset)";
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) {
        fprintf(stderr, "desktopcontroller-session: cannot open display %s\n", name_.c_str());
        return false;
    }
    return true;
}

bool DisplayLink::ConnectWayland(const char* name) {
    name_ = name;
    const char* runtimeDir = getenv("XDG_RUNTIME_DIR");
    const std::string path =
        name[0] == '/' ? name : std::string(runtimeDir != nullptr ? runtimeDir : "") + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        fprintf(stderr, "desktopcontroller-session: Wayland socket path too long: %s\n", path.c_str());
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    wayland_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!wayland_.valid() ||
        connect(wayland_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fprintf(stderr, "desktopcontroller-session: cannot reach Wayland display %s: %s\n", name,
                strerror(errno));
        return false;
    }
    return true;
}

int DisplayLink::Fd() const {
    return display_ != nullptr ? ConnectionNumber(display_) : wayland_.get();
}

bool DisplayLink::LostAfterRead() {
    // What a server sends unasked (an X server's MappingNotify goes to every
    // client) is read here, past Xlib, and dropped: Xlib is never used
    // again on this connection.
    char buffer[4096];
    ssize_t got;
    while ((got = recv(Fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
    }
    lost_ = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    return lost_;
}
