// Helpers for the preference store tests: a capture of every record the
// library logs, and a temporary directory removed with its content.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dcconfig::test {

// Diverts the library's records to memory while it lives.
class LogLines {
  public:
    LogLines();
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::string> All() const;
    bool Contains(const std::string& text) const;
    int Count(const std::string& text) const;
    int LevelOf(const std::string& text) const;  // -1 when absent
};

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // Writes a file below the directory and returns its full path.
    std::string Write(const std::string& relative, const std::string& content) const;

  private:
    std::filesystem::path path_;
};

}  // namespace dcconfig::test
