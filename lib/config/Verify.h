// Internal consistency checks. A failed check is a bug, never bad input:
// it ends the process through the panic handler with the source position.
//
// Until a panic handler is installed (the signal library installs its
// Panic at start-up) the text goes to standard error and the process aborts.
#pragma once

[[noreturn]] void Verify_Fail(const char* format, const char* file, int line);

// The handler receives a printf format and its arguments. It must not return;
// if it does, the process aborts anyway.
using VerifyPanicHandler = void (*)(const char* format, ...);
void Verify_SetPanicHandler(VerifyPanicHandler handler);

#define VERIFY(cond)                                           \
    do {                                                       \
        if (!(cond)) {                                         \
            Verify_Fail("VERIFY %s:%d\n", __FILE__, __LINE__); \
        }                                                      \
    } while (0)

#define NOT_IMPLEMENTED() Verify_Fail("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__)
#define NOT_REACHED() Verify_Fail("NOT_REACHED %s:%d\n", __FILE__, __LINE__)
