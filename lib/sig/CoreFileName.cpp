#include "lib/sig/CoreFileName.h"

#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log/Log.h"

namespace {

constexpr const char* kPatternPath = "/proc/sys/kernel/core_pattern";
constexpr const char* kUsesPidPath = "/proc/sys/kernel/core_uses_pid";
constexpr size_t kMaxPatternBytes = 66;
constexpr const char* kDefaultPattern = "core";
constexpr const char* kWildcard = "*";
// The dumping child ends itself with SIGABRT, so "%s" is always 6.
constexpr int kDumpSignal = 6;

// Appends to a fixed buffer; remembers whether anything was cut.
class BoundedText {
  public:
    BoundedText(char* out, size_t size) : out_(out), size_(size) { out_[0] = '\0'; }

    void Append(const char* text) {
        size_t length = strlen(text);
        if (used_ + length >= size_) {
            overflow_ = true;
            return;
        }
        memcpy(out_ + used_, text, length + 1);
        used_ += length;
    }
    void AppendChar(char c) {
        const char text[2] = {c, '\0'};
        Append(text);
    }
    void AppendNumber(unsigned long value) {
        char text[24];
        snprintf(text, sizeof text, "%lu", value);
        Append(text);
    }
    bool Overflowed() const { return overflow_; }

  private:
    char* out_;
    size_t size_;
    size_t used_ = 0;
    bool overflow_ = false;
};

const char* EffectivePattern(const char* pattern) {
    if (pattern == nullptr || pattern[0] == '\0') {
        return kDefaultPattern;
    }
    if (pattern[0] == '|') {
        LogMessage(dclog::kWarning, "Core dump pipes to process %s, core file unreliable\n", pattern + 1);
        return kDefaultPattern;
    }
    return pattern;
}

// Expands one specifier character; returns true when it was "%p".
bool ExpandSpecifier(char letter, const CorePatternInputs& in, BoundedText& text, bool* hasWildcard) {
    switch (letter) {
        case 'p':
            text.AppendNumber(static_cast<unsigned long>(in.pid));
            return true;
        case 'u':
            text.AppendNumber(in.uid);
            break;
        case 'g':
            text.AppendNumber(in.gid);
            break;
        case 's':
            text.AppendNumber(kDumpSignal);
            break;
        case 'h':
            text.Append(in.host != nullptr ? in.host : kWildcard);
            *hasWildcard = *hasWildcard || in.host == nullptr;
            break;
        case 'e':
        case 't':
            text.Append(kWildcard);
            *hasWildcard = true;
            break;
        case '%':
            text.AppendChar('%');
            break;
        default:
            break;
    }
    return false;
}

// Reads a small /proc file into buf without its trailing newline.
bool ReadProcText(const char* path, char* buf, size_t limit) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ssize_t n = read(fd, buf, limit);
    close(fd);
    if (n < 0) {
        return false;
    }
    buf[n] = '\0';
    if (n > 0 && buf[n - 1] == '\n') {
        buf[n - 1] = '\0';
    }
    return true;
}

bool ReadUsesPid() {
    char text[32];
    return ReadProcText(kUsesPidPath, text, sizeof text - 1) && strtol(text, nullptr, 10) != 0;
}

// Uses the single file matching the wildcard name, if there is exactly one.
void ResolveWildcard(char* name, size_t size) {
    glob_t matches{};
    if (glob(name, GLOB_NOSORT, nullptr, &matches) == 0 && matches.gl_pathc == 1 &&
        strlen(matches.gl_pathv[0]) < size) {
        strcpy(name, matches.gl_pathv[0]);
    }
    globfree(&matches);
}

}  // namespace

bool CoreFileName_Expand(const CorePatternInputs& in, char* out, size_t size, bool* hasWildcard) {
    *hasWildcard = false;
    const char* pattern = EffectivePattern(in.pattern);
    BoundedText text(out, size);
    if (pattern[0] != '/') {
        text.Append(in.cwd);
        text.AppendChar('/');
    }
    bool sawPid = false;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (*p != '%') {
            text.AppendChar(*p);
            continue;
        }
        if (p[1] == '\0') {
            break;
        }
        sawPid = ExpandSpecifier(*++p, in, text, hasWildcard) || sawPid;
    }
    if (in.usesPid && !sawPid) {
        text.AppendChar('.');
        text.AppendNumber(static_cast<unsigned long>(in.pid));
    }
    return !text.Overflowed();
}

bool CoreFileName_Get(pid_t pid, char* out, size_t size) {
    char pattern[kMaxPatternBytes + 1];
    char cwd[PATH_MAX];
    char host[HOST_NAME_MAX + 1];
    bool havePattern = ReadProcText(kPatternPath, pattern, kMaxPatternBytes);
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return false;
    }
    bool haveHost = gethostname(host, sizeof host) == 0;
    host[HOST_NAME_MAX] = '\0';
    CorePatternInputs in{havePattern ? pattern : nullptr,
                         ReadUsesPid(),
                         pid,
                         getuid(),
                         getgid(),
                         haveHost ? host : nullptr,
                         cwd};
    bool hasWildcard = false;
    if (!CoreFileName_Expand(in, out, size, &hasWildcard)) {
        return false;
    }
    if (hasWildcard) {
        ResolveWildcard(out, size);
    }
    return true;
}
