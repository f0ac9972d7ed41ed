// Library-internal state shared by the message path and the registry.
//
// The state is made on first use and never freed: static destructors of
// other modules still log while the process exits, after any ordinary
// global would already be gone.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "lib/log/ForkSafeLock.h"
#include "lib/log/Log.h"
#include "lib/log/LogOutput.h"

namespace dclog {

struct LevelPair {
    std::atomic<int> log{kInfo};
    std::atomic<int> err{-1};
};

struct LogState {
    ForkSafeLock logLock;
    std::array<LevelPair, kModuleCount + 1> levels;
    std::array<std::unique_ptr<LogOutput>, kMaxOutputs> outputs;
    std::atomic<int> outputCount{0};
};

// The one state block; creation races are settled by compare-and-swap.
LogState& State();

}  // namespace dclog
