#include "lib/config/Codeset.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>

namespace dcconfig {

namespace {

struct IconvCloser {
    void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
};
using IconvPtr = std::unique_ptr<void, IconvCloser>;

IconvPtr OpenConverter(const std::string& to, const std::string& from) {
    iconv_t handle = iconv_open(to.c_str(), from.c_str());
    if (handle == reinterpret_cast<iconv_t>(-1)) {
        return nullptr;
    }
    return IconvPtr(handle);
}

std::string Canonical(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c != '-' && c != '_') {
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
    }
    return out;
}

bool IsUtf8Name(const std::string& name) {
    return Canonical(name) == "UTF8";
}

std::optional<std::string> Convert(std::string_view text, const std::string& to, const std::string& from) {
    IconvPtr converter = OpenConverter(to, from);
    if (!converter) {
        return std::nullopt;
    }
    std::string out;
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(static_cast<iconv_t>(converter.get()), &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        // Any conversion glibc performed "irreversibly" (a substitution) is
        // as bad as an outright error: the value would silently change.
        if (rc == static_cast<size_t>(-1) ? errno != E2BIG : rc != 0) {
            return std::nullopt;
        }
    }
    // Stateful encodings (UTF-7, ISO-2022-JP) hold back bits or owe a
    // return to the initial shift state until they are flushed; without
    // this the last characters of a value would be lost.
    for (;;) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(static_cast<iconv_t>(converter.get()), nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        if (rc != static_cast<size_t>(-1)) {
            return out;
        }
        if (errno != E2BIG) {
            return std::nullopt;
        }
    }
}

// Length of the UTF-8 sequence starting at text[i], or 0 when it is invalid.
size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    uint8_t second = byte(i + 1);
    bool overlong = (lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90);
    bool surrogate = lead == 0xED && second >= 0xA0;
    bool tooLarge = lead == 0xF4 && second >= 0x90;
    return overlong || surrogate || tooLarge ? 0 : length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

bool IsEncodingSupported(const std::string& encoding) {
    return !encoding.empty() && OpenConverter(kUtf8, encoding) && OpenConverter(encoding, kUtf8);
}

bool SameEncoding(const std::string& a, const std::string& b) {
    return Canonical(a) == Canonical(b);
}

std::optional<std::string> ConvertToUtf8(std::string_view text, const std::string& encoding) {
    if (IsUtf8Name(encoding)) {
        return IsValidUtf8(text) ? std::optional<std::string>(text) : std::nullopt;
    }
    std::optional<std::string> converted = Convert(text, kUtf8, encoding);
    // Some converters pass bytes the encoding reserves through as control
    // characters (a stray ESC in ISO-2022-JP). Text that could not be
    // written in the encoding again is not valid in it.
    if (converted && !ConvertFromUtf8(*converted, encoding)) {
        return std::nullopt;
    }
    return converted;
}

std::optional<std::string> ConvertFromUtf8(std::string_view text, const std::string& encoding) {
    if (IsUtf8Name(encoding)) {
        return IsValidUtf8(text) ? std::optional<std::string>(text) : std::nullopt;
    }
    std::optional<std::string> converted = Convert(text, encoding, kUtf8);
    // Some converters substitute a look-alike without reporting it (U+007E
    // becomes the Shift_JIS overline, which reads back as U+203E). Only a
    // conversion that reads back to the same text is a representation.
    if (converted && Convert(*converted, kUtf8, encoding) != std::optional<std::string>(text)) {
        return std::nullopt;
    }
    return converted;
}

std::string DefaultEncoding() {
    // glibc shares the loaded locale data between locale objects and counts
    // its users under a lock of its own that thread checkers cannot see;
    // one caller at a time keeps that bookkeeping visibly serialised.
    static std::mutex localeLock;
    std::lock_guard<std::mutex> guard(localeLock);
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) {
        return kUtf8;
    }
    std::string codeset = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || strcasecmp(codeset.c_str(), "ASCII") == 0) {
        return kUtf8;
    }
    return codeset;
}

}  // namespace dcconfig
