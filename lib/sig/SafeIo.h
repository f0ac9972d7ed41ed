// Output for the dying process: plain write(2) calls that work inside a
// signal handler and after the heap or stdio may be broken.
#pragma once

#include <cstdarg>
#include <cstddef>

// Writes the whole text to fd, retrying on EINTR and short writes.
void SafeIo_Write(int fd, const char* text, size_t length);
void SafeIo_WriteText(int fd, const char* text);

// Formats into a fixed stack buffer (cut when too long) and writes to fd.
void SafeIo_Printf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));
