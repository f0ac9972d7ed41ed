#include "src/session/AgentFiles.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr const char* kPortFile = "ipc.port";
constexpr const char* kMagicFile = "brv_desktop_magic";
// Not IN_CREATE: a file written in place is complete only when closed.
constexpr uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB;

std::string ParentOf(const std::string& dir) {
    const size_t slash = dir.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

std::string BaseOf(const std::string& dir) {
    return dir.substr(dir.find_last_of('/') + 1);
}

}  // namespace

AgentFiles::AgentFiles(std::string dir) : dir_(std::move(dir)) {}

bool AgentFiles::Watch() {
    inotify_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotify_.valid() || !WatchDirOrParent()) {
        fprintf(stderr, "desktopcontroller-session: cannot watch %s: %s\n", dir_.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool AgentFiles::WatchDirOrParent() {
    if (watch_ >= 0) {
        inotify_rm_watch(inotify_.get(), watch_);
    }
    watch_ = inotify_add_watch(inotify_.get(), dir_.c_str(), kFileEvents | IN_DELETE_SELF);
    watchingParent_ = watch_ < 0 && errno == ENOENT;
    if (watchingParent_) {
        watch_ = inotify_add_watch(inotify_.get(), ParentOf(dir_).c_str(), IN_CREATE | IN_MOVED_TO);
        // The directory may have come between the two calls.
        if (watch_ >= 0 && access(dir_.c_str(), F_OK) == 0) {
            return WatchDirOrParent();
        }
    }
    return watch_ >= 0;
}

bool AgentFiles::ChangedAfterEvents() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    bool rewatch = false;
    ssize_t length;
    while ((length = read(inotify_.get(), buffer, sizeof buffer)) > 0) {
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const std::string name = event->len != 0 ? event->name : "";
            if (watchingParent_) {
                rewatch |= name == BaseOf(dir_);
            } else if ((event->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0) {
                rewatch = true;
            } else {
                changed |= name == kPortFile || name == kMagicFile;
            }
        }
    }
    if (rewatch && WatchDirOrParent() && !watchingParent_) {
        // The agent made its directory: whatever it holds already is new.
        changed = PortFileExists();
    }
    return changed;
}

bool AgentFiles::PortFileExists() const {
    return access((dir_ + "/" + kPortFile).c_str(), F_OK) == 0;
}
