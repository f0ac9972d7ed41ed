#include "lib/config/DictionaryParser.h"

#include <strings.h>

#include <array>
#include <optional>
#include <vector>

#include "lib/config/Codeset.h"
#include "lib/config/ConfigLog.h"
#include "lib/config/DictionaryEscape.h"
#include "lib/log/Log.h"

namespace dcconfig {

namespace {

constexpr int kMaxDuplicates = 100;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array kEncodingAliases = {".encoding", "config.encoding", "preferences.encoding",
                                         "vmlist.encoding", "snapshot.encoding"};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsNameByte(char c) {
    return c != '\0' && !IsBlank(c) && c != '#' && c != '=';
}

bool IsBareValueByte(char c) {
    return c != '\0' && !IsBlank(c) && c != '#';
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool IsEncodingName(const std::string& name) {
    for (const char* alias : kEncodingAliases) {
        if (strcasecmp(name.c_str(), alias) == 0) {
            return true;
        }
    }
    return false;
}

size_t SkipBlanks(std::string_view line, size_t pos) {
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
    return pos;
}

struct RawEntry {
    std::string name;
    std::string value;  // still escaped and in the file's encoding
};

// True when only blanks, and then nothing or a comment, follow pos.
bool EndsAt(std::string_view line, size_t pos) {
    pos = SkipBlanks(line, pos);
    return pos == line.size() || line[pos] == '#';
}

// A quoted value that closes and is followed by the line's end.
std::optional<std::string> MatchQuotedValue(std::string_view line, size_t pos) {
    if (pos == line.size() || line[pos] != '"') {
        return std::nullopt;
    }
    const size_t close = line.find('"', pos + 1);
    if (close == std::string_view::npos || !EndsAt(line, close + 1)) {
        return std::nullopt;
    }
    std::string_view quoted = line.substr(pos + 1, close - pos - 1);
    if (quoted.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(quoted);
}

// A bare value may hold double quotes; it is what a quoted value that
// does not match (`"abc`, `""x`) reads as.
std::optional<std::string> MatchBareValue(std::string_view line, size_t pos) {
    size_t end = pos;
    while (end < line.size() && IsBareValueByte(line[end])) {
        ++end;
    }
    if (!EndsAt(line, end)) {
        return std::nullopt;
    }
    return std::string(line.substr(pos, end - pos));
}

// Matches `name = value [# comment]` on a line whose leading blanks are gone.
std::optional<RawEntry> MatchEntry(std::string_view line) {
    size_t pos = 0;
    while (pos < line.size() && IsNameByte(line[pos])) {
        ++pos;
    }
    if (pos == 0) {
        return std::nullopt;
    }
    std::string name(line.substr(0, pos));
    pos = SkipBlanks(line, pos);
    if (pos == line.size() || line[pos] != '=') {
        return std::nullopt;
    }
    pos = SkipBlanks(line, pos + 1);
    std::optional<std::string> value = MatchQuotedValue(line, pos);
    if (!value) {
        value = MatchBareValue(line, pos);
    }
    if (!value) {
        return std::nullopt;
    }
    return RawEntry{std::move(name), std::move(*value)};
}

class Parser {
  public:
    Parser(const std::string& fileName, ParseOptions options) : fileName_(fileName), options_(options) {}

    ParsedDictionary Run(std::string_view text) {
        if (options_.allowByteOrderMark && text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            hadByteOrderMark_ = true;
            text.remove_prefix(kByteOrderMark.size());
        }
        bool completed = ReadLines(text) && Finish();
        result_.ok = completed && duplicates_ == 0;
        return std::move(result_);
    }

  private:
    // Where a value still waiting for its encoding sits.
    struct Pending {
        size_t lineIndex;
        int lineNumber;
    };

    bool ReadLines(std::string_view text) {
        while (!text.empty()) {
            size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            ++lineNumber_;
            if (!ReadLine(line)) {
                return false;
            }
        }
        return true;
    }

    bool ReadLine(std::string_view line) {
        std::string_view body = line.substr(SkipBlanks(line, 0));
        if (body.empty() || body.front() == '#') {
            result_.content.AddVerbatim(std::string(line));
            return true;
        }
        std::optional<RawEntry> entry = MatchEntry(body);
        if (!entry) {
            Config_Log(dclog::kWarning, "%s: syntax error with line, \"%s\".\n", "DictionaryParseReadLine",
                       std::string(line).c_str());
            result_.messages.Add(
                "@&!*@*@(msg.dictionary.read.syntaxError)File \"%s\" line %d: Syntax error.\n",
                fileName_.c_str(), lineNumber_);
            return false;
        }
        entry->value = UnescapeValue(entry->value);
        if (entry->name.front() == '.' || IsEncodingName(entry->name)) {
            result_.content.AddVerbatim(std::string(line));
            return HandleMetavariable(*entry);
        }
        return AddEntry(std::move(*entry), line);
    }

    bool HandleMetavariable(const RawEntry& entry) {
        if (!IsEncodingName(entry.name)) {
            Config_Log(dclog::kWarning, "%s: \"%s\" line %d: unrecognized metavariable \"%s\"\n",
                       "DictionaryReadLines", fileName_.c_str(), lineNumber_, entry.name.c_str());
            return true;
        }
        if (!IsEncodingSupported(entry.value)) {
            result_.messages.Add(
                "@&!*@*@(msg.dictionary.unknownEncoding)File \"%s\" (line %d) specifies a character encoding "
                "(%s) that is not supported.\n",
                fileName_.c_str(), lineNumber_, entry.value.c_str());
            return false;
        }
        if (encoding_ && !SameEncoding(*encoding_, entry.value)) {
            result_.messages.Add(
                "@&!*@*@(msg.dictionary.hasEncoding)File \"%s\" (line %d) already has encoding \"%s\".\n",
                fileName_.c_str(), lineNumber_, encoding_->c_str());
            return false;
        }
        encoding_ = entry.value;
        return ConvertPending(true);
    }

    bool AddEntry(RawEntry raw, std::string_view line) {
        if (!IsAscii(raw.name)) {
            result_.messages.Add(
                "@&!*@*@(msg.dictionary.nameNotASCII)File \"%s\" line %d: Variable \"%s\" is not valid "
                "ASCII.\n",
                fileName_.c_str(), lineNumber_, raw.name.c_str());
            return false;
        }
        if (result_.content.Find(raw.name) != nullptr) {
            return AddDuplicate(raw.name, line);
        }
        pending_.push_back({result_.content.Lines().size(), lineNumber_});
        DictEntry entry;
        entry.name = std::move(raw.name);
        entry.text = std::move(raw.value);
        result_.content.AddEntry(std::move(entry));
        return !encoding_ || ConvertPending(true);
    }

    bool AddDuplicate(const std::string& name, std::string_view line) {
        result_.messages.Add(
            "@&!*@*@(msg.dictionary.alreadyDefined)File \"%s\" line %d: Variable \"%s\" is already "
            "defined.\n",
            fileName_.c_str(), lineNumber_, name.c_str());
        result_.content.AddVerbatim(std::string(line));
        if (++duplicates_ > kMaxDuplicates) {
            Config_Log(dclog::kWarning,
                       "%s: \"%s\" line %d: too many duplicate entries in dictionary, quitting.\n",
                       "DictionaryReadLines", fileName_.c_str(), lineNumber_);
            return false;
        }
        return true;
    }

    // Converts every value read so far from the now known encoding.
    bool ConvertPending(bool reportEachValue) {
        for (const Pending& pending : pending_) {
            DictEntry& entry = result_.content.Lines()[pending.lineIndex].entry;
            std::optional<std::string> converted = ConvertToUtf8(entry.text, *encoding_);
            if (!converted) {
                if (reportEachValue) {
                    result_.messages.Add(
                        "@&!*@*@(msg.dictionary.badEncodedInput)File \"%s\" line %d: Value \"%s\" for "
                        "variable "
                        "\"%s\" is not valid in encoding \"%s\".\n",
                        fileName_.c_str(), pending.lineNumber, entry.text.c_str(), entry.name.c_str(),
                        encoding_->c_str());
                }
                return false;
            }
            entry.text = std::move(*converted);
        }
        pending_.clear();
        return true;
    }

    bool Finish() {
        if (encoding_) {
            result_.encoding = *encoding_;
            return true;
        }
        encoding_ = hadByteOrderMark_ ? std::string(kUtf8) : DefaultEncoding();
        result_.encoding = *encoding_;
        if (!ConvertPending(false)) {
            result_.messages.Add(
                "@&!*@*@(msg.dictionary.badDefaultEncoding)An error occurred while decoding file \"%s\" "
                "using "
                "the default character encoding.\n",
                fileName_.c_str());
            return false;
        }
        return true;
    }

    const std::string& fileName_;
    ParseOptions options_;
    ParsedDictionary result_;
    std::optional<std::string> encoding_;
    std::vector<Pending> pending_;
    bool hadByteOrderMark_ = false;
    int lineNumber_ = 0;
    int duplicates_ = 0;
};

}  // namespace

ParsedDictionary ParseDictionaryText(std::string_view text, const std::string& fileName,
                                     ParseOptions options) {
    return Parser(fileName, options).Run(text);
}

}  // namespace dcconfig
