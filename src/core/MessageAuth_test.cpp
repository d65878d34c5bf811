#include "core/MessageAuth.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/SmtpText.h"

namespace core {
namespace {

struct MessageAuthTest : ::testing::Test {
    std::map<std::string, std::vector<std::string>> zone;
    checks::dmarc::PublicSuffixList psl;
    checks::dkim::KeyLookup keys = [](const std::string&, std::string*) { return 1; };
    checks::dmarc::TxtLookup txt = [this](const std::string& name, std::vector<std::string>* out) {
        if (auto it = zone.find(name); it != zone.end()) *out = it->second;
        return 0;
    };
    MessageAuth Run(int spf, const std::string& mail_from, const std::string& message) {
        AuthInput in;
        in.client_ip = "192.0.2.1";
        in.mail_from = mail_from;
        in.helo = "mx.sender.test";
        in.message = message;
        return Authenticate(spf, in, keys, txt, psl, 0);
    }
};

TEST_F(MessageAuthTest, VerdictsAndTheirField) {
    psl.Parse("test\n");
    zone["_dmarc.bank.test"] = {"v=DMARC1; p=reject"};
    const std::string forged = "From: Bank <alerts@bank.test>\r\nSubject: verify\r\n\r\nclick\r\n";
    MessageAuth a = Run(checks::kSpfPass, "bounce@phish.test", forged);
    EXPECT_EQ(a.dmarc.result, checks::dmarc::kFail);
    EXPECT_EQ(DmarcSummary(a.dmarc), "fail reject bank.test none (neither SPF nor DKIM aligned with bank.test)");
    EXPECT_EQ(AuthenticationResultsValue("mx.example.net", a),
              "mx.example.net;\r\n\tspf=pass smtp.mailfrom=bounce@phish.test;\r\n\tdkim=none;\r\n"
              "\tdmarc=fail (p=reject dis=reject) header.from=bank.test");

    a = Run(checks::kSpfPass, "bounce@mail.bank.test", forged);
    EXPECT_EQ(DmarcSummary(a.dmarc), "pass none bank.test spf") << "relaxed SPF alignment";

    a = Run(checks::kSpfNone, "", "From: a@one.test\r\nFrom: b@two.test\r\n\r\n");
    EXPECT_EQ(a.dmarc.result, checks::dmarc::kPermError);
    EXPECT_TRUE(a.spf_from_helo);
    const std::string v = AuthenticationResultsValue("mx", a);
    EXPECT_NE(v.find("spf=none smtp.helo=mx.sender.test"), std::string::npos) << v;
    EXPECT_NE(v.find("dmarc=permerror (several From fields)"), std::string::npos) << v;

    // Signatures that fail carry their reason as a comment, made safe for one.
    a.dkim = {{checks::dkim::kDkimFail, "body (hash) mismatch\r\n", "ex.test", "s 1"}};
    EXPECT_NE(AuthenticationResultsValue("mx", a).find(
                  "dkim=fail (body  hash  mismatch  ) header.d=ex.test header.s=\"s 1\""),
              std::string::npos)
        << AuthenticationResultsValue("mx", a);
}

TEST(AuthenticationResultsField, ForgedOnesGoOthersStay) {
    const std::string held =
        "Received: from x\r\n"
        "Authentication-Results: MX.Example.NET; spf=pass\r\n"
        "authentication-results : (comment) mx.example.net 1;\r\n\tdkim=pass header.d=bank.test\r\n"
        "Authentication-Results: mx.example.net.evil; spf=pass\r\n"
        "Authentication-Results: upstream.test; dkim=fail\r\n"
        "Subject: s\r\n"
        "\r\n"
        "Authentication-Results: mx.example.net; in the body\r\n";
    const std::string out = smtp::WithAuthenticationResults(held, "mx.example.net", "mx.example.net; spf=none");
    EXPECT_EQ(out,
              "Authentication-Results: mx.example.net; spf=none\r\n"
              "Received: from x\r\n"
              "Authentication-Results: mx.example.net.evil; spf=pass\r\n"
              "Authentication-Results: upstream.test; dkim=fail\r\n"
              "Subject: s\r\n"
              "\r\n"
              "Authentication-Results: mx.example.net; in the body\r\n");
    EXPECT_EQ(smtp::AuthservId(" (a (nested) comment) host.test; x"), "host.test");
    EXPECT_EQ(smtp::AuthservId("host.test 1;"), "host.test");
    // A header not all held: fields are still judged one by one, nothing is added below.
    EXPECT_EQ(smtp::WithAuthenticationResults("Authentication-Results: me; x\r\nSubject: cut", "me", "me; y"),
              "Authentication-Results: me; y\r\nSubject: cut");
}

}  // namespace
}  // namespace core
