// The purge of old default-named logs, run once at start: each user keeps
// at most keepOld logs of ended runs of the program in the log directory,
// however often the program starts.
//
// A file takes part only when it is a regular file of the effective user,
// looked at without following a link, and named exactly "<stem>-<pid>.log"
// or, for a piece that size rotation moved aside, "<stem>-<pid>-<n>.log".
// Other users' files in a shared directory are neither counted nor touched.
//
// The log of a live process is never deleted: a file counts only once
// kill(pid, 0) says its pid is gone, or the pid now belongs to a process
// that started after the file was last written (pids are reused, above all
// after a reboot, and such a file would otherwise be kept forever).
#pragma once

#include <string>

namespace dclog {

// Deletes the oldest files of ended runs until keepOld remain and returns
// how many it deleted. Each failure is logged and skipped.
int PurgeOldLogFiles(const std::string& directory, const std::string& stem, int keepOld);

}  // namespace dclog
