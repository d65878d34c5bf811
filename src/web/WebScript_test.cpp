#include "web/WebScript.h"

#include <gtest/gtest.h>

#include <thread>

#include "checks/Bayes.h"
#include "checks/ScriptClasses.h"
#include "common/Md5.h"
#include "core/MorvaneCore.h"
#include "mail/ParseMail.h"
#include "mail/ScriptParseMail.h"
#include "platform/SocketComm.h"
#include "platform/TestTempDir.h"
#include "script/Imports.h"

namespace web {
namespace {

class WebScriptTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        checks::RegisterChecksImportables();
        mail::RegisterMailImportables();
    }
    // Runs `source` as a page (with `request`), answering what the server would send.
    PageAnswer Run(const std::string& source, HttpRequest request = {}, const cron::KernelAccess* kernel = nullptr) {
        dir_.Write("www/page.htmcc", "CS_WEB_SCRIPT w = new CS_WEB_SCRIPT($_this);\n" + source);
        request_ = std::move(request);
        page_ = WebPage{};
        page_.request = &request_;
        page_.client_ip = "127.0.0.9";
        page_.root = dir_.File("www");
        return RunPage(dir_.File("www/page.htmcc"), kernel, &log_, &sessions_, &page_, nullptr);
    }
    static std::string Body(const std::string& response) {
        size_t at = response.find("\r\n\r\n");
        return at == std::string::npos ? std::string() : response.substr(at + 4);
    }

    platform::TestTempDir dir_;
    logging::CLogQueue log_;
    CWebSessions sessions_;
    HttpRequest request_;
    WebPage page_;
};

TEST_F(WebScriptTest, PageAnswersRedirectsAndErrors) {
    PageAnswer a = Run("void html() { w.echo(\"ok\"); }");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.response.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(a.response.find("Content-Length: 2\r\n"), std::string::npos);
    EXPECT_NE(a.response.find("Cache-Control: no-cache, must-revalidate\r\nExpires: Sat, 26 Jul 1997 05:00:00 GMT\r\n"
                              "Content-Type: text/html\r\n\r\nok"),
              std::string::npos);

    a = Run("void html() { w.echo(\"gone\"); w.HeaderRedirect(\"/login.htmcc\"); }");
    EXPECT_EQ(a.status, 302);
    EXPECT_EQ(a.response.rfind("HTTP/1.0 302 Found\r\n", 0), 0u);
    EXPECT_NE(a.response.find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_NE(a.response.find("Location: /login.htmcc\r\n\r\ngone"), std::string::npos);

    // A compile error is logged with its line; the client sees a plain page without it.
    a = Run("void html() { int x = ; }\n// <script>");
    EXPECT_EQ(a.status, 500);
    EXPECT_EQ(a.response.rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u);
    EXPECT_EQ(Body(a.response).find("<script>"), std::string::npos);
    EXPECT_EQ(Body(a.response).find("line"), std::string::npos);
    EXPECT_FALSE(log_.TakeAll().empty());
}

TEST_F(WebScriptTest, RequestVariablesCookiesAndHeaders) {
    HttpRequest r;
    r.method = "POST";
    r.get = {{"q", "1"}};
    r.post = {{"name", "v<"}};
    r.cookies = {{"sid", "abc"}, {"t", "2"}};
    r.user_agent = "ua";
    PageAnswer a = Run(R"(#import(class, HashArray)
void html() {
    HashArray c = new HashArray();
    w.CGI_TO_ARRAY(c, "cookies");
    w.echo(w.CGI_GET_VAR("q") + "|" + w.CGI_POST_VAR("name") + "|" + w.CGI_COOKIE_VAR("sid") + "|" +
           w.Format("%d", c.GetRecordCount()) + "|" + w.GETENV("REQUEST_METHOD") + "|" + w.GETENV("REMOTE_ADDR") +
           "|" + w.GETENV("HTTP_USER_AGENT") + "|" + w.GETENV("PATH") + "|");
    w.SetCookie("only");
    w.HeaderContentType("text/plain");
})",
                       r);
    EXPECT_EQ(Body(a.response), "1|v<|abc|2|POST|127.0.0.9|ua||");
    EXPECT_NE(a.response.find("Set-Cookie: only=; path=/; expires="), std::string::npos);
    EXPECT_NE(a.response.find("Content-Type: text/plain\r\n"), std::string::npos);
}

TEST_F(WebScriptTest, IncludesAreHeldToTheRoot) {
    dir_.Write("www/part.htmch", "PART");
    dir_.Write("outside.txt", "SECRET");
    PageAnswer a = Run(R"(void html() {
    w.echo("[" + w.includeHTML("part.htmch", 0) + "]");
    w.includeHTML("/part.htmch");
    w.echo("[" + w.includeHTML("../outside.txt", 0) + "]");
    w.echo("[" + w.MD5File("../outside.txt", 1024) + "]");
})");
    EXPECT_EQ(Body(a.response), "[PART]PART[][]");
}

TEST_F(WebScriptTest, SessionsStartWriteReadAndExpire) {
    PageAnswer a = Run(R"(void html() {
    CGI_SESSION_WRITE_VAR("never", "a", "1");
    CGI_SESSION_START("s1", 2000000000);
    CGI_SESSION_WRITE_VAR("s1", "user", "root");
    CGI_SESSION_START("old", 5);
    w.echo(CGI_SESSION_VAR("s1", "user") + "|" + CGI_SESSION_VAR("never", "a") + "|" + w.NewSessionId());
})");
    std::string body = Body(a.response);
    ASSERT_EQ(body.size(), std::string("root||").size() + 32) << body;
    EXPECT_EQ(body.substr(0, 6), "root||");
    EXPECT_EQ(sessions_.Size(), 2u);
    EXPECT_EQ(sessions_.Sweep(1000), 1u);
    EXPECT_EQ(sessions_.Var("s1", "user"), "root");
    sessions_.Start("s1", 2000000000);  // started again: its variables go
    EXPECT_EQ(sessions_.Var("s1", "user"), "");
}

TEST_F(WebScriptTest, OnlyTheSuperuserWithASetPasswordLogsIn) {
    config::CKernelConfig config;
    cron::KernelAccess kernel{nullptr, &config, dir_.Path().string()};
    const std::string page = R"(void html() {
    w.echo(w.Format("%d%d%d", w.CheckSuperuser("root", "kelpo"), w.CheckSuperuser("root", "s3cret-pass"),
                    w.CheckSuperuser("admin", "s3cret-pass")));
})";
    // Never set: the shipped default (also when the key is missing) cannot log in.
    EXPECT_EQ(Body(Run(page, {}, &kernel).response), "-1-1-1");
    config.WriteString("READMIN", "password", common::Md5Hex("s3cret-pass"));
    config.WriteString("READMIN", "superuser", "root");
    EXPECT_EQ(Body(Run(page, {}, &kernel).response), "010");
}

// A one-connection MTA that takes one message and keeps what it was sent.
class FakeMta {
public:
    FakeMta() {
        listen_.Listen("127.0.0.1", "0");
        thread_ = std::thread([this] {
            int fd = listen_.Accept(5000);
            if (fd < 0) return;
            platform::CSocketComm s;
            s.Attach(fd);
            s.Send("220 fake\r\n", 1000);
            std::string line;
            char c;
            bool data = false;
            while (s.Recv(&c, 1, 5000) == 1) {
                line += c;
                if (c != '\n') continue;
                got += line;
                if (data) {
                    if (line == ".\r\n") {
                        data = false;
                        s.Send("250 queued\r\n", 1000);
                    }
                } else if (line.rfind("DATA", 0) == 0) {
                    data = true;
                    s.Send("354 go\r\n", 1000);
                } else if (line.rfind("QUIT", 0) == 0) {
                    s.Send("221 bye\r\n", 1000);
                    break;
                } else {
                    s.Send("250 ok\r\n", 1000);
                }
                line.clear();
            }
        });
    }
    ~FakeMta() { thread_.join(); }
    int Port() const { return listen_.LocalPort(); }
    std::string got;

private:
    platform::CSocketComm listen_;
    std::thread thread_;
};

TEST_F(WebScriptTest, QuarantineListViewReleaseAndLearn) {
    config::CKernelConfig config;
    config.dns_nameservers.clear();
    core::CMorvaneCore core(config, dir_.Path().string(), nullptr, nullptr, false);
    mail::CParseMail m;
    const std::string raw = "Subject: cheap pills\r\nFrom: a@x.org\r\n\r\n.dot line\r\nbuy now\r\n";
    m.AddStreaming(raw);
    m.Parse();
    ASSERT_TRUE(core.Bayes()->Quarantine(m, "10.0.0.1 <a@x.org>", "<b@y.org>", 1, nullptr));
    const std::string id = common::Md5Hex(raw);
    FakeMta mta;
    config.WriteString("CONFIG", "smtp_server1", "127.0.0.1");
    config.WriteInt("CONFIG", "smtp_port1", mta.Port());
    cron::KernelAccess kernel{&core, &config, dir_.Path().string()};
    HttpRequest r;
    r.get = {{"id", id}};
    PageAnswer a = Run(R"(#import(class, HashArray)
void html() {
    HashArray h = new HashArray();
    int n = w.ViewQuarantine(h, 1, "PILLS", 0, 10);
    w.echo(w.Format("%d %d|", n, w.ViewQuarantine(h, 1, "nothing like it", 0, 10)));
    w.echo(w.Split(h.GetByIndexS(0), 9, 1) + "|" + w.Split(h.GetByIndexS(0), 9, 3) + "|");
    w.echo(w.Format("%d|", w.StrLen(w.QuarantineSource(1, w.CGI_GET_VAR("id")))));
    w.echo(w.QuarantineSource(1, "../../morvane.ini") + "|");
    w.echo("[" + w.ReleaseQuarantine(1, w.CGI_GET_VAR("id")) + "]");
    w.echo(w.Format("%d", w.LearnQuarantine(1, w.CGI_GET_VAR("id"), 2) > 0));
})",
                       r, &kernel);
    EXPECT_EQ(Body(a.response), "1 0|10.0.0.1 <a@x.org>|cheap pills|" + std::to_string(raw.size()) + "||[]1");
    EXPECT_NE(mta.got.find("MAIL FROM:<a@x.org>\r\nRCPT TO:<b@y.org>\r\nDATA\r\n"), std::string::npos) << mta.got;
    EXPECT_NE(mta.got.find("\r\n..dot line\r\nbuy now\r\n.\r\n"), std::string::npos) << mta.got;
}

}  // namespace
}  // namespace web
