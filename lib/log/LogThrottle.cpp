#include "lib/log/LogThrottle.h"

namespace dclog {

bool LogThrottle::Check(int64_t n, int64_t nowMicros) {
    if (limit_ == -1) {
        return false;
    }
    total_ += n;
    if (total_ < threshold_) {
        return false;
    }
    if (limit_ == 0) {
        throttled_ = true;
        return true;
    }
    const int64_t window = throttled_ ? kThrottledWindowMicros : kWriteWindowMicros;
    const int64_t elapsed = nowMicros - windowStart_;
    if (elapsed > window) {
        const int64_t rate = (total_ - windowStartTotal_) * 1000000 / elapsed;
        throttled_ = rate > limit_;
        windowStart_ = nowMicros;
        windowStartTotal_ = total_;
    }
    return throttled_;
}

}  // namespace dclog
