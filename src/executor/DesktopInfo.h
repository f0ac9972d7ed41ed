// Facts about this session that every desktop task receives. Filled once
// when the executor is built, read-only afterwards.
#pragma once

#include <string>

struct DesktopInfo {
    std::string desktopType;
    std::string distribution;
};
