#include "lib/log/LogCapture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "lib/log/Log.h"
#include "lib/log/LogOutput.h"

namespace dclog {

struct CaptureBuffer {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, std::string>> lines;
};

namespace {

constexpr uint32_t kCaptureType = 0x0CA97;

class CaptureOutput : public LogOutput {
  public:
    CaptureOutput(std::string name, std::shared_ptr<CaptureBuffer> buffer)
        : LogOutput(kCaptureType, std::move(name), kLevelCount), buffer_(std::move(buffer)) {}

    void Write(uint32_t address, std::string_view text) override {
        {
            std::lock_guard guard(buffer_->mutex);
            buffer_->lines.emplace_back(dclog::LevelOf(address), std::string(text));
        }
        buffer_->changed.notify_all();
    }

  private:
    std::shared_ptr<CaptureBuffer> buffer_;
};

std::string NextCaptureName() {
    static std::atomic<unsigned> counter{0};
    return "capture-" + std::to_string(counter.fetch_add(1));
}

bool AnyContains(const CaptureBuffer& buffer, const std::string& text) {
    for (const auto& line : buffer.lines) {
        if (line.second.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

LogCapture::LogCapture() : buffer_(std::make_shared<CaptureBuffer>()), name_(NextCaptureName()) {
    RegisterOutput(std::make_unique<CaptureOutput>(name_, buffer_));
}

LogCapture::LogCapture(int globalLevel) : LogCapture() {
    previousLevel_ = Log_GetLevel(0);
    Log_SetLevel(0, globalLevel);
}

LogCapture::~LogCapture() {
    RemoveOutput(kCaptureType, name_);
    if (previousLevel_ != -2) {
        Log_SetLevel(0, previousLevel_);
    }
}

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard guard(buffer_->mutex);
    std::vector<std::string> texts;
    texts.reserve(buffer_->lines.size());
    for (const auto& line : buffer_->lines) {
        texts.push_back(line.second);
    }
    return texts;
}

bool LogCapture::Contains(const std::string& text) const {
    std::lock_guard guard(buffer_->mutex);
    return AnyContains(*buffer_, text);
}

bool LogCapture::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(buffer_->mutex);
    return buffer_->changed.wait_for(lock, timeout, [&] { return AnyContains(*buffer_, text); });
}

int LogCapture::LevelOf(const std::string& text) const {
    std::lock_guard guard(buffer_->mutex);
    for (auto it = buffer_->lines.rbegin(); it != buffer_->lines.rend(); ++it) {
        if (it->second.find(text) != std::string::npos) {
            return it->first;
        }
    }
    return -1;
}

void LogCapture::Clear() {
    std::lock_guard guard(buffer_->mutex);
    buffer_->lines.clear();
}

}  // namespace dclog
