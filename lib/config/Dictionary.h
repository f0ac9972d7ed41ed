// A dictionary of named values, as kept in one preference file.
//
// Entries start untyped (plain text from a file) and take a type at their
// first typed read: the text is converted once, and a bad value yields the
// caller's default with one message in Messages(). A read of a name that is
// absent returns the default; a non-trivial default is recorded as a
// "default" entry, which is shown by DumpLines() but neither counts for
// HasEntry() nor is written back.
//
// Not thread-safe: callers serialise access (the preference store does so
// under its lock).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/config/DictValueType.h"
#include "lib/config/MessageList.h"

namespace dcconfig {
class DictionaryContent;
}

class Dictionary {
  public:
    Dictionary();
    ~Dictionary();
    Dictionary(Dictionary&&) noexcept;
    Dictionary& operator=(Dictionary&&) noexcept;
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    // Replace the content with a parsed text or file ("-" is standard input).
    // On failure the previous content stays and Messages() says why; a file
    // with duplicate names also fails, once read to its end.
    bool LoadText(std::string_view text, const std::string& fileName);
    bool LoadFile(const std::string& path);

    // The content in file syntax, in the dictionary's encoding; nothing when
    // a value cannot be represented in it.
    std::optional<std::string> ToText() const;
    bool WriteFile(const std::string& path) const;

    // Typed reads with a default. A null string default reads as nothing.
    std::optional<std::string> GetString(const char* defaultValue, const std::string& name);
    bool GetBool(bool defaultValue, const std::string& name);
    int32_t GetInt32(int32_t defaultValue, const std::string& name);
    int64_t GetInt64(int64_t defaultValue, const std::string& name);
    double GetDouble(double defaultValue, const std::string& name);
    int GetTriState(int defaultValue, const std::string& name);  // 0, 1 or -1 ("default")

    // Put typed values; an existing entry keeps its place in the file.
    void SetString(const std::string& name, const std::string& value);
    void SetBool(const std::string& name, bool value);
    void SetInt32(const std::string& name, int32_t value);
    void SetInt64(const std::string& name, int64_t value);
    void SetDouble(const std::string& name, double value);
    void SetTriState(const std::string& name, int value);

    // True when the name has an entry that was loaded or set (not a default).
    bool HasEntry(const std::string& name) const;
    // Type of the entry, or nothing when there is none.
    std::optional<DictValueType> EntryType(const std::string& name) const;

    // Empty until a file declares or implies one, or SetEncoding is called.
    const std::string& Encoding() const;
    void SetEncoding(const std::string& encoding);

    // Problems found by loads and typed reads, oldest first.
    const dcconfig::MessageList& Messages() const;
    void LogMessages(int level);  // logs as "[id] text", then clears
    void ClearMessages();

    // One line per entry, as the preference dump shows it.
    std::vector<std::string> DumpLines() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};
