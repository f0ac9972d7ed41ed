#include "fuzz/entries/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace dcfuzz {

namespace {

// Owns the scratch directory; its destructor runs at exit.
class Scratch {
  public:
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/dcfuzz-XXXXXX";
        Require(mkdtemp(pattern.data()) != nullptr, "scratch directory can be made");
        path_ = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace

void Require(bool condition, const char* property) {
    if (!condition) {
        std::fprintf(stderr, "fuzz property violated: %s\n", property);
        std::abort();
    }
}

const std::string& ScratchDir() {
    static const Scratch scratch;
    return scratch.path();
}

void WriteScratchFile(const std::string& path, std::string_view bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Require(fd >= 0, "scratch file can be opened");
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        Require(n > 0, "scratch file can be written");
        done += static_cast<size_t>(n);
    }
    close(fd);
}

}  // namespace dcfuzz
