#include "store/DbkUpgrade.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/TestTempDir.h"
#include "store/DB_RAM.h"
#include "store/DbkFormat.h"

namespace store {
namespace {

std::string V1Table(const std::vector<std::pair<std::string, std::string>>& recs) {
    std::string out(dbk::kMagicV1);
    dbk::AppendI32(out, static_cast<int32_t>(recs.size()));
    for (const auto& [k, v] : recs) {
        dbk::AppendI32(out, 1000);
        dbk::AppendI32(out, static_cast<int32_t>(k.size()));
        dbk::AppendI32(out, static_cast<int32_t>(v.size()));
        out += k + v;
    }
    return out;
}

std::string DataOf(const std::string& path, const std::string& key) {
    CDB_RAM t;
    EXPECT_TRUE(t.Open(path));
    t.Load();
    EXPECT_EQ(t.Version(), 2);
    auto r = t.Get(key);
    return r ? r->data : "<missing>";
}

TEST(DbkUpgradeTest, FreshInstallationHasNothingToConvert) {
    platform::TestTempDir app;
    std::string error;
    EXPECT_TRUE(UpgradeV1Tables(app.Path().string(), &error));
    ASSERT_TRUE(app.Write("db/domain_local.db", ""));
    EXPECT_TRUE(UpgradeV1Tables(app.Path().string(), &error)) << "an empty table is not a failure";
}

TEST(DbkUpgradeTest, VersionOneTablesAreRewritten) {
    platform::TestTempDir app;
    ASSERT_TRUE(app.Write("db/domain_local.db", V1Table({{"example.com", "x"}, {"../escape", "x"}})));
    ASSERT_TRUE(
        app.Write("db/example.com.wb", V1Table({{"on", std::string("\x05\0", 2)}, {"off", std::string("\0\1", 2)}})));
    ASSERT_TRUE(app.Write("db/ip_imbargo.db", V1Table({{"192.0.2.1", std::string("\x39\x30\0\0", 4)},
                                                       {"192.0.2.2", std::string("\xff\xff\xff\xff", 4)}})));
    std::string error;
    ASSERT_TRUE(UpgradeV1Tables(app.Path().string(), &error));
    EXPECT_EQ(DataOf(app.File("db/example.com.wb"), "on"), "1");
    EXPECT_EQ(DataOf(app.File("db/example.com.wb"), "off"), "0");
    EXPECT_EQ(DataOf(app.File("db/domain_local.db"), "example.com"), "x");
    EXPECT_EQ(DataOf(app.File("db/ip_imbargo.db"), "192.0.2.1"), "12345");
    EXPECT_EQ(DataOf(app.File("db/ip_imbargo.db"), "192.0.2.2"), "-1");
}

TEST(DbkUpgradeTest, UnreadableTableFailsTheStepAndNamesIt) {
    platform::TestTempDir app;
    ASSERT_TRUE(app.Write("db/ip_imbargo.db", "NOTDBK...."));
    std::string error;
    EXPECT_FALSE(UpgradeV1Tables(app.Path().string(), &error));
    EXPECT_NE(error.find("ip_imbargo.db"), std::string::npos);
}

}  // namespace
}  // namespace store
