#include "tests/lib/config/ConfigTestSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>

#include "lib/config/ConfigLog.h"

namespace dcconfig::test {

namespace {

std::mutex gMutex;
std::vector<std::pair<int, std::string>> gRecords;

void Capture(int level, const char* format, va_list args) {
    char text[8192];
    std::vsnprintf(text, sizeof text, format, args);
    std::lock_guard<std::mutex> guard(gMutex);
    gRecords.emplace_back(level, text);
}

}  // namespace

LogLines::LogLines() {
    std::lock_guard<std::mutex> guard(gMutex);
    gRecords.clear();
    Config_SetLogSink(Capture);
}

LogLines::~LogLines() {
    Config_SetLogSink(nullptr);
}

std::vector<std::string> LogLines::All() const {
    std::lock_guard<std::mutex> guard(gMutex);
    std::vector<std::string> lines;
    for (const auto& record : gRecords) {
        lines.push_back(record.second);
    }
    return lines;
}

bool LogLines::Contains(const std::string& text) const {
    return Count(text) > 0;
}

int LogLines::Count(const std::string& text) const {
    int count = 0;
    for (const std::string& line : All()) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

int LogLines::LevelOf(const std::string& text) const {
    std::lock_guard<std::mutex> guard(gMutex);
    for (const auto& record : gRecords) {
        if (record.second.find(text) != std::string::npos) {
            return record.first;
        }
    }
    return -1;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dc-config-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& relative, const std::string& content) const {
    std::filesystem::path file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
}

}  // namespace dcconfig::test
