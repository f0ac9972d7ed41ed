// The foundation log library: the one entry every module logs through.
//
// A message address is a 32-bit value: the low 5 bits are the level, the
// higher bits a module number (0 = the global module, which carries all of
// the controller's own records). Lower levels are more severe.
//
// Thread safety: every function here may be called from any thread; output
// is serialised under the library's recursive lock "logLock".
#pragma once

#include <cstdarg>
#include <cstdint>

namespace dclog {

inline constexpr int kAudit = 0;
inline constexpr int kPanic = 1;
inline constexpr int kError = 2;
inline constexpr int kWarning = 3;
inline constexpr int kNotice = 4;
inline constexpr int kInfo = 5;
inline constexpr int kVerbose = 6;
inline constexpr int kTrivia = 7;
inline constexpr int kDebug = 8;
inline constexpr int kDebug1 = 9;
inline constexpr int kDebug2 = 10;

inline constexpr int kLevelCount = 24;
inline constexpr int kLevelBits = 5;
inline constexpr int kModuleCount = 314;

// A marked message shows "+" after its designator and never changes the
// throttle state of the file output. The flag sits above every module bit.
inline constexpr uint32_t kMarked = 1u << 30;

constexpr uint32_t MessageAddress(int module, int level) {
    return (static_cast<uint32_t>(module) << kLevelBits) | static_cast<uint32_t>(level);
}
constexpr int LevelOf(uint32_t address) {
    return static_cast<int>(address & ((1u << kLevelBits) - 1));
}
constexpr int ModuleOf(uint32_t address) {
    return static_cast<int>((address & ~kMarked) >> kLevelBits);
}
constexpr bool IsMarked(uint32_t address) {
    return (address & kMarked) != 0;
}

// Largest message texts: the caller's stack buffer and the one shared buffer.
inline constexpr int kStackBufferSize = 319;
inline constexpr int kLargeBufferSize = 32767;

}  // namespace dclog

// Formats and routes one message. A line feed is appended when missing and
// every "qxr" (any case) is masked as "***". errno is preserved.
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogMessageV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Fixed-level shorthands: info (5) and warning (3).
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Warning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Level pairs. Module 0 is the global pair, 1 to 314 the named modules.
// Both return the level set, or -1 (changing nothing) for a bad module.
int Log_SetLevel(int module, int level);
int Log_SetStderrLevel(int module, int level);
int Log_GetLevel(int module);
int Log_GetStderrLevel(int module);

// True when an output exists and a message at this address would reach it.
bool Log_IsEnabled(uint32_t address);

// Flushes every output (the panic path calls this before its last records).
void Log_Flush();
// Flushes, closes and drops every output. Logging afterwards is harmless.
void Log_Shutdown();

// Name of the calling thread in the line prefix. Defaults to the kernel's
// name for the thread; the text is cut to 31 bytes.
void Log_SetThreadName(const char* name);
const char* Log_GetThreadName();

// Signal dispatch raises this per-thread counter around each handler so
// that the line prefix avoids computing the time inside a handler.
void Log_EnterSignalHandler();
void Log_LeaveSignalHandler();
bool Log_InSignalHandler();
