#include "lib/config/DictionaryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "lib/config/ConfigLog.h"
#include "lib/log/Log.h"

namespace dcconfig {

namespace {

class FdOwner {
  public:
    explicit FdOwner(int fd) : fd_(fd) {}
    ~FdOwner() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

bool ReadAll(int fd, const std::string& name, std::string& text, MessageList& messages) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            int line = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
            messages.Add("@&!*@*@(msg.dictionary.read.readError)File \"%s\" line %d: %s.\n", name.c_str(),
                         line, std::strerror(errno));
            return false;
        }
    }
}

bool CheckIsFile(int fd, const std::string& path, MessageList& messages) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const char* reason = std::strerror(errno);
        Config_Log(dclog::kWarning, "%s: Unable to get information about file \"%s\": %s.\n",
                   "DictionaryLoad", path.c_str(), reason);
        messages.Add(
            "@&!*@*@(msg.dictionary.load.statFailed)Unable to get information about file \"%s\": %s.\n",
            path.c_str(), reason);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        Config_Log(dclog::kWarning, "%s: \"%s\" is a directory.\n", "DictionaryLoad", path.c_str());
        messages.Add("@&!*@*@(msg.dictionary.load.isDirectory)\"%s\" is a directory.\n", path.c_str());
        return false;
    }
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return true;
}

}  // namespace

std::optional<FileText> ReadDictionaryFile(const std::string& path, MessageList& messages) {
    FileText file;
    if (path == kStandardInputPath) {
        file.displayName = kStandardInputName;
        file.isStandardInput = true;
        return ReadAll(STDIN_FILENO, file.displayName, file.text, messages) ? std::optional(file)
                                                                            : std::nullopt;
    }
    file.displayName = path;
    FdOwner fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        const char* reason = std::strerror(errno);
        // A missing optional file is the common case; it is only noted.
        int level = errno == ENOENT ? dclog::kDebug : dclog::kWarning;
        Config_Log(level, "%s: Cannot open file \"%s\": %s.\n", "DictionaryLoad", path.c_str(), reason);
        messages.Add("@&!*@*@(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n", path.c_str(),
                     reason);
        return std::nullopt;
    }
    if (!CheckIsFile(fd.get(), path, messages) || !ReadAll(fd.get(), path, file.text, messages)) {
        return std::nullopt;
    }
    return file;
}

bool WriteDictionaryFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".XXXXXX";
    FdOwner fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        Config_Log(dclog::kWarning, "%s: Cannot create a file beside \"%s\": %s.\n", "DictionaryWrite",
                   path.c_str(), std::strerror(errno));
        return false;
    }
    bool written = WriteAll(fd.get(), text) && fchmod(fd.get(), 0644) == 0 && fsync(fd.get()) == 0;
    int error = errno;
    bool closed = close(fd.release()) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        error = written && closed ? errno : error;
        Config_Log(dclog::kWarning, "%s: Cannot write file \"%s\": %s.\n", "DictionaryWrite", path.c_str(),
                   std::strerror(error));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace dcconfig
