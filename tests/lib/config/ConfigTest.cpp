// The settings files: the dictionary format, typed reads, and the layered
// preference store built from the host, site and user files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lib/config/Dictionary.h"
#include "lib/config/DictionaryParser.h"
#include "lib/config/Preference.h"
#include "lib/config/PreferenceInit.h"
#include "lib/config/PreferenceStore.h"
#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/support/Sandbox.h"

using dcconfig::ParsedDictionary;
using dcconfig::ParseDictionaryText;
using dcconfig::PreferencePaths;
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

namespace {

class PreferenceStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { Preference_Exit(); }
    void TearDown() override { Preference_Exit(); }

    // All six files live below the temp dir; HOST DEFAULTS points libdir there.
    PreferencePaths Paths() const {
        return {dir_.File("etc/config"), dir_.File("default-lib"), dir_.File("home/.tarvelo/config"),
                dir_.File("home/.tarvelo/preferences")};
    }
    std::string LibDir() const { return dir_.File("lib"); }
    void WriteHost(const std::string& extra) const {
        dir_.Write("etc/config", "libdir = \"" + LibDir() + "\"\n" + extra);
    }
    void WriteLayeredFiles() const {
        WriteHost("k1 = host\nk2 = host\nk3 = host\nk4 = host\nk5 = host\n");
        dir_.Write("lib/settings", "k1 = global\n");
        dir_.Write("home/.tarvelo/preferences", "k1 = userpref\nk2 = userpref\n");
        dir_.Write("home/.tarvelo/config", "k1 = userdef\nk2 = userdef\nk3 = userdef\n");
        dir_.Write("lib/config", "k1 = site\nk2 = site\nk3 = site\nk4 = site\nk6 = site\n");
    }

    TempDir dir_;
};

}  // namespace

TEST_F(PreferenceStoreTest, LayersAnswerInTheirFixedOrder) {
    WriteLayeredFiles();
    dcconfig::Preference_InitWithPaths(Paths(), true);
    EXPECT_EQ(Preference_GetString(nullptr, "k1").value_or(""), "global");
    EXPECT_EQ(Preference_GetString(nullptr, "k2").value_or(""), "userpref");
    EXPECT_EQ(Preference_GetString(nullptr, "k3").value_or(""), "userdef");
    EXPECT_EQ(Preference_GetString(nullptr, "k4").value_or(""), "host");
    EXPECT_EQ(Preference_GetString(nullptr, "k6").value_or(""), "site");
    EXPECT_EQ(Preference_GetString("dflt", "k7").value_or(""), "dflt");
}

TEST_F(PreferenceStoreTest, BrokenFilesAreSkippedWithTheirReasons) {
    WriteHost("x = host\n");
    dir_.Write("lib/config", "x = site\ny = site\nthis line is wrong\n");
    std::filesystem::create_directories(LibDir() + "/settings");
    dclog::LogCapture log(dclog::kDebug2);
    dcconfig::Preference_InitWithPaths(Paths(), false);
    EXPECT_EQ(Preference_GetString(nullptr, "y").value_or("<null>"), "<null>");
    EXPECT_EQ(Preference_GetString(nullptr, "x").value_or(""), "host");
    EXPECT_TRUE(log.Contains("[msg.dictionary.read.syntaxError] File \"" + LibDir() +
                             "/config\" line 3: Syntax error.\n"));
    EXPECT_TRUE(
        log.Contains("[msg.dictionary.load.isDirectory] \"" + LibDir() + "/settings\" is a directory.\n"));
    EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + LibDir() + "/config."));
}

TEST_F(PreferenceStoreTest, UserFilesFollowTheHostSwitchAndHome) {
    WriteLayeredFiles();
    {
        WriteHost("disableUserPreferences = yes\nk2 = host\n");
        dclog::LogCapture log(dclog::kDebug2);
        dcconfig::Preference_InitWithPaths(Paths(), true);
        EXPECT_EQ(Preference_GetString(nullptr, "k2").value_or(""), "host");
        EXPECT_TRUE(log.Contains("PREF Disabling user preferences because disableUserPreferences is set.\n"));
        Preference_Exit();
    }
    // The user's files, found through "~", are read with equal uids.
    WriteLayeredFiles();
    PreferencePaths tilde = Paths();
    tilde.userDefaults = "~/.tarvelo/config";
    tilde.userPreferences = "~/.tarvelo/preferences";
    std::string home = dir_.File("home");
    const char* savedHome = std::getenv("HOME");
    std::string restore = savedHome ? savedHome : "";
    setenv("HOME", home.c_str(), 1);
    dcconfig::Preference_InitWithPaths(tilde, true);
    EXPECT_EQ(Preference_GetString(nullptr, "k2").value_or(""), "userpref");
    Preference_Exit();
}

TEST_F(PreferenceStoreTest, ConcurrentInitialisationAndReaders) {
    WriteHost("n = 7\nb = true\ns = \"text\"\n");
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            dcconfig::Preference_InitWithPaths(Paths(), false);
            for (int i = 0; i < 3000; ++i) {
                bool ok = Preference_GetInt32(0, "n") == 7 && Preference_GetBool(false, "b") &&
                          Preference_GetString(nullptr, "s").value_or("") == "text" &&
                          // Each caller's own default: a default is never a setting.
                          Preference_GetInt32(t + 1, ("missing" + std::to_string(i % 7)).c_str()) == t + 1;
                wrong += ok ? 0 : 1;
            }
        });
    }
    dclog::LogCapture quiet(dclog::kDebug2);
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(quiet.Contains("PREF Optional preferences file not found at " + Paths().hostDefaults));
}
