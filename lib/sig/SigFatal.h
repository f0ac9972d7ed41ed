// The built-in handling of a fatal or terminating signal, run inside the
// signal handler (lib/sig/Sig.h lists which signals get it).
//
// Terminating signals (SIGHUP, SIGINT, SIGTERM, SIGTSTP) are logged and
// re-raised with their default action so the parent sees the real cause;
// every other one is logged with registers, stack words and a backtrace and
// ends in Panic. A fault inside this handling is caught by the fatal-entry
// counter: the second entry panics, any later one exits with status 1 at
// once, so a broken process can never loop here.
#pragma once

#include <csignal>

void SigFatal_Handle(int signum, siginfo_t* info, void* context);
