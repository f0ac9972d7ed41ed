#include "lib/log/LogPrefix.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>

#include "lib/log/Log.h"
#include "lib/log/LogLevels.h"

namespace dclog {
namespace {

struct ProductInfo {
    std::mutex mutex;
    std::string name, version, build, buildType;
};

ProductInfo& Product() {
    static ProductInfo* info = new ProductInfo;
    return *info;
}

thread_local char tOperationId[64];

// The last fresh stamp, packed so a signal handler can read it atomically:
// seconds since the epoch in the upper bits, milliseconds in the lower 10.
std::atomic<int64_t> gLastStampMillis{0};

// The calendar part of the stamp changes once a second; each thread keeps
// the last one it formatted, so most records skip gmtime_r (which takes the
// C library's time-zone lock) and one snprintf.
struct SecondStamp {
    time_t second = -1;
    char text[32] = {};
    int length = 0;
};
thread_local SecondStamp tSecondStamp;

void AppendFreshTimeStamp(LinePrefixText& out, const PrefixOptions& options, int64_t nowMicros) {
    const time_t seconds = static_cast<time_t>(nowMicros / 1000000);
    SecondStamp& cached = tSecondStamp;
    if (cached.second != seconds) {
        struct tm utc {};
        gmtime_r(&seconds, &utc);
        cached.length =
            snprintf(cached.text, sizeof cached.text, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                     utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        cached.second = seconds;
    }
    out.Append(cached.text, static_cast<size_t>(cached.length));
    if (options.useMilliseconds) {
        out.Printf(".%03d", static_cast<int>(nowMicros / 1000 % 1000));
    }
    out.Append("Z");
    gLastStampMillis.store(nowMicros / 1000);
}

// No calendar arithmetic of the C library here: it may take locks.
void AppendSignalTimeStamp(LinePrefixText& out, int64_t nowMicros) {
    const int64_t lastMillis = gLastStampMillis.load();
    const int64_t sinceMillis = nowMicros / 1000 - lastMillis;
    int64_t days = lastMillis / 1000 / 86400;
    const int64_t secondOfDay = lastMillis / 1000 % 86400;
    // Civil date from days since 1970-01-01.
    days += 719468;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    out.Printf("%04d-%02d-%02dT%02d:%02d:%02d%s[+%ld.%03ld]", year, month, day,
               static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
               static_cast<int>(secondOfDay % 60), "Z", static_cast<long>(sinceMillis / 1000),
               static_cast<long>(sinceMillis % 1000));
}

std::string OrUnknown(const std::string& text) {
    return text.empty() ? "unknown" : text;
}

std::string CodesetLine() {
    std::string codepage = "unknown";
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (locale != static_cast<locale_t>(0)) {
        codepage = nl_langinfo_l(CODESET, locale);
        freelocale(locale);
    }
    std::string encoding = codepage;
    if (codepage == "ANSI_X3.4-1968") {
        encoding = "US-ASCII";
    } else if (strcasecmp(codepage.c_str(), "utf8") == 0 || strcasecmp(codepage.c_str(), "utf-8") == 0) {
        encoding = "UTF-8";
    }
    return "Host codepage=" + codepage + " encoding=" + encoding + "\n";
}

std::string OsDescription() {
    struct utsname names {};
    if (uname(&names) != 0) {
        return "unknown";
    }
    std::string text = std::string(names.sysname) + " " + names.release + " " + names.version;
    std::ifstream release("/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string pretty = line.substr(12);
            if (pretty.size() >= 2 && pretty.front() == '"' && pretty.back() == '"') {
                pretty = pretty.substr(1, pretty.size() - 2);
            }
            text += " " + pretty;
        }
    }
    return text;
}

std::string Formatted(const char* format, auto... args) {
    char text[1024];
    snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace

int64_t WallClockMicros() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void LinePrefixText::Append(const char* part, size_t size) {
    const size_t room = sizeof text - 1 - length;
    const size_t taken = size < room ? size : room;
    memcpy(text + length, part, taken);
    length += taken;
    text[length] = '\0';
}

void LinePrefixText::Append(const char* part) {
    Append(part, strlen(part));
}

void LinePrefixText::Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(text + length, sizeof text - length, format, args);
    va_end(args);
    if (written > 0) {
        length += std::min(static_cast<size_t>(written), sizeof text - 1 - length);
    }
}

void FormatLinePrefix(const PrefixOptions& options, uint32_t address, int64_t nowMicros,
                      LinePrefixText& out) {
    if (options.useTimeStamps) {
        if (Log_InSignalHandler()) {
            AppendSignalTimeStamp(out, nowMicros);
        } else {
            AppendFreshTimeStamp(out, options, nowMicros);
        }
        out.Append(" ");
    }
    if (options.useLevelDesignator) {
        const int level = LevelOf(address);
        out.Printf("%s(%02d)%s ", LevelDesignator(level), level, IsMarked(address) ? "+" : "");
    }
    if (options.useThreadName) {
        out.Append(Log_GetThreadName());
        out.Append(" ");
    }
    if (options.useOpId) {
        out.Append(tOperationId[0] != '\0' ? tOperationId : "-");
        out.Append(" ");
    }
}

std::string LinePrefix(const PrefixOptions& options, uint32_t address, int64_t nowMicros, size_t room) {
    LinePrefixText text;
    FormatLinePrefix(options, address, nowMicros, text);
    std::string prefix;
    // One allocation for the prefix and the text the caller appends.
    prefix.reserve(text.length + room);
    prefix.append(text.text, text.length);
    return prefix;
}

void SetProductInfo(const std::string& name, const std::string& version, const std::string& build,
                    const std::string& buildType) {
    ProductInfo& info = Product();
    std::lock_guard guard(info.mutex);
    info.name = name;
    info.version = version;
    info.build = build;
    info.buildType = buildType;
}

long HostUtcOffset() {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

std::string HeaderText(const PrefixOptions& options, long utcOffsetSeconds, int64_t nowMicros) {
    const std::string prefix = LinePrefix(options, MessageAddress(0, kInfo), nowMicros);
    std::string text;
    {
        ProductInfo& info = Product();
        std::lock_guard guard(info.mutex);
        text += prefix + Formatted("Log for %s pid=%d version=%s build=%s option=%s\n",
                                   OrUnknown(info.name).c_str(), static_cast<int>(getpid()),
                                   OrUnknown(info.version).c_str(), OrUnknown(info.build).c_str(),
                                   OrUnknown(info.buildType).c_str());
    }
    text += prefix + Formatted("The host is %s.\n", sizeof(void*) == 8 ? "x86_64" : "x86");
    text += prefix + CodesetLine();
    if (!options.useTimeStamps) {
        PrefixOptions stampOnly;
        stampOnly.useMilliseconds = options.useMilliseconds;
        LinePrefixText stamp;
        AppendFreshTimeStamp(stamp, stampOnly, nowMicros);
        text += prefix + Formatted("Log creation time is %s%s%s\n", stamp.text, "", "");
    }
    text += Formatted("%sHost is %s\n", prefix.c_str(), OsDescription().c_str());
    const long minutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
    text += prefix + Formatted("Host offset from UTC is %+03d:%02d.\n",
                               static_cast<int>(utcOffsetSeconds / 3600), static_cast<int>(minutes % 60));
    return text;
}

}  // namespace dclog

void Log_SetOperationId(const char* id) {
    if (id == nullptr) {
        dclog::tOperationId[0] = '\0';
        return;
    }
    strncpy(dclog::tOperationId, id, sizeof dclog::tOperationId - 1);
    dclog::tOperationId[sizeof dclog::tOperationId - 1] = '\0';
}
