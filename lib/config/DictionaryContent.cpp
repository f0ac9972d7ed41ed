#include "lib/config/DictionaryContent.h"

namespace dcconfig {

DictionaryContent::DictionaryContent() {
    index_.rehash(kIndexBuckets);
}

DictEntry* DictionaryContent::Find(const std::string& name) {
    auto found = index_.find(name);
    return found == index_.end() ? nullptr : &lines_[found->second].entry;
}

const DictEntry* DictionaryContent::Find(const std::string& name) const {
    auto found = index_.find(name);
    return found == index_.end() ? nullptr : &lines_[found->second].entry;
}

DictEntry& DictionaryContent::AddEntry(DictEntry entry) {
    index_[entry.name] = lines_.size();
    DictLine& line = lines_.emplace_back();
    line.isEntry = true;
    line.entry = std::move(entry);
    return line.entry;
}

void DictionaryContent::AddVerbatim(std::string text) {
    DictLine& line = lines_.emplace_back();
    line.verbatim = std::move(text);
}

}  // namespace dcconfig
