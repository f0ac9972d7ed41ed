#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <utility>

#include "src/core/CommonUtils.h"
#include "src/core/ShortFile.h"

namespace core {

dclog::UniqueFd OpenForReading(const std::string& path) {
    return dclog::UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

namespace {

std::optional<std::string> ReadAll(int fd) {
    std::string content;
    std::array<char, 4096> chunk;
    for (;;) {
        ssize_t count = read(fd, chunk.data(), chunk.size());
        if (count > 0) {
            content.append(chunk.data(), static_cast<size_t>(count));
        } else if (count == 0) {
            return content;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

// The content of the regular file open at fd; info receives its status.
std::optional<std::string> ReadRegular(const dclog::UniqueFd& fd, struct stat& info) {
    if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return ReadAll(fd.get());
}

}  // namespace

std::optional<std::string> ReadShortFile(const std::string& path) {
    struct stat info {};
    return ReadRegular(OpenForReading(path), info);
}

std::optional<OwnedText> ReadOwnedFile(const std::string& path) {
    struct stat info {};
    std::optional<std::string> content = ReadRegular(
        dclog::UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW)), info);
    if (!content) {
        return std::nullopt;
    }
    return OwnedText{std::move(*content), info.st_uid};
}

}  // namespace core

// Readability, not mere existence: a file the process may not read counts
// as absent, because every caller goes on to read or execute it. Opening
// without blocking keeps that meaning for a FIFO, whose plain open would
// wait for a writer.
bool CommonUtils::FileExists(const std::string& path) {
    return core::OpenForReading(path).valid();
}
