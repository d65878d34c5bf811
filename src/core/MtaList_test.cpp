#include "core/MtaList.h"

#include <gtest/gtest.h>

namespace core {
namespace {

std::vector<std::string> Walk(CMtaList& l) {
    std::vector<std::string> out;
    CMtaList::Cursor c = l.Begin();
    while (auto s = l.Next(c)) out.push_back(s->host);
    return out;
}

TEST(MtaListTest, SelectionModes) {
    CMtaList l;
    l.Add("a", 25, "ta");
    l.Add("", 25, "skipped: no host");
    l.Add("b", 0, "skipped: no port");
    l.Add("b", 26, "tb");
    l.Add("c", 27, "tc");
    EXPECT_EQ(l.Count(), 3u);
    l.SetMode(1);
    EXPECT_EQ(Walk(l), (std::vector<std::string>{"a"})) << "the first only, once";
    l.SetMode(2);
    EXPECT_EQ(Walk(l), (std::vector<std::string>{"a", "b", "c"}));
    l.SetMode(3);
    EXPECT_EQ(Walk(l), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(Walk(l), (std::vector<std::string>{"b", "c", "a"})) << "each connection starts one further";
    EXPECT_EQ(Walk(l), (std::vector<std::string>{"c", "a", "b"}));
    l.SetMode(7);
    EXPECT_EQ(l.Mode(), 1) << "an unknown mode is mode 1";
    l.Clear();
    EXPECT_TRUE(Walk(l).empty());
}

TEST(MtaListTest, SetReplacesTheServersAndTheModeAtOnce) {
    CMtaList l;
    l.Add("old.example", 25, "old");
    l.Set({{"a.example", 25, "a"}, {"", 25, "no host"}, {"b.example", 0, "no port"}, {"c.example", 26, "c"}}, 3);
    EXPECT_EQ(l.Count(), 2u);
    EXPECT_EQ(l.Mode(), 3);
    CMtaList::Cursor cur = l.Begin();
    std::optional<MtaServer> first = l.Next(cur);
    ASSERT_TRUE(first);
    EXPECT_NE(first->host, "old.example");
    l.Set({}, 9);
    EXPECT_EQ(l.Mode(), 1);
    cur = l.Begin();
    EXPECT_FALSE(l.Next(cur));
}

}  // namespace
}  // namespace core
