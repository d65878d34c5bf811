// The MySQL classes against a real MariaDB server on loopback (tests/mysql_test.sh starts it and
// passes its port in MORVANE_TEST_MYSQL_PORT).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "classes/MySql.h"

namespace classes {
namespace {

int Port() {
    const char* p = std::getenv("MORVANE_TEST_MYSQL_PORT");
    return p ? std::atoi(p) : 0;
}

class MySqlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Port()) GTEST_SKIP() << "MORVANE_TEST_MYSQL_PORT is not set";
        ASSERT_TRUE(conn_.Loaded()) << "no MariaDB/MySQL client library";
        ASSERT_EQ(conn_.Connect("127.0.0.1", "root", "", "", Port()), 1) << conn_.GetError();
        conn_.Execute("CREATE DATABASE IF NOT EXISTS morvane_test");
        conn_.Execute("USE morvane_test");
    }
    CMorvaneMysqlConn conn_;
};

TEST_F(MySqlServerTest, TableRoundTripWithEscapedText) {
    EXPECT_EQ(conn_.Connect("127.0.0.1", "nobody", "wrong", "", Port()), 1)
        << "connected: the server is not asked again";
    conn_.Execute("DROP TABLE IF EXISTS t");
    conn_.Execute("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(64), note VARCHAR(64) NULL)");
    const std::string tricky = "O'Brien \"quoted\" back\\slash";
    common::String escaped;
    int32_t n = conn_.Escape_String(&escaped, tricky.c_str(), 1000);  // the count is held to the text
    ASSERT_GT(n, static_cast<int32_t>(tricky.size()));
    EXPECT_EQ(escaped.BinaryLength(), n);
    conn_.Execute(("INSERT INTO t VALUES (1, '" + escaped.str() + "', NULL), (2, 'plain', 'x')").c_str());
    EXPECT_EQ(conn_.GetError(), "");

    CMorvaneMysqlRecordSet rs;
    ASSERT_EQ(rs.Open("SELECT id, name, note FROM t ORDER BY id", &conn_), 1) << conn_.GetError();
    EXPECT_EQ(rs.RecordCount(), 2);
    script::CS_Array* row = rs.FetchRow();
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->GetS("name"), tricky.c_str());
    EXPECT_STREQ(row->GetS("note"), "") << "NULL reads as empty text";
    row = rs.FetchRow();
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->GetS("id"), "2");
    EXPECT_EQ(rs.FetchRow(), nullptr);
    rs.Close();

    EXPECT_EQ(rs.Open("SELEKT nonsense", &conn_), 0);
    EXPECT_NE(conn_.GetError().find("SQL syntax"), std::string::npos) << conn_.GetError();
}

// One connection, as the persistent-object store would share it, used by two threads at once:
// the connection's lock keeps their statements and results apart.
TEST_F(MySqlServerTest, SharedConnectionServesTwoThreads) {
    conn_.Execute("DROP TABLE IF EXISTS c");
    conn_.Execute("CREATE TABLE c (k INT PRIMARY KEY)");
    std::atomic<int> bad{0};
    auto work = [&](int base) {
        for (int i = 0; i < 50; ++i) {
            conn_.Execute(("INSERT INTO c VALUES (" + std::to_string(base + i) + ")").c_str());
            CMorvaneMysqlRecordSet rs;
            if (rs.Open(("SELECT k FROM c WHERE k = " + std::to_string(base + i)).c_str(), &conn_) != 1) ++bad;
            script::CS_Array* row = rs.FetchRow();
            if (!row || std::atoi(row->GetS("k")) != base + i) ++bad;
        }
    };
    std::thread a(work, 0), b(work, 1000);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    CMorvaneMysqlRecordSet all;
    ASSERT_EQ(all.Open("SELECT COUNT(*) AS n FROM c", &conn_), 1);
    EXPECT_STREQ(all.FetchRow()->GetS("n"), "100");
}

}  // namespace
}  // namespace classes
