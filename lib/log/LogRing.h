// The most recent messages of the file output, kept while it is throttled
// so that they can be written out once the rate has fallen.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace dclog {

class LogRing {
  public:
    explicit LogRing(size_t capacity) : capacity_(capacity) {}

    // Drops the oldest entries until the text fits; a text larger than the
    // whole ring keeps only its tail.
    void Put(std::string text);
    void Clear();
    const std::deque<std::string>& Entries() const { return entries_; }
    size_t Bytes() const { return bytes_; }

  private:
    size_t capacity_;
    size_t bytes_ = 0;
    std::deque<std::string> entries_;
};

}  // namespace dclog
