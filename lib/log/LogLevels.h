// The level table: 24 levels, each with a name and the two-letter
// designator printed in the line prefix.
#pragma once

#include <optional>
#include <string_view>

namespace dclog {

// Name of a level ("info", "debug1" ...), or nullptr outside 0..23.
const char* LevelName(int level);
// Designator of a level ("In", "Db" ...), or "??" outside 0..23.
const char* LevelDesignator(int level);
// Level of a name, matched without regard to case; "none" gives -1.
// Unknown names give nothing.
std::optional<int> LevelFromName(std::string_view name);

}  // namespace dclog
