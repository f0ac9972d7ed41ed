#include "lib/config/MessageList.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/config/ConfigLog.h"

namespace dcconfig {

namespace {

constexpr const char kMessagePrefix[] = "@&!*@*@(";

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

void MessageList::Add(const char* localizableFormat, ...) {
    std::string id;
    const char* format = localizableFormat;
    size_t prefixLength = sizeof kMessagePrefix - 1;
    if (std::strncmp(format, kMessagePrefix, prefixLength) == 0) {
        const char* close = std::strchr(format + prefixLength, ')');
        if (close != nullptr) {
            id.assign(format + prefixLength, close);
            format = close + 1;
        }
    }
    va_list args;
    va_start(args, localizableFormat);
    messages_.push_back({std::move(id), FormatV(format, args)});
    va_end(args);
}

void MessageList::Append(const MessageList& other) {
    messages_.insert(messages_.end(), other.messages_.begin(), other.messages_.end());
}

void MessageList::Log(int level) const {
    for (const LocalizedMessage& message : messages_) {
        bool hasNewline = !message.text.empty() && message.text.back() == '\n';
        Config_Log(level, "[%s] %s%s", message.id.c_str(), message.text.c_str(), hasNewline ? "" : "\n");
    }
}

}  // namespace dcconfig
