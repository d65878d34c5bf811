#include "platform/HttpClient.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

using Client = CMorvaneHTTPClient;

TEST(HttpClientTest, UrlsAreCutAsTheClientSendsThem) {
    Client::Url u;
    ASSERT_TRUE(Client::ParseUrl("http://Lists.Example.org:8080/Path/List.INI?a=B", &u));
    EXPECT_EQ(u.scheme, "HTTP");
    EXPECT_EQ(u.host, "LISTS.EXAMPLE.ORG");
    EXPECT_EQ(u.port, 8080);
    EXPECT_EQ(u.path, "/Path/List.INI?a=B");
    ASSERT_TRUE(Client::ParseUrl("example.org/x", &u));
    EXPECT_EQ(u.scheme, "HTTP") << "no scheme: HTTP, port 80";
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.host, "EXAMPLE.ORG");
    EXPECT_EQ(u.path, "/x");
    ASSERT_TRUE(Client::ParseUrl("https://example.org", &u));
    EXPECT_EQ(u.scheme, "HTTPS");
    EXPECT_EQ(u.path, "/");
    ASSERT_TRUE(Client::ParseUrl("http://h:99999/", &u));
    EXPECT_EQ(u.port, 0) << "not a port";
    EXPECT_FALSE(Client::ParseUrl("http://h/a\r\nX-Injected: 1", &u)) << "control bytes would write header lines";
    EXPECT_EQ(Client().SendRequest(0, "https://example.org/", nullptr), 0);
    EXPECT_EQ(Client().SendRequest(0, nullptr, nullptr), 0);
}

TEST(HttpClientTest, RequestLinesAndPostData) {
    Client::Url u;
    Client::ParseUrl("http://Host.Example:81/Get?x", &u);
    EXPECT_EQ(Client::BuildRequest(false, u, "Agent/1", ""),
              "GET /Get?x HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
              "application/msword, application/vnd.ms-powerpoint, */*\r\n"
              "Accept-Language: en-us\r\nUser-Agent: Agent/1\r\nHost: HOST.EXAMPLE\r\n\r\n");
    std::string post = Client::BuildRequest(true, u, "A", "k=v");
    EXPECT_NE(post.find("POST /Get?x HTTP/1.0\r\n"), std::string::npos);
    EXPECT_NE(post.find("Content-Length: 3\r\nHost: HOST.EXAMPLE\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "\r\nk=v"),
              std::string::npos);
    std::string empty_post = Client::BuildRequest(true, u, "A", "");
    EXPECT_EQ(empty_post.find("Content-Length"), std::string::npos);
    EXPECT_EQ(empty_post.find("Content-Type"), std::string::npos);
}

TEST(HttpClientTest, AnswersSplitAtTheFirstBlankLine) {
    std::string h, b;
    Client::SplitAnswer("HTTP/1.0 200 OK\r\nA: 1\r\n\r\nbody\r\n\r\nmore", &h, &b);
    EXPECT_EQ(h, "HTTP/1.0 200 OK\r\nA: 1");
    EXPECT_EQ(b, "body\r\n\r\nmore");
    Client::SplitAnswer("no blank line", &h, &b);
    EXPECT_TRUE(h.empty() && b.empty());
    Client::SplitAnswer("\r\n\r\nbody", &h, &b);
    EXPECT_TRUE(h.empty() && b.empty()) << "a blank line at position 0 does not count";
    EXPECT_EQ(Client::StatusCode("HTTP/1.1 404 Not Found"), 404);
    EXPECT_EQ(Client::StatusCode("HTTP/1.0 20"), 0);
    EXPECT_EQ(Client::StatusCode("garbage"), 0);
    EXPECT_EQ(Client::StatusCode("HTTP/1 -20 5"), 0) << "found by fuzzing: a sign is no digit";
}

}  // namespace
}  // namespace platform
