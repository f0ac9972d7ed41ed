// How the controller process gives up its start-up rights and how it ends.
//
// Every end of the process, normal or failed start-up, goes through
// CleanExit, so the log file is closed and the foundation library is torn
// down before exit() runs the static destructors.
#pragma once

class LoggerWrapper;

// Process exit statuses.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitStartupFailed = 1;

// Remembers the logger so that CleanExit can destroy it. Main thread only.
void SetLoggerSlot(LoggerWrapper* logger);

// Runs first in CleanExit: a thread that is still working (the lock
// monitor) must end while logging and signal handling still exist, and a
// finished thread must be joined before the process exits. Main thread only.
void SetBeforeExit(void (*hook)());

// Runs the before-exit hook, destroys the logger (when there is one), ends signal handling, shuts the
// poll loop down, tears down the preference store and calls exit(status).
[[noreturn]] void CleanExit(int status);

// In a set-user-id run, sets real, effective and saved user id to the real
// user id. The raw system call changes the calling thread only, so this
// must run while the process has a single thread. A drop that fails, or
// leaves any of the three ids elsewhere, ends the process at once (no exit
// handlers) with status 1 after one line on standard error.
void DropPrivileges();
