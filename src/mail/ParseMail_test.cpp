#include "mail/ParseMail.h"

#include <gtest/gtest.h>

#include "platform/TestTempDir.h"

namespace mail {
namespace {

CParseMail Parsed(const std::string& text) {
    CParseMail m;
    m.LoadMail(text.c_str());
    m.Parse();
    return m;
}

const char kMultipart[] =
    "From: Alice <alice@example.org>\r\n"
    "To: bob@example.net\r\n"
    "Subject: Two parts\r\n"
    "Message-Id: <1234@mail.example.org>\r\n"
    "Content-Type: multipart/alternative; boundary=\"XYZ\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--XYZ\r\n"
    "Content-Type: text/plain; charset=\"UTF-8\"\r\n"
    "Content-Transfer-Encoding: Quoted-Printable\r\n"
    "\r\n"
    "Hello =C3=A9\r\n"
    "--XYZ\r\n"
    "Content-Type: text/html; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "PGI+aGk8L2I+\r\n"
    "--XYZ--\r\n";

TEST(ParseMailTest, EmptyAndHeaderless) {
    CParseMail m;
    EXPECT_FALSE(m.Parse());
    EXPECT_TRUE(m.Body().empty());
    CParseMail h = Parsed("no blank line here\r\njust text");
    EXPECT_EQ(h.Body(), "no blank line here\r\njust text");
    EXPECT_TRUE(h.Header().empty());
}

TEST(ParseMailTest, SplitAndHeaderFields) {
    CParseMail m = Parsed("Subject: Hello\r\n\r\nBody\r\n");
    EXPECT_EQ(m.Header(), "Subject: Hello\r");
    EXPECT_EQ(m.Subject(), "Hello");
    EXPECT_EQ(m.Body(), "\n\r\nBody\r\n");
    CParseMail unanchored = Parsed("Reply-To: first@x.org\nResent-From: r@x.org\nFrom: f@x.org\nTo: t@x.org\n\nb\n");
    EXPECT_EQ(unanchored.To(), "first@x.org") << "header patterns are not anchored to line starts";
    EXPECT_EQ(unanchored.From(), "r@x.org");
    CParseMail empty_subject = Parsed("Subject:\nX-Next: value\n\nbody\n");
    EXPECT_EQ(empty_subject.Subject(), "X-Next: value") << "the blank after the colon may be the line break";
    CParseMail no_semicolon = Parsed("Content-Type: text/plain\nContent-Type:text/html;\n\nbody\n");
    EXPECT_EQ(no_semicolon.ContentType(), "") << "no ';', or no blank after the colon: no match";
}

TEST(ParseMailTest, MultipartParts) {
    CParseMail m = Parsed(kMultipart);
    EXPECT_EQ(m.ContentType(), "multipart/alternative");
    EXPECT_EQ(m.Boundary(), "XYZ");
    EXPECT_EQ(m.MessageIdDomain(), "mail.example.org");
    ASSERT_EQ(m.Parts().size(), 2u) << "the closing boundary adds no part";
    EXPECT_EQ(m.Parts()[0].content_type, "text/plain");
    EXPECT_EQ(m.Parts()[0].charset, "utf-8");
    EXPECT_EQ(m.Parts()[0].transfer_encoding, "quoted-printable");
    EXPECT_EQ(m.Parts()[0].body, "\r\nHello =C3=A9\r\n");
    EXPECT_EQ(m.Parts()[1].body, "\r\nPGI+aGk8L2I+\r\n") << "bodies keep their transfer encoding";
    EXPECT_EQ(m.Part(2), nullptr);
    EXPECT_EQ(m.Part(-1), nullptr);
    m.Parse();
    EXPECT_EQ(m.Parts().size(), 4u) << "parsing twice appends the parts again";
    m.Reset();
    EXPECT_TRUE(m.Parts().empty());
    EXPECT_TRUE(m.Raw().empty());
}

TEST(ParseMailTest, UnquotedBoundary) {
    CParseMail m = Parsed(
        "Content-Type: multipart/alternative; boundary=Apple-Mail-2-874629474\n\n"
        "--Apple-Mail-2-874629474\nContent-Type: text/plain; charset=us-ascii\n\none\n"
        "--Apple-Mail-2-874629474\nContent-Type: text/html; charset=us-ascii\n\n<p>two</p>\n"
        "--Apple-Mail-2-874629474--\n");
    EXPECT_EQ(m.Boundary(), "Apple-Mail-2-874629474");
    EXPECT_EQ(m.Parts().size(), 2u);
}

TEST(ParseMailTest, PartsWithoutBodyOrTypeAreSkipped) {
    CParseMail m = Parsed(
        "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
        "--B\nContent-Type: text/plain;\n\n"  // no body
        "--B\nX-No-Type: 1\n\nbody without type\n"
        "--B\nContent-Type: text/plain; charset=us-ascii\n\nkept\n"
        "--B--\n");
    ASSERT_EQ(m.Parts().size(), 1u);
    EXPECT_EQ(m.Parts()[0].body, "kept\n") << "with bare LFs the body starts after both";
}

TEST(ParseMailTest, FilesAndStreaming) {
    platform::TestTempDir dir;
    ASSERT_TRUE(dir.Write("in.eml", std::string("Subject: x\n\nab\0cd", 17) + std::string(2000, 'z')));
    CParseMail m;
    EXPECT_TRUE(m.LoadFromFile(dir.File("in.eml").c_str()));
    EXPECT_EQ(m.Raw(), "Subject: x\n\nab" + std::string(2017 - 1024, 'z'))
        << "a zero byte loses the rest of its 1024-byte block";
    EXPECT_TRUE(m.LoadFromFile(dir.File("missing.eml").c_str()));
    EXPECT_FALSE(m.LoadFromFile(nullptr));
    m.AddStreaming("more");
    EXPECT_TRUE(m.SaveToFile(dir.File("out.eml").c_str()));
    EXPECT_EQ(dir.Read("out.eml"), m.Raw());
    CParseMail empty;
    EXPECT_FALSE(empty.SaveToFile(dir.File("x.eml").c_str()));
}

}  // namespace
}  // namespace mail
