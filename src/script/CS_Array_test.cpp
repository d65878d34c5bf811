#include "script/CS_Array.h"

#include <gtest/gtest.h>

#include <string>

namespace script {
namespace {

TEST(CS_ArrayTest, ValuesKeysAndOrder) {
    CS_Array a;
    a.AddValueI("zero", 0);
    a.AddValueF("f", 0.0f);
    a.AddValueS("b", " -12abc");
    a.AddValueS(nullptr, "x");
    a.AddValueS("null", nullptr);
    EXPECT_EQ(a.KeyExists("zero"), 1) << "0 is stored as the text 0";
    EXPECT_STREQ(a.GetS("f"), "0");
    EXPECT_EQ(a.GetI("b"), -12);
    EXPECT_EQ(a.KeyExists("null"), 0);
    EXPECT_EQ(a.GetRecordCount(), 3);
    EXPECT_STREQ(a.GetKeyByIndex(0), "b") << "byte order of the keys";
    EXPECT_STREQ(a.GetByIndexS(2), "0");
    EXPECT_STREQ(a.GetByIndexS(3), "") << "one past the end";
    EXPECT_EQ(a.GetKeyByIndex(3), nullptr);
    EXPECT_EQ(a.GetKeyByIndex(-1), nullptr);
    EXPECT_EQ(a.GetIndexByKey("zero"), 2);
    EXPECT_EQ(a.GetIndexByKey("none"), -1);
    EXPECT_STREQ(a.GetS("none"), "");
    a.AddValueS("b", "2.5e1");
    EXPECT_FLOAT_EQ(a.GetF("b"), 25.0f);
}

TEST(CS_ArrayTest, BinaryValuesAndMerge) {
    CS_Array a, b;
    const char bytes[] = {'x', '\0', 'y'};
    a.AddValueB("bin", bytes, 3);
    EXPECT_EQ(a.GetLenValue("bin"), 3);
    EXPECT_EQ(std::string(static_cast<const char*>(a.GetB("bin")), 3), std::string(bytes, 3));
    b.AddValueS("bin", "text");
    b.AddValueS("other", "o");
    b.Merge(a);
    EXPECT_EQ(b.GetLenValue("bin"), 3) << "binary values merge as binary, overwriting";
    EXPECT_EQ(b.GetRecordCount(), 2);
    for (int i = 0; i < b.GetRecordCount(); ++i) EXPECT_NE(b.GetKeyByIndex(i), nullptr);
    b.Reset();
    EXPECT_EQ(b.GetRecordCount(), 0);

    common::String buffer;
    buffer.SetBinary("a\0bc", 4);
    b.AddValueBuffer("buf", &buffer, 100);
    EXPECT_EQ(b.GetLenValue("buf"), 4) << "never more bytes than the buffer holds";
    b.AddValueBuffer("none", nullptr, 4);
    EXPECT_EQ(b.KeyExists("none"), 0);
}

}  // namespace
}  // namespace script
