#include "lib/config/DictionaryEscape.h"

#include <cstdint>

namespace dcconfig {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool NeedsEscape(uint8_t byte) {
    return (byte < 0x20 && byte != '\t') || byte == '"' || byte == '|' || byte == 0x7F;
}

}  // namespace

std::string UnescapeValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        bool hasTwoMore = i + 2 < value.size();
        int high = value[i] == '|' && hasTwoMore ? HexDigit(value[i + 1]) : -1;
        int low = high >= 0 ? HexDigit(value[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

std::string EscapeValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        auto byte = static_cast<uint8_t>(c);
        if (NeedsEscape(byte)) {
            out += '|';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace dcconfig
