// Named semaphores of the daemon's queues that ended processes left in
// /dev/shm. The daemon removes its own user's at start-up; those of other
// users stay, and a new queue whose name one of them holds takes a fresh
// name instead.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lib/log/UniqueDir.h"
#include "src/ipc/BlockingQueue.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/InstalledDaemon.h"

namespace doctor {
namespace {

constexpr const char* kName = "leftovers";

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
}

struct Leftovers {
    int ours = 0;
    std::string others;  // "name (user)", comma-separated
};

Leftovers FindLeftovers(DIR* dir) {
    Leftovers found;
    while (const dirent* entry = readdir(dir)) {
        const pid_t pid = BlockingQueue_PidOfName(entry->d_name);
        struct stat st {};
        if (pid == 0 || Alive(pid) || fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
            ++found.ours;
            continue;
        }
        found.others += (found.others.empty() ? "" : ", ") + std::string(entry->d_name) + " (" +
                        UserName(st.st_uid) + ")";
    }
    return found;
}

}  // namespace

CheckResult CheckLeftovers() {
    dclog::UniqueDir dir = dclog::OpenDir(kSemaphoreDir);
    if (!dir) {
        return Warning(kName, std::string("cannot read ") + kSemaphoreDir, "mount /dev/shm");
    }
    const Leftovers found = FindLeftovers(dir.get());
    if (!found.others.empty()) {
        return Warning(kName, "names of ended daemons that this user cannot remove: " + found.others,
                       std::string("as root, remove them from ") + kSemaphoreDir);
    }
    if (found.ours > 0) {
        return Warning(kName,
                       std::to_string(found.ours) + " names of this user's ended daemons in " +
                           kSemaphoreDir + "; the daemon removes them when it starts",
                       "nothing to do, or start the daemon");
    }
    return Ok(kName, std::string("no names of ended daemons in ") + kSemaphoreDir);
}

}  // namespace doctor
