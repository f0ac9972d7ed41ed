// The foundation library's poll loop: a table of descriptor readers behind
// a replaceable implementation.
//
// The daemon's own threads do their waiting elsewhere, so the default
// implementation only keeps the registrations and runs the readers of ready
// descriptors when its owner calls Poll_DispatchOnce.
//
// Thread safety: registration and dispatch may come from any thread; a
// reader runs on the thread that called Poll_DispatchOnce, without the
// loop's lock held, so it may (un)register readers itself. Installing and
// removing the implementation belong to the main thread.
#pragma once

using PollReader = void (*)(void* clientData);

// An implementation; Poll_InitWithImpl takes a copy.
struct PollImpl {
    bool (*init)();
    void (*exit)();
    bool (*addReader)(int fd, PollReader reader, void* clientData);
    bool (*removeReader)(int fd, PollReader reader, void* clientData);
    int (*dispatchOnce)(int timeoutMs);
};

const PollImpl& Poll_DefaultImpl();

// Installs and initialises an implementation; false when one is installed
// already or its init fails.
bool Poll_InitWithImpl(const PollImpl& impl);
bool Poll_InitDefault();
// Calls the installed implementation's exit and forgets it.
void Poll_Exit();

// A reader is called whenever fd is readable. Registering the same triple
// twice, or without an installed implementation, fails.
bool Poll_AddReader(int fd, PollReader reader, void* clientData);
// False when the triple was not registered.
bool Poll_RemoveReader(int fd, PollReader reader, void* clientData);

// Waits up to timeoutMs for registered descriptors and runs their readers.
// Returns the number of readers run, or -1 without an implementation.
int Poll_DispatchOnce(int timeoutMs);
