#include <fstream>

#include "src/core/CommonUtils.h"

// Readability, not mere existence: a file the process may not read counts
// as absent, because every caller goes on to read or execute it.
bool CommonUtils::FileExists(const std::string& path) {
    std::ifstream file(path);
    return file.good();
}
