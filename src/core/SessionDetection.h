// What the session the process runs in looks like: its desktop id, its
// desktop type and the environment variables that describe it. Nothing is
// cached: every call looks at the environment and /proc again.
#pragma once

#include <sys/types.h>
#include <string>
#include <unordered_map>

std::string GetDesktopId();
std::string GetDesktopType();
pid_t FindProcessByName(const std::string& name);
std::unordered_map<std::string, std::string> GetEnvironmentMap();
bool IsDesktopEnv(const std::string& name);
