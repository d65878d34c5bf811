#include "common/Md5.h"

#include <gtest/gtest.h>

#include <string>

namespace common {
namespace {

TEST(Md5Test, KnownDigests) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, StreamingMatchesOneShotAtEveryBlockBoundary) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7));
    for (size_t split = 0; split <= data.size(); split += 13) {
        Md5 md5;
        md5.Update(std::string_view(data).substr(0, split));
        md5.Update(std::string_view(data).substr(split));
        EXPECT_EQ(md5.HexDigest(), Md5Hex(data)) << "split at " << split;
    }
    Md5 reused;
    reused.Update("x");
    reused.HexDigest();
    reused.Update("abc");
    EXPECT_EQ(reused.HexDigest(), Md5Hex("abc")) << "HexDigest resets the stream";
}

}  // namespace
}  // namespace common
