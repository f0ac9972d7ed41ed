#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "lib/config/Dictionary.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
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

}  // namespace

TEST(Dictionary, BooleanAndTristateWords) {
    const std::pair<const char*, int> words[] = {
        {"TRUE", 1}, {"t", 1},        {"Yes", 1},       {"y", 1},    {"ON", 1}, {"1", 1},
        {"\"\"", 1}, {"false", 0},    {"F", 0},         {"no", 0},   {"N", 0},  {"off", 0},
        {"0", 0},    {"default", -1}, {"DontCare", -1}, {"AUTO", -1}};
    for (const auto& [word, expected] : words) {
        Dictionary d = Load(std::string("v = ") + word + "\n");
        if (expected >= 0) {
            EXPECT_EQ(d.GetBool(expected == 0, "v"), expected == 1) << word;
        }
        EXPECT_EQ(d.GetTriState(expected == -1 ? 1 : -1, "v"), expected) << word;
        EXPECT_TRUE(d.Messages().Empty()) << word;
    }

    Dictionary d = Load("bad = maybe\ntri = sometimes\n");
    EXPECT_TRUE(d.GetBool(true, "bad"));
    EXPECT_EQ(
        LastMessage(d),
        "[msg.dictionary.notBoolean] Value \"maybe\" for variable \"bad\" is not a valid boolean value. "
        "Using value \"TRUE\".\n");
    d.ClearMessages();
    EXPECT_TRUE(d.GetBool(false, "bad")) << "the first read fixes the value";
    EXPECT_TRUE(d.Messages().Empty()) << "a bad value is reported once";
    EXPECT_EQ(d.GetTriState(-1, "tri"), -1);
    EXPECT_EQ(LastMessage(d),
              "[msg.dictionary.notTristate] Value \"sometimes\" for variable \"tri\" is not a valid tristate "
              "value. Using value \"default\".\n");
}

TEST(Dictionary, IntegerAndDoubleConversions) {
    Dictionary d = Load(
        "hex = 0x10\noct = 010\nneg = -5\nall = 4294967295\nbig = 4294967296\nlow = -2147483649\n"
        "junk = 12abc\nnone = \"\"\n"
        "w = 18446744073709551615\nwbig = 18446744073709551616\nwjunk = 1x\nw2 = 0x7fffffffffffffff\n"
        "d = 2.5\ndexp = -1e3\ndbig = 1e999\ndjunk = 1.5.6\n");
    EXPECT_EQ(d.GetInt32(0, "hex"), 16);
    EXPECT_EQ(d.GetInt32(0, "oct"), 8);
    EXPECT_EQ(d.GetInt32(0, "neg"), -5);
    EXPECT_EQ(d.GetInt32(0, "all"), -1);
    EXPECT_TRUE(d.Messages().Empty());

    EXPECT_EQ(d.GetInt32(7, "big"), 7);
    EXPECT_EQ(LastMessage(d),
              "[msg.dictionary.integerOutOfRange] Value \"4294967296\" for variable \"big\" is out of range. "
              "Using value \"7\".\n");
    EXPECT_EQ(d.GetInt32(3, "low"), 3);
    EXPECT_EQ(LastMessage(d).substr(0, 35), "[msg.dictionary.integerOutOfRange] ");
    EXPECT_EQ(d.GetInt32(9, "junk"), 9);
    EXPECT_EQ(
        LastMessage(d),
        "[msg.dictionary.notInteger] Value \"12abc\" for variable \"junk\" is not a valid integer value. "
        "Using value \"9\".\n");
    EXPECT_EQ(d.GetInt32(4, "none"), 4);
    EXPECT_EQ(LastMessage(d).substr(0, 28), "[msg.dictionary.notInteger] ");

    EXPECT_EQ(d.GetInt64(0, "w"), -1);
    EXPECT_EQ(d.GetInt64(0, "w2"), INT64_MAX);
    EXPECT_EQ(d.GetInt64(5, "wbig"), 5);
    EXPECT_EQ(
        LastMessage(d),
        "[msg.dictionary.integer64OutOfRange] Value \"18446744073709551616\" for variable \"wbig\" is out "
        "of range. Using value \"5\".\n");
    EXPECT_EQ(d.GetInt64(6, "wjunk"), 6);
    EXPECT_EQ(
        LastMessage(d),
        "[msg.dictionary.notInteger64] Value \"1x\" for variable \"wjunk\" is not a valid integer value. "
        "Using value \"6\".\n");

    EXPECT_DOUBLE_EQ(d.GetDouble(0, "d"), 2.5);
    EXPECT_DOUBLE_EQ(d.GetDouble(0, "dexp"), -1000);
    EXPECT_DOUBLE_EQ(d.GetDouble(1.5, "dbig"), 1.5);
    EXPECT_EQ(
        LastMessage(d),
        "[msg.dictionary.doubleOutOfRange] Value \"1e999\" for variable \"dbig\" is out of range. Using "
        "value \"1.500000\".\n");
    EXPECT_DOUBLE_EQ(d.GetDouble(0.25, "djunk"), 0.25);
    EXPECT_EQ(
        LastMessage(d),
        "[msg.dictionary.notFloat] Value \"1.5.6\" for variable \"djunk\" is not a valid floating point "
        "value. Using value \"0.250000\".\n");
}

TEST(Dictionary, DefaultsAreRecordedButNeverCountAsSettingsOrWrittenBack) {
    Dictionary d;
    EXPECT_EQ(d.GetInt32(0, "zero"), 0);
    EXPECT_EQ(d.GetInt32(-1, "minus"), -1);
    EXPECT_EQ(d.GetString("", "empty").value_or("<null>"), "");
    EXPECT_FALSE(d.GetString(nullptr, "null"));
    for (const char* name : {"zero", "minus", "empty", "null"}) {
        EXPECT_FALSE(d.EntryType(name)) << name;
    }
    EXPECT_EQ(d.GetInt32(7, "seven"), 7);
    EXPECT_EQ(d.EntryType("seven"), DictValueType::kInt32);
    EXPECT_FALSE(d.HasEntry("seven"));
    EXPECT_EQ(d.GetInt32(8, "seven"), 8) << "another caller's default is honoured";
    EXPECT_EQ(d.ToText().value_or("<failed>"), "");
}

TEST(Dictionary, TypedSettersWriteBackInPlace) {
    Dictionary d = Load("# log settings\nlog.keepOld = 3\n");
    d.SetString("log.config", "DesktopController.log.filename");
    d.SetInt32("log.keepOld", 50);
    d.SetString("log.fileLevel", "debug2");
    d.SetBool("flag", true);
    d.SetInt64("big", INT64_MIN);
    d.SetTriState("tri", -1);
    d.SetDouble("ratio", 0.1);
    EXPECT_EQ(d.GetInt32(0, "log.keepOld"), 50);
    EXPECT_EQ(d.GetString(nullptr, "log.fileLevel").value_or(""), "debug2");
    EXPECT_TRUE(d.HasEntry("log.config"));
    EXPECT_DOUBLE_EQ(d.GetDouble(0, "ratio"), 0.1);
    EXPECT_EQ(d.ToText().value_or(""),
              "# log settings\n"
              "log.keepOld = \"50\"\n"
              "log.config = \"DesktopController.log.filename\"\n"
              "log.fileLevel = \"debug2\"\n"
              "flag = \"TRUE\"\n"
              "big = \"-9223372036854775808\"\n"
              "tri = \"default\"\n"
              "ratio = \"0.10000000000000001\"\n");
    Dictionary reread = Load(*d.ToText());
    EXPECT_EQ(reread.GetInt64(0, "big"), INT64_MIN);
    EXPECT_EQ(reread.GetTriState(1, "tri"), -1);
    EXPECT_DOUBLE_EQ(reread.GetDouble(0, "ratio"), 0.1);
}

TEST(Dictionary, FilesDirectoriesAndStandardInput) {
    TempDir dir;
    dclog::LogCapture log(dclog::kDebug2);
    Dictionary d;
    std::string missing = dir.File("missing");
    EXPECT_FALSE(d.LoadFile(missing));
    EXPECT_EQ(LastMessage(d), "[msg.dictionary.load.openFailed] Cannot open file \"" + missing +
                                  "\": No such file or directory.\n");
    EXPECT_FALSE(d.LoadFile(dir.Path()));
    EXPECT_EQ(LastMessage(d), "[msg.dictionary.load.isDirectory] \"" + dir.Path() + "\" is a directory.\n");
    EXPECT_TRUE(log.Contains("DictionaryLoad: \"" + dir.Path() + "\" is a directory.\n"));

    std::string path = dir.Write("prefs", "\xEF\xBB\xBFname = \"caf\xC3\xA9\"\nbad = 1\n");
    ASSERT_TRUE(d.LoadFile(path));
    EXPECT_EQ(d.Encoding(), "UTF-8");
    d.SetString("nl", "a\nb");
    std::string copy = dir.File("copy");
    ASSERT_TRUE(d.WriteFile(copy));
    Dictionary reread;
    ASSERT_TRUE(reread.LoadFile(copy));
    EXPECT_EQ(reread.GetString(nullptr, "name").value_or(""), "caf\xC3\xA9");
    EXPECT_EQ(reread.GetString(nullptr, "nl").value_or(""), "a\nb");

    std::string broken = dir.Write("broken", "ok = 1\nnot an entry\n");
    int saved = dup(STDIN_FILENO);
    int fd = open(broken.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    dup2(fd, STDIN_FILENO);
    close(fd);
    EXPECT_FALSE(reread.LoadFile("-"));
    dup2(saved, STDIN_FILENO);
    close(saved);
    EXPECT_EQ(LastMessage(reread),
              "[msg.dictionary.read.syntaxError] File \"<stdin>\" line 2: Syntax error.\n");
}
