#include "classes/MySql.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace classes {
namespace {

// Without the client library the classes answer neutrally and say what they tried.
TEST(MySqlTest, MissingLibraryAnswersNeutrally) {
    ::setenv("MORVANE_MYSQL_LIBRARY", "/nonexistent/libmysql.so", 1);
    ::testing::internal::CaptureStdout();
    CMorvaneMysqlConn conn;
    std::string said = ::testing::internal::GetCapturedStdout();
    ::unsetenv("MORVANE_MYSQL_LIBRARY");
    EXPECT_EQ(said, "plugin LoadLibrary fail: /nonexistent/libmysql.so\n");
    EXPECT_FALSE(conn.Loaded());
    EXPECT_EQ(conn.Connect("127.0.0.1", "root", "", "", 3306), 0);
    EXPECT_EQ(conn.State(), 0);
    EXPECT_EQ(conn.GetError(), "");
    common::String out;
    EXPECT_EQ(conn.Escape_String(&out, "a'b", 3), 0);
    conn.Execute("SELECT 1");
    CMorvaneMysqlRecordSet rs;
    EXPECT_EQ(rs.Open("SELECT 1", &conn), 0);
    EXPECT_EQ(rs.Open(nullptr, &conn), 0);
    EXPECT_EQ(rs.RecordCount(), 0);
    EXPECT_EQ(rs.FetchRow(), nullptr);
}

TEST(MySqlTest, LibraryIsLookedForInTheAppDirFirst) {
    auto list = MySqlLibraryCandidates("/srv/morvane");
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0], "/srv/morvane/libdll/libmysql.so");
    EXPECT_EQ(list[1], "libmariadb.so.3");
}

}  // namespace
}  // namespace classes
