// Temp directories and in-memory settings layers for the log tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/log/LogFileSettings.h"

namespace logtest {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dclog-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

using Values = std::map<std::string, std::string>;

// A settings layer over a map; the map must outlive the layer.
inline dclog::SettingsLayer MapLayer(const Values& values) {
    dclog::SettingsLayer layer;
    layer.getString = [&values](const char* def, const char* name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it != values.end()) {
            return it->second;
        }
        return def != nullptr ? std::optional<std::string>(def) : std::nullopt;
    };
    layer.getBool = [&values](bool def, const char* name) {
        auto it = values.find(name);
        return it == values.end() ? def : (it->second == "true" || it->second == "1");
    };
    layer.getInt32 = [&values](int32_t def, const char* name) {
        auto it = values.find(name);
        return it == values.end() ? def : static_cast<int32_t>(std::stol(it->second, nullptr, 0));
    };
    return layer;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

inline size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace logtest
