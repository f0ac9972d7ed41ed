// Process-wide signal handling.
//
// Sig_Init installs one handler for the signals that must never pass
// silently, ignores the terminal and broken-pipe signals, and catches and
// drops SIGCHLD and SIGWINCH:
//   - fatal (logged with registers, stack words and a backtrace, then Panic):
//     SIGQUIT SIGILL SIGABRT SIGBUS SIGFPE SIGUSR1 SIGSEGV SIGUSR2 SIGALRM
//     SIGSTKFLT SIGURG SIGXCPU SIGXFSZ SIGVTALRM SIGIO;
//   - terminating (logged, then re-raised with the default action, so the
//     parent sees the real signal): SIGHUP SIGINT SIGTERM SIGTSTP;
//   - ignored by the kernel: SIGPIPE SIGTTIN SIGTTOU (writes fail with EPIPE);
//   - caught and dropped: SIGCHLD SIGWINCH.
// Every other signal keeps the disposition the process inherited.
//
// Signals that Sig_Callback queues for deferred delivery travel through a
// pipe to the poll loop (lib/sig/PollLoop.h) and run there, outside the
// handler.
//
// Thread safety: Sig_Init, Sig_Exit and Sig_Callback belong to the main
// thread; the handler runs on whichever thread takes the signal.
#pragma once

#include <csignal>

inline constexpr int kSigMaxSignal = 64;

// Set in "coreDumpFlags": the dumping child makes itself dumpable again when
// a change of user id made it undumpable.
inline constexpr int kCoreDumpMakeDumpable = 0x1;

// Installs the handlers and creates the deferred-signal pipe. A second call
// only logs and succeeds. Returns false (and has logged) when the pipe or
// its poll-loop registration cannot be had.
bool Sig_Init();

// Removes the deferred-signal reader, closes the pipe and frees the
// core-dump region table. Handlers stay installed so that a fault during
// the rest of the exit path is still reported.
void Sig_Exit();

// The asynchronous signals of the fatal table: HUP INT TERM TSTP USR1 USR2
// ALRM VTALRM IO URG XCPU XFSZ STKFLT. A thread that takes one may be inside
// malloc or the log writer, where the handler cannot run safely. So the main
// thread blocks them before it starts any thread (every thread inherits the
// mask, and so every thread started from those) and takes them back once it
// does nothing but wait.
void Sig_BlockAsynchronous();
void Sig_UnblockAsynchronous();

// Dumps the core of the running process from a forked child, waits for it
// (bounded) and logs where the core file is. Returns true on a dump.
bool Sig_CoreDump();

// How a signal registered with Sig_Callback is delivered.
enum class SigMode {
    kFatal = 1,      // back to the built-in fatal handling
    kDeferred = 2,   // run the callback later on the poll-loop thread
    kImmediate = 4,  // run the callback inside the signal handler
    kIgnore = 5,     // catch and drop
};

// context is the handler's ucontext, or nullptr for a deferred delivery.
using SigCallback = void (*)(int signum, siginfo_t* info, void* context, void* clientData);

// Takes over one signal (1..64, not SIGKILL or SIGSTOP). With chain set, a
// fatal or immediate signal first runs the action that was installed before
// Sig_Init. Returns false (and has logged) for a bad signal number or a
// missing callback.
bool Sig_Callback(int signum, SigMode mode, SigCallback callback, void* clientData, bool chain = false);
