#include "store/DB_RAM.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"
#include "store/DbkFormat.h"
#include "store/FileINI.h"
#include "store/SaveFailures.h"

namespace store {
namespace {

struct Rec {
    int32_t ts;
    std::string key, data;
};

// A DBK file built by hand, so the reader is checked against the format, not against itself.
std::string MakeDbk(std::string_view magic, const std::vector<Rec>& recs, int32_t count = -1) {
    std::string out(magic);
    dbk::AppendI32(out, count < 0 ? static_cast<int32_t>(recs.size()) : count);
    for (const Rec& r : recs) {
        dbk::AppendI32(out, r.ts);
        dbk::AppendI32(out, static_cast<int32_t>(r.key.size()));
        dbk::AppendI32(out, static_cast<int32_t>(r.data.size()));
        out += r.key;
        out += r.data;
    }
    return out;
}

std::vector<std::string> Keys(const CDB_RAM& t) {
    std::vector<std::string> out;
    t.ForEach([&out](const DbRecord& r) {
        if (!r.deleted) out.push_back(r.key);
    });
    return out;
}

int64_t g_now = 1'700'000'000;
int64_t FakeNow() {
    return g_now;
}

class DbRamTest : public ::testing::Test {
protected:
    void SetUp() override { g_now = 1'700'000'000; }
    std::string Path(const char* name = "t.db") const { return tmp_.File(name); }
    std::unique_ptr<CDB_RAM> OpenLoaded(const std::string& path) {
        auto t = std::make_unique<CDB_RAM>();
        t->SetTimeSource(&FakeNow);
        EXPECT_TRUE(t->Open(path));
        t->Load();
        return t;
    }
    platform::TestTempDir tmp_;
};

TEST_F(DbRamTest, AFailedSaveIsReportedWithItsFileAndReason) {
    TakeSaveFailures();
    const uint64_t before = SaveFailureCount();
    const std::string dir = tmp_.File("gone");
    std::filesystem::create_directory(dir);
    auto t = OpenLoaded(dir + "/t.db");
    t->Insert("k", "v");
    std::filesystem::remove_all(dir);  // the folder went: every later save fails
    EXPECT_FALSE(t->Save());
    CFileINI ini;
    ini.WriteString("s", "k", "v");
    EXPECT_FALSE(ini.Save(dir + "/x.ini"));
    CDB_RAM never_opened;
    EXPECT_FALSE(never_opened.Save());  // no file to lose: not a failure to report
    std::vector<std::string> got = TakeSaveFailures();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], dir + "/t.db: No such file or directory");
    EXPECT_EQ(got[1], dir + "/x.ini: No such file or directory");
    EXPECT_EQ(SaveFailureCount(), before + 2);
    EXPECT_TRUE(TakeSaveFailures().empty());
    for (size_t i = 0; i < kMaxSaveReports + 5; ++i) (void)t->Save();
    uint64_t dropped = 0;
    EXPECT_EQ(TakeSaveFailures(&dropped).size(), kMaxSaveReports);
    EXPECT_EQ(dropped, 5u);
}

TEST_F(DbRamTest, MissingOrEmptyFileIsCreatedAndLoadsAsFalse) {
    CDB_RAM t;
    ASSERT_TRUE(t.Open(Path()));
    EXPECT_EQ(tmp_.Read("t.db"), std::string("DBK2.0\0\0\0\0", 10));
    EXPECT_FALSE(t.Load());
    ASSERT_TRUE(tmp_.Write("empty.db", ""));
    CDB_RAM e;
    EXPECT_TRUE(e.Open(Path("empty.db")));
    EXPECT_EQ(platform::FileSize(Path("empty.db")), 10);
}

TEST_F(DbRamTest, VersionOneFileIsSavedBackAsVersionTwoWithTheSameRecords) {
    std::vector<Rec> recs = {{100, "alpha", "1"}, {200, "beta", std::string("x\0y", 3)}, {300, "Alpha", "3"}};
    ASSERT_TRUE(tmp_.Write("t.db", MakeDbk("DBK1.0", recs)));
    auto t = OpenLoaded(Path());
    EXPECT_EQ(t->Version(), 1);
    EXPECT_EQ(t->GetCount(), 3);
    ASSERT_TRUE(t->Save());
    // Saved in bucket order: 'A' (65) before 'a' (97) before 'b' (98).
    EXPECT_EQ(tmp_.Read("t.db"), MakeDbk("DBK2.0", {recs[2], recs[0], recs[1]}));
}

TEST_F(DbRamTest, BadMagicLeavesTheTableMemoryOnly) {
    ASSERT_TRUE(tmp_.Write("t.db", "DBK3.0\1\0\0\0garbage"));
    CDB_RAM t;
    EXPECT_FALSE(t.Open(Path()));
    EXPECT_FALSE(t.Load());
    EXPECT_EQ(t.Insert("k", "v"), 1);
    EXPECT_FALSE(t.Save());
    EXPECT_EQ(tmp_.Read("t.db"), "DBK3.0\1\0\0\0garbage");
    ASSERT_TRUE(tmp_.Write("short.db", "DBK"));
    EXPECT_FALSE(CDB_RAM().Open(Path("short.db")));
}

TEST_F(DbRamTest, BadRecordLengthEndsTheLoadWithTheRecordsBefore) {
    for (int32_t bad : {0, 40000, -1}) {
        std::string bytes = MakeDbk("DBK2.0", {{1, "one", "1"}, {2, "two", "2"}}, 4);
        dbk::AppendI32(bytes, 3);
        dbk::AppendI32(bytes, bad);
        dbk::AppendI32(bytes, 1);
        bytes += "three3";
        bytes += MakeDbk("", {{4, "four", "4"}}).substr(4);
        ASSERT_TRUE(tmp_.Write("t.db", bytes));
        auto t = OpenLoaded(Path());
        EXPECT_EQ(Keys(*t), (std::vector<std::string>{"one", "two"})) << "key length " << bad;
    }
}

TEST_F(DbRamTest, TruncatedFileAtEveryOffsetLoadsTheCompleteRecords) {
    std::vector<Rec> recs = {{1, "a1", "x"}, {2, "b22", "yy"}, {3, "c333", "zzz"}};
    std::string full = MakeDbk("DBK2.0", recs);
    std::vector<size_t> ends;  // offset just past each record
    size_t at = dbk::kHeaderSize;
    for (const Rec& r : recs) ends.push_back(at += dbk::kRecordHeaderSize + r.key.size() + r.data.size());
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        ASSERT_TRUE(tmp_.Write("t.db", full.substr(0, cut)));
        CDB_RAM t;
        bool opened = t.Open(Path());
        if (cut > 0 && cut < dbk::kMagicSize) {
            EXPECT_FALSE(opened) << "cut " << cut;
            continue;
        }
        ASSERT_TRUE(opened) << "cut " << cut;
        t.Load();
        size_t want = 0;
        for (size_t e : ends) want += cut >= e;
        EXPECT_EQ(static_cast<size_t>(t.GetCount()), want) << "cut " << cut;
        // The loss is told, not hidden: a save cut short reads as a table with fewer records.
        if (cut >= dbk::kHeaderSize) {
            EXPECT_EQ(static_cast<size_t>(t.LostOnLoad()), recs.size() - want) << "cut " << cut;
        }
    }
    ASSERT_TRUE(tmp_.Write("t.db", full + "junk"));
    EXPECT_EQ(OpenLoaded(Path())->LostOnLoad(), 1) << "bytes after the promised records";
}

TEST_F(DbRamTest, AbsurdCountDoesNotReserveMemory) {
    ASSERT_TRUE(tmp_.Write("t.db", MakeDbk("DBK2.0", {{1, "k", "v"}}, 2'000'000'000)));
    auto t = OpenLoaded(Path());
    EXPECT_EQ(t->GetCount(), 1);
    EXPECT_LT(t->MemoryBytes(), 1u << 20);
}

TEST_F(DbRamTest, DuplicatesAndDeletion) {
    auto t = OpenLoaded(Path());
    EXPECT_EQ(t->Insert("k", "first"), 1);
    EXPECT_EQ(t->Insert("k", "again"), 0) << "a live key without allowDuplicate";
    EXPECT_EQ(t->Insert("k", "second", true), 1);
    EXPECT_EQ(t->Insert("", "v"), 0);
    EXPECT_EQ(t->Insert("k2", ""), 0);
    EXPECT_EQ(t->Insert(std::string(32769, 'k'), "v"), 0);
    EXPECT_EQ(t->Insert("big", std::string(32768, 'v')), 1);
    EXPECT_EQ(t->Find("k"), 0);
    EXPECT_EQ(t->Get("k")->data, "first");
    EXPECT_EQ(t->Delete("k"), 1);
    EXPECT_EQ(t->Get("k")->data, "second") << "the next duplicate becomes visible";
    EXPECT_EQ(t->Insert("k", "third"), 0) << "a live duplicate still exists";
    EXPECT_EQ(t->GetCount(), 2);
    EXPECT_EQ(t->RecordCount(), 3) << "deleted records count until the save";
    EXPECT_EQ(t->DeletedCount(), 1);
    CDB_RAM::Hits hits;
    t->Query("k", hits);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].second, "second");
    auto gone = t->GetByIndex(0);
    ASSERT_TRUE(gone);
    EXPECT_TRUE(gone->deleted) << "GetByIndex does not skip deleted records";
    ASSERT_TRUE(t->Save());
    EXPECT_EQ(t->RecordCount(), 2);
    EXPECT_EQ(t->DeletedCount(), 0);
    EXPECT_EQ(t->Delete("k"), 1);
    EXPECT_EQ(t->Delete("k"), -1);
    EXPECT_EQ(t->Find("k"), -1);
}

TEST_F(DbRamTest, SharedBucketsKeepKeysApartAndFileOrder) {
    auto t = OpenLoaded(Path());
    t->Insert("b-key", "1");
    t->Insert("a-key", "2");
    t->Insert("\x9F-key", "3");  // -97 as a signed char: bucket 97, with 'a'
    t->Insert("A-key", "4");
    EXPECT_EQ(t->Find("a-key"), 1) << "before compaction positions follow insertion";
    EXPECT_EQ(t->Find("\x9F-key"), 2);
    EXPECT_EQ(t->Get("\x9F-key")->data, "3");
    CDB_RAM::Hits hits;
    t->Query("a-key", hits, 0, 0);
    ASSERT_EQ(hits.size(), 1u);
    ASSERT_TRUE(t->Save());
    EXPECT_EQ(Keys(*t), (std::vector<std::string>{"A-key", "a-key", "\x9F-key", "b-key"}));
    EXPECT_EQ(t->Find("b-key"), 3) << "after compaction positions follow the file";
    auto back = OpenLoaded(Path());
    EXPECT_EQ(Keys(*back), Keys(*t));
}

TEST_F(DbRamTest, QueryModesAndFields) {
    auto t = OpenLoaded(Path());
    t->Insert("mail.example.com", "ok");
    t->Insert("mx.example.org", "ok");
    t->Insert("m", "mail.example.com");
    t->Insert("other.net", "no");
    CDB_RAM::Hits hits;
    t->Query("", hits);
    EXPECT_EQ(hits.size(), 4u) << "an empty key lists everything";
    t->Query("x", hits, 7);
    EXPECT_EQ(hits.size(), 4u) << "an unknown mode lists everything";
    t->Query("mail.example.com", hits, 0, 1);
    ASSERT_EQ(hits.size(), 1u) << "data equal to the key, in the key's bucket";
    EXPECT_EQ(hits[0].first, "m");
    t->Query("ok", hits, 0, 1);
    EXPECT_TRUE(hits.empty()) << "field 1 searches only the bucket of the key's first byte";
    t->Query("EXAMPLE\\.(com|org)$", hits, 1, 0);
    EXPECT_EQ(hits.size(), 2u) << "pattern mode is case-insensitive";
    t->Query("^no$", hits, 1, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].first, "other.net");
    t->Query("(bad", hits, 1, 0);
    EXPECT_TRUE(hits.empty()) << "a bad pattern matches nothing";
    t->Query("x", hits, 0, 5);
    EXPECT_TRUE(hits.empty());
}

TEST_F(DbRamTest, PatternModeFindsByStoredPatterns) {
    auto t = OpenLoaded(Path());
    t->Insert("(unclosed", "bad pattern is skipped");
    t->Insert("^mail[0-9]+\\.provider\\.com$", "1");
    t->Insert("^.*\\.provider\\.com$", "2");  // same bucket as the one above: insertion order
    t->Insert(".*\\.early\\.com$", "3");      // bucket '.' (46) is searched before '^' (94)
    EXPECT_EQ(t->Find("MAIL7.provider.com", true), 1);
    EXPECT_EQ(t->Find("smtp.provider.com", true), 2);
    EXPECT_EQ(t->Find("smtp.provider.com", false), -1);
    EXPECT_EQ(t->Find("mail1.early.com", true), 3);
    EXPECT_EQ(t->Find("(unclosed", true), 0) << "an equal key wins before patterns are tried";
    t->Delete("^mail[0-9]+\\.provider\\.com$");
    EXPECT_EQ(t->Find("mail7.provider.com", true), 2) << "deleted patterns no longer match";
}

TEST_F(DbRamTest, ExpiryAndUpdateTimes) {
    auto t = OpenLoaded(Path());
    t->SetAge(60, 10);
    EXPECT_EQ(t->AgeLimit(1, 60, 10), g_now - 600);
    EXPECT_EQ(t->AgeLimit(0, 60, 10), g_now + 600);
    t->Insert("old", "1");
    t->Insert("kept", "1");
    t->Insert("refreshed", "1");
    g_now += 500;
    EXPECT_EQ(t->Update("kept", "22", true), 1);
    EXPECT_EQ(t->Update("refreshed", "2"), 2);
    EXPECT_EQ(t->Update("missing", "2"), -1);
    EXPECT_EQ(t->DeleteOld(), 0) << "nothing is 600 s old yet";
    g_now += 100;
    EXPECT_EQ(t->DeleteOld(), 1);
    EXPECT_EQ(Keys(*t), (std::vector<std::string>{"refreshed"}))
        << "keepTime keeps the original time, so 'kept' expired with 'old'";
    auto back = OpenLoaded(Path());
    EXPECT_EQ(Keys(*back), (std::vector<std::string>{"refreshed"})) << "DeleteOld saved";
    CDB_RAM no_age;
    no_age.Insert("x", "y");
    EXPECT_EQ(no_age.DeleteOld(), 0);
}

TEST_F(DbRamTest, SaveIsAtomic) {
    auto t = OpenLoaded(Path());
    t->Insert("kept", "old value");
    ASSERT_TRUE(t->Save());
    const std::string saved = tmp_.Read("t.db");

    // A process that dies between writing the temporary file and the rename.
    pid_t pid = fork();
    if (pid == 0) {
        platform::AtomicFileWriter w;
        w.Begin(Path());
        w.Append(MakeDbk("DBK2.0", {{1, "new", "half-written"}}));
        w.Flush();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(tmp_.Read("t.db"), saved);
    EXPECT_EQ(Keys(*OpenLoaded(Path())), (std::vector<std::string>{"kept"}));

    // A save that cannot rename leaves the old file and no temporary behind.
    std::filesystem::create_directories(Path("dir.db") + "/x");
    CDB_RAM blocked;
    blocked.Open(Path());  // opened on the good file, then pointed at a directory
    blocked.Insert("a", "b");
    std::filesystem::rename(Path(), Path("moved.db"));
    std::filesystem::rename(Path("dir.db"), Path());
    EXPECT_FALSE(blocked.Save());
    EXPECT_TRUE(std::filesystem::is_directory(Path() + "/x"));
}

TEST_F(DbRamTest, UpdateThatChangesSizeKeepsPositionsAndDuplicates) {
    auto t = OpenLoaded(Path());
    t->Insert("k", "1");
    t->Insert("k", "2", true);
    t->Insert("k", "3", true);
    t->Insert("j", "x");
    t->Delete("k");  // the first goes; "2" is now first
    EXPECT_EQ(t->Update("k", "a much longer value"), 1);
    CDB_RAM::Hits hits;
    t->Query("k", hits);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].second, "a much longer value");
    EXPECT_EQ(hits[1].second, "3");
    EXPECT_EQ(t->GetByIndex(1)->data, "a much longer value");
    EXPECT_EQ(t->Delete("k"), 1);
    EXPECT_EQ(t->Get("k")->data, "3");
}

// Random operations against a plain model of the table: the first live record of a key, the
// counts, and what a save and a load give back.
TEST_F(DbRamTest, RandomOperationsMatchAModel) {
    std::mt19937 rng(12345);
    auto t = OpenLoaded(Path());
    std::vector<Rec> model;  // insertion order
    std::vector<bool> dead;
    auto key_of = [&rng] { return "key" + std::to_string(rng() % 40); };
    auto first_live = [&](const std::string& k) -> int {
        for (size_t i = 0; i < model.size(); ++i)
            if (!dead[i] && model[i].key == k) return static_cast<int>(i);
        return -1;
    };
    for (int step = 0; step < 4000; ++step) {
        std::string k = key_of();
        switch (rng() % 6) {
            case 0:
            case 1: {
                bool dup = rng() % 2;
                std::string v = std::string(1 + rng() % 20, static_cast<char>('a' + rng() % 26));
                int want = (!dup && first_live(k) >= 0) ? 0 : 1;
                ASSERT_EQ(t->Insert(k, v, dup), want);
                if (want) {
                    model.push_back({0, k, v});
                    dead.push_back(false);
                }
                break;
            }
            case 2: {
                int i = first_live(k);
                ASSERT_EQ(t->Delete(k), i >= 0 ? 1 : -1);
                if (i >= 0) dead[static_cast<size_t>(i)] = true;
                break;
            }
            case 3: {
                int i = first_live(k);
                std::string v(1 + rng() % 30, 'u');
                ASSERT_EQ(t->Update(k, v) >= 0, i >= 0);
                if (i >= 0) model[static_cast<size_t>(i)].data = v;
                break;
            }
            case 4: {
                int i = first_live(k);
                auto got = t->Get(k);
                ASSERT_EQ(got.has_value(), i >= 0) << k;
                if (got) {
                    ASSERT_EQ(got->data, model[static_cast<size_t>(i)].data);
                }
                break;
            }
            case 5:
                if (rng() % 20 == 0) {
                    ASSERT_TRUE(t->Save());
                    t = OpenLoaded(Path());
                    // All keys share bucket 'k': file order equals insertion order.
                    std::vector<Rec> live;
                    for (size_t i = 0; i < model.size(); ++i)
                        if (!dead[i]) live.push_back(model[i]);
                    model = live;
                    dead.assign(model.size(), false);
                }
                break;
        }
        size_t live = 0;
        for (bool d : dead) live += !d;
        ASSERT_EQ(static_cast<size_t>(t->GetCount()), live) << "step " << step;
    }
}

TEST_F(DbRamTest, ConcurrentReadersAndWriters) {
    auto t = OpenLoaded(Path());
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                std::string k = "w" + std::to_string(w) + "-" + std::to_string(i);
                if (t->Insert(k, "v") != 1) failed = true;
                if (i % 3 == 0 && t->Delete(k) != 1) failed = true;
                if (i % 5 == 0) t->Update(k, "longer value");
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
            t->Find("w1-" + std::to_string(i));
            t->GetByIndex(i);
            CDB_RAM::Hits hits;
            if (i % 100 == 0) t->Query("^w2-1", hits, 1, 0);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i)
            if (!t->Save()) failed = true;
    });
    for (auto& th : threads) th.join();
    EXPECT_FALSE(failed);
    int live = 3 * (2000 - 667);
    EXPECT_EQ(t->GetCount(), live);
    ASSERT_TRUE(t->Save());
    EXPECT_EQ(OpenLoaded(Path())->GetCount(), live);
}

}  // namespace
}  // namespace store
