#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "lib/config/Dictionary.h"
#include "lib/config/DictionaryParser.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/support/TempDir.h"

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

TEST(DictionaryParser, AcceptsEveryLineFormAndKeepsCommentsForWriteBack) {
    const std::string text =
        "# host settings\n"
        "\n"
        "   \t# indented comment\n"
        "plain = value # trailing comment\n"
        "\tquoted=\"a b\t# not a comment\"   \n"
        "empty =\n"
        "emptyQuoted = \"\"#c\n"
        "bare=x\"y=z\n"
        "last = 1";
    ParsedDictionary parsed = ParseDictionaryText(text, "cfg");
    ASSERT_TRUE(parsed.ok) << FirstMessage(parsed);
    EXPECT_EQ(Value(parsed, "plain"), "value");
    EXPECT_EQ(Value(parsed, "quoted"), "a b\t# not a comment");
    EXPECT_EQ(Value(parsed, "empty"), "");
    EXPECT_EQ(Value(parsed, "emptyQuoted"), "");
    EXPECT_EQ(Value(parsed, "bare"), "x\"y=z");
    EXPECT_EQ(Value(parsed, "last"), "1");

    Dictionary dictionary;
    ASSERT_TRUE(dictionary.LoadText(text, "cfg"));
    EXPECT_EQ(dictionary.ToText().value_or("<failed>"),
              "# host settings\n"
              "\n"
              "   \t# indented comment\n"
              "plain = \"value\"\n"
              "quoted = \"a b\t# not a comment\"\n"
              "empty = \"\"\n"
              "emptyQuoted = \"\"\n"
              "bare = \"x|22y=z\"\n"
              "last = \"1\"\n");
}

TEST(DictionaryParser, SyntaxErrorsNameFileAndLineAndFailTheLoad) {
    const std::string badLines[] = {"name = \"a b\" x", "= value",    "name value",
                                    "name = \"open",    "name = a b", std::string("na\0me = 1", 9)};
    for (const std::string& bad : badLines) {
        dclog::LogCapture log(dclog::kDebug2);
        ParsedDictionary parsed = ParseDictionaryText(std::string("ok = 1\n") + bad + "\n", "/etc/x/config");
        EXPECT_FALSE(parsed.ok) << bad;
        EXPECT_EQ(FirstMessage(parsed),
                  "[msg.dictionary.read.syntaxError] File \"/etc/x/config\" line 2: Syntax error.\n")
            << bad;
        EXPECT_TRUE(log.Contains("DictionaryParseReadLine: syntax error with line, \"")) << bad;
    }

    Dictionary dictionary;
    dictionary.SetString("kept", "yes");
    EXPECT_FALSE(dictionary.LoadText("a = 1\nb = \"x\" y\n", "f"));
    EXPECT_TRUE(dictionary.HasEntry("kept"));
    EXPECT_FALSE(dictionary.HasEntry("a"));
}

TEST(DictionaryParser, BarEscapesDecodeAndReencode) {
    ParsedDictionary parsed = ParseDictionaryText("v = \"a|0Ab|7cc|zz|4|\"\nq = |22|7F|09\n", "f");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(Value(parsed, "v"), "a\nb|c|zz|4|");
    EXPECT_EQ(Value(parsed, "q"), "\"\x7F\t");

    Dictionary dictionary;
    dictionary.SetString("nl", "line1\nline2");
    dictionary.SetString("all", std::string("\x01\x08\t\x1F\"|\x7F ok", 10));
    EXPECT_EQ(dictionary.ToText().value_or(""),
              "nl = \"line1|0Aline2\"\n"
              "all = \"|01|08\t|1F|22|7C|7F ok\"\n");

    Dictionary reread;
    ASSERT_TRUE(reread.LoadText(*dictionary.ToText(), "f"));
    EXPECT_EQ(reread.GetString(nullptr, "nl").value_or(""), "line1\nline2");
    EXPECT_EQ(reread.ToText(), dictionary.ToText());
}

TEST(DictionaryParser, DuplicatesAreReportedAndStopTheReadAfterAHundred) {
    dclog::LogCapture log(dclog::kDebug2);
    ParsedDictionary parsed = ParseDictionaryText("a = 1\nb = 2\na = 3\n", "dup");
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(Value(parsed, "a"), "1");
    EXPECT_EQ(Value(parsed, "b"), "2");
    EXPECT_EQ(FirstMessage(parsed),
              "[msg.dictionary.alreadyDefined] File \"dup\" line 3: Variable \"a\" is already defined.\n");

    std::string many = "a = 0\n";
    for (int i = 0; i < 150; ++i) {
        many += "a = " + std::to_string(i) + "\n";
    }
    many += "z = last\n";
    parsed = ParseDictionaryText(many, "dup");
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.messages.Messages().size(), 101u);
    EXPECT_EQ(Value(parsed, "z"), "<absent>");
    EXPECT_TRUE(log.Contains(
        "DictionaryReadLines: \"dup\" line 102: too many duplicate entries in dictionary, quitting.\n"));
}

TEST(DictionaryParser, MetavariablesAndEncodings) {
    {
        dclog::LogCapture log(dclog::kDebug2);
        ParsedDictionary parsed = ParseDictionaryText("a = 1\n.color = red\n", "meta");
        EXPECT_TRUE(parsed.ok);
        EXPECT_EQ(Value(parsed, ".color"), "<absent>");
        EXPECT_TRUE(
            log.Contains("DictionaryReadLines: \"meta\" line 2: unrecognized metavariable \".color\"\n"));
    }
    // Latin-1 declared after a value: earlier values are converted too, and
    // writing back restores the file's bytes.
    Dictionary latin;
    ASSERT_TRUE(latin.LoadText("a = caf\xE9\nCONFIG.ENCODING = \"ISO-8859-1\"\nb = \"\xFC|7C\"\n", "l1"));
    EXPECT_EQ(latin.GetString(nullptr, "a").value_or(""), "caf\xC3\xA9");
    EXPECT_EQ(latin.GetString(nullptr, "b").value_or(""), "\xC3\xBC|");
    EXPECT_EQ(latin.ToText().value_or(""),
              "a = \"caf\xE9\"\nCONFIG.ENCODING = \"ISO-8859-1\"\nb = \"\xFC|7C\"\n");

    ParsedDictionary bom = ParseDictionaryText("\xEF\xBB\xBFname = \"\xC3\xA9\"\n", "bom");
    ASSERT_TRUE(bom.ok);
    EXPECT_EQ(bom.encoding, "UTF-8");
    EXPECT_EQ(Value(bom, "name"), "\xC3\xA9");

    struct Case {
        std::string text;
        std::string message;
    };
    const Case failures[] = {
        {".encoding = no-such-charset\n",
         "[msg.dictionary.unknownEncoding] File \"e\" (line 1) specifies a character encoding "
         "(no-such-charset) "
         "that is not supported.\n"},
        {".encoding = UTF-8\n.encoding = ISO-8859-1\n",
         "[msg.dictionary.hasEncoding] File \"e\" (line 2) already has encoding \"UTF-8\".\n"},
        {"v = \"\xFF\xFE\"\n.encoding = utf-8\n",
         "[msg.dictionary.badEncodedInput] File \"e\" line 1: Value \"\xFF\xFE\" for variable \"v\" is not "
         "valid in encoding \"utf-8\".\n"},
        {"\xEF\xBB\xBFv = \"\xC3\x28\"\n",
         "[msg.dictionary.badDefaultEncoding] An error occurred while decoding file \"e\" using the default "
         "character encoding.\n"},
        {"n\xC3\xA4me = 1\n",
         "[msg.dictionary.nameNotASCII] File \"e\" line 1: Variable \"n\xC3\xA4me\" is "
         "not valid ASCII.\n"},
    };
    for (const Case& c : failures) {
        ParsedDictionary parsed = ParseDictionaryText(c.text, "e");
        EXPECT_FALSE(parsed.ok) << c.text;
        EXPECT_EQ(FirstMessage(parsed), c.message);
    }
    // Standard input keeps a leading byte-order mark as part of the name.
    ParsedDictionary stdinText = ParseDictionaryText(
        "\xEF\xBB\xBF"
        "a = 1\n",
        "<stdin>", {false});
    EXPECT_FALSE(stdinText.ok);
}

TEST(DictionaryParser, LargeAndRandomInputIsHandled) {
    std::string big(1 << 20, 'x');
    std::string text = "big = \"" + big + "\"\n";
    for (int i = 0; i < 20000; ++i) {
        text += "key" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    }
    ParsedDictionary parsed = ParseDictionaryText(text, "big");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(Value(parsed, "big"), big);
    EXPECT_EQ(Value(parsed, "key19999"), "19999");

    // Arbitrary bytes either parse or fail with a message; what parses writes
    // back to text that parses to the same values.
    std::mt19937 random(12345);
    const std::string alphabet = std::string("ab=# \t\"|0F\n.\xC3\xA9\xFF", 16) + std::string(1, '\0');
    for (int round = 0; round < 3000; ++round) {
        std::string noise;
        for (int i = 0, n = static_cast<int>(random() % 60); i < n; ++i) {
            noise += alphabet[random() % alphabet.size()];
        }
        Dictionary dictionary;
        if (!dictionary.LoadText(noise, "noise")) {
            EXPECT_FALSE(dictionary.Messages().Empty()) << round;
            continue;
        }
        std::optional<std::string> written = dictionary.ToText();
        ASSERT_TRUE(written) << round;
        Dictionary reread;
        ASSERT_TRUE(reread.LoadText(*written, "noise")) << round;
        EXPECT_EQ(reread.ToText(), written) << round;
    }
}
