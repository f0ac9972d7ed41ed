// Reading and writing dictionary files: the thin layer between paths and the
// pure parser and writer.
#pragma once

#include <optional>
#include <string>

#include "lib/config/MessageList.h"

namespace dcconfig {

inline constexpr const char* kStandardInputPath = "-";
inline constexpr const char* kStandardInputName = "<stdin>";

struct FileText {
    std::string text;
    std::string displayName;  // the path, or "<stdin>"
    bool isStandardInput = false;
};

// Reads the whole file ("-" is standard input). A directory, an open, status
// or read failure logs one record and adds one message; nothing is returned.
std::optional<FileText> ReadDictionaryFile(const std::string& path, MessageList& messages);

// Replaces the file with the text through a temporary file and a rename, so
// a reader never sees half a dictionary. Logs and returns false on failure.
bool WriteDictionaryFile(const std::string& path, const std::string& text);

}  // namespace dcconfig
