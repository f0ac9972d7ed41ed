// In-memory settings layers and text helpers for the log tests.
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/log/LogFileSettings.h"

namespace logtest {

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

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// True when every part occurs in text, each after the one before it.
inline bool InOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) {
            return false;
        }
        at += part.size();
    }
    return true;
}

inline size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace logtest
