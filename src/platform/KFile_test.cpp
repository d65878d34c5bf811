#include "platform/KFile.h"
#include "platform/TestTempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {
namespace {

class KFileTest : public ::testing::Test {
protected:
    std::string Path(const char* name) const { return tmp_.File(name); }
    TestTempDir tmp_;
    const std::filesystem::path& dir_ = tmp_.Path();
};

TEST_F(KFileTest, RefusesTheFlagCombinationsTheApiForbids) {
    CKFile f;
    EXPECT_FALSE(f.Open(Path("a"), 0x3 | kFileCreate)) << "access 0x3";
    EXPECT_FALSE(f.Open(Path("a"), kFileWrite | kFileCreate | 0x50)) << "share 0x50";
    EXPECT_FALSE(f.Open(Path("a"), kFileWrite | kFileCreate | kFileText)) << "text mode";
    EXPECT_FALSE(f.Open(std::string(CKFile::kMaxPath + 1, 'x'), kFileWrite | kFileCreate)) << "long path";
    EXPECT_FALSE(f.Open(Path("missing"), kFileRead)) << "no create bit: existing files only";
    EXPECT_TRUE(f.Open(Path("a"), kFileWrite | kFileCreate | kFileShareDenyNone | kFileBinary));
}

TEST_F(KFileTest, CreateTruncatesUnlessAskedToKeep) {
    CKFile f;
    ASSERT_TRUE(f.Open(Path("t"), kFileWrite | kFileCreate));
    ASSERT_TRUE(f.Write("hello world"));
    f.Close();
    ASSERT_TRUE(f.Open(Path("t"), kFileReadWrite | kFileCreate | kFileNoTruncate));
    EXPECT_EQ(f.GetLength(), 11);
    EXPECT_EQ(f.Seek(-5, SeekFrom::End), 6);
    char buf[8] = {};
    EXPECT_EQ(f.Read(buf, 5), 5);
    EXPECT_EQ(std::string(buf), "world");
    EXPECT_EQ(f.GetPosition(), 11);
    EXPECT_TRUE(f.SetLength(5));
    EXPECT_EQ(f.GetLength(), 5);
    EXPECT_TRUE(f.LockRange(0, 5));
    EXPECT_TRUE(f.UnlockRange(0, 5));
    f.Close();
    ASSERT_TRUE(f.Open(Path("t"), kFileWrite | kFileCreate));
    EXPECT_EQ(f.GetLength(), 0);
}

TEST_F(KFileTest, AtomicWriteReplacesWholeOrLeavesTheOldFile) {
    std::string target = Path("table.db");
    ASSERT_TRUE(WriteFileAtomic(target, "old"));
    ASSERT_TRUE(WriteFileAtomic(target, "new content"));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(target, got));
    EXPECT_EQ(got, "new content");

    // A target that cannot be replaced (a directory) fails and leaves no temporary behind.
    std::string blocked = Path("blocked");
    std::filesystem::create_directories(blocked + "/inside");
    EXPECT_FALSE(WriteFileAtomic(blocked, "data"));
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_)) files += e.is_regular_file();
    EXPECT_EQ(files, 1) << "only table.db; the temporary file was removed";
    EXPECT_FALSE(WriteFileAtomic(Path("no/such/dir/x"), "data"));
}

// What a save cut short leaves behind is removed; a save in progress in a live process is not.
TEST_F(KFileTest, StaleTemporariesOfUnfinishedSavesAreRemoved) {
    const std::string mine = "live.db.tmp" + std::to_string(::getpid()) + "_3";
    // Above the kernel's largest process id: no such process.
    for (const std::string name : {"greylists.db.tmp4194305_0", "morvane.ini.tmp4194305_12", mine.c_str(), "keep.db",
                                   "notes.tmp", "odd.db.tmp12x_1", "odd.db.tmp_1", ".tmp1_1"})
        ASSERT_TRUE(WriteFileAtomic(tmp_.File(name), "x")) << name;
    auto removed = RemoveStaleTemporaries(dir_.string());
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{"greylists.db.tmp4194305_0", "morvane.ini.tmp4194305_12"}));
    EXPECT_EQ(FileSize(tmp_.File(mine)), 1);
    EXPECT_EQ(FileSize(tmp_.File("odd.db.tmp12x_1")), 1);
}

TEST_F(KFileTest, FileSizeOfMissingFileIsMinusOne) {
    EXPECT_EQ(FileSize(Path("nothing")), -1);
    WriteFileAtomic(Path("three"), "abc");
    EXPECT_EQ(FileSize(Path("three")), 3);
}

}  // namespace
}  // namespace platform
