#include "lib/log/LogOutput.h"

#include <mutex>
#include <utility>

#include "lib/log/LogState.h"

namespace dclog {

LogOutput::LogOutput(uint32_t type, std::string name, int level)
    : type_(type), name_(std::move(name)), level_(level) {}

namespace {

std::unique_ptr<LogOutput>* FindOutput(LogState& state, uint32_t type, std::string_view name) {
    for (auto& slot : state.outputs) {
        if (slot && slot->Type() == type && slot->Name() == name) {
            return &slot;
        }
    }
    return nullptr;
}

std::unique_ptr<LogOutput>* FreeSlot(LogState& state) {
    for (auto& slot : state.outputs) {
        if (!slot) {
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

LogOutput* RegisterOutput(std::unique_ptr<LogOutput> output) {
    LogState& state = State();
    std::lock_guard guard(state.logLock);
    if (!output || FindOutput(state, output->Type(), output->Name()) != nullptr) {
        return nullptr;
    }
    std::unique_ptr<LogOutput>* slot = FreeSlot(state);
    if (slot == nullptr || !output->Open()) {
        return nullptr;
    }
    *slot = std::move(output);
    state.outputCount.fetch_add(1);
    return slot->get();
}

bool RemoveOutput(uint32_t type, std::string_view name) {
    LogState& state = State();
    std::lock_guard guard(state.logLock);
    std::unique_ptr<LogOutput>* slot = FindOutput(state, type, name);
    if (slot == nullptr) {
        return false;
    }
    std::unique_ptr<LogOutput> output = std::move(*slot);
    state.outputCount.fetch_sub(1);
    output->Flush();
    output->Close();
    return true;
}

bool HasOutput(uint32_t type, std::string_view name) {
    LogState& state = State();
    std::lock_guard guard(state.logLock);
    return FindOutput(state, type, name) != nullptr;
}

}  // namespace dclog

void Log_Flush() {
    dclog::LogState& state = dclog::State();
    std::lock_guard guard(state.logLock);
    for (auto& output : state.outputs) {
        if (output) {
            output->Flush();
        }
    }
}

void Log_Shutdown() {
    dclog::LogState& state = dclog::State();
    std::lock_guard guard(state.logLock);
    for (auto& slot : state.outputs) {
        if (slot) {
            std::unique_ptr<dclog::LogOutput> output = std::move(slot);
            state.outputCount.fetch_sub(1);
            output->Flush();
            output->Close();
        }
    }
}
