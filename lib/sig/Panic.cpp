#include "lib/sig/Panic.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/config/Preference.h"
#include "lib/config/Verify.h"
#include "lib/log/Log.h"
#include "lib/log/LogFileOutput.h"
#include "lib/sig/Backtrace.h"
#include "lib/sig/SafeIo.h"
#include "lib/sig/Sig.h"
#include "lib/sig/UserMessage.h"

namespace {

constexpr size_t kMessageSize = 1024;
constexpr int kLoopEntry = 2;
constexpr char kProductName[] = "DesktopController";
constexpr char kBuild[] = " " DC_PRODUCT_VERSION;
constexpr char kPanicLoop[] = "Panic loop\n";

std::atomic<int> gPanicCount{0};
std::atomic<bool> gPanicking{false};
std::atomic<PanicHook> gHook{nullptr};
// Cleared by a debugger (or Panic_StopLooping) to let a parked process go.
std::atomic<bool> gKeepLooping{false};
PanicSettings gSettings;

// Leaves without running atexit handlers or static destructors: after a
// crash they may wait on locks of a thread that will never run again.
[[noreturn]] void ExitNow(int status) {
    Log_Flush();
    _exit(status);
}

[[noreturn]] void EndPanicLoop(int entry, const char* message) {
    if (entry == kLoopEntry) {
        LogMessage(dclog::kPanic, "PANIC: %s", message);
        LogMessage(dclog::kPanic, "%s", kPanicLoop);
    }
    SafeIo_WriteText(STDERR_FILENO, kPanicLoop);
    ExitNow(kPanicLoopExitStatus);
}

void ParkWhileLooping() {
    if (!gKeepLooping) {
        return;
    }
    SafeIo_Printf(STDERR_FILENO, "Looping pid=%d\n", static_cast<int>(getpid()));
    while (gKeepLooping) {
        sleep(1);
    }
}

// Leaves out the message's own line feed: it is shown in parentheses.
void CopyWithoutLineFeed(const char* message, char* out, size_t size) {
    snprintf(out, size, "%s", message);
    size_t length = strlen(out);
    if (length > 0 && out[length - 1] == '\n') {
        out[length - 1] = '\0';
    }
}

void PostUnrecoverable(const char* message) {
    char shown[kMessageSize];
    CopyWithoutLineFeed(message, shown, sizeof shown);
    char headline[kMessageSize + 128];
    snprintf(headline, sizeof headline,
             "@&!*@*@(msg.log.error.unrecoverable)%s%s unrecoverable error: (%s)\n%s", kProductName, kBuild,
             shown, "");
    char logPath[PATH_MAX];
    dclog::CopyCurrentLogFilePath(logPath, sizeof logPath);
    char haveLog[PATH_MAX + 128];
    snprintf(haveLog, sizeof haveLog, "@&!*@*@(msg.panic.haveLog)A log file is available in \"%s\".  ",
             logPath);
    const char* parts[5];
    size_t count = 0;
    parts[count++] = headline;
    if (logPath[0] != '\0') {
        parts[count++] = haveLog;
    }
    parts[count++] = "@&!*@*@(msg.panic.requestSupport.withoutLog)You can request support.  ";
    parts[count++] =
        "@&!*@*@(msg.panic.collectSupportData)Keep the log file and any core file named in it for your "
        "support request.  ";
    parts[count++] = "@&!*@*@(msg.panic.response)We will respond on the basis of your support entitlement.\n";
    UserMessage_PostError(parts, count);
}

[[noreturn]] void PanicV(const char* format, va_list args) {
    PanicHook hook = gHook.exchange(nullptr);
    if (hook != nullptr) {
        hook();
    }
    gPanicking = true;
    char message[kMessageSize];
    vsnprintf(message, sizeof message, format, args);
    SafeIo_WriteText(STDERR_FILENO, message);
    int entry = ++gPanicCount;
    if (entry > 1) {
        EndPanicLoop(entry, message);
    }
    Log_Flush();
    LogMessage(dclog::kPanic, "PANIC: %s", message);
    Backtrace_Log(dclog::kPanic);
    if (gSettings.coreDumpOnPanic) {
        Sig_CoreDump();
    }
    ParkWhileLooping();
    if (gSettings.postMessage) {
        PostUnrecoverable(message);
    }
    LogMessage(dclog::kPanic, "Exiting\n");
    ExitNow(kPanicExitStatus);
}

}  // namespace

void Panic_Init() {
    gSettings.coreDumpOnPanic = Preference_GetBool(true, "coreDumpOnPanic");
    gSettings.loopOnPanic = Preference_GetBool(false, "panic.loopOnPanic");
    gSettings.breakOnPanic = Preference_GetInt32(0, "panic.breakOnPanic");
    gSettings.coreDumpFlags = Preference_GetInt32(0, "coreDumpFlags");
    gKeepLooping = gSettings.loopOnPanic;
    Verify_SetPanicHandler(Panic);
}

PanicSettings Panic_GetSettings() {
    return gSettings;
}

void Panic_SetHook(PanicHook hook) {
    gHook = hook;
}

bool Panic_IsPanicking() {
    return gPanicking;
}

void Panic_StopLooping() {
    gKeepLooping = false;
}

void Panic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PanicV(format, args);
}

void Panic_AllocFailedAt(const char* file, int line) {
    Panic("Unrecoverable memory allocation failure at %s:%d\n", file, line);
}

void Panic_AllocFailedSize(size_t bytes) {
    Panic("Unrecoverable memory allocation failure, %zu bytes attempted\n", bytes);
}
