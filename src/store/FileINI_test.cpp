#include "store/FileINI.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace store {
namespace {

std::string Dump(const std::vector<IniEntry>& entries) {
    std::string out;
    for (const IniEntry& e : entries) {
        out += e.section.str() + "|" + e.key.str() + "|" + e.value.str() + "\n";
    }
    return out;
}

TEST(FileINIParseTest, LineRules) {
    struct Case {
        const char* name;
        std::string_view text;
        const char* want;
    } cases[] = {
        {"blank right after = is kept", "[s]\r\nkey = value\r\n", "s|key| value\n"},
        {"blanks after the first are kept once the value has begun", "[s]\nk=   v w\n", "s|k|   v w\n"},
        {"blanks before the = dropped", "[s]\nk  =v\n", "s|k|v\n"},
        {"lines before first section ignored", "x=1\n[s]\na=2\n", "s|a|2\n"},
        {"CR, LF or both end a line", "[s]\ra=1\rb=2\nc=3\r\n", "s|a|1\ns|b|2\ns|c|3\n"},
        {"= and [ inside a value kept", "[s]\nurl=a=b[c]\n", "s|url|a=b[c]\n"},
        {"empty section skipped", "[]\na=1\n[t]\nb=2\n", "t|b|2\n"},
        {"line without = is no entry", "[s]\nflag\n", ""},
        {"= with no key before it is no entry", "[s]\n=x\n", ""},
        {"comments are no entries", "[s]\n;a=1\n  # b=2\na=3\n", "s|a|3\n"},
        {"duplicates kept", "[s]\na=1\na=2\n", "s|a|1\ns|a|2\n"},
        {"last line without break kept", "[s]\na=1\nb=2", "s|a|1\ns|b|2\n"},
        {"empty value", "[s]\na=\r\n", "s|a|\n"},
        {"key blanks dropped", "[s]\n  my key=1\n", "s|mykey|1\n"},
        {"two sections", "[a]\nx=1\n[b]\ny=2\n", "a|x|1\nb|y|2\n"},
        {"a broken header hides its lines", "[a]\nx=1\n[b\ny=2\n[c]\nz=3\n", "a|x|1\nc|z|3\n"},
        {"header with blanks around", "  [a]  \nx=1\n", "a|x|1\n"},
        {"text after a header breaks it", "[a] x\nx=1\n", ""},
        {"a NUL byte makes no entry", std::string_view("[s]\nk\0=1\na=1\n[x\0]\nb=2\n", 22), "s|a|1\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Dump(CFileINI::Parse(c.text)), c.want) << c.name;
}

class FileINITest : public ::testing::Test {
protected:
    platform::TestTempDir tmp_;
    const std::string path_ = tmp_.File("t.ini");
};

TEST_F(FileINITest, TypedGettersFallBackToDefaults) {
    CFileINI ini;
    ini.LoadByString("[n]\ni=42\nneg=-7\nf=2.5\nbad=abc\nlead= 12x\n");
    EXPECT_EQ(ini.GetInt("n", "i", 0), 42);
    EXPECT_EQ(ini.GetInt("n", "neg", 0), -7);
    EXPECT_EQ(ini.GetInt("n", "bad", 9), 9);
    EXPECT_EQ(ini.GetInt("n", "lead", 0), 12);
    EXPECT_EQ(ini.GetInt("n", "missing", 5), 5);
    EXPECT_EQ(ini.GetInt("other", "i", 5), 5);
    EXPECT_FLOAT_EQ(ini.GetFloat("n", "f", 0), 2.5f);
    EXPECT_EQ(ini.GetString("N", "i", "d"), "d") << "lookups are case-sensitive";
    EXPECT_EQ(ini.GetValue("", "f", ""), "2.5") << "no section: any section";
}

TEST_F(FileINITest, WritePlacesNewKeysAtTheTopOfTheirSection) {
    CFileINI ini;
    ini.LoadByString("[a]\nx=1\n[b]\ny=2\n");
    ini.WriteString("b", "z", "3");
    ini.WriteString("c", "w", "4");
    ini.WriteString("a", "x", "9");
    ini.WriteInt("a", "n", -3);
    ini.WriteFloat("a", "f", 1.45f);
    EXPECT_EQ(ini.Serialize(), "[a]\r\nf=1.450000\r\nn=-3\r\nx=9\r\n[b]\r\nz=3\r\ny=2\r\n[c]\r\nw=4\r\n");
}

TEST_F(FileINITest, SplitSectionsGetTwoHeaders) {
    CFileINI ini;
    ini.LoadByString("[a]\nx=1\n[b]\ny=2\n[a]\nz=3\n");
    EXPECT_EQ(ini.Serialize(), "[a]\r\nx=1\r\n[b]\r\ny=2\r\n[a]\r\nz=3\r\n");
    EXPECT_EQ(ini.GetString("a", "z", ""), "3");
}

TEST_F(FileINITest, SaveAndLoadRoundTrip) {
    CFileINI ini;
    EXPECT_FALSE(ini.Save()) << "no path yet";
    EXPECT_FALSE(ini.Load(path_)) << "missing file";
    ini.WriteString("s", "k", " spaced value");
    ini.WriteString("s", "e", "");
    ASSERT_TRUE(ini.Save());
    CFileINI back;
    ASSERT_TRUE(back.Load(path_));
    EXPECT_EQ(back.GetString("s", "k", "x"), " spaced value");
    EXPECT_TRUE(back.KeyExists("s", "e"));
    EXPECT_TRUE(back.DeleteKey("s", "e"));
    EXPECT_FALSE(back.DeleteKey("s", "e"));
    EXPECT_FALSE(back.KeyExists("s", "e"));
    auto pairs = back.ToPairs("s");
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].first, "k");
}

TEST_F(FileINITest, LinesThatAreNoEntriesAreWrittenBackAsTheyStood) {
    const std::string text =
        "; Morvane\r\nstray=1\r\n[CONFIG]\r\n# the port\r\nlisten_port=2525\r\n\r\nthisisagarbageline\r\n"
        "[READMIN\r\nport=33\r\n[WEBGUI]\r\nport=8080\r\n[EMPTY]\r\n";
    CFileINI ini;
    ini.LoadByString(text);
    EXPECT_EQ(ini.Serialize(), text);
    EXPECT_FALSE(ini.KeyExists("READMIN", "port")) << "a key under a broken header is no setting";
    EXPECT_FALSE(ini.KeyExists("CONFIG", "thisisagarbageline"));
    ASSERT_TRUE(ini.WriteString("CONFIG", "loglevel", "4"));
    ASSERT_TRUE(ini.WriteString("EMPTY", "k", "v"));
    ASSERT_TRUE(ini.WriteString("READMIN", "port", "44"));
    EXPECT_EQ(ini.Serialize(),
              "; Morvane\r\nstray=1\r\n[CONFIG]\r\nloglevel=4\r\n# the port\r\nlisten_port=2525\r\n\r\n"
              "thisisagarbageline\r\n[READMIN\r\nport=33\r\n[WEBGUI]\r\nport=8080\r\n[EMPTY]\r\nk=v\r\n"
              "[READMIN]\r\nport=44\r\n");
}

TEST_F(FileINITest, WritesThatWouldNotReadBackAreRefused) {
    CFileINI ini;
    ini.LoadByString("[WEBGUI]\nport=6969\n");
    // A key or section with a line end would write a section of its own into the file.
    EXPECT_FALSE(ini.WriteString("WEBGUI", "x\r\n[READMIN]\r\nenable", "1"));
    EXPECT_FALSE(ini.WriteString("WEBGUI]\n[READMIN", "enable", "1"));
    EXPECT_FALSE(ini.WriteString("WEBGUI", "port", "1\n[READMIN]\nenable=1"));
    EXPECT_FALSE(ini.WriteString("WEBGUI", "port", std::string_view("1\0", 2)));
    for (const char* key : {"", "a=b", "a b", "[a", "a]", ";a", "#a", "a\tb"})
        EXPECT_FALSE(ini.WriteString("WEBGUI", key, "1")) << key;
    for (const char* section : {"", "a=b", "a[b"}) EXPECT_FALSE(ini.WriteString(section, "k", "1")) << section;
    EXPECT_NE(CFileINI::WriteError("S", "a b", "1"), "");
    EXPECT_EQ(ini.Serialize(), "[WEBGUI]\r\nport=6969\r\n");
    EXPECT_TRUE(ini.WriteString("my section", "k", " =[v]"));
    CFileINI back;
    back.LoadByString(ini.Serialize());
    EXPECT_EQ(back.GetString("my section", "k", ""), " =[v]");
}

TEST_F(FileINITest, TruncatedFileLoadsEveryCompleteLine) {
    const std::string full = "[CONFIG]\r\nloglevel=4\r\nlisten_port=2525\r\n[DNS]\r\nnameserver_0=127.0.0.1\r\n";
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        ASSERT_TRUE(platform::WriteFileAtomic(path_, full.substr(0, cut)));
        CFileINI ini;
        ASSERT_TRUE(ini.Load(path_));
        for (const IniEntry& e : ini.Entries()) {
            EXPECT_NE(full.find(e.key.str()), std::string::npos) << "cut at " << cut;
            EXPECT_NE(full.find(e.value.str()), std::string::npos) << "cut at " << cut;
        }
    }
}

}  // namespace
}  // namespace store
