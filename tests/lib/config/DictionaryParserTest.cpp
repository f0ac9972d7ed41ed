#include <gtest/gtest.h>

#include <string>

#include "lib/config/Dictionary.h"
#include "lib/config/DictionaryParser.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"

using dcconfig::ParsedDictionary;
using dcconfig::ParseDictionaryText;

namespace {

std::string Value(const ParsedDictionary& parsed, const std::string& name) {
    const dcconfig::DictEntry* entry = parsed.content.Find(name);
    return entry ? entry->text : "<absent>";
}

std::string FirstMessage(const ParsedDictionary& parsed) {
    const auto& messages = parsed.messages.Messages();
    return messages.empty() ? "<none>" : "[" + messages.front().id + "] " + messages.front().text;
}

}  // namespace

TEST(DictionaryParser, AcceptsEveryLineFormAndWritesBackWithCommentsAndEscapes) {
    const std::string text =
        "# host settings\n"
        "\n"
        "   \t# indented comment\n"
        "plain = value # trailing comment\n"
        "\tquoted=\"a b\t# not a comment\"   \n"
        "empty =\n"
        "bare=x\"y=z\n"
        "esc = \"a|0Ab|7cc|zz|4|\"\n"
        "unclosed = \"abc\n"
        "doubled = \"\"x\n"
        "last = 1";
    ParsedDictionary parsed = ParseDictionaryText(text, "cfg");
    ASSERT_TRUE(parsed.ok) << FirstMessage(parsed);
    EXPECT_EQ(Value(parsed, "plain"), "value");
    EXPECT_EQ(Value(parsed, "quoted"), "a b\t# not a comment");
    EXPECT_EQ(Value(parsed, "empty"), "");
    EXPECT_EQ(Value(parsed, "bare"), "x\"y=z");
    EXPECT_EQ(Value(parsed, "esc"), "a\nb|c|zz|4|");
    // Not a quoted value, so a bare one, quotes and all.
    EXPECT_EQ(Value(parsed, "unclosed"), "\"abc");
    EXPECT_EQ(Value(parsed, "doubled"), "\"\"x");
    EXPECT_EQ(Value(parsed, "last"), "1");

    Dictionary dictionary;
    ASSERT_TRUE(dictionary.LoadText(text, "cfg"));
    dictionary.SetString("all", std::string("\x01\t\"|\x7F ok", 8));
    const std::string written =
        "# host settings\n"
        "\n"
        "   \t# indented comment\n"
        "plain = \"value\"\n"
        "quoted = \"a b\t# not a comment\"\n"
        "empty = \"\"\n"
        "bare = \"x|22y=z\"\n"
        "esc = \"a|0Ab|7Cc|7Czz|7C4|7C\"\n"
        "unclosed = \"|22abc\"\n"
        "doubled = \"|22|22x\"\n"
        "last = \"1\"\n"
        "all = \"|01\t|22|7C|7F ok\"\n";
    EXPECT_EQ(dictionary.ToText().value_or("<failed>"), written);
    Dictionary reread;
    ASSERT_TRUE(reread.LoadText(written, "cfg"));
    EXPECT_EQ(reread.ToText(), written);
}

TEST(DictionaryParser, BadLinesAndDuplicatesFailTheLoadWithFileAndLine) {
    for (const std::string& bad : {std::string("name = \"a b\" x"), std::string("na\0me = 1", 9)}) {
        dclog::LogCapture log(dclog::kDebug2);
        ParsedDictionary parsed = ParseDictionaryText("ok = 1\n" + bad + "\n", "/etc/x/config");
        EXPECT_FALSE(parsed.ok) << bad;
        EXPECT_EQ(FirstMessage(parsed),
                  "[msg.dictionary.read.syntaxError] File \"/etc/x/config\" line 2: Syntax error.\n")
            << bad;
        EXPECT_TRUE(log.Contains("DictionaryParseReadLine: syntax error with line, \"")) << bad;
    }
    // A failed load leaves the dictionary as it was.
    Dictionary dictionary;
    dictionary.SetString("kept", "yes");
    EXPECT_FALSE(dictionary.LoadText("a = 1\nb = \"x\" y\n", "f"));
    EXPECT_TRUE(dictionary.HasEntry("kept"));
    EXPECT_FALSE(dictionary.HasEntry("a"));

    ParsedDictionary parsed = ParseDictionaryText("a = 1\nb = 2\na = 3\n", "dup");
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(Value(parsed, "a"), "1");
    EXPECT_EQ(FirstMessage(parsed),
              "[msg.dictionary.alreadyDefined] File \"dup\" line 3: Variable \"a\" is already defined.\n");
}
