#include "checks/MessageTests.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace checks {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// An ordinary message: every test stays quiet on it.
Fields Base() {
    return {{"Received",
             "from mx.sender.example (mx.sender.example [192.0.2.1]) by mail.example.net; "
             "Tue, 1 Dec 2026 10:00:00 +0000"},
            {"Date", "Tue, 1 Dec 2026 09:59:00 +0000"},
            {"Message-Id", "<1234.abcd@mx.sender.example>"},
            {"From", "\"Alice Example\" <alice@sender.example>"},
            {"To", "<bob@example.net>"},
            {"Subject", "Lunch on Friday"},
            {"MIME-Version", "1.0"},
            {"Content-Type", "text/plain; charset=us-ascii"}};
}

Fields With(Fields f, const std::string& name, const std::string& value) {
    for (auto& [n, v] : f)
        if (n == name) {
            v = value;
            return f;
        }
    f.emplace_back(name, value);
    return f;
}

Fields Without(Fields f, const std::string& name) {
    std::erase_if(f, [&](const auto& p) { return p.first == name; });
    return f;
}

std::string Build(const Fields& fields, const std::string& body = "See you at noon, near the office.\r\n") {
    std::string m;
    for (const auto& [n, v] : fields) m += n + ": " + v + "\r\n";
    return m + "\r\n" + body;
}

std::string Fired(const std::string& message) {
    return MessageTestNames(RunMessageTests(message));
}

TEST(MessageTests, AnOrdinaryMessageFiresNothing) {
    EXPECT_EQ(Fired(Build(Base())), "");
}

TEST(MessageTests, HeaderTestsFireOnTheirFaultAlone) {
    const Fields b = Base();
    std::string many;
    for (int i = 0; i < 15; ++i) many += (i ? ", " : "") + std::string("user") + std::to_string(i) + "@example.net";
    // A hop below the top one stamped two days after it.
    Fields disordered = b;
    disordered.insert(disordered.begin() + 1,
                      {"Received", "from pc.sender.example by mx.sender.example; Thu, 3 Dec 2026 10:00:00 +0000"});
    const std::pair<std::string, std::string> cases[] = {
        {Build(Without(b, "Date")), "HDR_DATE_MISSING"},
        {Build(With(b, "Date", "yesterday at noon")), "HDR_DATE_BAD"},
        {Build(With(b, "Date", "Fri, 4 Dec 2026 10:00:00 +0000")), "HDR_DATE_FUTURE"},
        {Build(With(b, "Date", "Sat, 21 Nov 2026 10:00:00 +0000")), "HDR_DATE_PAST"},
        {Build(Without(b, "Message-Id")), "HDR_MSGID_MISSING"},
        {Build(With(b, "Message-Id", "<no-host-here>")), "HDR_MSGID_BAD"},
        {Build(With(b, "From", "Alice")), "HDR_FROM_MISSING"},
        {Build(Without(b, "To")), "HDR_TO_MISSING"},
        {Build(With(b, "To", "undisclosed-recipients:;")), "HDR_TO_UNDISCLOSED"},
        {Build(With(b, "From", "\"service@bank.example\" <x@mailer.other.example>")), "HDR_FROM_NAME_ADDRESS"},
        {Build(With(b, "Reply-To", "<claims@elsewhere.example>")), "HDR_REPLYTO_OTHER_DOMAIN"},
        {Build(With(b, "Subject", "   ")), "HDR_SUBJECT_MISSING"},
        {Build(With(b, "Subject", "FREE MONEY FOR YOU")), "HDR_SUBJECT_CAPS"},
        {Build(With(b, "Subject", "=?gb2312?B?xOO6ww==?=")), "HDR_SUBJECT_FAR_CHARSET"},
        {Build(With(b, "X-Priority", "1 (Highest)")), "HDR_PRIORITY_HIGH"},
        {Build(Without(b, "MIME-Version")), "HDR_MIME_VERSION_MISSING"},
        {Build(With(b, "X-Mailer", "Super Mass Mailer 3.2")), "HDR_MAILER_BULK"},
        {Build(With(b, "Subject", "Re: your order")), "HDR_REPLY_NO_THREAD"},
        {Build(With(b, "To", "<alice@sender.example>")), "HDR_FROM_IS_TO"},
        {Build(With(b, "To", many)), "HDR_TO_MANY"},
        {Build(disordered), "HDR_RCVD_DISORDER"},
        {Build(With(With(b, "To", "<robert@example.net>"), "Subject", "Robert, your invoice")), "HDR_SUBJECT_NAMES_TO"},
    };
    for (const auto& [message, name] : cases) EXPECT_EQ(Fired(message), name) << message;
    // Without Received, the Date is judged against the clock when one is given.
    const std::string no_rcvd = Build(With(Without(b, "Received"), "Date", "Fri, 4 Dec 2026 10:00:00 +0000"));
    EXPECT_EQ(MessageTestNames(RunMessageTests(no_rcvd)), "HDR_RCVD_MISSING");
    EXPECT_EQ(MessageTestNames(RunMessageTests(no_rcvd, 1764583200)), "HDR_DATE_FUTURE HDR_RCVD_MISSING");
    // What they must not take for faults.
    EXPECT_EQ(Fired(Build(With(b, "From", "\"alice@sender.example\" <alice@sender.example>"))), "");
    EXPECT_EQ(Fired(Build(With(b, "Reply-To", "<list@lists.sender.example>"))), "");
    EXPECT_EQ(Fired(Build(Without(With(b, "Cc", "<bob@example.net>"), "To"))), "");
    EXPECT_EQ(Fired(Build(With(With(b, "Subject", "Re: FYI"), "In-Reply-To", "<1@mx.example.net>"))), "");
    EXPECT_EQ(Fired(Build(With(With(b, "To", "<robert@example.net>"), "Subject", "Roberta's invoice"))), "");
    EXPECT_EQ(Fired(Build(With(b, "Cc", "<alice@sender.example>"))), "");  // a copy to oneself
    Fields ordered = b;  // hops a little apart, or out of order by minutes, are ordinary
    ordered.insert(ordered.begin() + 1,
                   {"Received", "from pc.sender.example by mx.sender.example; Tue, 1 Dec 2026 10:20:00 +0000"});
    EXPECT_EQ(Fired(Build(ordered)), "");
}

TEST(MessageTests, MimeHtmlAndLinkTests) {
    const Fields html = With(Base(), "Content-Type", "text/html; charset=utf-8");
    const auto fired_html = [&](const std::string& body) { return Fired(Build(html, body)); };
    const std::string text = "<p>Hello Bob, the minutes of Tuesday's meeting are below, see you soon.</p>";
    EXPECT_EQ(fired_html(text), "MIME_HTML_ONLY");
    EXPECT_EQ(fired_html(text + "<div style=\"display:none\">random words</div>"), "MIME_HTML_ONLY HTML_HIDDEN_TEXT");
    EXPECT_EQ(fired_html(text + "<font size=1>tiny</font>"), "MIME_HTML_ONLY HTML_TINY_TEXT");
    EXPECT_EQ(fired_html("<img src=\"http://img.example.com/a.gif\"><p>Buy</p>"), "MIME_HTML_ONLY HTML_IMAGE_ONLY");
    EXPECT_EQ(fired_html(text + "<form action=\"http://x.example.com/\">"), "MIME_HTML_ONLY HTML_FORM");
    EXPECT_EQ(fired_html(text + " v<!-- x -->iagra"), "MIME_HTML_ONLY HTML_COMMENTS_IN_WORDS");
    EXPECT_EQ(fired_html(text + "<a href=\"http://evil.example.net/login\">www.bank.example</a>"),
              "MIME_HTML_ONLY URI_TEXT_MISMATCH");
    EXPECT_EQ(fired_html(text + "<a href=\"https://www.bank.example/login\">bank.example</a>"), "MIME_HTML_ONLY");
    EXPECT_EQ(fired_html(text + "<a href=\"http://evil.example.net/\">click here</a>"), "MIME_HTML_ONLY");
    EXPECT_EQ(fired_html(text + "<a href=\"http://www.bank.example@evil.example/\">your bank</a>"),
              "MIME_HTML_ONLY URI_OBFUSCATED");

    const Fields plain = Base();
    EXPECT_EQ(Fired(Build(plain, "Go to http://192.0.2.9/offer now\r\n")), "URI_IP_HOST");
    EXPECT_EQ(Fired(Build(plain, "Go to https://bit.ly/abc now\r\n")), "URI_SHORTENER");
    EXPECT_EQ(Fired(Build(plain, "Go to http://shop.example.com:8080/x now\r\n")), "URI_ODD_PORT");
    EXPECT_EQ(Fired(Build(plain, "Go to https://shop.example.com:443/x now\r\n")), "");
    EXPECT_EQ(Fired(Build(plain, "Log in at http://www.bank.example@evil.example/login\r\n")), "URI_OBFUSCATED");
    EXPECT_EQ(Fired(Build(plain, "See https://shop.example.com/a%20b?to=x@y.example\r\n")), "");
    EXPECT_EQ(Fired(Build(plain, std::string(120, 'A') + " " + std::string(120, 'B') + "\r\n")), "BODY_CAPS");
    EXPECT_EQ(Fired(Build(plain, "NOTE: " + std::string(150, 'x') + " " + std::string(120, 'Y') + "\r\n")), "");
    EXPECT_EQ(Fired(Build(plain, "\r\n")), "BODY_EMPTY");
    EXPECT_EQ(Fired(Build(With(plain, "Content-Type", "text/plain"), "caf\xC3\xA9 au lait\r\n")), "MIME_NO_CHARSET");

    const Fields multi = With(Base(), "Content-Type", "multipart/mixed; boundary=\"b1\"");
    const std::string parts =
        "--b1\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "SGVsbG8gQm9iLCB0aGUgcmVwb3J0IGlzIGF0dGFjaGVkLg==\r\n"
        "--b1\r\nContent-Type: application/octet-stream; name=\"report.pdf.exe\"\r\n\r\nMZ\r\n--b1--\r\n";
    EXPECT_EQ(Fired(Build(multi, parts)), "MIME_BASE64_TEXT MIME_EXECUTABLE");
    EXPECT_EQ(Fired(Build(With(Base(), "Content-Type", "multipart/mixed"), parts)), "MIME_BOUNDARY_BAD BODY_EMPTY");
    const std::string alternative =
        "--b1\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nHello Bob, see you.\r\n"
        "--b1\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n<p>Hello Bob, see you.</p>\r\n--b1--\r\n";
    EXPECT_EQ(Fired(Build(With(Base(), "Content-Type", "multipart/alternative; boundary=b1"), alternative)), "");
}

TEST(MessageTests, NamesAndIndexesAgree) {
    EXPECT_GT(kMessageTestCount, 30u);
    for (size_t i = 0; i < kMessageTestCount; ++i)
        EXPECT_EQ(MessageTestIndex(kMessageTests[i].name), static_cast<int>(i));
    EXPECT_EQ(MessageTestIndex("NO_SUCH_TEST"), -1);
}

TEST(MailDate, ParsesTheFormsMailUses) {
    int64_t t = 0;
    ASSERT_TRUE(ParseMailDate("Thu, 22 Aug 2002 13:17:22 +0100", &t));
    EXPECT_EQ(t, 1030018642);
    ASSERT_TRUE(ParseMailDate("22 Aug 2002 08:17:22 -0400 (EDT)", &t));
    EXPECT_EQ(t, 1030018642);
    ASSERT_TRUE(ParseMailDate("Thu, 22 Aug 02 12:17 GMT", &t));
    EXPECT_EQ(t, 1030018620);
    ASSERT_TRUE(ParseMailDate("Thu, 22 Aug 2002 07:17:22 CDT", &t));
    EXPECT_EQ(t, 1030018642);
    for (const char* bad : {"", "yesterday", "32 Aug 2002 10:00 +0000", "22 Foo 2002 10:00 +0000",
                            "22 Aug 2002 25:00 +0000", "22 Aug 2002 10:00 +01", "22 Aug 2002 10:00 XYZT"})
        EXPECT_FALSE(ParseMailDate(bad, &t)) << bad;
}

}  // namespace
}  // namespace checks
