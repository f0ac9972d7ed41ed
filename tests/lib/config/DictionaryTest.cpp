#include <gtest/gtest.h>

#include <string>

#include "lib/config/Dictionary.h"
#include "tests/support/TempDir.h"

using dctest::TempDir;

namespace {

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
