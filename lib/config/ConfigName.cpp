#include "lib/config/ConfigName.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace dcconfig {

namespace {

bool IsContinuationByte(char c) {
    return (static_cast<uint8_t>(c) & 0xC0) == 0x80;
}

size_t SequenceLength(char lead) {
    auto byte = static_cast<uint8_t>(lead);
    if (byte >= 0xF0) {
        return 4;
    }
    if (byte >= 0xE0) {
        return 3;
    }
    return byte >= 0xC0 ? 2 : 1;
}

// Length of the longest prefix of text[0, length) that ends on a character
// boundary.
size_t WholeCharacterLength(const char* text, size_t length) {
    size_t start = length;
    while (start > 0 && IsContinuationByte(text[start - 1])) {
        --start;
    }
    if (start == 0) {
        return length;
    }
    size_t lead = start - 1;
    return lead + SequenceLength(text[lead]) <= length ? length : lead;
}

}  // namespace

std::string FormatConfigName(size_t bufferSize, const char* format, va_list args) {
    std::vector<char> buffer(bufferSize);
    int wanted = std::vsnprintf(buffer.data(), buffer.size(), format, args);
    if (wanted < 0) {
        return {};
    }
    if (static_cast<size_t>(wanted) < bufferSize) {
        return std::string(buffer.data(), static_cast<size_t>(wanted));
    }
    return std::string(buffer.data(), WholeCharacterLength(buffer.data(), bufferSize - 1));
}

}  // namespace dcconfig
