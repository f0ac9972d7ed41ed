// Dictionary text in any encoding a preference file may declare. Whatever
// loads must read back typed without harm and survive being written back:
// the written text loads again to the same entries in the same order.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/FuzzSupport.h"
#include "lib/config/Codeset.h"
#include "lib/config/Dictionary.h"
#include "lib/config/DictionaryParser.h"

namespace dcfuzz {

namespace {

constexpr std::array<const char*, 14> kEncodings = {
    "UTF-8",  "utf8",    "ISO-8859-1", "ISO-8859-15", "windows-1252", "KOI8-R", "Shift_JIS",
    "EUC-JP", "GB18030", "Big5",       "ISO-2022-JP", "UTF-7",        "UTF-16", "CP437",
};
constexpr uint8_t kByteOrderMarkChoice = 14;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The first byte picks what stands before the rest of the input: an
// encoding line, a UTF-8 byte-order mark, or nothing.
std::string Compose(uint8_t choice, std::string_view rest) {
    const uint8_t pick = choice & 0x0F;
    if (pick < kEncodings.size()) {
        return std::string(".encoding = ") + kEncodings[pick] + "\n" + std::string(rest);
    }
    if (pick == kByteOrderMarkChoice) {
        return std::string(kByteOrderMark) + std::string(rest);
    }
    return std::string(rest);
}

struct NamedText {
    std::string name;
    std::string text;
    bool operator==(const NamedText&) const = default;
};

std::vector<NamedText> Entries(const dcconfig::DictionaryContent& content) {
    std::vector<NamedText> entries;
    for (const dcconfig::DictLine& line : content.Lines()) {
        if (line.isEntry) {
            entries.push_back({line.entry.name, line.entry.text});
        }
    }
    return entries;
}

// Every entry is read once with a type picked from its name, the way the
// preference store converts values on first use.
void ReadTyped(Dictionary& dictionary, const std::vector<NamedText>& entries) {
    for (const NamedText& entry : entries) {
        switch (entry.name.size() % 6) {
            case 0:
                dictionary.GetBool(false, entry.name);
                break;
            case 1:
                dictionary.GetInt32(7, entry.name);
                break;
            case 2:
                dictionary.GetInt64(-7, entry.name);
                break;
            case 3:
                dictionary.GetDouble(0.5, entry.name);
                break;
            case 4:
                dictionary.GetTriState(-1, entry.name);
                break;
            default:
                dictionary.GetString("fallback", entry.name);
                break;
        }
    }
    dictionary.GetInt32(42, "fuzz.absent");
}

std::vector<NamedText> Reparse(const std::string& written) {
    const dcconfig::ParsedDictionary again = dcconfig::ParseDictionaryText(written, "written");
    Require(again.ok, "a written dictionary loads again");
    return Entries(again.content);
}

// A value put by a setter is escaped on the way out and comes back as it
// was, whatever bytes it holds.
void CheckSetValue(Dictionary& dictionary, std::string_view value) {
    const std::string name = "fuzz.value";
    dictionary.SetString(name, std::string(value));
    const std::optional<std::string> written = dictionary.ToText();
    if (!written) {
        const bool representable =
            dcconfig::ConvertFromUtf8(value,
                                      dictionary.Encoding().empty() ? dcconfig::kUtf8 : dictionary.Encoding())
                .has_value();
        Require(!representable, "only values the encoding cannot hold stop a write-back");
        return;
    }
    for (const NamedText& entry : Reparse(*written)) {
        if (entry.name == name) {
            Require(entry.text == value, "a set value reads back unchanged");
            return;
        }
    }
    Require(false, "a set value is written back");
}

}  // namespace

void FuzzDictionary(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    const std::string_view rest = AsText(data + 1, size - 1);
    const std::string text = Compose(data[0], rest);
    const dcconfig::ParsedDictionary parsed = dcconfig::ParseDictionaryText(text, "fuzz");
    Dictionary dictionary;
    Require(dictionary.LoadText(text, "fuzz") == parsed.ok, "a dictionary loads what the parser accepts");
    if (!parsed.ok) {
        return;
    }
    const std::vector<NamedText> entries = Entries(parsed.content);
    ReadTyped(dictionary, entries);
    const std::optional<std::string> written = dictionary.ToText();
    Require(written.has_value(), "a loaded dictionary can be written back");
    Require(Reparse(*written) == entries, "write-back keeps every entry, its value and its place");
    CheckSetValue(dictionary, rest.substr(0, 64));
}

}  // namespace dcfuzz
