// A child for sandboxed sessions that start processes through the daemon:
// records what it inherited. Usage: probe <report file> [--stdin] [args...]
// The report holds one line per open descriptor ("fd N -> target"), the
// real, effective and saved user ids, every argument, every environment
// entry and, with --stdin, the text that one read of descriptor 0 gives.
#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

extern char** environ;

namespace {

// Taken before the report file is opened, so only inherited descriptors
// show up.
void ListDescriptors(std::ostream& report) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        report << "fd listing failed\n";
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) {
            continue;
        }
        char target[4096] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        report << "fd " << entry->d_name << " -> " << (length > 0 ? target : "?") << "\n";
    }
    closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    // Written under a temporary name and renamed, so that a test waiting
    // for the report never sees half of it.
    const std::string finalPath = argv[1];
    const std::string partPath = finalPath + ".part";
    std::ostringstream descriptors;
    ListDescriptors(descriptors);
    std::ofstream report(partPath);
    report << descriptors.str();
    uid_t ids[3] = {};
    getresuid(&ids[0], &ids[1], &ids[2]);
    report << "uid " << ids[0] << " " << ids[1] << " " << ids[2] << "\n";
    for (int i = 0; i < argc; ++i) {
        report << "arg " << argv[i] << "\n";
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        report << "env " << *entry << "\n";
    }
    if (argc > 2 && strcmp(argv[2], "--stdin") == 0) {
        char text[4096] = {};
        ssize_t length = read(STDIN_FILENO, text, sizeof text - 1);
        report << "stdin " << (length > 0 ? text : "") << "\n";
    }
    report.close();
    return rename(partPath.c_str(), finalPath.c_str()) == 0 ? 0 : 1;
}
