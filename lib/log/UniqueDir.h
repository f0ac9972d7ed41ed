// Owner of one open directory stream, closed once when it goes out of scope;
// the directory scans of the daemon and its tools share it.
#pragma once

#include <dirent.h>

#include <memory>

namespace dclog {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

using UniqueDir = std::unique_ptr<DIR, DirCloser>;

inline UniqueDir OpenDir(const char* path) {
    return UniqueDir(opendir(path));
}

}  // namespace dclog
