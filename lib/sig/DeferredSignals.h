// Deferred delivery: the handler writes each siginfo record into a pipe,
// and the reader registered with the poll loop runs the callbacks later,
// outside signal context. Internal to lib/sig.
#pragma once

#include <csignal>

// Creates the pipe (non-blocking, close-on-exec on both ends so that no
// child inherits it) and registers its reader. False, logged, on failure.
bool DeferredSignals_Open();
// Unregisters the reader and closes both ends.
void DeferredSignals_Close();

// Called from the handler; async-signal-safe apart from its failure records.
void DeferredSignals_Queue(const siginfo_t* info);
