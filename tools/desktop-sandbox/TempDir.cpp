#include "tools/desktop-sandbox/TempDir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sandbox {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dc-sandbox-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || chmod(pattern.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot create a temp directory from " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteAt(const std::string& path, const std::string& bytes, unsigned mode) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!(file << bytes).flush() || chmod(path.c_str(), mode) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace sandbox
