#include "lib/log/LogPending.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogState.h"

namespace dclog {

struct PendingRecord {
    uint32_t address;
    std::string text;
    bool shownOnStderr;
};

// Filled and emptied only under "logLock".
struct PendingBuffer {
    std::vector<PendingRecord> records;
};

namespace {

constexpr uint32_t kPendingType = 0x12346;
constexpr const char* kPendingName = "pending";

class PendingOutput : public LogOutput {
  public:
    explicit PendingOutput(std::shared_ptr<PendingBuffer> buffer)
        : LogOutput(kPendingType, kPendingName, kWarning), buffer_(std::move(buffer)) {}

    void Write(uint32_t address, std::string_view text) override {
        const bool shown = LevelOf(address) <= State().levels[ModuleOf(address)].err.load();
        buffer_->records.push_back({address, std::string(text), shown});
    }

  private:
    std::shared_ptr<PendingBuffer> buffer_;
};

}  // namespace

PendingRecords::PendingRecords() : buffer_(std::make_shared<PendingBuffer>()) {
    RegisterOutput(std::make_unique<PendingOutput>(buffer_));
}

PendingRecords::~PendingRecords() {
    if (!replayed_) {
        Replay(nullptr);
    }
}

void PendingRecords::Replay(LogOutput* output) {
    replayed_ = true;
    RemoveOutput(kPendingType, kPendingName);
    LogState& state = State();
    std::lock_guard guard(state.logLock);
    for (const PendingRecord& record : buffer_->records) {
        if (output != nullptr && LevelOf(record.address) <= output->Level()) {
            output->Write(record.address, record.text);
        } else if (output == nullptr && !record.shownOnStderr) {
            fwrite(record.text.data(), 1, record.text.size(), stderr);
        }
    }
    buffer_->records.clear();
}

}  // namespace dclog
