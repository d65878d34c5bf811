#include "core/ContentCheck.h"

#include <cstdlib>

#include "checks/Bayes.h"
#include "checks/BayesFilter.h"
#include "checks/Phishing.h"
#include "checks/Rules.h"
#include "checks/Spf.h"
#include "common/LineEnds.h"
#include "common/String.h"
#include "config/KernelConfig.h"
#include "core/MessageAuth.h"
#include "core/MorvaneCore.h"
#include "mail/ParseMail.h"

namespace core {

namespace {

std::string Points(float p) {
    return common::FormatText("%.2f", static_cast<double>(p));
}

}  // namespace

SettingLookup SettingsOf(const config::CKernelConfig& cfg) {
    return [&cfg](const char* section, const char* key, float def) {
        const std::string v = cfg.GetString(section, key, "").str();
        return v.empty() ? def : std::strtof(v.c_str(), nullptr);
    };
}

float BayesPoints(double p, const SettingLookup& setting) {
    const double spam_cut = setting("BAYES", "bayes_spam_cutoff", 0.9f);
    const double ham_cut = setting("BAYES", "bayes_ham_cutoff", 0.2f);
    double share = 1.0;
    if (p >= 0.5) {
        if (spam_cut > 0.5 && p < spam_cut) share = (p - 0.5) / (spam_cut - 0.5);
        return static_cast<float>(setting("BAYES", "p_bayes_spam", 6.1f) * share);
    }
    if (ham_cut < 0.5 && p > ham_cut) share = (0.5 - p) / (0.5 - ham_cut);
    return static_cast<float>(setting("BAYES", "p_bayes_ham", -3.99f) * share);
}

ContentReport CheckContent(CMorvaneCore& core, const ContentCheckInput& in, const SettingLookup& setting) {
    ContentReport report;
    const std::string whole = common::CrLfLines(in.message);  // whole, as a session holds it
    mail::CParseMail mail;
    mail.AddStreaming(std::string_view(whole).substr(0, checks::kAnalysedBytes));  // what a session analyses
    mail.Parse();
    const auto add = [&report](std::string check, std::string result, float points, const std::string& reason) {
        report.total += points;
        if (!reason.empty()) report.reasons += " " + reason;
        report.rows.push_back({std::move(check), std::move(result), points});
    };
    const bool with_client = !in.client_ip.empty() && !in.mail_from.empty();
    int spf = checks::kSpfNone;
    if (with_client && setting("SPF", "spf_enable", 1.0f) != 0.0f) {
        spf = core.Spf()->Query(in.client_ip.c_str(), in.mail_from.c_str(), in.helo.c_str());
        float points = 0;
        if (spf == checks::kSpfFail) points = setting("SPF", "spf_score_fail", 5.0f);
        if (spf == checks::kSpfSoftFail) points = setting("SPF", "spf_score_softfail", 4.9f);
        if (spf == checks::kSpfPass) points = setting("SPF", "spf_score_pass", 0.0f);
        std::string result = checks::SpfResultString(spf);
        if (spf == checks::kSpfFail && setting("SPF", "spf_reject_fail", 1.0f) != 0.0f) {
            result += ": refused at MAIL FROM";
            report.verdict = "refused";
        }
        add("spf", result, points, std::string("spf-") + checks::SpfResultString(spf));
    }

    std::string dmarc_reject;
    if (setting("DMARC", "dmarc_enable", 1.0f) != 0.0f) {
        const MessageAuth auth =
            Authenticate(core, {with_client ? in.client_ip : std::string(), in.mail_from, in.helo, whole, true});
        add("dkim", auth.dkim.empty() ? "no signature" : DkimSummary(auth.dkim), 0, "");
        const checks::dmarc::Verdict& d = auth.dmarc;
        float points = 0;
        std::string reason;
        if (d.result == checks::dmarc::kFail) {
            reason = "dmarc-fail(" + d.from_domain + ":" + checks::dmarc::PolicyName(d.policy) + ")";
            if (d.policy == checks::dmarc::Policy::kReject && setting("DMARC", "enforce", 1.0f) != 0.0f)
                dmarc_reject = d.from_domain;
            else if (d.policy == checks::dmarc::Policy::kReject)
                points = setting("DMARC", "p_dmarc_reject", 5.0f);
            else if (d.policy == checks::dmarc::Policy::kQuarantine)
                points = setting("DMARC", "p_dmarc_quarantine", 3.0f);
        } else if (d.dkim_aligned) {
            points = setting("DMARC", "p_dkim_aligned", -1.0f);
            reason = "dkim-aligned(" + d.from_domain + ")";
        }
        add("dmarc", DmarcSummary(d) + (dmarc_reject.empty() ? "" : ": refused by its policy"), points, reason);
    }

    if (setting("RULES", "rules_enable", 1.0f) != 0.0f) {
        checks::CRulesResult matched;
        const float points = core.Rules()->Check(mail, &matched);
        std::string names;
        for (const auto& e : matched.entries) names += (names.empty() ? "" : " ") + e.name + ":" + Points(e.score);
        add("rules", names.empty() ? "no rule matched" : names, points, names.empty() ? "" : "rules(" + names + ")");
    }

    if (setting("PHISHING", "phishing_enable", 1.0f) != 0.0f) {
        std::string fake;
        const int spf_flag = with_client ? spf : checks::kSpfNeutral;
        if (core.Phishing()->Check(mail, &fake, spf_flag, in.mail_from))
            add("phishing", "imitates " + fake, setting("PHISHING", "phishing_score", 10.0f), "phishing(" + fake + ")");
        else
            add("phishing", "no imitated domain", 0, "");
    }

    if (setting("BAYES", "bayes_enable", 1.0f) != 0.0f) {
        const checks::FilterResult r = core.BayesFilter()->ClassifyMessage(whole);
        if (r.verdict == checks::kFilterUntrained) {
            add("filter", "untrained", 0, "bayes(untrained)");
        } else {
            const char* verdict = r.verdict == checks::kFilterSpam  ? "spam"
                                  : r.verdict == checks::kFilterHam ? "ham"
                                                                    : "unsure";
            add("filter", common::FormatText("%s, spam probability %.3f", verdict, r.probability),
                BayesPoints(r.probability, setting), common::FormatText("bayes(%.2f)", r.probability));
        }
    }

    if (report.verdict.empty()) {
        if (!dmarc_reject.empty())
            report.verdict = "refused";
        else if (report.total >= setting("CONFIG", "score_for_spam_max_hit", 20.0f))
            report.verdict = setting("QUARANTINE", "hold_spam", 0.0f) != 0.0f ? "held" : "refused";
        else if (report.total >= setting("CONFIG", "score_for_spam", 5.0f))
            report.verdict = "tagged";
        else
            report.verdict = "delivered";
    }
    return report;
}

}  // namespace core
