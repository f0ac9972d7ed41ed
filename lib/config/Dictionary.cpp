#include "lib/config/Dictionary.h"

#include <cstdio>
#include <utility>

#include "lib/config/Codeset.h"
#include "lib/config/DictionaryContent.h"
#include "lib/config/DictionaryEscape.h"
#include "lib/config/DictionaryFile.h"
#include "lib/config/DictionaryParser.h"
#include "lib/config/ValueConversion.h"

using dcconfig::DictEntry;
using dcconfig::MessageList;

struct Dictionary::State {
    dcconfig::DictionaryContent content;
    std::string encoding;
    MessageList messages;

    // A failed parse keeps the previous content; its messages say why.
    bool Adopt(dcconfig::ParsedDictionary parsed) {
        messages.Append(parsed.messages);
        if (!parsed.ok) {
            return false;
        }
        content = std::move(parsed.content);
        encoding = std::move(parsed.encoding);
        return true;
    }
};

namespace {

// How one value type is converted, stored and shown.
template <typename T>
struct TypeOps {
    DictValueType type;
    T (*convert)(const std::string& text, const std::string& name, T defaultValue, MessageList& messages);
    T (*load)(const DictEntry& entry);
    void (*store)(DictEntry& entry, T value);
    std::string (*text)(T value);
    // Defaults that are answered without being recorded in the dictionary.
    bool (*isPlainDefault)(T value);
};

void StoreInteger(DictEntry& entry, int64_t value) {
    entry.integer = value;
}

const TypeOps<bool> kBoolOps{
    DictValueType::kBool,
    dcconfig::ConvertBool,
    [](const DictEntry& e) { return e.integer != 0; },
    [](DictEntry& e, bool v) { StoreInteger(e, v ? 1 : 0); },
    [](bool v) { return std::string(dcconfig::BoolText(v)); },
    [](bool v) { return !v; },
};

const TypeOps<int32_t> kInt32Ops{
    DictValueType::kInt32,
    dcconfig::ConvertInt32,
    [](const DictEntry& e) { return static_cast<int32_t>(e.integer); },
    [](DictEntry& e, int32_t v) { StoreInteger(e, v); },
    [](int32_t v) { return std::to_string(v); },
    [](int32_t v) { return v == 0 || v == -1; },
};

const TypeOps<int> kTriStateOps{
    DictValueType::kTriState,
    dcconfig::ConvertTriState,
    [](const DictEntry& e) { return static_cast<int>(e.integer); },
    [](DictEntry& e, int v) { StoreInteger(e, v); },
    [](int v) { return std::string(dcconfig::TriStateText(v)); },
    [](int v) { return v == 0 || v == dcconfig::kTriStateDefault; },
};

const TypeOps<int64_t> kInt64Ops{
    DictValueType::kInt64,
    dcconfig::ConvertInt64,
    [](const DictEntry& e) { return e.integer; },
    StoreInteger,
    [](int64_t v) { return std::to_string(v); },
    [](int64_t v) { return v == 0; },
};

const TypeOps<double> kDoubleOps{
    DictValueType::kDouble,
    dcconfig::ConvertDouble,
    [](const DictEntry& e) { return e.real; },
    [](DictEntry& e, double v) { e.real = v; },
    dcconfig::DoubleText,
    [](double v) { return v == 0; },
};

template <typename T>
void PutValue(DictEntry& entry, const TypeOps<T>& ops, T value, bool isDefault) {
    entry.type = ops.type;
    ops.store(entry, value);
    entry.text = ops.text(value);
    entry.isDefault = isDefault;
}

template <typename T>
void SetValue(dcconfig::DictionaryContent& content, const std::string& name, const TypeOps<T>& ops, T value,
              bool isDefault) {
    DictEntry* entry = content.Find(name);
    if (entry == nullptr) {
        DictEntry added;
        added.name = name;
        PutValue(content.AddEntry(std::move(added)), ops, value, isDefault);
    } else {
        PutValue(*entry, ops, value, isDefault);
    }
}

template <typename T>
T ReadValue(dcconfig::DictionaryContent& content, MessageList& messages, const std::string& name,
            const TypeOps<T>& ops, T defaultValue) {
    DictEntry* entry = content.Find(name);
    if (entry == nullptr || entry->isDefault) {
        if (!ops.isPlainDefault(defaultValue)) {
            SetValue(content, name, ops, defaultValue, true);
        }
        return defaultValue;
    }
    if (entry->type == ops.type) {
        return ops.load(*entry);
    }
    T value = ops.convert(entry->text, name, defaultValue, messages);
    // The first typed read fixes the type; later reads skip the conversion
    // (and do not repeat its message). An entry that already has another
    // type keeps it, and this read is converted from its text.
    if (entry->type == DictValueType::kUntyped) {
        entry->type = ops.type;
        ops.store(*entry, value);
    }
    return value;
}

std::string DumpLine(const DictEntry& entry) {
    char line[4096];
    const char* name = entry.name.c_str();
    switch (entry.type) {
        case DictValueType::kBool:
            std::snprintf(line, sizeof line, "DICT %25s = %s\n", name,
                          dcconfig::BoolText(entry.integer != 0));
            break;
        case DictValueType::kInt32:
        case DictValueType::kTriState:
            std::snprintf(line, sizeof line, "DICT %25s = \"%i\"\n", name, static_cast<int>(entry.integer));
            break;
        case DictValueType::kInt64:
            std::snprintf(line, sizeof line, "DICT %25s = \"%ld\"\n", name, static_cast<long>(entry.integer));
            break;
        case DictValueType::kDouble:
            std::snprintf(line, sizeof line, "DICT %25s = \"%g\"\n", name, entry.real);
            break;
        default:
            return "DICT " + std::string(entry.name.size() < 25 ? 25 - entry.name.size() : 0, ' ') +
                   entry.name + " = \"" + entry.text + "\"\n";
    }
    return line;
}

}  // namespace

Dictionary::Dictionary() : state_(std::make_unique<State>()) {}
Dictionary::~Dictionary() = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;

bool Dictionary::LoadText(std::string_view text, const std::string& fileName) {
    return state_->Adopt(dcconfig::ParseDictionaryText(text, fileName));
}

bool Dictionary::LoadFile(const std::string& path) {
    std::optional<dcconfig::FileText> file = dcconfig::ReadDictionaryFile(path, state_->messages);
    if (!file) {
        return false;
    }
    return state_->Adopt(
        dcconfig::ParseDictionaryText(file->text, file->displayName, {!file->isStandardInput}));
}

std::optional<std::string> Dictionary::ToText() const {
    const std::string& encoding = state_->encoding.empty() ? dcconfig::kUtf8 : state_->encoding;
    std::string out;
    for (const dcconfig::DictLine& line : state_->content.Lines()) {
        if (!line.isEntry) {
            out += line.verbatim + "\n";
            continue;
        }
        if (line.entry.isDefault) {
            continue;
        }
        std::optional<std::string> value = dcconfig::ConvertFromUtf8(line.entry.text, encoding);
        if (!value) {
            return std::nullopt;
        }
        out += line.entry.name + " = \"" + dcconfig::EscapeValue(*value) + "\"\n";
    }
    return out;
}

bool Dictionary::WriteFile(const std::string& path) const {
    std::optional<std::string> text = ToText();
    return text && dcconfig::WriteDictionaryFile(path, *text);
}

std::optional<std::string> Dictionary::GetString(const char* defaultValue, const std::string& name) {
    DictEntry* entry = state_->content.Find(name);
    if (entry == nullptr || entry->isDefault) {
        if (defaultValue == nullptr) {
            return std::nullopt;
        }
        if (*defaultValue != '\0') {
            SetString(name, defaultValue);
            state_->content.Find(name)->isDefault = true;
        }
        return std::string(defaultValue);
    }
    if (entry->type == DictValueType::kUntyped) {
        entry->type = DictValueType::kString;
    }
    return entry->text;
}

bool Dictionary::GetBool(bool defaultValue, const std::string& name) {
    return ReadValue(state_->content, state_->messages, name, kBoolOps, defaultValue);
}

int32_t Dictionary::GetInt32(int32_t defaultValue, const std::string& name) {
    return ReadValue(state_->content, state_->messages, name, kInt32Ops, defaultValue);
}

int64_t Dictionary::GetInt64(int64_t defaultValue, const std::string& name) {
    return ReadValue(state_->content, state_->messages, name, kInt64Ops, defaultValue);
}

double Dictionary::GetDouble(double defaultValue, const std::string& name) {
    return ReadValue(state_->content, state_->messages, name, kDoubleOps, defaultValue);
}

int Dictionary::GetTriState(int defaultValue, const std::string& name) {
    return ReadValue(state_->content, state_->messages, name, kTriStateOps, defaultValue);
}

void Dictionary::SetString(const std::string& name, const std::string& value) {
    DictEntry* entry = state_->content.Find(name);
    if (entry == nullptr) {
        DictEntry added;
        added.name = name;
        entry = &state_->content.AddEntry(std::move(added));
    }
    entry->type = DictValueType::kString;
    entry->text = value;
    entry->isDefault = false;
}

void Dictionary::SetBool(const std::string& name, bool value) {
    SetValue(state_->content, name, kBoolOps, value, false);
}

void Dictionary::SetInt32(const std::string& name, int32_t value) {
    SetValue(state_->content, name, kInt32Ops, value, false);
}

void Dictionary::SetInt64(const std::string& name, int64_t value) {
    SetValue(state_->content, name, kInt64Ops, value, false);
}

void Dictionary::SetDouble(const std::string& name, double value) {
    SetValue(state_->content, name, kDoubleOps, value, false);
}

void Dictionary::SetTriState(const std::string& name, int value) {
    SetValue(state_->content, name, kTriStateOps, value, false);
}

bool Dictionary::HasEntry(const std::string& name) const {
    const DictEntry* entry = state_->content.Find(name);
    return entry != nullptr && !entry->isDefault;
}

std::optional<DictValueType> Dictionary::EntryType(const std::string& name) const {
    const DictEntry* entry = state_->content.Find(name);
    return entry == nullptr ? std::nullopt : std::optional(entry->type);
}

const std::string& Dictionary::Encoding() const {
    return state_->encoding;
}

void Dictionary::SetEncoding(const std::string& encoding) {
    state_->encoding = encoding;
}

const MessageList& Dictionary::Messages() const {
    return state_->messages;
}

void Dictionary::LogMessages(int level) {
    state_->messages.Log(level);
    state_->messages.Clear();
}

void Dictionary::ClearMessages() {
    state_->messages.Clear();
}

std::vector<std::string> Dictionary::DumpLines() const {
    std::vector<std::string> lines;
    for (const dcconfig::DictLine& line : state_->content.Lines()) {
        if (line.isEntry) {
            lines.push_back(DumpLine(line.entry));
        }
    }
    return lines;
}
