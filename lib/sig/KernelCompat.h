// Calls that the older systems the daemon supports lack: pidfd_open needs
// Linux 5.3, close_range with CLOSE_RANGE_CLOEXEC Linux 5.11 and glibc
// 2.34. Each has a fallback that needs neither, taken when the headers do
// not know the call or the kernel answers ENOSYS. A build with
// DC_FORCE_FALLBACKS always takes the fallbacks, so a new system can prove
// them.
#pragma once

#include <sys/types.h>

// A pidfd for the child, or -1 (errno set) when there is none to be had;
// the caller then watches the child without one.
int Compat_PidFdOpen(pid_t child);

// Marks every descriptor from lowest upwards close-on-exec. It runs
// between fork (or Sig_SpawnForExec) and exec: raw system calls only.
void Compat_CloseOnExecFrom(int lowest);
