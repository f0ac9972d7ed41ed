// Small helpers shared by the fuzz entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dcfuzz {

// Aborts with the failed property when condition is false: the fuzzer
// records the input, the regression test's child exits abnormally.
void Require(bool condition, const char* property);

inline std::string_view AsText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A private directory under the temp root for files an entry must hand to
// a path-taking reader. Created once per process, removed at exit.
const std::string& ScratchDir();

// Replaces the file at path with the bytes.
void WriteScratchFile(const std::string& path, std::string_view bytes);

}  // namespace dcfuzz
