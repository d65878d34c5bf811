#include "core/TlsSettings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "config/KernelConfig.h"
#include "platform/TestTempDir.h"
#include "platform/TlsTestCert.h"

namespace core {
namespace {

bool Mentions(const CTlsSettings::LogLines& log, const std::string& text) {
    for (const auto& [level, line] : log)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(TlsSettingsTest, ABadCertificateAtReloadKeepsTheOneInUse) {
    platform::TestTempDir dir;
    ASSERT_TRUE(platform::WriteTestCertificate(dir.File("a.pem"), dir.File("a.key"), "first"));
    config::CKernelConfig c;
    c.tls_enable = true;
    c.tls_cert_file = common::String(dir.File("missing.pem"));
    c.tls_key_file = common::String(dir.File("a.key"));
    CTlsSettings tls;
    CTlsSettings::LogLines log;
    tls.Reload(c, &log);
    EXPECT_FALSE(tls.Current().server) << "first start with a bad file: TLS stays off";
    EXPECT_TRUE(Mentions(log, "STARTTLS is not offered")) << log.size();

    c.tls_cert_file = common::String(dir.File("a.pem"));
    log.clear();
    tls.Reload(c, &log);
    ASSERT_TRUE(tls.Current().server);
    EXPECT_EQ(tls.Current().server->Subject(), "/CN=first");
    auto first = tls.Current().server;

    // A renewal that went wrong: the new certificate does not match the key.
    ASSERT_TRUE(platform::WriteTestCertificate(dir.File("a.pem"), dir.File("other.key"), "second"));
    log.clear();
    tls.Reload(c, &log);
    EXPECT_EQ(tls.Current().server, first);
    EXPECT_TRUE(Mentions(log, "stays in use"));

    c.tls_key_file = common::String(dir.File("other.key"));
    tls.Reload(c, nullptr);
    ASSERT_TRUE(tls.Current().server);
    EXPECT_EQ(tls.Current().server->Subject(), "/CN=second") << "a good renewal is taken at reload";

    c.tls_enable = false;
    tls.Reload(c, nullptr);
    EXPECT_FALSE(tls.Current().server);
}

TEST(TlsSettingsTest, MtaModes) {
    bool known = false;
    EXPECT_EQ(CTlsSettings::ParseMtaTls(" MUST ", &known), MtaTls::kMust);
    EXPECT_TRUE(known);
    EXPECT_EQ(CTlsSettings::ParseMtaTls("may", &known), MtaTls::kMay);
    EXPECT_EQ(CTlsSettings::ParseMtaTls("", &known), MtaTls::kNone);
    EXPECT_TRUE(known);
    EXPECT_EQ(CTlsSettings::ParseMtaTls("always", &known), MtaTls::kNone);
    EXPECT_FALSE(known);

    config::CKernelConfig c;
    c.tls_mta = "may";
    CTlsSettings tls;
    tls.Reload(c, nullptr);
    EXPECT_TRUE(tls.Current().client) << "the MTA side needs no certificate";
    EXPECT_FALSE(tls.Current().server);
    c.tls_mta = "sometimes";
    CTlsSettings::LogLines log;
    tls.Reload(c, &log);
    EXPECT_EQ(tls.Current().mta, MtaTls::kNone);
    EXPECT_TRUE(Mentions(log, "none is used"));
}

}  // namespace
}  // namespace core
