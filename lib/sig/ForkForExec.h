// Starting a child that is about to exec another program, from a process
// with signal handlers and several threads.
#pragma once

#include <sys/types.h>

// Code that runs in a child of Sig_SpawnForExec before its exec. That child
// shares the parent's memory, so it must leave no trace there: it makes
// raw system calls only (a sanitizer's wrappers of open, close, sigaction
// or _exit keep tables in memory), and it is not instrumented itself.
#define SIG_CHILD_CODE __attribute__((no_sanitize("address", "thread")))

// fork with every signal blocked across it, so that no handler of this
// process (the fatal-signal handlers log and dump core) can run in the child
// before the child has reset it; the caller's mask is back on return. As
// fork: the child's pid, 0 in the child, -1 with errno set.
pid_t Sig_ForkForExec();

// Runs child(argument) in a vfork child: it shares this process's memory
// and this thread's stack until it execs or ends, so no page of the parent
// is copied however large it is, and the calling thread waits until then:
// on return the child runs the new program (or has ended). Every signal is
// blocked across it, as for Sig_ForkForExec. child is SIG_CHILD_CODE and
// ends with a successful execve or Sig_ExitChild. Returns the child's pid,
// or -1 with errno set. (ThreadSanitizer runs a vfork as a plain fork.)
pid_t Sig_SpawnForExec(void (*child)(void* argument), void* argument);

// In the child, just before exec (async-signal-safe, raw system calls
// only): every disposition back to its default, then no signal blocked, so
// the new program starts with none of this process's signal handling.
void Sig_ResetForExec();

// Ends a child of either kind with status, running nothing of this
// process: no atexit handlers, no sanitizer's report at exit.
[[noreturn]] void Sig_ExitChild(int status);
