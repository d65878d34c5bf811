#include "checks/Phishing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/KFile.h"
#include "platform/SocketComm.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

// One list, written the way the file is.
std::string List(const std::string& domains, const std::string& verify_txt, const std::string& verify_html,
                 const std::string& fake_html, const std::string& fake_txt, int firm = 1) {
    auto section = [](const char* name, const std::string& body) { return std::string("[") + name + "]\r\n" + body; };
    return section("SETTING", "firm=" + std::to_string(firm) + "\r\ndate=d" + std::to_string(firm) + "\r\n") +
           section("DOMAIN", domains) + section("VERIFY_TXT", verify_txt) + section("VERIFY_HTML", verify_html) +
           section("FAKE_HTML", fake_html) + section("FAKE_TXT", fake_txt);
}

std::string One(const std::string& pattern, int escape = 1, const std::string& letters = "i", int capture = 0) {
    return "count=1\r\nR0=" + pattern + "\r\nR0c=" + std::to_string(capture) + "\r\nR0n=" + std::to_string(escape) +
           "\r\nR0e=" + letters + "\r\n";
}

const std::string kNone = "count=0\r\n";
const std::string kBank = "count=1\r\nD0=bank.example\r\n";

mail::CParseMail Parsed(const std::string& text) {
    mail::CParseMail m;
    m.AddStreaming(text);
    m.Parse();
    return m;
}

// The shipped sample, as a fresh installation has it.
std::string Sample() {
    std::string text;
    EXPECT_TRUE(platform::ReadWholeFile(MORVANE_SOURCE_DIR "/dist/db/phishing.db", text));
    return text;
}

TEST(PhishingTest, PatternPiecesAndOptionLetters) {
    EXPECT_EQ(CPhishingDB::OptionLetters("is"), 5);
    EXPECT_EQ(CPhishingDB::OptionLetters("imsxq"), 15);
    EXPECT_EQ(CPhishingDB::WithDomain("^#D#$|x#D#", "a.b", true), "^a\\.b$|xa\\.b");
    std::vector<PhishPattern> escaped{{"^#D#$", 0, 1, 0}}, plain{{"^#D#$", 0, 0, 0}};
    EXPECT_TRUE(CPhishingDB::MatchList(escaped, "bank.example", "bank.example", nullptr, nullptr));
    EXPECT_FALSE(CPhishingDB::MatchList(escaped, "bankxexample", "bank.example", nullptr, nullptr));
    EXPECT_TRUE(CPhishingDB::MatchList(plain, "bankxexample", "bank.example", nullptr, nullptr));
    int32_t capture = 0;
    common::RegexMatch m;
    std::vector<PhishPattern> two{{"nothing", 0, 0, 1}, {"(a)(b)", 0, 0, 2}};
    EXPECT_TRUE(CPhishingDB::MatchList(two, "xab", "", &capture, &m));
    EXPECT_EQ(capture, 2) << "the first record that matches gives its capture number";
    EXPECT_EQ(m.text[2], "b");
}

TEST(PhishingTest, EmptyListsCheckNothing) {
    CPhishingDB db("");
    mail::CParseMail m =
        Parsed("From: x@bank.example\r\nSubject: bank.example\r\n\r\nsee http://evil.example/ now\r\n");
    std::string fake = "left over";
    EXPECT_EQ(db.Check(m, &fake, 3, "x@y"), 0) << "no domains";
    EXPECT_EQ(fake, "");
    db.LoadText(List(kBank, One("#D#"), kNone, kNone, kNone));
    EXPECT_EQ(db.Check(m, &fake, 3, "x@y"), 0) << "an empty VERIFY_HTML list turns the check off";
    db.LoadText(List(kNone, One("#D#"), One("<a"), kNone, kNone));
    EXPECT_EQ(db.Check(m, &fake, 3, "x@y"), 0);
    // A count far beyond the keys (a damaged or hostile file) is held to them: the load does
    // not walk two billion missing keys.
    db.LoadText(List("count=2000000000\r\nD0=bank.example\r\n", "count=2000000000\r\n", kNone, kNone, kNone));
    EXPECT_EQ(db.Domains(), std::vector<std::string>{"bank.example"});
}

TEST(PhishingTest, SenderAndLinks) {
    CPhishingDB db("");
    // VERIFY_HTML that never matches, FAKE_TXT that never matches: the decision is the links'.
    db.LoadText(List(kBank, One("#D#"), One("<never-an-anchor>"), kNone, One("never-a-fake")));
    const std::string head = "From: service@bank.example\r\nSubject: your account\r\n\r\n";
    std::string fake;
    mail::CParseMail elsewhere = Parsed(head +
                                        "Log in at http://bank.example.evil.test/login now and "
                                        "https://other.test/x please\r\n");
    EXPECT_EQ(db.Check(elsewhere, &fake, 3, "service@bank.example"), 1)
        << "the first link names the domain; the second, an https one, leads elsewhere";
    mail::CParseMail https_first = Parsed(head + "Log in at HTTPS://login-bank.test/ now\r\n");
    EXPECT_EQ(db.Check(https_first, &fake, 3, "service@bank.example"), 1) << "an https link is scanned too";
    EXPECT_EQ(fake, "bank.example");
    EXPECT_EQ(db.Check(https_first, &fake, 0, "Service@Bank.Example"), 0) << "its own mail, SPF passed";
    EXPECT_EQ(fake, "");
    EXPECT_EQ(db.Check(https_first, &fake, 1, "service@bank.example"), 1) << "SPF soft-failed: the links decide";
    mail::CParseMail own_links = Parsed(head + "See http://www.bank.example/a and http://bank.example/b today\r\n");
    EXPECT_EQ(db.Check(own_links, &fake, 3, "x@other.test"), 0) << "every link leads to the domain";
    mail::CParseMail dotless = Parsed(head + "See http://www.bankxexample.test/a today\r\n");
    EXPECT_EQ(db.Check(dotless, &fake, 3, "x@other.test"), 1) << "the domain's dots are escaped in the link test";
    mail::CParseMail wrapped = Parsed(head + "See http://elsewhere.test/a\r\nthanks bank\r\n");
    EXPECT_EQ(db.Check(wrapped, &fake, 3, "x@other.test"), 1) << "a link runs to the next blank, line ends removed";
    mail::CParseMail last = Parsed(head + "See http://elsewhere.test/a\r\n");
    EXPECT_EQ(db.Check(last, &fake, 3, "x@other.test"), 0) << "no blank after the last link: the scan ends there";
    mail::CParseMail unrelated = Parsed("From: a@b.test\r\nSubject: hi\r\n\r\nhttp://elsewhere.test/ x\r\n");
    EXPECT_EQ(db.Check(unrelated, &fake, 3, "a@b.test"), 0) << "a message that does not name the domain";
}

TEST(PhishingTest, AnchorsAndTextFakes) {
    CPhishingDB db("");
    db.LoadText(List(kBank, One("#D#"), One("<a href=\"([^\"]+)\">[^<]*#D#", 1, "i", 1), One("^http://(?!#D#)"),
                     One("http://\\d+\\.\\d+\\.\\d+\\.\\d+/", 0)));
    std::string fake;
    const std::string head = "From: a@b.test\r\nSubject: bank.example notice\r\n\r\n";
    mail::CParseMail anchor = Parsed(head + "<a href=\"http://evil.test/\">bank.example login</a> \r\n");
    EXPECT_EQ(db.Check(anchor, &fake, 3, "a@b.test"), 1) << "the captured link goes to FAKE_HTML";
    mail::CParseMail honest = Parsed(head + "<a href=\"http://bank.example/\">bank.example login</a>\r\n");
    EXPECT_EQ(db.Check(honest, &fake, 3, "a@b.test"), 0);
    mail::CParseMail ip = Parsed(head + "go to http://192.0.2.7/login\r\n");
    EXPECT_EQ(db.Check(ip, &fake, 3, "a@b.test"), 1) << "FAKE_TXT on the raw message when no anchor matched";
}

TEST(PhishingTest, TheSampleListCatchesAFakeAndSparesTheReal) {
    CPhishingDB db("");
    db.LoadText(Sample());
    ASSERT_EQ(db.Domains().size(), 10u);
    std::string fake;
    mail::CParseMail phish = Parsed(
        "From: \"PayPal\" <service@paypal.com>\r\nSubject: Your account is limited\r\nContent-Type: text/html; "
        "charset=utf-8\r\n\r\n<p>Please <a href=\"https://paypal.com.account-check.test/login\">log in to "
        "paypal.com</a> today.</p>\r\n");
    EXPECT_EQ(db.Check(phish, &fake, 2, "service@paypal.com"), 1);
    EXPECT_EQ(fake, "paypal.com");
    mail::CParseMail real = Parsed(
        "From: \"PayPal\" <service@paypal.com>\r\nSubject: Your receipt\r\nContent-Type: text/html; "
        "charset=utf-8\r\n\r\n<p><a href=\"https://www.paypal.com/activity\">See it on paypal.com</a> </p>\r\n");
    EXPECT_EQ(db.Check(real, &fake, 4, "service@paypal.com"), 0);
    mail::CParseMail mention = Parsed(
        "From: a@news.test\r\nSubject: weekly\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nI bought it on "
        "amazon.com, see http://news.test/a for more\r\n");
    EXPECT_EQ(db.Check(mention, &fake, 3, "a@news.test"), 0) << "a mention in the body is no claim";
}

// A loopback HTTP server that answers every connection with `answer` and closes.
class FakeHttp {
public:
    explicit FakeHttp(std::string answer) : answer_(std::move(answer)) {
        EXPECT_TRUE(listen_.Listen("127.0.0.1", "0"));
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                int fd = listen_.Accept(50);
                if (fd < 0) continue;
                platform::CSocketComm c;
                c.Attach(fd);
                char buf[4096];
                c.Recv(buf, sizeof buf, 1000);
                std::string a;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    a = answer_;
                }
                c.Send(a, 1000);
                c.Close();
            }
        });
    }
    ~FakeHttp() {
        stop_ = true;
        thread_.join();
    }
    void Set(std::string answer) {
        std::lock_guard<std::mutex> lock(mu_);
        answer_ = std::move(answer);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(listen_.LocalPort()) + "/list"; }

private:
    std::mutex mu_;
    std::string answer_;
    platform::CSocketComm listen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Ok(const std::string& body) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(PhishingUpdateTest, ChecksGoOnWhileUpdatesReplaceTheList) {
    platform::TestTempDir dir;
    FakeHttp server(Ok(List(kBank, One("#D#"), One("<never>"), kNone, kNone, 2)));
    const std::string path = dir.File("phishing.db");
    ASSERT_TRUE(platform::WriteFileAtomic(path, "[SETTING]\r\nURL=" + server.Url() + "\r\nfirm=1\r\n"));
    CPhishingDB db(path);
    ASSERT_TRUE(db.Load());
    mail::CParseMail m = Parsed("From: a@b.test\r\nSubject: bank.example\r\n\r\nhttp://elsewhere.test/ now\r\n");
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::vector<std::thread> checkers;
    for (int t = 0; t < 8; ++t)
        checkers.emplace_back([&] {
            std::string fake;
            while (!stop.load()) {
                int v = db.Check(m, &fake, 3, "a@b.test");
                if (v != 0 && v != 1) ++odd;
                if (v == 1 && fake != "bank.example") ++odd;
            }
        });
    std::string why;
    for (int firm = 2; firm < 12; ++firm) {
        server.Set(Ok(List(firm % 2 ? kBank : "count=1\r\nD0=other.example\r\n", One("#D#"), One("<never>"), kNone,
                           kNone, firm)));
        EXPECT_EQ(db.UpdateFromService(&why), 1) << why;
    }
    stop = true;
    for (auto& t : checkers) t.join();
    EXPECT_EQ(odd.load(), 0);
    CPhishingDB reread(path);
    reread.Load();
    EXPECT_EQ(reread.Date(), "d11");
    EXPECT_EQ(reread.Url(), server.Url()) << "the service URL stays";
}

}  // namespace
}  // namespace checks
