#include "web/HttpRequest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/MtaDelivery.h"
#include "platform/TestTempDir.h"

namespace web {
namespace {

TEST(HttpRequestTest, HeadersCookiesAuthorizationAndQuery) {
    std::string text =
        "get /a/b.htmcc?x=1&y=h%C3%A9llo+w&x=2 HTTP/1.1\r\n"
        "host: gui.example\r\nUser-Agent: probe/1\r\nConnection: keep-alive\r\n"
        "Accept-Language: it\r\nCookie: sid=abc%3D; bad; =v; n=1\r\n"
        "Authorization: Basic cm9vdDpwYTpzcw==\r\n\r\nNEXT";
    HttpRequest r;
    ASSERT_EQ(ParseRequest(text, &r), ParseStatus::kComplete);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.url, "/a/b.htmcc?x=1&y=h%C3%A9llo+w&x=2");
    EXPECT_EQ(r.get.at("x"), "2");
    EXPECT_EQ(r.get.at("y"), "h\xC3\xA9llo w");
    EXPECT_TRUE(r.keep_alive);
    EXPECT_EQ(r.host, "gui.example");
    EXPECT_EQ(r.user_agent, "probe/1");
    EXPECT_EQ(r.accept_language, "it");
    EXPECT_EQ(r.cookies.size(), 2u);
    EXPECT_EQ(r.cookies.at("sid"), "abc=");
    EXPECT_TRUE(r.authorization);
    EXPECT_EQ(r.user, "root");
    EXPECT_EQ(r.password, "pa:ss");
    // Only the request is taken; the next one's bytes stay.
    EXPECT_EQ(text.substr(r.consumed), "NEXT");
}

TEST(HttpRequestTest, PostBodiesWaitForTheirLength) {
    std::string head =
        "POST /f.htmcc HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-length: 11\r\n\r\n";
    HttpRequest r;
    EXPECT_EQ(ParseRequest(head + "a=1&b", &r), ParseStatus::kIncomplete);
    ASSERT_EQ(ParseRequest(head + "a=1&b=%26xy", &r), ParseStatus::kComplete);
    EXPECT_EQ(r.post.at("a"), "1");
    EXPECT_EQ(r.post.at("b"), "&xy");
    // What the server cannot serve is answered with the status that says why.
    struct Bad {
        std::string text;
        int status;
    } bad[] = {
        {"PUT / HTTP/1.0\r\n\r\n", 501},
        {"garbage\r\n\r\n", 400},
        {"GET\r\n\r\n", 400},
        {"POST / HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n", 400},
        {std::string(kMaxHeaderBytes + 1, 'a'), 400},
        {"GET /" + std::string(kMaxUrlBytes, 'a') + " HTTP/1.0\r\n\r\n", 414},
        {"GET /" + std::string(kMaxUrlBytes + 10, 'a'), 414},  // the URL limit holds before the line ends
    };
    for (const Bad& b : bad) {
        int status = 0;
        EXPECT_EQ(ParseRequest(b.text, &r, &status), ParseStatus::kInvalid) << b.text.substr(0, 40);
        EXPECT_EQ(status, b.status) << b.text.substr(0, 40);
    }
    EXPECT_EQ(ParseRequest("GET /" + std::string(100, 'a'), &r), ParseStatus::kIncomplete);
    ASSERT_EQ(ParseRequest("POST / HTTP/1.0\r\nHost: h:1\r\nOrigin: http://h:1\r\nReferer: http://h:1/x\r\n\r\n", &r),
              ParseStatus::kComplete);
    EXPECT_EQ(r.origin, "http://h:1");
    EXPECT_EQ(r.referer, "http://h:1/x");
}

TEST(HttpRequestTest, MultipartPartsAndLimits) {
    std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nline one\r\nline two\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"name.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nfile\r\n--XyZ--\r\n";
    std::string req =
        "POST /u.htmcc HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=\"XyZ\"\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    HttpRequest r;
    ASSERT_EQ(ParseRequest(req, &r), ParseStatus::kComplete);
    EXPECT_EQ(r.content_type, "multipart/form-data");
    EXPECT_EQ(r.post.at("title"), "line one\r\nline two");
    EXPECT_EQ(r.post.at("upload"), "file");
    EXPECT_EQ(r.post.size(), 2u);

    VarMap vars;
    std::string many;
    for (size_t i = 0; i < kMaxVariables + 10; ++i) many += "v" + std::to_string(i) + "=1&";
    EXPECT_FALSE(ParseUrlEncoded(many, &vars));
    EXPECT_EQ(vars.size(), kMaxVariables);
}

TEST(HttpRequestTest, PagePathsExtensionsAndTypes) {
    EXPECT_EQ(PagePath("/"), "index.htmcc");
    EXPECT_EQ(PagePath("/dir/a%20b.png?x=1"), "/dir/a b.png");
    EXPECT_EQ(Extension("/a/Report.PDF"), "pdf");
    EXPECT_EQ(Extension("/a.b/noext"), "");
    EXPECT_EQ(MimeType("pdf"), "application/pdf");
    EXPECT_EQ(MimeType("arj"), "application/x-compressed");  // the later row wins
    EXPECT_EQ(MimeType("rtf"), "text/richtext");
    EXPECT_EQ(MimeType("weird"), "application/octet-stream");
}

TEST(HttpRequestTest, PathsNeverLeaveTheRoot) {
    platform::TestTempDir dir;
    dir.Write("www/ok.html", "x");
    dir.Write("secret.txt", "s");
    std::filesystem::create_symlink(dir.File("secret.txt"), dir.File("www/link.txt"));
    std::filesystem::create_symlink(dir.File("www/ok.html"), dir.File("www/inside.html"));
    const std::string root = dir.File("www");
    EXPECT_NE(ResolveUnderRoot(root, "/ok.html"), "");
    EXPECT_NE(ResolveUnderRoot(root, "/inside.html"), "");
    EXPECT_NE(ResolveUnderRoot(root, "/missing.html"), "");  // answered 404 by the open
    for (std::string bad :
         std::vector<std::string>{"/../secret.txt", "/x/../../secret.txt", "..", "/link.txt", "/a\\..\\secret.txt",
                                  std::string("/ok.html\0.png", 13), "/./ok.html"})
        EXPECT_EQ(ResolveUnderRoot(root, bad), "") << bad;
    // Percent-encoding, once or twice, is decoded before the check.
    EXPECT_EQ(ResolveUnderRoot(root, PagePath("/%2e%2e/secret.txt")), "");
    EXPECT_EQ(ResolveUnderRoot(root, PagePath("/%252e%252e/secret.txt")), "");
}

TEST(HttpRequestTest, StaticAnswersAndReleaseHelpers) {
    std::string nf = NotFoundPage(false);
    EXPECT_EQ(nf.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    EXPECT_NE(nf.find("\r\nServer: Morvane\r\n"), std::string::npos);
    EXPECT_NE(nf.find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos);
    EXPECT_NE(nf.find("\r\nContent-Security-Policy: default-src 'self'"), std::string::npos);
    const std::string body = nf.substr(nf.find("\r\n\r\n") + 4);
    EXPECT_NE(nf.find("Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n"),
              std::string::npos);
    EXPECT_EQ(ErrorPage(true).rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u);
    const std::string busy = StatusPage(503, false, 5);
    EXPECT_EQ(busy.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u);
    EXPECT_NE(busy.find("\r\nRetry-After: 5\r\n\r\n"), std::string::npos);

    core::Envelope e = core::EnvelopeOf("10.0.0.1 <a@x.org>\x02<b@y.org> c@z.org bad\r\nRCPT\x02subject");
    EXPECT_EQ(e.sender, "a@x.org");
    EXPECT_EQ(e.recipients, (std::vector<std::string>{"b@y.org", "c@z.org"}));  // no line breaks
    EXPECT_EQ(core::DotStuffed(".a\n..b\r\nc"), "..a\r\n...b\r\nc\r\n.\r\n");
}

}  // namespace
}  // namespace web
