#include "admin/AdminProtocol.h"

#include <gtest/gtest.h>

#include "common/Md5.h"

namespace admin {
namespace {

TEST(AdminProtocolTest, CellMaskCyclesEveryKeyLengthPlusOne) {
    const std::string key = "abc";
    const std::string value(8, 'x');
    std::string enc = EncodeCell(value, key);
    ASSERT_EQ(enc.size(), 16u);
    EXPECT_EQ(enc.substr(0, 8), enc.substr(8, 8)) << "4 bytes of mask: a, b, c and the zero";
    EXPECT_EQ(enc.substr(6, 2), "78") << "the zero byte leaves 'x' unchanged";
    EXPECT_EQ(DecodeCell(enc, key), value);
    EXPECT_EQ(DecodeCell("zz1", key), std::string(1, static_cast<char>('a')))
        << "bad digits read as 0, odd digit dropped";
    std::string binary("a\0b\xff", 4);
    EXPECT_EQ(DecodeCell(EncodeCell(binary, ""), ""), binary);
}

TEST(AdminProtocolTest, RequestParsing) {
    const std::string key = "secret";
    std::string text = BuildRequest(7, {{"alpha", "b"}, {"gamma"}}, key);
    CServerMorvaneRequest r;
    ASSERT_TRUE(r.Parse(text, key));
    EXPECT_EQ(r.GetCmd(), 7);
    EXPECT_EQ(r.GetColCount(), 2);
    EXPECT_EQ(r.GetRecordCount(), 2);
    EXPECT_TRUE(DigestMatches(r.Digest(), common::Md5Hex(key)));
    script::CS_Array* row = r.GetRow();
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->GetS("c1"), "alpha");
    EXPECT_EQ(row->GetLenValue("c1"), 5) << "a cell of more than one digit is a byte string";
    EXPECT_STREQ(row->GetS("c2"), "b");
    row = r.GetRow();
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->GetRecordCount(), 1) << "the second row carries one cell";
    EXPECT_EQ(r.GetRow(), nullptr);

    // Declared counts beyond what the request carries are held to what it carries.
    CServerMorvaneRequest big;
    ASSERT_TRUE(big.Parse("<cmd>3</cmd><c>2000000000</c><r>2000000000</r><r1><c1>61</c1></r1>", "k"));
    EXPECT_EQ(big.RowsCarried(), 1u);
    EXPECT_FALSE(big.Parse("<c>1</c>", "k")) << "no command";
    EXPECT_FALSE(big.Parse("<cmd>x</cmd>", "k"));
    // An upper-case digest matches; another does not, whatever its case.
    EXPECT_TRUE(DigestMatches("0CC175B9C0F1B6A831C399E269772661", common::Md5Hex("a")));
    EXPECT_FALSE(DigestMatches("0cc175b9c0f1b6a831c399e269772662", common::Md5Hex("a")));
    EXPECT_FALSE(DigestMatches("", common::Md5Hex("a")));
}

TEST(AdminProtocolTest, ResponseForms) {
    CServerMorvaneRespose r;
    r.SetKey("k");
    EXPECT_EQ(r.Build(5, 0), "<morvane><h><cmd>0005</cmd><c>0</c><r>0</r><e>0000</e></h><b></b></morvane>");
    r.Addnew();
    r.SetFieldAt(1, "a");
    r.SetFieldAt(2, "b");
    r.Addnew();
    r.SetFieldAt(1, "c");
    r.SetFieldAt(2, "d");
    r.SetFieldAt(4, "skipped: column 3 is missing");
    EXPECT_EQ(r.GetColCount(), 4);
    std::string text = r.Build(12, 0);
    AdminAnswer a = ParseAnswer(text, "k");
    EXPECT_EQ(a.cmd, 12);
    EXPECT_EQ(a.declared_cols, 2);
    EXPECT_EQ(a.declared_rows, 2);
    ASSERT_EQ(a.rows.size(), 2u);
    EXPECT_EQ(a.rows[1], (std::vector<std::string>{"c", "d"}));
    EXPECT_EQ(r.Build(401, 401), "<morvane><h><r>0</r><c>0</c><e>401</e></h></morvane>\r\n");
    common::String bytes;
    bytes.SetBinary("\0\1", 2);
    r.SetFieldBinaryAt(1, &bytes, 0);
    EXPECT_EQ(ParseAnswer(r.Build(1, 0), "k").rows[1][0], "c") << "length 0 stores nothing";
    r.SetFieldBinaryAt(1, &bytes, 1000);
    EXPECT_EQ(ParseAnswer(r.Build(1, 0), "k").rows[1][0], std::string("\0\1", 2)) << "held to the buffer";
    EXPECT_EQ(r.Send(1, 0), 0) << "no socket";
    EXPECT_EQ(r.GetRecordCount(), 0) << "Send resets";
}

}  // namespace
}  // namespace admin
