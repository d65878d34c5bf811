#include "store/History.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace store {
namespace {

HistoryRecord Make(int64_t time, std::string sender, std::string action = "delivered") {
    HistoryRecord r;
    r.time = time;
    r.client_ip = "192.0.2." + std::to_string(time % 250);
    r.client_name = "mx" + std::to_string(time) + ".example.net";
    r.sender = std::move(sender);
    r.recipients = "bob@example.org";
    r.action = std::move(action);
    r.step = "end of data";
    r.reasons = "0.00 spf-Pass";
    return r;
}

TEST(HistoryTest, LinesRoundTripAnyBytesAndRefuseDamage) {
    HistoryRecord r = Make(1700000000, "odd\tsender\\with\r\nline ends");
    r.id = 7;
    r.note = std::string("nul\0byte", 8);
    r.reply = std::string(5000, 'x');
    const std::string line = CHistory::FormatLine(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    auto back = CHistory::ParseLine(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sender, r.sender);
    EXPECT_EQ(back->note, r.note);
    EXPECT_EQ(back->reply.size(), CHistory::kMaxField) << "fields are cut, so a record stays bounded";
    EXPECT_EQ(back->id, 7);
    EXPECT_FALSE(CHistory::ParseLine(line.substr(0, line.size() / 2))) << "a torn line";
    EXPECT_FALSE(CHistory::ParseLine(line + "\textra"));
    EXPECT_FALSE(CHistory::ParseLine("x" + line)) << "an id that is no number";
    EXPECT_FALSE(CHistory::ParseLine(""));

    // Memory keeps every field as the file does: each whole up to the limit, in its place.
    CHistory h("", 10);
    r.helo = "";
    r.message_id = "<m@x>";
    r.tls = "TLSv1.3";
    r.duration_ms = 12;
    r.messages = 2;
    r.size = 1 << 20;
    h.Add(r);
    const auto rows = h.Query({}, 0, 1, nullptr);
    ASSERT_EQ(rows.size(), 1u);
    auto kept = h.Get(rows[0].id);
    ASSERT_TRUE(kept);
    HistoryRecord want = r;
    want.id = kept->id;
    want.reply.resize(CHistory::kMaxField);
    EXPECT_EQ(CHistory::FormatLine(*kept), CHistory::FormatLine(want));
    EXPECT_EQ(kept->reply, want.reply);
    EXPECT_EQ(kept->note, r.note) << "a NUL byte inside a field stays";
    EXPECT_EQ(kept->helo, "");
    EXPECT_EQ(kept->tls, "TLSv1.3");
    EXPECT_EQ(kept->size, 1 << 20);
}

TEST(HistoryTest, BoundedNewestFirstFilteredAndPaged) {
    CHistory h("", 5);
    for (int i = 1; i <= 8; ++i)
        h.Add(Make(1000 + i, i % 2 ? "Alice@Example.com" : "bulk@spam.test", i == 8 ? "refused" : "delivered"));
    EXPECT_EQ(h.Count(), 5u) << "the oldest are dropped";
    size_t total = 0;
    auto all = h.Query({}, 0, 100, &total);
    ASSERT_EQ(total, 5u);
    EXPECT_EQ(all.front().time, 1008);
    EXPECT_EQ(all.back().time, 1004);
    CHistory::Filter f;
    f.sender = "alice@EXAMPLE";
    auto alice = h.Query(f, 0, 100, &total);
    EXPECT_EQ(total, 2u) << "1005 and 1007, without regard to case";
    f = {};
    f.action = "refused";
    EXPECT_EQ(h.Query(f, 0, 100, &total).front().time, 1008);
    f = {};
    f.from = 1005;
    f.to = 1006;
    EXPECT_EQ(h.Query(f, 0, 100, &total).size(), 2u);
    f = {};
    f.address = "MX1007.example";
    EXPECT_EQ(h.Query(f, 0, 100, &total).front().time, 1007);
    auto page = h.Query({}, 2, 2, &total);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].time, 1006);
    EXPECT_EQ(total, 5u);
    EXPECT_EQ(h.Get(all[1].id)->time, 1007);
    EXPECT_FALSE(h.Get(1)) << "dropped";
    h.SetMaxRecords(2);
    EXPECT_EQ(h.Count(), 2u);
}

TEST(HistoryTest, SurvivesARestartStaysBoundedOnDiskAndSkipsATornLine) {
    platform::TestTempDir dir;
    const std::string path = dir.File("history.log");
    {
        CHistory h(path, 3);
        ASSERT_TRUE(h.Load());
        h.Start();
        for (int i = 1; i <= 10; ++i) h.Add(Make(2000 + i, "s" + std::to_string(i)));
        h.Stop();  // writes what is queued
    }
    std::string text;
    ASSERT_TRUE(platform::ReadWholeFile(path, text));
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_LE(lines, 6u) << "rewritten once it held twice the maximum";
    {
        std::ofstream(path, std::ios::app) << "11\t2011\t0\t0\thalf a rec";  // a crash mid-write
    }
    CHistory again(path, 3);
    ASSERT_TRUE(again.Load());
    size_t total = 0;
    auto kept = again.Query({}, 0, 10, &total);
    ASSERT_EQ(total, 3u);
    EXPECT_EQ(kept.front().sender, "s10");
    again.Add(Make(3000, "after"));
    EXPECT_GT(again.Query({}, 0, 1, &total).front().id, kept.front().id) << "ids go on after the stored ones";
    CHistory missing(dir.File("none.log"));
    EXPECT_TRUE(missing.Load()) << "no file yet is an empty history";
}

}  // namespace
}  // namespace store
