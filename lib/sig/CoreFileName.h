// Where the kernel put the core file of a given process.
//
// The kernel names core files after /proc/sys/kernel/core_pattern and
// core_uses_pid. The expansion is a pure function of its inputs so that
// every pattern can be checked without dumping a core; reading /proc and
// resolving wildcards sit in CoreFileName_Get.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct CorePatternInputs {
    const char* pattern;  // core_pattern text; nullptr or empty means "core"
    bool usesPid;         // core_uses_pid was non-zero
    pid_t pid;            // the process that dumped
    uid_t uid;
    gid_t gid;
    const char* host;  // nullptr when the host name cannot be read
    const char* cwd;   // directory of a relative pattern
};

// Expands the pattern into out. Sets *hasWildcard when a part the kernel
// fills in cannot be predicted here (time, executable name, unknown host)
// and was written as "*". A pattern that pipes cores to a program is
// logged and treated as "core". Returns false when out is too small.
bool CoreFileName_Expand(const CorePatternInputs& inputs, char* out, size_t size, bool* hasWildcard);

// The core file name for pid under the running kernel's settings. A name
// with wildcards is used only when exactly one file matches it; otherwise
// the expanded text itself is returned. False when the current directory
// cannot be read or the name does not fit.
bool CoreFileName_Get(pid_t pid, char* out, size_t size);
