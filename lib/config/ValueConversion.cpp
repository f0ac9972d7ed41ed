#include "lib/config/ValueConversion.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace dcconfig {

namespace {

constexpr std::array kTrueWords = {"true", "t", "yes", "y", "on", "1", ""};
constexpr std::array kFalseWords = {"false", "f", "no", "n", "off", "0"};
constexpr std::array kDefaultWords = {"default", "dontcare", "auto"};

template <size_t N>
bool IsOneOf(const std::string& text, const std::array<const char*, N>& words) {
    for (const char* word : words) {
        if (strcasecmp(text.c_str(), word) == 0) {
            return true;
        }
    }
    return false;
}

// 1 or 0 for a boolean word, -1 for anything else.
int BoolWord(const std::string& text) {
    if (IsOneOf(text, kTrueWords)) {
        return 1;
    }
    return IsOneOf(text, kFalseWords) ? 0 : -1;
}

enum class ParseStatus { kOk, kOutOfRange, kInvalid };

template <typename T>
struct Parsed {
    ParseStatus status;
    T value;
};

// strtoll/strtoull with automatic base; the whole text must be consumed.
template <typename T, typename Parser>
Parsed<T> ParseWhole(const std::string& text, Parser parser) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    T value = parser(start, &end, 0);
    if (end == start || *end != '\0') {
        return {ParseStatus::kInvalid, 0};
    }
    return {errno == ERANGE ? ParseStatus::kOutOfRange : ParseStatus::kOk, value};
}

Parsed<int32_t> ParseInt32(const std::string& text) {
    Parsed<long long> wide =
        ParseWhole<long long>(text, [](const char* s, char** e, int b) { return std::strtoll(s, e, b); });
    if (wide.status == ParseStatus::kInvalid) {
        return {ParseStatus::kInvalid, 0};
    }
    if (wide.status == ParseStatus::kOk && wide.value >= std::numeric_limits<int32_t>::min() &&
        wide.value <= std::numeric_limits<int32_t>::max()) {
        return {ParseStatus::kOk, static_cast<int32_t>(wide.value)};
    }
    // Too large for a signed value: an unsigned 32-bit value is taken as its
    // two's-complement bit pattern, so 4294967295 reads as -1.
    if (wide.status == ParseStatus::kOk && wide.value > 0 &&
        wide.value <= std::numeric_limits<uint32_t>::max()) {
        return {ParseStatus::kOk, static_cast<int32_t>(static_cast<uint32_t>(wide.value))};
    }
    return {ParseStatus::kOutOfRange, 0};
}

Parsed<double> ParseDouble(const std::string& text) {
    // from_chars is independent of the process locale's decimal point.
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (end - begin > 1 && *begin == '+' && begin[1] != '-') {
        ++begin;
    }
    double value = 0;
    auto [stop, error] = std::from_chars(begin, end, value);
    if (error == std::errc::invalid_argument || stop != end) {
        return {ParseStatus::kInvalid, 0};
    }
    return {error == std::errc::result_out_of_range ? ParseStatus::kOutOfRange : ParseStatus::kOk, value};
}

}  // namespace

const char* BoolText(bool value) {
    return value ? "TRUE" : "FALSE";
}

const char* TriStateText(int value) {
    if (value == kTriStateDefault) {
        return "default";
    }
    return value ? "TRUE" : "FALSE";
}

std::string DoubleText(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

bool ConvertBool(const std::string& text, const std::string& name, bool defaultValue, MessageList& messages) {
    int word = BoolWord(text);
    if (word >= 0) {
        return word == 1;
    }
    messages.Add(
        "@&!*@*@(msg.dictionary.notBoolean)Value \"%s\" for variable \"%s\" is not a valid boolean value. "
        "Using value \"%s\".\n",
        text.c_str(), name.c_str(), BoolText(defaultValue));
    return defaultValue;
}

int ConvertTriState(const std::string& text, const std::string& name, int defaultValue,
                    MessageList& messages) {
    int word = BoolWord(text);
    if (word >= 0) {
        return word;
    }
    if (IsOneOf(text, kDefaultWords)) {
        return kTriStateDefault;
    }
    messages.Add(
        "@&!*@*@(msg.dictionary.notTristate)Value \"%s\" for variable \"%s\" is not a valid tristate value. "
        "Using value \"%s\".\n",
        text.c_str(), name.c_str(), TriStateText(defaultValue));
    return defaultValue;
}

int32_t ConvertInt32(const std::string& text, const std::string& name, int32_t defaultValue,
                     MessageList& messages) {
    Parsed<int32_t> parsed = ParseInt32(text);
    if (parsed.status == ParseStatus::kOk) {
        return parsed.value;
    }
    if (parsed.status == ParseStatus::kOutOfRange) {
        messages.Add(
            "@&!*@*@(msg.dictionary.integerOutOfRange)Value \"%s\" for variable \"%s\" is out of range. "
            "Using value \"%d\".\n",
            text.c_str(), name.c_str(), defaultValue);
    } else {
        messages.Add(
            "@&!*@*@(msg.dictionary.notInteger)Value \"%s\" for variable \"%s\" is not a valid integer "
            "value. "
            "Using value \"%d\".\n",
            text.c_str(), name.c_str(), defaultValue);
    }
    return defaultValue;
}

int64_t ConvertInt64(const std::string& text, const std::string& name, int64_t defaultValue,
                     MessageList& messages) {
    Parsed<unsigned long long> parsed = ParseWhole<unsigned long long>(
        text, [](const char* s, char** e, int b) { return std::strtoull(s, e, b); });
    if (parsed.status == ParseStatus::kOk) {
        return static_cast<int64_t>(parsed.value);
    }
    if (parsed.status == ParseStatus::kOutOfRange) {
        messages.Add(
            "@&!*@*@(msg.dictionary.integer64OutOfRange)Value \"%s\" for variable \"%s\" is out of range. "
            "Using value \"%ld\".\n",
            text.c_str(), name.c_str(), static_cast<long>(defaultValue));
    } else {
        messages.Add(
            "@&!*@*@(msg.dictionary.notInteger64)Value \"%s\" for variable \"%s\" is not a valid integer "
            "value. "
            "Using value \"%ld\".\n",
            text.c_str(), name.c_str(), static_cast<long>(defaultValue));
    }
    return defaultValue;
}

double ConvertDouble(const std::string& text, const std::string& name, double defaultValue,
                     MessageList& messages) {
    Parsed<double> parsed = ParseDouble(text);
    if (parsed.status == ParseStatus::kOk) {
        return parsed.value;
    }
    if (parsed.status == ParseStatus::kOutOfRange) {
        messages.Add(
            "@&!*@*@(msg.dictionary.doubleOutOfRange)Value \"%s\" for variable \"%s\" is out of range. "
            "Using value \"%f\".\n",
            text.c_str(), name.c_str(), defaultValue);
    } else {
        messages.Add(
            "@&!*@*@(msg.dictionary.notFloat)Value \"%s\" for variable \"%s\" is not a valid floating point "
            "value. Using value \"%f\".\n",
            text.c_str(), name.c_str(), defaultValue);
    }
    return defaultValue;
}

}  // namespace dcconfig
