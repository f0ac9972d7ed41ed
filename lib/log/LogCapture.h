// A log output for tests: keeps every message it receives in memory.
//
// While a LogCapture lives it is registered with the log library, so the
// records of the code under test can be checked. Messages still pass the
// module gate first: a capture sees debug records only when the level in
// force lets them through (use the constructor taking a level).
// Log_Shutdown (as run by LoggerWrapper's destructor) removes the capture
// as well; the lines received until then stay readable.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace dclog {

struct CaptureBuffer;

class LogCapture {
  public:
    LogCapture();
    // Also sets the global log level for the capture's lifetime and restores
    // the previous level afterwards.
    explicit LogCapture(int globalLevel);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every message text received so far, in order, each with its line feed.
    std::vector<std::string> Lines() const;
    // True when some message contains the text.
    bool Contains(const std::string& text) const;
    // Waits until some message contains the text; false after the timeout.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) const;
    // Level of the most recent message containing the text, or -1.
    int LevelOf(const std::string& text) const;
    void Clear();

  private:
    std::shared_ptr<CaptureBuffer> buffer_;
    std::string name_;
    int previousLevel_ = -2;
};

}  // namespace dclog
