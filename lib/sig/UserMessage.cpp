#include "lib/sig/UserMessage.h"

#include <unistd.h>

#include <cstring>

#include "lib/log/Log.h"
#include "lib/sig/SafeIo.h"

namespace {

constexpr char kIdPrefix[] = "@&!*@*@(";
constexpr size_t kIdPrefixLength = sizeof kIdPrefix - 1;
constexpr size_t kMaxIdLength = 128;

// Splits "@&!*@*@(id)text" into id and text; a plain text has an empty id.
const char* SplitId(const char* part, char* id) {
    id[0] = '\0';
    if (strncmp(part, kIdPrefix, kIdPrefixLength) != 0) {
        return part;
    }
    const char* start = part + kIdPrefixLength;
    const char* end = strchr(start, ')');
    if (end == nullptr || static_cast<size_t>(end - start) >= kMaxIdLength) {
        return part;
    }
    memcpy(id, start, static_cast<size_t>(end - start));
    id[end - start] = '\0';
    return end + 1;
}

}  // namespace

void UserMessage_PostError(const char* const* parts, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        char id[kMaxIdLength];
        const char* text = SplitId(parts[i], id);
        size_t length = strlen(text);
        bool endsLine = length > 0 && text[length - 1] == '\n';
        LogMessage(dclog::kError, "[%s] %s%s", id, text, endsLine ? "" : "\n");
        SafeIo_Write(STDERR_FILENO, text, length);
    }
}
