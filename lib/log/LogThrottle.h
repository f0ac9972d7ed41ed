// Rate limiting of the log file once it has grown past a threshold.
//
// Below the threshold nothing is throttled. Past it, the rate is measured
// over 5 s windows while writing and 60 s windows while throttled, so a
// burst is cut off quickly but writing resumes only after a calm minute.
#pragma once

#include <cstdint>

namespace dclog {

class LogThrottle {
  public:
    // bytesPerSecond -1: never throttle; 0: throttle everything past the threshold.
    LogThrottle(int64_t threshold, int64_t bytesPerSecond, int64_t nowMicros)
        : threshold_(threshold), limit_(bytesPerSecond), windowStart_(nowMicros) {}

    // Accounts n bytes at the given time; returns whether they are throttled.
    bool Check(int64_t n, int64_t nowMicros);
    bool Throttled() const { return throttled_; }

    static constexpr int64_t kWriteWindowMicros = 5000000;
    static constexpr int64_t kThrottledWindowMicros = 60000000;

  private:
    int64_t threshold_;
    int64_t limit_;
    int64_t total_ = 0;
    int64_t windowStartTotal_ = 0;
    int64_t windowStart_;
    bool throttled_ = false;
};

}  // namespace dclog
