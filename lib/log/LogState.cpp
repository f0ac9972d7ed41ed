#include "lib/log/LogState.h"

namespace dclog {

LogState& State() {
    static std::atomic<LogState*> state{nullptr};
    LogState* current = state.load(std::memory_order_acquire);
    if (current != nullptr) {
        return *current;
    }
    auto* fresh = new LogState;
    if (state.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
        fresh->logLock.GuardForks();
        return *fresh;
    }
    delete fresh;
    return *current;
}

}  // namespace dclog
