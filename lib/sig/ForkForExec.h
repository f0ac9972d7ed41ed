// Forking a child that is about to exec another program, from a process
// with signal handlers and several threads.
#pragma once

#include <sys/types.h>

// fork with every signal blocked across it, so that no handler of this
// process (the fatal-signal handlers log and dump core) can run in the child
// before the child has reset it; the caller's mask is back on return. As
// fork: the child's pid, 0 in the child, -1 with errno set.
pid_t Sig_ForkForExec();

// In the child, just before exec (async-signal-safe): every disposition
// back to its default, then no signal blocked, so the new program starts
// with none of this process's signal handling.
void Sig_ResetForExec();
