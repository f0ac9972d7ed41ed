// Child program for the process tests. argv[0] is whatever name the code
// under test gave it; argv[1] picks the behaviour. Results go to files, and
// a line on the test's FIFO says when something happened, so the tests wait
// for events instead of sleeping.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

void Notify(const char* fifo, const std::string& line) {
    int fd = open(fifo, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        _exit(120);
    }
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        _exit(121);
    }
    close(fd);
}

[[noreturn]] void WaitForever() {
    for (;;) {
        pause();
    }
}

std::vector<int> OpenFds() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return fds;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(dir)) {
            fds.push_back(atoi(entry->d_name));
        }
    }
    closedir(dir);
    return fds;
}

// report <out> <fifo> [VAR]: its pid, argv, the variable and its open fds.
int Report(int argc, char** argv) {
    const std::vector<int> fds = OpenFds();
    std::ofstream out(argv[2], std::ios::binary);
    out << "pid " << getpid() << "\n";
    for (int i = 0; i < argc; ++i) {
        out << "arg " << argv[i] << "\n";
    }
    if (argc > 4 && getenv(argv[4]) != nullptr) {
        out << "env " << argv[4] << "=" << getenv(argv[4]) << "\n";
    }
    for (int fd : fds) {
        out << "fd " << fd << "\n";
    }
    out.close();
    Notify(argv[3], "reported");
    return 0;
}

// grandchild <fifo>: a grandchild that keeps the inherited descriptors and
// never reads; the child itself waits for a signal.
int Grandchild(char** argv) {
    pid_t grandchild = fork();
    if (grandchild == 0) {
        WaitForever();
    }
    Notify(argv[2], "grandchild " + std::to_string(grandchild));
    WaitForever();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "exit" && argc > 2) {
        return atoi(argv[2]);
    }
    if (mode == "report" && argc > 3) {
        return Report(argc, argv);
    }
    if (mode == "wait" && argc > 2) {
        Notify(argv[2], "ready " + std::to_string(getpid()));
        WaitForever();
    }
    if (mode == "ignore-term" && argc > 2) {
        signal(SIGTERM, SIG_IGN);
        Notify(argv[2], "ready " + std::to_string(getpid()));
        WaitForever();
    }
    if (mode == "grandchild" && argc > 2) {
        return Grandchild(argv);
    }
    fprintf(stderr, "proc_helper: unknown mode %s\n", mode.c_str());
    return 64;
}
