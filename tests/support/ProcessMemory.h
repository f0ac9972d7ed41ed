// Looks for a text in the memory of a running process, the way someone who
// may read its /proc/<pid>/mem would: every readable mapping, live or freed
// heap alike. Needs the right to read that process's memory (root here).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

#include "tools/desktop-sandbox/TempDir.h"

namespace dctest {

// How often needle occurs in the readable memory of the process. Regions
// larger than 1 GiB are address-space reservations (a sanitizer's shadow),
// never data. Slices overlap by the needle's length, so a copy that
// straddles two is found, and counted once.
inline size_t CountInMemory(pid_t pid, const std::string& needle) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::istringstream maps(sandbox::ReadFile(proc + "/maps"));
    int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    constexpr size_t kSlice = 1 << 20;
    std::string slice(kSlice + needle.size(), '\0');
    size_t count = 0;
    for (std::string line; mem >= 0 && std::getline(maps, line);) {
        unsigned long start = 0;
        unsigned long end = 0;
        char perms[5] = {};
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
            line.find("[vvar]") != std::string::npos || end - start > (1ul << 30)) {
            continue;
        }
        for (unsigned long at = start; at < end; at += kSlice) {
            const ssize_t got =
                pread(mem, slice.data(), std::min<size_t>(slice.size(), end - at), static_cast<off_t>(at));
            std::string_view view(slice.data(), got > 0 ? static_cast<size_t>(got) : 0);
            for (size_t hit = view.find(needle); hit != std::string_view::npos && hit < kSlice;
                 hit = view.find(needle, hit + 1)) {
                ++count;
            }
        }
    }
    if (mem >= 0) {
        close(mem);
    }
    return count;
}

}  // namespace dctest
