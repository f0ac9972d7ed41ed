#include <gtest/gtest.h>

#include <string>

#include "lib/config/Dictionary.h"
#include "lib/config/DictionaryParser.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/support/TempDir.h"

using dcconfig::ParsedDictionary;
using dcconfig::ParseDictionaryText;
using dctest::TempDir;

namespace {

std::string Value(const ParsedDictionary& parsed, const std::string& name) {
    const dcconfig::DictEntry* entry = parsed.content.Find(name);
    return entry ? entry->text : "<absent>";
}

std::string FirstMessage(const ParsedDictionary& parsed) {
    const auto& messages = parsed.messages.Messages();
    return messages.empty() ? "<none>" : "[" + messages.front().id + "] " + messages.front().text;
}

std::string LastMessage(const Dictionary& dictionary) {
    const auto& messages = dictionary.Messages().Messages();
    return messages.empty() ? "<none>" : "[" + messages.back().id + "] " + messages.back().text;
}

Dictionary Load(const std::string& text) {
    Dictionary dictionary;
    EXPECT_TRUE(dictionary.LoadText(text, "t"));
    return dictionary;
}

// The message for a value that cannot be read as its type; the default is used.
std::string Rejected(const std::string& id, const std::string& value, const std::string& name,
                     const std::string& problem, const std::string& used) {
    return "[msg.dictionary." + id + "] Value \"" + value + "\" for variable \"" + name + "\" is " + problem +
           ". Using value \"" + used + "\".\n";
}

}  // namespace

TEST(Dictionary, TypedReadsConvertOrFallBackToTheDefaultWithOneMessage) {
    Dictionary d = Load(
        "yes = Yes\noff = off\nbad = maybe\n"
        "hex = 0x10\noct = 010\nall = 4294967295\nbig = 4294967296\n");
    EXPECT_TRUE(d.GetBool(false, "yes"));
    EXPECT_FALSE(d.GetBool(true, "off"));
    EXPECT_EQ(d.GetInt32(0, "hex"), 16);
    EXPECT_EQ(d.GetInt32(0, "oct"), 8);
    EXPECT_EQ(d.GetInt32(0, "all"), -1);
    EXPECT_TRUE(d.Messages().Empty());

    EXPECT_TRUE(d.GetBool(true, "bad"));
    EXPECT_EQ(LastMessage(d), Rejected("notBoolean", "maybe", "bad", "not a valid boolean value", "TRUE"));
    d.ClearMessages();
    EXPECT_TRUE(d.GetBool(false, "bad")) << "the first read fixes the value";
    EXPECT_TRUE(d.Messages().Empty()) << "a bad value is reported once";
    EXPECT_EQ(d.GetInt32(7, "big"), 7);
    EXPECT_EQ(LastMessage(d), Rejected("integerOutOfRange", "4294967296", "big", "out of range", "7"));
}

TEST(Dictionary, DefaultsAreNeverSettings) {
    Dictionary empty;
    EXPECT_EQ(empty.GetInt32(7, "seven"), 7);
    EXPECT_FALSE(empty.GetString(nullptr, "null"));
    EXPECT_FALSE(empty.HasEntry("seven"));
    EXPECT_EQ(empty.GetInt32(8, "seven"), 8) << "another caller's default is honoured";
}

// A byte order mark is not part of the first name.
TEST(Dictionary, FileWithAByteOrderMarkIsReadAsUtf8) {
    TempDir dir;
    Dictionary d;
    ASSERT_TRUE(d.LoadFile(dir.Write("prefs", "\xEF\xBB\xBFname = \"caf\xC3\xA9\"\n")));
    EXPECT_EQ(d.GetString(nullptr, "name").value_or(""), "caf\xC3\xA9");
}

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
