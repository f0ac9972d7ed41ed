// In-memory settings layers and text helpers for the log and signal tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "lib/log/LogFileSettings.h"

namespace logtest {

using Values = std::map<std::string, std::string>;

// A settings layer over a map; the map must outlive the layer.
inline dclog::SettingsLayer MapLayer(const Values& values) {
    auto find = [&values](const char* name) {
        auto it = values.find(name);
        return it == values.end() ? std::optional<std::string>() : it->second;
    };
    dclog::SettingsLayer layer;
    layer.getString = [find](const char* def, const char* name) -> std::optional<std::string> {
        return find(name) ? find(name) : def != nullptr ? std::optional<std::string>(def) : std::nullopt;
    };
    layer.getBool = [find](bool def, const char* name) {
        return find(name) ? (*find(name) == "true" || *find(name) == "1") : def;
    };
    layer.getInt32 = [find](int32_t def, const char* name) {
        return find(name) ? static_cast<int32_t>(std::stol(*find(name), nullptr, 0)) : def;
    };
    return layer;
}

// Every part occurs in text, each after the one before it.
inline ::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "no \"" << part << "\" in its place in:\n" << text;
        }
        at += part.size();
    }
    return ::testing::AssertionSuccess();
}

inline size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace logtest
