#include "src/process/RdeProcess.h"

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/SecretWipe.h"

namespace {

// The remote-drive server leaves its mount behind when it ends.
constexpr const char* kDriveServerName = "CDRServer";
constexpr const char* kUnmountDrivesCommand = "fusermount -u -z ~/tsclient";

}  // namespace

RdeProcess::RdeProcess(const std::string& name, int rid, int outFd)
    : ProcessObject(name, rid, kStdinInherit, -1) {
    setOutFdLocked(outFd);
}

RdeProcess::~RdeProcess() {
    shutdown();
    WipeSecret(stdinStr_);
}

void RdeProcess::setRid(int rid) {
    setRidLocked(rid);
}

void RdeProcess::setStdinStr(const std::string& text) {
    std::lock_guard guard(mutex());
    WipeSecret(stdinStr_);
    stdinStr_ = text;
}

void RdeProcess::onStarted() {
    std::string text;
    {
        std::lock_guard guard(mutex());
        text.swap(stdinStr_);
    }
    if (text.empty()) {
        return;
    }
    // The text is a token: its bytes must not linger in freed memory.
    const bool sent = sendMessage(text);
    WipeSecret(text);
    if (!sent) {
        LogMessage(dclog::kError, "%s: Failed to send ipctoken to CoworkUI\n", "onStarted");
        stop(false, kStopTimeoutMs);
    }
}

void RdeProcess::onStartSkipped() {
    WipeSecret(stdinStr_);
    stdinStr_.clear();
}

void RdeProcess::onExitCb() {
    if (getName() == kDriveServerName) {
        CommonUtils::ExecShell(kUnmountDrivesCommand, true);
    }
}
