// The one path by which this library logs.
//
// Records go to LogMessageV of the log library, which the final executable
// links; this library does not link it, because the log library itself
// depends on the Dictionary defined here. Tests may divert the records to a
// sink of their own.
#pragma once

#include <cstdarg>

void Config_Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Replaces the destination of every record; nullptr restores LogMessageV.
using ConfigLogSink = void (*)(int level, const char* format, va_list args);
void Config_SetLogSink(ConfigLogSink sink);
