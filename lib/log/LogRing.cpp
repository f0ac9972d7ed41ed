#include "lib/log/LogRing.h"

namespace dclog {

void LogRing::Put(std::string text) {
    if (text.size() > capacity_) {
        text.erase(0, text.size() - capacity_);
    }
    while (!entries_.empty() && bytes_ + text.size() > capacity_) {
        bytes_ -= entries_.front().size();
        entries_.pop_front();
    }
    bytes_ += text.size();
    entries_.push_back(std::move(text));
}

void LogRing::Clear() {
    entries_.clear();
    bytes_ = 0;
}

}  // namespace dclog
