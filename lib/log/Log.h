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

constexpr uint32_t MessageAddress(int module, int level) {
    return (static_cast<uint32_t>(module) << kLevelBits) | static_cast<uint32_t>(level);
}
constexpr int LevelOf(uint32_t address) { return static_cast<int>(address & ((1u << kLevelBits) - 1)); }
constexpr int ModuleOf(uint32_t address) { return static_cast<int>(address >> kLevelBits); }

}  // namespace dclog

// Formats and routes one message. A line feed is appended when missing and
// every "qxr" (any case) is masked as "***". errno is preserved.
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogMessageV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Fixed-level shorthands: info (5) and warning (3).
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
