// The least a daemon of this design can cost while idle: two threads that
// each wake every 500 ms from a timed semaphore wait (the IPC pollers) and
// one that wakes every 100 ms from poll() on a socket (the bus dispatch
// wait). The main thread sleeps until SIGTERM or SIGINT. Prints "READY"
// once all threads wait, so a measurement can start.
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

constexpr long kTakeMs = 500;
constexpr int kDispatchMs = 100;

std::atomic<bool> gStop{false};

void TimedTakes(sem_t* never) {
    while (!gStop.load()) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += kTakeMs * 1000000L;
        deadline.tv_sec += deadline.tv_nsec / 1000000000L;
        deadline.tv_nsec %= 1000000000L;
        sem_timedwait(never, &deadline);
    }
}

void DispatchWaits(int quietSocket) {
    while (!gStop.load()) {
        pollfd entry{quietSocket, POLLIN, 0};
        poll(&entry, 1, kDispatchMs);
    }
}

}  // namespace

int main() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        perror("socketpair");
        return 1;
    }
    sem_t inbound;
    sem_t outbound;
    sem_init(&inbound, 0, 0);
    sem_init(&outbound, 0, 0);
    std::thread inboundPoller(TimedTakes, &inbound);
    std::thread outboundPoller(TimedTakes, &outbound);
    std::thread dispatcher(DispatchWaits, pair[0]);
    printf("READY\n");
    fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    gStop.store(true);
    inboundPoller.join();
    outboundPoller.join();
    dispatcher.join();
    close(pair[0]);
    close(pair[1]);
    return 0;
}
