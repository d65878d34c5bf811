#include "common/Regex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace common {
namespace {

TEST(RegexTest, OptionBitsMapToPcreFlags) {
    struct Case {
        const char* pattern;
        int options;
        const char* subject;
        bool want;
    } cases[] = {
        {"^mail from:", 0, "MAIL FROM:<a@b>", false},
        {"^mail from:", kRegexCaseless, "MAIL FROM:<a@b>", true},
        {"^Subject:", 0, "From: a\r\nSubject: x", false},
        {"^Subject:", kRegexMultiline, "From: a\r\nSubject: x", true},
        {"a.b", 0, "a\nb", false},
        {"a.b", kRegexDotAll, "a\nb", true},
        {"a b  c # comment", kRegexExtended, "abc", true},
        {"a b", 0, "abc", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RegexTest(c.pattern, c.options, c.subject), c.want) << c.pattern << " opts " << c.options;
}

TEST(RegexTest, CapturesUpToNineGroups) {
    RegexMatch m = RegexSearch("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", 0, "abcdefghij");
    ASSERT_TRUE(m.matched());
    EXPECT_EQ(m.text[0], "abcdefghij");
    EXPECT_EQ(m.text[1], "a");
    EXPECT_EQ(m.text[9], "i");
    m = RegexSearch("^(\\w+)(?: (x))?", 0, "hello world");
    ASSERT_TRUE(m.matched());
    EXPECT_EQ(m.text[1], "hello");
    EXPECT_EQ(m.offset[2], -1) << "a group that did not take part has no offset";
    m = RegexSearch("o", 0, "foo", 2);
    EXPECT_EQ(m.offset[0], 2);
    EXPECT_FALSE(RegexSearch("o", 0, "foo", 10).matched());
}

TEST(RegexTest, BadPatternIsAResultNotACrash) {
    RegexMatch m = RegexSearch("(unclosed", 0, "x");
    EXPECT_EQ(m.status, RegexStatus::BadPattern);
    EXPECT_NE(m.error.find("offset"), std::string::npos);
    EXPECT_FALSE(RegexTest("[z-a]", 0, "x"));
    std::string s = "abc";
    EXPECT_EQ(RegexReplace("*", 0, s, "x"), -1);
    EXPECT_EQ(s, "abc");
    EXPECT_FALSE(RegexCheck("a{2,1}", 0).empty());
    EXPECT_TRUE(RegexCheck("a{1,2}", 0).empty());
}

TEST(RegexTest, ReplaceExpandsGroupReferences) {
    std::string s = "john@example.com, ann@example.org";
    EXPECT_EQ(RegexReplace("(\\w+)@(\\w+)\\.(\\w+)", 0, s, "$2:$1 ($$)"), 2);
    EXPECT_EQ(s, "example:john ($), example:ann ($)");
    std::string once = "a a a";
    EXPECT_EQ(RegexReplace("a", 0, once, "b", false), 1);
    EXPECT_EQ(once, "b a a");
    std::string empty_matches = "abc";
    EXPECT_EQ(RegexReplace("x*", 0, empty_matches, "-"), 4) << "empty matches advance";
    EXPECT_EQ(empty_matches, "-a-b-c-");
}

TEST(RegexTest, CatastrophicBacktrackingIsBounded) {
    // Run on a thread of its own with a deadline: were the match limit gone, the search would
    // take longer than the universe has, and the test must fail rather than hang the suite.
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> matched = done->get_future();
    std::thread([done] {
        std::string subject(40, 'a');
        subject += "!";
        done->set_value(RegexSearch("^(a+)+$", 0, subject).matched());
    }).detach();
    ASSERT_EQ(matched.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the match limit did not hold";
    EXPECT_FALSE(matched.get());
}

TEST(RegexTest, CacheIsSharedAcrossThreadsAndBounded) {
    RegexCacheClear();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) ASSERT_TRUE(RegexTest("^rcpt to:", kRegexCaseless, "RCPT TO:<x>"));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(RegexCacheSize(), 1u);
    RegexTest("^rcpt to:", 0, "x");
    EXPECT_EQ(RegexCacheSize(), 2u) << "options are part of the cache key";
}

}  // namespace
}  // namespace common
