// The one way this process dies on purpose: a failed internal check, an
// allocation that cannot be satisfied, or a fatal signal all end in Panic.
//
// Panic leaves a final explanation in the log (message, backtrace), tries a
// core dump when configured to, shows the message to the user, and ends the
// process with status 255. Re-entering it (a fault while panicking) ends the
// process at once with status 1, so a broken process can never loop.
//
// Thread safety: Panic may be called from any thread and from the fatal
// signal handler; only the first caller gets the full treatment.
#pragma once

#include <cstddef>
#include <cstdint>

// Exit statuses of the panic path.
inline constexpr int kPanicExitStatus = 255;
inline constexpr int kPanicLoopExitStatus = 1;

// The panic settings, read once from the preference store.
struct PanicSettings {
    bool coreDumpOnPanic = true;  // "coreDumpOnPanic"
    bool loopOnPanic = false;     // "panic.loopOnPanic"
    int32_t breakOnPanic = 0;     // "panic.breakOnPanic": stored only
    int32_t coreDumpFlags = 0;    // "coreDumpFlags": see kCoreDumpMakeDumpable
    bool postMessage = true;      // show the panic message to the user
};

// Reads the panic settings and routes failed VERIFY checks to Panic.
// Call after the preference store is initialised and before Sig_Init.
void Panic_Init();

// The settings in force (defaults until Panic_Init ran).
PanicSettings Panic_GetSettings();

// Called first thing by Panic, before anything is logged; for example to stop
// a watchdog. Pass nullptr to remove it.
using PanicHook = void (*)();
void Panic_SetHook(PanicHook hook);

// True once any thread entered Panic.
bool Panic_IsPanicking();

// Clears the loop flag so a process parked by "panic.loopOnPanic" goes on to
// exit; meant to be called from a debugger.
void Panic_StopLooping();

[[noreturn]] void Panic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Unrecoverable allocation failures, by source location or by request size.
[[noreturn]] void Panic_AllocFailedAt(const char* file, int line);
[[noreturn]] void Panic_AllocFailedSize(size_t bytes);
