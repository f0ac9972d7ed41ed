#include "tools/desktop-sandbox/LineReader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace sandbox {

LineReader::LineReader(int fd) : fd_(fd) {}

LineReader::~LineReader() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::optional<std::string> LineReader::ReadLine(std::chrono::steady_clock::time_point deadline) {
    while (true) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (!Fill(deadline)) {
            return std::nullopt;
        }
    }
}

bool LineReader::Fill(std::chrono::steady_clock::time_point deadline) {
    while (fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        std::array<char, 65536> buffer{};
        ssize_t count = read(fd_, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            close(fd_);
            fd_ = -1;
            return false;
        }
        pending_.append(buffer.data(), static_cast<std::size_t>(count));
        return true;
    }
    return false;
}

}  // namespace sandbox
