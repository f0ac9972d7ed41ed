// Reads a child's output stream line by line with a bound on every wait, so
// that a test waiting for "the service said X" fails with a clear message
// instead of hanging when X never comes.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace sandbox {

class LineReader {
  public:
    // Takes ownership of fd (a pipe's read end) and closes it on destruction.
    explicit LineReader(int fd);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next complete line without its line feed; nothing when the
    // deadline passes first or the stream ends before a line feed.
    std::optional<std::string> ReadLine(std::chrono::steady_clock::time_point deadline);
    // The descriptor to poll for more; -1 once the stream has ended.
    int Fd() const { return fd_; }

  private:
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int fd_;
    std::string pending_;
};

}  // namespace sandbox
