#pragma once
// The mail authentication of one held message: SPF of its envelope, DKIM of its signatures,
// DMARC of its From domain, and the Authentication-Results field (RFC 8601) that reports them.
// A session computes it once per message, when a script first asks.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "checks/Dkim.h"
#include "checks/Dmarc.h"
#include "checks/Spf.h"

namespace core {

class CMorvaneCore;

struct MessageAuth {
    int spf = checks::kSpfNone;
    std::string spf_identity;  // MAIL FROM, or the HELO name when MAIL FROM is empty
    bool spf_from_helo = false;
    std::vector<checks::dkim::Verdict> dkim;
    checks::dmarc::Verdict dmarc;
};

struct AuthInput {
    std::string client_ip, mail_from, helo;
    std::string_view message;  // the held message, unstuffed
    bool held_all = true;      // false: cut at the hold limit
};

// SPF through the core's cached engine, DKIM keys and DMARC records through its DNS engine.
MessageAuth Authenticate(CMorvaneCore& core, const AuthInput& in);

// The parts without the engines, for tests: `spf` is the SPF result already known.
MessageAuth Authenticate(int spf, const AuthInput& in, const checks::dkim::KeyLookup& keys,
                         const checks::dmarc::TxtLookup& txt, const checks::dmarc::PublicSuffixList& psl, int roll);

// The field's value: "authserv-id; spf=... smtp.mailfrom=...; dkim=... header.d=... header.s=...;
// dmarc=... header.from=...", folded between results.
std::string AuthenticationResultsValue(std::string_view authserv_id, const MessageAuth& auth);

// The DKIM verdicts as scripts read them: "pass example.org sel1; fail example.net s2 (why)".
std::string DkimSummary(const std::vector<checks::dkim::Verdict>& dkim);
// The DMARC verdict as scripts read it: "RESULT POLICY DOMAIN ALIGNED (why)", ALIGNED being
// which passing result is aligned with the From domain (dkim+spf, dkim, spf or none):
// "fail reject example.com none (why)", "pass none example.com dkim".
std::string DmarcSummary(const checks::dmarc::Verdict& v);

}  // namespace core
