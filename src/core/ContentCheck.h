#pragma once
// What the content checks make of one message outside a session. An operator pastes or uploads
// a message (GUI page "Check", `morvanectl check FILE`) and sees each check's result and the
// points the shipped policy would give it; nothing is sent, learned, counted or stored.
//
// The points follow the shipped policy's settings and their defaults (the content part of
// dist/scripts/antispam/core.cs): rules, phishing, the statistical filter, DMARC and DKIM, and
// SPF when the client and the sender are given. A change of the policy's scoring is a change here.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace config {
class CKernelConfig;
}

namespace core {

class CMorvaneCore;

// A setting of the application's configuration, `def` when it is not set.
using SettingLookup = std::function<float(const char* section, const char* key, float def)>;

// Reads `cfg` (which must outlive the lookup): an empty or missing value is `def`.
SettingLookup SettingsOf(const config::CKernelConfig& cfg);

// The points the shipped policy gives a filter's spam probability `p`: full at the verdicts'
// cut-offs, in proportion between them and 0.5.
float BayesPoints(double p, const SettingLookup& setting);

struct ContentCheckInput {
    std::string_view message;
    std::string client_ip, mail_from, helo;  // each optional
};

struct ContentCheckRow {
    std::string check;   // "rules", "phishing", "filter", "dkim", "dmarc", "spf"
    std::string result;  // what it found, for a person
    float points = 0;
};

struct ContentReport {
    std::vector<ContentCheckRow> rows;
    float total = 0;
    std::string verdict;  // "delivered", "tagged", "refused" or "held"
    std::string reasons;  // as the score header would name them
};

ContentReport CheckContent(CMorvaneCore& core, const ContentCheckInput& in, const SettingLookup& setting);

}  // namespace core
