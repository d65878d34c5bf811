#include "core/ConnCounter.h"

#include <gtest/gtest.h>

#include "platform/TestTempDir.h"

namespace core {
namespace {

TEST(ConnCounterTest, RoundTripAndLimits) {
    platform::TestTempDir dir;
    const std::string path = dir.File("countconn.dat");
    EXPECT_EQ(ReadConnCounter(path), 0) << "a missing file reads 0";
    ASSERT_TRUE(WriteConnCounter(path, 4711));
    EXPECT_EQ(dir.Read("countconn.dat"), std::string("\x67\x12\0\0", 4)) << "4 bytes, little-endian";
    EXPECT_EQ(ReadConnCounter(path), 4711);
    ASSERT_TRUE(WriteConnCounter(path, 0x7FFFFFFF));
    EXPECT_EQ(ReadConnCounter(path), 1) << "stored as 1";
    ASSERT_TRUE(dir.Write("countconn.dat", std::string("\xff\xff\xff\x7f", 4)));
    EXPECT_EQ(ReadConnCounter(path), 1) << "read as 1";
    ASSERT_TRUE(dir.Write("countconn.dat", "ab"));
    EXPECT_EQ(ReadConnCounter(path), 0) << "a short file reads 0";
}

}  // namespace
}  // namespace core
