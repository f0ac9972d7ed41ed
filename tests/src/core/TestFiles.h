// Temp files for the core tests.
#pragma once

#include <string>

namespace coretest {

// A fresh temp directory, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Writes bytes to a file below the directory and returns its path.
    std::string Write(const std::string& name, const std::string& bytes, unsigned mode = 0644) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);

}  // namespace coretest
