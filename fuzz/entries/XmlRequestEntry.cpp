// One payload through the dispatcher as the inbound poller delivers it,
// with the executor replaced by a recorder at the process boundary.
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/FuzzSupport.h"
#include "src/dispatch/IpcMsgDispatcher.h"
#include "src/executor/DesktopCExecutor.h"

namespace dcfuzz {

namespace {

// Counts what would have reached processes and tasks; starts nothing.
class RecordingExecutor : public DesktopCExecutor {
  public:
    RecordingExecutor() : DesktopCExecutor(nullptr) {}

    void Exec(std::shared_ptr<DesktopCTask> task, bool inQueue) override {
        Require(task != nullptr, "a task is handed over");
        Require(!inQueue, "requested tasks run directly");
        const std::string name = task->GetName();
        Require(!name.empty(), "a task has a name");
        ++calls;
    }
    void StartAppProcess(const std::string& name, const std::string& path,
                         const std::vector<std::string>& params, int) override {
        CheckTexts({name, path}, params);
    }
    void StartProcess(const std::string& name, const std::string& path,
                      const std::vector<std::string>& params, const std::string& stdinStr, int) override {
        CheckTexts({name, path, stdinStr}, params);
    }
    void StopProcess(const std::string&) override { Require(false, "stop requests carry a connection id"); }
    void StopProcess(const std::string& name, int) override { CheckTexts({name}, {}); }
    void StopAllProcess() override { Require(false, "no request stops every process"); }

    int calls = 0;

  private:
    // A zero byte would let the executor's checks and exec see different
    // strings, so no text handed over may hold one.
    void CheckTexts(std::initializer_list<std::string> texts, const std::vector<std::string>& params) {
        for (const std::string& text : texts) {
            Require(text.find('\0') == std::string::npos, "request texts hold no zero byte");
        }
        for (const std::string& param : params) {
            Require(param.find('\0') == std::string::npos, "parameters hold no zero byte");
        }
        ++calls;
    }
};

int gSends = 0;

bool RecordSend(const void*, uint32_t, void*, IpcOnSentFn, int32_t) {
    ++gSends;
    return true;
}

struct Harness {
    std::shared_ptr<RecordingExecutor> executor = std::make_shared<RecordingExecutor>();
    IpcMsgDispatcher dispatcher{executor, RecordSend};
};

Harness& TheHarness() {
    static Harness harness;
    return harness;
}

}  // namespace

void FuzzXmlRequest(const uint8_t* data, size_t size) {
    Harness& harness = TheHarness();
    // The library's buffer holds one byte more than the payload; the
    // message ends at the first zero byte, as OnIpcMessage reads it.
    std::vector<char> buffer(data, data + size);
    buffer.push_back('\0');
    const std::string payload(buffer.data());
    harness.executor->calls = 0;
    gSends = 0;
    harness.dispatcher.ParseMsgPayload(payload);
    Require(harness.executor->calls <= 1, "one message is at most one request");
    Require(gSends == 0, "requests are never answered");
}

}  // namespace dcfuzz
