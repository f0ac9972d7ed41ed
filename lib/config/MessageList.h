// Localisable messages gathered while a dictionary is loaded or read.
//
// A localisable format is "@&!*@*@(" + message id + ")" + a printf format
// that serves as the default text. The list keeps the id and the formatted
// default text of each message, so a user-facing layer could translate it
// later while the log shows "[id] text".
#pragma once

#include <string>
#include <vector>

namespace dcconfig {

struct LocalizedMessage {
    std::string id;
    std::string text;
};

class MessageList {
  public:
    void Add(const char* localizableFormat, ...) __attribute__((format(printf, 2, 3)));
    void Append(const MessageList& other);

    bool Empty() const { return messages_.empty(); }
    const std::vector<LocalizedMessage>& Messages() const { return messages_; }
    void Clear() { messages_.clear(); }

    // One record per message: "[id] text", with a line feed added when the
    // text lacks one.
    void Log(int level) const;

  private:
    std::vector<LocalizedMessage> messages_;
};

}  // namespace dcconfig
