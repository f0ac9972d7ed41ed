// Whole-file reads for the small files the IPC client depends on.
#pragma once

#include <optional>
#include <string>

// The whole content of the file, or nothing when it cannot be read.
std::optional<std::string> ReadFileText(const std::string& path);
