// The floor for starting a child: fork + execv of the stamp helper, timed
// from just before fork to the stamp the helper takes at its first
// instruction. Usage: e2e_spawn_baseline HELPER COUNT. Prints one latency in
// microseconds per line.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double RealtimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Reads one line the helper wrote into the FIFO; the parent holds the FIFO
// open for reading and writing, so neither side blocks in open() and the
// line stays buffered after the helper has ended.
bool ReadStamp(int fifo, double& stamp) {
    std::string line;
    char byte = 0;
    while (read(fifo, &byte, 1) == 1) {
        if (byte == '\n') {
            stamp = strtod(line.c_str(), nullptr);
            return true;
        }
        line.push_back(byte);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: e2e_spawn_baseline HELPER COUNT\n");
        return 2;
    }
    const char* helper = argv[1];
    const int count = atoi(argv[2]);
    char dir[] = "/tmp/dc-spawn-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string fifoPath = std::string(dir) + "/stamps";
    mkfifo(fifoPath.c_str(), 0600);
    const int fifo = open(fifoPath.c_str(), O_RDWR | O_CLOEXEC);
    int status = fifo < 0 ? 1 : 0;
    for (int i = 0; i < count && status == 0; ++i) {
        const double start = RealtimeSeconds();
        const pid_t child = fork();
        if (child == 0) {
            execl(helper, "stamp", fifoPath.c_str(), static_cast<char*>(nullptr));
            _exit(255);
        }
        // The stamp is read once the child has ended: a child that failed
        // to exec wrote nothing, and the read would wait for ever.
        int childStatus = 0;
        double stamp = 0;
        const bool stamped = child > 0 && waitpid(child, &childStatus, 0) == child &&
                             WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0 &&
                             ReadStamp(fifo, stamp);
        status = stamped ? 0 : 1;
        if (stamped) {
            printf("%.1f\n", (stamp - start) * 1e6);
        }
    }
    if (fifo >= 0) {
        close(fifo);
    }
    unlink(fifoPath.c_str());
    rmdir(dir);
    return status;
}
