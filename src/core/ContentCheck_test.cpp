#include "core/ContentCheck.h"

#include <gtest/gtest.h>

#include <map>

#include "checks/FakeDns.h"
#include "checks/Rules.h"
#include "config/KernelConfig.h"
#include "core/MorvaneCore.h"
#include "platform/TestTempDir.h"

namespace core {
namespace {

int64_t Now() {
    return 1'800'000'000;
}

// Settings as a map; anything else is its default.
SettingLookup Settings(std::map<std::string, float> values) {
    return [values](const char* section, const char* key, float def) {
        auto it = values.find(std::string(section) + "/" + key);
        return it == values.end() ? def : it->second;
    };
}

TEST(ContentCheckTest, FilterPointsGrowFromTheMiddleToTheCutOffs) {
    const SettingLookup defaults = Settings({});
    EXPECT_FLOAT_EQ(BayesPoints(0.95, defaults), 6.1f);
    EXPECT_FLOAT_EQ(BayesPoints(0.7, defaults), 6.1f * 0.5f);
    EXPECT_FLOAT_EQ(BayesPoints(0.5, defaults), 0.0f);
    EXPECT_FLOAT_EQ(BayesPoints(0.35, defaults), -3.99f * 0.5f);
    EXPECT_FLOAT_EQ(BayesPoints(0.0, defaults), -3.99f);
    const SettingLookup own = Settings({{"BAYES/p_bayes_spam", 10.0f}, {"BAYES/bayes_spam_cutoff", 0.5f}});
    EXPECT_FLOAT_EQ(BayesPoints(0.6, own), 10.0f) << "a cut-off at the middle gives full points at once";
}

class ContentCheckCore : public ::testing::Test {
protected:
    void SetUp() override {
        config_.SetFile(dir_.File("morvane.ini"));
        config_.dns_nameservers = {common::String(dns_.Address())};
        const std::string policy = "v=DMARC1; p=reject";
        dns_.Add("_dmarc.strict.example", checks::kTypeTXT, checks::kTypeTXT,
                 std::string(1, static_cast<char>(policy.size())) + policy);
        core_ = std::make_unique<CMorvaneCore>(config_, dir_.Path().string(), nullptr, &Now, false);
        ASSERT_EQ(core_->Rules()->AddRule("OFFER", "cheap offer", checks::kRuleSubject, 3.0f, 0), 1);
        ASSERT_EQ(core_->Rules()->AddRule("PILLS", "pills", checks::kRuleSubject, 2.5f, 0), 1);
    }
    ContentReport Check(const std::string& from, const std::string& subject,
                        std::map<std::string, float> settings = {}) {
        const std::string message = "From: " + from + "\nSubject: " + subject + "\n\nhello\n";
        return CheckContent(*core_, {message, "", "", ""}, Settings(std::move(settings)));
    }
    static const ContentCheckRow* Row(const ContentReport& r, const std::string& check) {
        for (const ContentCheckRow& row : r.rows)
            if (row.check == check) return &row;
        return nullptr;
    }

    platform::TestTempDir dir_;
    checks::FakeDns dns_;
    config::CKernelConfig config_;
    std::unique_ptr<CMorvaneCore> core_;
};

TEST_F(ContentCheckCore, ThePolicysVerdictFromItsSettings) {
    ContentReport r = Check("a@plain.example", "a cheap offer");
    EXPECT_EQ(r.verdict, "delivered");
    EXPECT_FLOAT_EQ(r.total, 3.0f);
    ASSERT_TRUE(Row(r, "rules"));
    EXPECT_EQ(Row(r, "rules")->result, "OFFER:3.00");
    EXPECT_NE(r.reasons.find("rules(OFFER:3.00)"), std::string::npos);
    EXPECT_EQ(Row(r, "filter")->result, "untrained");
    EXPECT_EQ(Row(r, "spf"), nullptr) << "no client, no SPF";

    r = Check("a@plain.example", "a cheap offer of pills");
    EXPECT_EQ(r.verdict, "tagged") << "5.5 reaches score_for_spam";
    r = Check("a@plain.example", "a cheap offer of pills", {{"CONFIG/score_for_spam_max_hit", 5.0f}});
    EXPECT_EQ(r.verdict, "refused");
    r = Check("a@plain.example", "a cheap offer of pills",
              {{"CONFIG/score_for_spam_max_hit", 5.0f}, {"QUARANTINE/hold_spam", 1.0f}});
    EXPECT_EQ(r.verdict, "held");
    r = Check("a@plain.example", "a cheap offer of pills", {{"RULES/rules_enable", 0.0f}});
    EXPECT_EQ(Row(r, "rules"), nullptr);
    EXPECT_EQ(r.verdict, "delivered");

    // The checks changed nothing: no hit counted.
    EXPECT_EQ(core_->Rules()->RuleHits("OFFER"), "0\t0");
}

TEST_F(ContentCheckCore, ADmarcRejectRefusesWhateverTheScore) {
    ContentReport r = Check("a@strict.example", "hello");
    ASSERT_TRUE(Row(r, "dmarc"));
    EXPECT_EQ(Row(r, "dmarc")->result.rfind("fail reject strict.example", 0), 0u) << Row(r, "dmarc")->result;
    EXPECT_EQ(r.verdict, "refused");
    r = Check("a@strict.example", "hello", {{"DMARC/enforce", 0.0f}});
    EXPECT_FLOAT_EQ(r.total, 5.0f) << "scored p_dmarc_reject instead";
    EXPECT_EQ(r.verdict, "tagged");
}

}  // namespace
}  // namespace core
