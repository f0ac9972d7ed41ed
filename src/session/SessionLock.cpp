#include "src/session/SessionLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool SessionLock::Acquire(const std::string& runtimeDir, const std::string& key) {
    const std::string dir = runtimeDir + "/desktopcontroller";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "desktopcontroller-session: cannot make %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    const std::string path = dir + "/session-" + key + ".lock";
    fd_.reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd_.valid()) {
        fprintf(stderr, "desktopcontroller-session: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "desktopcontroller-session: the controller of session %s already runs\n",
                key.c_str());
        return false;
    }
    return true;
}
