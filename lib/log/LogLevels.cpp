#include "lib/log/LogLevels.h"

#include <strings.h>

#include <array>
#include <string>

#include "lib/log/Log.h"

namespace dclog {
namespace {

struct LevelRow {
    const char* name;
    const char* designator;
};

constexpr std::array<LevelRow, kLevelCount> kLevels = {{
    {"audit", "No"},   {"panic", "Cr"},   {"error", "Er"},   {"warning", "Wa"}, {"notice", "No"},
    {"info", "In"},    {"verbose", "In"}, {"trivia", "In"},  {"debug", "Db"},   {"debug1", "Db"},
    {"debug2", "Db"},  {"debug3", "Db"},  {"debug4", "Db"},  {"debug5", "Db"},  {"debug6", "Db"},
    {"debug7", "Db"},  {"debug8", "Db"},  {"debug9", "Db"},  {"debug10", "Db"}, {"debug11", "Db"},
    {"debug12", "Db"}, {"debug13", "Db"}, {"debug14", "Db"}, {"debug15", "Db"},
}};

}  // namespace

const char* LevelName(int level) {
    if (level < 0 || level >= kLevelCount) {
        return nullptr;
    }
    return kLevels[level].name;
}

const char* LevelDesignator(int level) {
    if (level < 0 || level >= kLevelCount) {
        return "??";
    }
    return kLevels[level].designator;
}

std::optional<int> LevelFromName(std::string_view name) {
    const std::string text(name);
    if (strcasecmp(text.c_str(), "none") == 0) {
        return -1;
    }
    for (int level = 0; level < kLevelCount; ++level) {
        if (strcasecmp(text.c_str(), kLevels[level].name) == 0) {
            return level;
        }
    }
    return std::nullopt;
}

}  // namespace dclog
