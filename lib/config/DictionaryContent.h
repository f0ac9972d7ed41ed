// The lines of one dictionary: entries and verbatim comment or blank lines in
// file order, with a hash index from entry name to line.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/config/DictValueType.h"

namespace dcconfig {

struct DictEntry {
    std::string name;
    // The value as text: as read from the file (unescaped, UTF-8), or the
    // text form of a typed value put by a setter. Written back verbatim.
    std::string text;
    DictValueType type = DictValueType::kUntyped;
    // A caller's default recorded by a read; it was never read from a file,
    // so it neither answers lookups nor is written back.
    bool isDefault = false;
    int64_t integer = 0;  // bool, 32-bit, tristate and 64-bit values
    double real = 0;      // double values
};

struct DictLine {
    bool isEntry = false;
    DictEntry entry;       // when isEntry
    std::string verbatim;  // otherwise: the line without its line feed
};

class DictionaryContent {
  public:
    DictionaryContent();

    DictEntry* Find(const std::string& name);
    const DictEntry* Find(const std::string& name) const;
    DictEntry& AddEntry(DictEntry entry);
    void AddVerbatim(std::string line);

    const std::vector<DictLine>& Lines() const { return lines_; }
    std::vector<DictLine>& Lines() { return lines_; }

  private:
    static constexpr size_t kIndexBuckets = 512;

    std::vector<DictLine> lines_;
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace dcconfig
