#include "script/Codecs.h"

#include <gtest/gtest.h>

#include <chrono>

namespace script::codec {
namespace {

TEST(CodecsTest, Base64RoundTripsAndWrapsAt76) {
    EXPECT_EQ(Encode64(""), "");
    EXPECT_EQ(Encode64("f"), "Zg==");
    EXPECT_EQ(Encode64("fo"), "Zm8=");
    EXPECT_EQ(Encode64("foobar"), "Zm9vYmFy");
    std::string long_text(100, 'x');
    std::string enc = Encode64(long_text);
    EXPECT_EQ(enc.substr(76, 2), "\r\n");
    EXPECT_EQ(Decode64(enc), long_text) << "CR LF and other bytes outside the alphabet are skipped";
    EXPECT_EQ(Decode64("Zm9v=YmFy"), "foo") << "stops at the first =";
    std::string bin("\0\xff\x10", 3);
    EXPECT_EQ(Decode64(Encode64(bin)), bin);
}

TEST(CodecsTest, UrlCodecs) {
    EXPECT_EQ(URLEncode("a b/c"), "a%20b%2Fc");
    EXPECT_EQ(URLEncode("A_z9"), "A_z9");
    EXPECT_EQ(URLDecode("a+b%2Fc"), "a b/c");
    EXPECT_EQ(URLDecode("%2541"), "A") << "a decoded % forms a new sequence";
    EXPECT_EQ(URLDecode("%%341"), "A");
    EXPECT_EQ(URLDecode("%zz%4"), "%zz%4");
    // Hostile input decodes in linear time: 200k nested "%25".
    std::string hostile;
    for (int i = 0; i < 200000; ++i) hostile += "%25";
    hostile += "41";
    auto t0 = std::chrono::steady_clock::now();
    std::string out = URLDecode(hostile);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(out, std::string(199999, '%') + "A");
}

TEST(CodecsTest, HtmlEntities) {
    EXPECT_EQ(EncodeHtmlSpecialChar("a<b"), "a&lt;b");
    EXPECT_EQ(EncodeHtmlSpecialChar("a&b"), "a&amp;b");
    EXPECT_EQ(EncodeHtmlSpecialChar(" "), "&nbsp;");
    EXPECT_EQ(EncodeHtmlSpecialChar("/=\"\x82\xb0"), "&frasl;&equiv;&quot;&sbquo;&deg;") << "first pair of a byte wins";
    EXPECT_EQ(DecodeHtmlSpecialChar("&amp;lt;"), "&amp;lt;");
    EXPECT_EQ(DecodeHtmlSpecialChar("&lt;b&gt; &nbsp;&euro;&#8218;&bogus;"), "<b> \xa0\x80\x82&bogus;")
        << "&nbsp; decodes by its first pair";
    EXPECT_EQ(DeOfuscate("&#80;&#65;&#300;x&#38;#66;"), "PAxB") << "above 255 is removed; & decoded forms a new one";
    EXPECT_EQ(DeOfuscate("&#6;&#1234;"), "&#6;&#1234;") << "two or three digits only";
    EXPECT_EQ(HtmlToText("<p>Hi <b>there</b></p>&amp; <br\n>x"), "Hi there&amp; <br\n>x")
        << "a tag that spans lines stays";
    EXPECT_EQ(HtmlToText("a<b<c>d>e <> <>>"), "ad>e >") << "the leftmost < runs to the nearest > after one byte";
}

TEST(CodecsTest, TextHelpers) {
    EXPECT_EQ(HextoInt("ff"), 255);
    EXPECT_EQ(HextoInt("1A2B3"), 6699);
    EXPECT_EQ(HextoInt("xyz"), 0);
    EXPECT_EQ(TrimInternal("  a   b  "), " a b");
    EXPECT_EQ(Split("a,b,,c", ',', 2), "");
    EXPECT_EQ(Split("a,b,,c", ',', 3), "c");
    EXPECT_EQ(Split("a,b,,c", ',', 4), "");
    EXPECT_EQ(Split("a,b,,c", ',', 0), "a");
    EXPECT_EQ(Split("abc", ',', -1), "");
}

}  // namespace
}  // namespace script::codec
