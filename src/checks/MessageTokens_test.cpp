#include "checks/MessageTokens.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace checks {
namespace {

std::vector<std::string> TextsOf(const std::string& message) {
    CTokenSet t(true);
    TokenizeMessage(message, t);
    EXPECT_EQ(t.Texts().size(), t.Hashes().size());
    return t.Texts();
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(MessageTokensDecoding, QuotedPrintableEncodedWordsAndUrls) {
    using namespace tokens;
    EXPECT_EQ(DecodeQuotedPrintable("caf=C3=A9 soft=\r\nbreak =XY end="), "caf\xC3\xA9 softbreak =XY end=");
    EXPECT_EQ(DecodeQuotedPrintable("a=\nb"), "ab");
    EXPECT_EQ(DecodeEncodedWords("=?utf-8?B?RnJlZSBtb25leQ==?= now"), "Free money now");
    EXPECT_EQ(DecodeEncodedWords("=?iso-8859-1?Q?caf=E9_au_lait?= =?utf-8?q?_ok?="), "caf\xE9 au lait ok");
    EXPECT_EQ(DecodeEncodedWords("plain =?broken and ?= text"), "plain =?broken and ?= text");
    EXPECT_EQ(UrlHost("http://user@Shop.Example.COM:8080/path?q"), "shop.example.com");
    EXPECT_EQ(UrlHost("https://bank.example/login"), "bank.example");
    EXPECT_EQ(UrlHost("mailto:someone@list.example.org"), "list.example.org");
    EXPECT_EQ(UrlHost("http://localhost/"), "");  // not a domain
    EXPECT_EQ(UrlHost("javascript:alert(1)"), "");
}

TEST(MessageTokensDecoding, HtmlAsTheReaderSeesIt) {
    std::vector<std::string> links, signals;
    const std::string text = tokens::HtmlToText(
        "<html><style>.x{color:red}</style><p>V<b></b>iagra&nbsp;now</p><!-- hidden random words -->"
        "<a href=\"http://cheap.example/x\">click</a><div style=\"display: none\">secret</div>"
        "<img src='http://img.example/a.gif'>&#72;&#x49; &amp; more<script>var a=1;</script>",
        &links, &signals);
    EXPECT_NE(text.find("Viagra now"), std::string::npos) << text;  // inline tags join, block tags part
    EXPECT_NE(text.find("HI & more"), std::string::npos) << text;
    EXPECT_EQ(text.find("color"), std::string::npos);
    EXPECT_EQ(text.find("random"), std::string::npos);
    EXPECT_EQ(text.find("var a"), std::string::npos);
    EXPECT_EQ(links, (std::vector<std::string>{"http://cheap.example/x", "http://img.example/a.gif"}));
    for (const char* s : {"comment", "hidden", "img"}) EXPECT_TRUE(Has(signals, s)) << s;
    // Unterminated constructs end the text instead of running away.
    EXPECT_EQ(tokens::HtmlToText("ok <!-- never closed", nullptr, nullptr), "ok ");
    EXPECT_EQ(tokens::HtmlToText("ok <b never closed", nullptr, nullptr), "ok ");
}

TEST(MessageTokens, HeadersBodyPairsAndStructure) {
    const std::vector<std::string> t = TextsOf(
        "Received: from mx.sender.example (mx.sender.example [192.0.2.7]) by mail.example.net with ESMTP id "
        "ABC123; Tue, 1 Dec 2026 10:00:00 +0000\r\n"
        "From: \"Prize Office\" <win@lottery.example.com>\r\n"
        "Subject: =?utf-8?B?WW91IFdPTiE=?=\r\n"
        "Message-ID: <123@bulk.example.com>\r\n"
        "X-Mailer: MassMailer 5\r\n"
        "Content-Type: text/plain; charset=\"koi8-r\"\r\n"
        "\r\n"
        "Claim your PRIZE at http://www.claims.example.com/now today\r\n");
    for (const char* s : {"subject:you",
                          "subject:won",
                          "from:prize",
                          "from:@lottery.example.com",
                          "from:@example.com",
                          "received:mx.sender.example",
                          "received:192.0.2.7",
                          "received:esmtp",
                          "message-id:bulk.example.com",
                          "x-mailer:massmailer",
                          "charset:koi8-r",
                          "mime:text/plain",
                          "hdr:x-mailer",
                          "claim",
                          "prize",
                          "claim your",
                          "claim ~ prize",
                          "url:www.claims.example.com",
                          "url:claims.example.com",
                          "url:example.com"})
        EXPECT_TRUE(Has(t, s)) << s;
    // Ids and dates of Received never repeat: left out. Case folds.
    EXPECT_FALSE(Has(t, "received:abc123"));
    EXPECT_FALSE(Has(t, "PRIZE"));
    // Each token once.
    std::vector<std::string> sorted = t;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
}

TEST(MessageTokens, MimePartsAreDecodedWhateverTheirNesting) {
    const std::string plain = "Subject: x\r\n\r\nrefinance your mortgage today\r\n";
    const std::string nested =
        "Subject: x\r\nContent-Type: multipart/mixed; boundary=\"outer\"\r\n\r\npreamble\r\n--outer\r\n"
        "Content-Type: multipart/alternative; boundary=inner\r\n\r\n--inner\r\n"
        "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "cmVmaW5hbmNlIHlvdXIgbW9ydGdhZ2UgdG9kYXk=\r\n--inner\r\n"
        "Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "<p>low =\r\nrates</p>\r\n--inner--\r\n--outer\r\n"
        "Content-Type: application/octet-stream; name=\"invoice.exe\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "TVqQAAMAAAAEAAAA\r\n--outer--\r\n";
    const std::vector<std::string> p = TextsOf(plain), n = TextsOf(nested);
    for (const char* s : {"refinance", "mortgage", "refinance your", "your ~ today"}) {
        EXPECT_TRUE(Has(p, s)) << s;
        EXPECT_TRUE(Has(n, s)) << s;
    }
    for (const char* s : {"low", "rates", "low rates", "mime:multipart/alternative", "mime:text/html", "cte:base64",
                          "cte:quoted-printable", "ext:.exe"})
        EXPECT_TRUE(Has(n, s)) << s;
    EXPECT_FALSE(Has(n, "preamble"));
    EXPECT_FALSE(Has(n, "tvqqaamaaaaeaaaa"));  // attachments give their type, not their bytes
}

TEST(MessageTokens, BoundedOnHostileInput) {
    // Every word different: the set stops at its limit.
    std::string body;
    for (int i = 0; i < 20000; ++i) body += "w" + std::to_string(i) + " ";
    CTokenSet t;
    TokenizeMessage("Subject: many\r\n\r\n" + body, t);
    EXPECT_EQ(t.size(), CTokenSet::kMaxTokens);
    // Multiparts nested past the limit, and a message without a header.
    std::string deep = "Subject: deep\r\n";
    for (int i = 0; i < 50; ++i)
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) +
                "\r\n";
    deep += "\r\nbottom words\r\n";
    TokenizeMessage(deep, t);
    EXPECT_GT(t.size(), 0u);
    TokenizeMessage("just some words without a header", t);
    const std::vector<std::string> h = TextsOf("just some words without a header");
    EXPECT_TRUE(Has(h, "words"));
    TokenizeMessage("", t);
    EXPECT_EQ(t.size(), 0u);
    // Words longer than the limit keep their head.
    const std::vector<std::string> l = TextsOf("Subject: x\r\n\r\n" + std::string(100, 'a') + "\r\n");
    EXPECT_TRUE(Has(l, std::string(tokens::kMaxWord, 'a')));
}

}  // namespace
}  // namespace checks
