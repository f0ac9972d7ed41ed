// A private temp directory for one test, and small file helpers.
#pragma once

#include <string>

namespace sandbox {

// Created fresh (mode 0755, so children running as another user can reach
// what the test puts there) and removed with everything below it.
class TempDir {
  public:
    // Throws std::runtime_error when the directory cannot be made.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& relative) const { return path_ + "/" + relative; }
    // Writes bytes to a file below the directory, creating its parent
    // directories, and returns its full path. Throws when it cannot.
    std::string Write(const std::string& relative, const std::string& bytes, unsigned mode = 0644) const {
        return WriteAt(File(relative), bytes, mode);
    }
    // The same for any path.
    static std::string WriteAt(const std::string& path, const std::string& bytes, unsigned mode = 0644);

  private:
    std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace sandbox
