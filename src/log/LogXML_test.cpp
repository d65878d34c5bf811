#include "log/LogXML.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace logging {
namespace {

class LogXMLTest : public ::testing::Test {
protected:
    std::string Text() { return tmp_.Read("morvane_log.xml"); }
    static int Count(const std::string& hay, const std::string& needle) {
        int n = 0;
        for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
        return n;
    }
    platform::TestTempDir tmp_;
    const std::string path_ = tmp_.File("morvane_log.xml");
};

TEST(LogXMLEscapeTest, EscapesMarkupAndReplacesForbiddenBytes) {
    EXPECT_EQ(LogXML::EscapeContent("a<b>\"c\" & d"), "a&lt;b&gt;&quot;c&quot; &amp; d");
    EXPECT_EQ(LogXML::EscapeContent(std::string("x\x01y\x1Fz\tq\r\n", 9)), "x?y?z\tq\r\n");
    EXPECT_EQ(LogXML::EscapeContent("caf\xE9"), "caf\xE9") << "Latin-1 bytes are valid in the declared encoding";
}

TEST(LogXMLEscapeTest, CutsAt512WithoutSplittingAnEntity) {
    EXPECT_EQ(LogXML::EscapeContent(std::string(600, 'a')).size(), 512u);
    std::string s(510, 'a');
    s += "&bbb";
    std::string out = LogXML::EscapeContent(s);
    EXPECT_EQ(out, std::string(510, 'a')) << "&amp; would cross 512: left out whole";
    EXPECT_EQ(LogXML::EscapeContent(std::string(508, 'a') + "<").size(), 512u);
}

TEST_F(LogXMLTest, NewFileGetsHeaderAndItemsStayInsideTheDocument) {
    LogXML log;
    ASSERT_TRUE(log.Open(path_, "Morvane AntiSpam"));
    log.SetLevel(1);
    EXPECT_TRUE(log.Write(1, "first", "Src", "Fn", "SYS", 12));
    EXPECT_TRUE(log.Write(3, "filtered out", "Src", "Fn", "SYS", 0));
    std::string t = Text();
    EXPECT_EQ(t.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<?xml-stylesheet href=\"Log.xsl\" "
                      "type=\"text/xsl\" ?>\n<LogFile>\n<AppName>Morvane AntiSpam</AppName>\n<Timestamp>",
                      0),
              0u);
    EXPECT_NE(t.find("    <IdConnection>12</IdConnection>\n    <Entry>first</Entry>\n  </LogItem></LogFile>"),
              std::string::npos);
    EXPECT_NE(t.find("<Filename></Filename>\n    <Function></Function>"), std::string::npos)
        << "below level 4 the source is written empty";
    EXPECT_EQ(t.find("filtered out"), std::string::npos);
    EXPECT_EQ(Count(t, "</LogFile>"), 1);
    EXPECT_EQ(t.substr(t.size() - 10), "</LogFile>");
}

TEST_F(LogXMLTest, LevelFourWritesSourceOnlyWhenGiven) {
    LogXML log;
    ASSERT_TRUE(log.Open(path_, "App"));
    log.SetLevel(4);
    log.Write(4, "dbg", "Dns", "CDns::Query", "DEBUG", 0);
    log.Write(4, "bare");
    std::string t = Text();
    EXPECT_NE(t.find("<Filename>Dns</Filename>\n    <Function>CDns::Query</Function>\n    <Type>DEBUG</Type>"),
              std::string::npos);
    EXPECT_NE(t.find("<Time>"), std::string::npos);
    size_t bare = t.find("<Entry>bare</Entry>");
    ASSERT_NE(bare, std::string::npos);
    size_t item = t.rfind("<LogItem>", bare);
    EXPECT_EQ(t.substr(item, bare - item).find("Filename"), std::string::npos);
}

TEST_F(LogXMLTest, ReopenAppendsBeforeTheClosingTagAndCloseWritesItsItem) {
    {
        LogXML log;
        ASSERT_TRUE(log.Open(path_, "App"));
        log.SetLevel(1);
        log.Write(1, "one");
        log.Close();
    }
    {
        LogXML log;
        ASSERT_TRUE(log.Open(path_, "App"));
        log.SetLevel(1);
        log.Write(1, "two");
        log.Close();
    }
    std::string t = Text();
    EXPECT_EQ(Count(t, "<AppName>"), 1) << "an existing log gets no second header";
    EXPECT_EQ(Count(t, "</LogFile>"), 1);
    EXPECT_EQ(Count(t, "<Entry>Log File closed</Entry>"), 2);
    EXPECT_LT(t.find("<Entry>one</Entry>"), t.find("<Entry>two</Entry>"));
}

TEST_F(LogXMLTest, LevelZeroCloseWritesNoClosingItem) {
    LogXML log;
    ASSERT_TRUE(log.Open(path_, "App"));
    log.SetLevel(0);
    log.Close();
    EXPECT_EQ(Text().find("Log File closed"), std::string::npos);
}

TEST_F(LogXMLTest, CrashedLogIsAppendedAtItsEnd) {
    ASSERT_TRUE(platform::WriteFileAtomic(path_, "<?xml version=\"1.0\"?>\n<LogFile>\n  <LogItem><Entry>cut"));
    LogXML log;
    ASSERT_TRUE(log.Open(path_, "App"));
    log.SetLevel(1);
    log.Write(1, "after");
    std::string t = Text();
    EXPECT_NE(t.find("<Entry>cut\n  <LogItem>"), std::string::npos);
}

}  // namespace
}  // namespace logging
