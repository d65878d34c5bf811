#include "checks/Persistent.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "store/DB_RAM.h"
#include "store/FileINI.h"

namespace checks {
namespace {

TEST(PersistentStoreTest, NamesAndTypesFindOneSharedObject) {
    CPersistentStore store;
    EXPECT_FALSE(store.Create("x", "cdb_ram").object) << "types compare case-sensitively";
    EXPECT_FALSE(store.Create(nullptr, "CS_Flag").object);
    EXPECT_FALSE(store.Get("x", "CS_Flag").object);
    // Two runs at once create the same (name, type): one object.
    std::vector<void*> got(8);
    std::vector<std::thread> runs;
    for (int i = 0; i < 8; ++i) runs.emplace_back([&, i] { got[i] = store.Create("x", "CS_Flag").object.get(); });
    for (auto& t : runs) t.join();
    for (void* p : got) EXPECT_EQ(p, got[0]);
    EXPECT_EQ(store.Size(), 1u);
    // Same name, another type: a second record; Delete takes the older first.
    CPersistentStore::Object cfg = store.Create("x", "CS_FileCfg");
    ASSERT_TRUE(cfg.object);
    EXPECT_EQ(cfg.value.ToPointer(), cfg.object.get());
    EXPECT_EQ(store.Get("x", "CS_FileCfg").object, cfg.object);
    store.Delete("x");
    EXPECT_FALSE(store.Get("x", "CS_Flag").object);
    EXPECT_EQ(store.Get("x", "CS_FileCfg").object, cfg.object);
    store.Delete("nothing");
    store.Delete(nullptr);
    EXPECT_EQ(store.Size(), 1u);
}

TEST(PersistentStoreTest, ADeletedObjectLivesWhileARunHoldsIt) {
    CPersistentStore store;
    auto hold = std::make_unique<PersistentHold>();
    script::Variable v = hold->Keep(store.Create("t", "CDB_Ram"));
    auto* table = static_cast<store::CDB_RAM*>(v.ToPointer());
    ASSERT_NE(table, nullptr);
    store.Delete("t");  // another run deletes it
    EXPECT_FALSE(store.Get("t", "CDB_Ram").object);
    EXPECT_EQ(table->Insert("k", "v"), 1) << "still alive for the run that holds it (ASan checks)";
    EXPECT_EQ(table->GetCount(), 1);
    hold.reset();  // the run ends: the table goes now
    EXPECT_EQ(hold, nullptr);
    EXPECT_EQ(PersistentHold().Keep({}).ToPointer(), nullptr);
}

TEST(PersistentStoreTest, FlagsAreReadAndWrittenUnderTheirLock) {
    CS_Flag flag;
    flag.SetFloat(1.5f);
    flag.SetInt(7);
    flag.SetBool(42);
    EXPECT_FLOAT_EQ(flag.GetFloat(), 1.5f);
    EXPECT_EQ(flag.GetInt(), 7);
    EXPECT_EQ(flag.GetBool(), 1);
    // A writer changing the text while readers read it (TSan checks).
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) flag.SetString(i % 2 ? "short" : "a rather longer text that reallocates");
    });
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i) {
            std::string s = flag.GetString();
            EXPECT_TRUE(s.empty() || s == "short" || s == "a rather longer text that reallocates") << s;
        }
    });
    writer.join();
    reader.join();
    flag.SetString(nullptr);
    EXPECT_EQ(flag.GetString(), "");
}

}  // namespace
}  // namespace checks
