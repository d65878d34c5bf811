#include "core/TlsSettings.h"

#include "common/String.h"
#include "config/KernelConfig.h"

namespace core {

MtaTls CTlsSettings::ParseMtaTls(const std::string& text, bool* known) {
    common::String trimmed(text);
    const std::string t = common::AsciiLowered(trimmed.Trim().str());
    if (known) *known = true;
    if (t == "may") return MtaTls::kMay;
    if (t == "must") return MtaTls::kMust;
    if (known) *known = t.empty() || t == "none";
    return MtaTls::kNone;
}

void CTlsSettings::Reload(const config::CKernelConfig& c, LogLines* log) {
    auto say = [log](int level, std::string text) {
        if (log) log->emplace_back(level, "TLS: " + std::move(text));
    };
    const std::string cert = c.tls_cert_file.str(), key = c.tls_key_file.str();
    const std::string min_version = c.tls_min_version.str(), ciphers = c.tls_ciphers.str();
    if (!c.tls_enable) {
        if (current_.server) say(1, "STARTTLS is no longer offered ([TLS] enable=0)");
        current_.server.reset();
    } else {
        std::string error;
        std::shared_ptr<const platform::TlsContext> made =
            platform::TlsContext::Server(cert, key, min_version, ciphers, &error);
        if (made) {
            current_.server = made;
            cert_file_ = cert;
            say(1, "STARTTLS offered with certificate " + cert + " (" + made->Subject() + "), minimum " +
                       (min_version.empty() ? std::string("TLSv1.2") : min_version));
        } else if (current_.server) {
            say(1, error + "; the certificate loaded before (" + cert_file_ + ") stays in use");
        } else {
            say(1, error + "; STARTTLS is not offered");
        }
    }
    bool known = true;
    current_.mta = ParseMtaTls(c.tls_mta.str(), &known);
    if (!known) say(1, "mta_tls \"" + c.tls_mta.str() + "\" is not none, may or must: none is used");
    if (current_.mta == MtaTls::kNone) {
        current_.client.reset();
    } else {
        std::string error;
        std::shared_ptr<const platform::TlsContext> client = platform::TlsContext::Client(min_version, &error);
        if (client) {
            current_.client = client;
        } else if (!current_.client) {
            // Without a client context "must" could never be met: every session would be
            // refused. Say so; the sessions then refuse (must) or go on in clear (may).
            say(1, "no TLS client for the MTA: " + error);
        }
    }
}

}  // namespace core
