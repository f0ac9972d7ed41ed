#include "lib/sig/SafeIo.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kPrintfBufferSize = 1024;

}  // namespace

void SafeIo_Write(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

void SafeIo_WriteText(int fd, const char* text) {
    SafeIo_Write(fd, text, strlen(text));
}

void SafeIo_Printf(int fd, const char* format, ...) {
    char buffer[kPrintfBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    SafeIo_WriteText(fd, buffer);
}
