// The dictionary text parser. It takes text, never a path, so that tests and
// fuzzers can feed it directly; DictionaryFile reads files above it.
//
// Syntax: one entry per line, `name = value # comment`, with the value bare
// or in double quotes; blank lines and lines starting with "#" are kept
// verbatim. Values are bar-unescaped and converted to UTF-8 from the file's
// encoding (".encoding", else UTF-8 after a byte-order mark, else the
// locale's).
#pragma once

#include <string>
#include <string_view>

#include "lib/config/DictionaryContent.h"
#include "lib/config/MessageList.h"

namespace dcconfig {

struct ParsedDictionary {
    bool ok = false;
    DictionaryContent content;
    std::string encoding;  // the encoding the values were converted from
    MessageList messages;  // why the parse failed, or the duplicates seen
};

struct ParseOptions {
    // Files may start with a UTF-8 byte-order mark; standard input may not.
    bool allowByteOrderMark = true;
};

// fileName only names the text in messages.
ParsedDictionary ParseDictionaryText(std::string_view text, const std::string& fileName,
                                     ParseOptions options = {});

}  // namespace dcconfig
