// The child whose first instruction is timed: appends one line with
// CLOCK_REALTIME as "<seconds>.<nanoseconds>" to the file given as the
// first argument, then exits. With "--hold" as the second argument it
// ignores SIGTERM before writing the line and then waits to be killed, so a
// stop has to escalate.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (argc < 2) {
        return 2;
    }
    const bool hold = argc > 2 && strcmp(argv[2], "--hold") == 0;
    if (hold) {
        signal(SIGTERM, SIG_IGN);
    }
    char line[48];
    const int length =
        snprintf(line, sizeof line, "%lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
    const int fd = open(argv[1], O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || write(fd, line, static_cast<size_t>(length)) != length) {
        return 1;
    }
    close(fd);
    while (hold) {
        pause();
    }
    return 0;
}
