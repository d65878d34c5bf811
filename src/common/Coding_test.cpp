#include "common/Coding.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(CodingTest, LittleAndBigEndianBytes) {
    std::string le;
    PutLe32(le, 0x04030201u);
    PutLe16(le, 0xBEEF);
    EXPECT_EQ(le, std::string("\x01\x02\x03\x04\xEF\xBE", 6));
    EXPECT_EQ(GetLe32(le, 0), 0x04030201u);
    EXPECT_EQ(GetLe16(le, 4), 0xBEEF);
    std::string be;
    PutBe(be, 0x0102030405ull, 5);
    EXPECT_EQ(be, std::string("\x01\x02\x03\x04\x05", 5));
    EXPECT_EQ(GetBe(be, 1, 3), 0x020304u);
    std::string high;
    PutLe32(high, 0xFFFFFFFFu);
    EXPECT_EQ(GetLe32(high, 0), 0xFFFFFFFFu) << "bytes are read unsigned";
}

}  // namespace
}  // namespace common
