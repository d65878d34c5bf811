#include "checks/Bayes.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/Md5.h"
#include "mail/ScriptParseMail.h"
#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

int64_t g_now = 1'700'000'000;
int64_t Now() {
    return g_now;
}

mail::CS_ParseMail Parsed(const std::string& text) {
    mail::CS_ParseMail m;
    m.AddStreaming(text);
    m.Parse();
    return m;
}

std::vector<std::string> Tokens(const std::string& text) {
    CBayesWord w;
    w.Tokenize(Parsed(text));
    return w.tokens;
}

std::vector<std::string> Text(const std::string& text) {
    std::vector<std::string> out;
    CBayesWord::TextRule(text, out);
    return out;
}

class BayesTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1'700'000'000;
        bayes_.Load();
    }
    void SetWeight(const std::string& token, int16_t w) { bayes_.Words().Insert(token, CBayes::WeightData(w), true); }
    int WeightOf(const std::string& token) {
        auto r = bayes_.Words().Get(token);
        return r ? CBayes::Weight(r->data) : -99999;
    }
    platform::TestTempDir dir_;
    CBayes bayes_{dir_.Path().string(), &Now};
};

TEST(BayesWordTest, TextRuleCutsAtBlanksAndDigestsLongPieces) {
    const std::string long_word(40, 'x');
    EXPECT_EQ(Text("abc word\nwrap " + long_word + " " + std::string(256, 'y') + " tail"),
              (std::vector<std::string>{"wordwrap", common::Md5Hex(long_word)}))
        << "short, over-long and the unclosed last pieces are dropped; line feeds are cleared";
    EXPECT_EQ(Text("trailing "), (std::vector<std::string>{"trailing"}));
    EXPECT_EQ(Text("  four  "), (std::vector<std::string>{"four"}));
    EXPECT_EQ(Text(std::string(32, 'z') + " ").front(), std::string(32, 'z')) << "32 bytes stay text";
    std::string many;
    for (int i = 0; i < 250; ++i) many += "word" + std::to_string(i) + " ";
    EXPECT_EQ(Text(many).size(), 100u);
    EXPECT_EQ(Text(many).back(), "word99");
}

TEST(BayesWordTest, BlockRuleDigestsRunsOfSixteenLines) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "line" + std::to_string(i) + "\n";
    std::vector<std::string> out;
    CBayesWord::BlockRule(text, out);
    size_t sixteen = 0;
    for (int i = 0; i < 16; ++i) sixteen = text.find('\n', sixteen) + 1;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], common::Md5Hex(text.substr(0, sixteen)));
    EXPECT_EQ(out[1], common::Md5Hex(text.substr(sixteen)));
    out.clear();
    CBayesWord::BlockRule("", out);
    EXPECT_TRUE(out.empty());
}

TEST(BayesWordTest, RawSamplesAreSevenBytesEveryEight) {
    std::vector<std::string> out;
    CBayesWord::RawSamples("abcdefgX hijklmYnop\nqrsZtuv wxyZ", out);
    EXPECT_EQ(out, (std::vector<std::string>{"abcdefg", "tuv wxy"}))
        << "a slice with a line feed or a blank at an end is no longer 7 bytes";
    out.clear();
    CBayesWord::RawSamples(std::string(5000, 'a'), out);
    EXPECT_EQ(out.size(), 100u);
}

TEST(BayesWordTest, MessageShapes) {
    const std::string head =
        "From: \"Ann Smith\" <ann@example.org>\r\nTo: <bob@example.net>\r\nSubject: cheap watches today\r\n"
        "Message-Id: <1@mx.example.org>\r\n";
    auto has = [](const std::vector<std::string>& v, const std::string& t) {
        return std::find(v.begin(), v.end(), t) != v.end();
    };
    auto plain = Tokens(head + "Content-Type: text/plain; charset=us-ascii\r\n\r\nBuy these watches now \r\n");
    for (const char* t : {"cheap", "watches", "Smith", "mx.example.org", "these"}) EXPECT_TRUE(has(plain, t)) << t;
    EXPECT_TRUE(has(plain, "today")) << "a field's last word counts: the field is followed by a blank";
    EXPECT_FALSE(has(plain, "Ann")) << "pieces under 4 bytes";
    auto starts = [&plain](const std::string& prefix) {
        return std::any_of(plain.begin(), plain.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    };
    EXPECT_TRUE(starts("ann@example.org")) << "angle brackets and quotes are removed";
    EXPECT_TRUE(starts("bob@example.net"));

    auto untyped = Tokens(head + "\r\nline one\r\nline two\r\n");
    EXPECT_FALSE(has(untyped, "line")) << "without a text type and without parts the body is one block";

    const std::string binary = "R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==\r\n";
    auto multi = Tokens(head +
                        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/html; "
                        "charset=utf-8\r\n\r\n<p>Hello friends here</p>\r\n--b1\r\nContent-Type: image/gif; "
                        "name=a.gif\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                        binary + "--b1--\r\n");
    EXPECT_TRUE(has(multi, "friends"));
    mail::CS_ParseMail m = Parsed(head +
                                  "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: "
                                  "text/html; charset=utf-8\r\n\r\n<p>Hello friends here</p>\r\n--b1\r\nContent-Type: "
                                  "image/gif; name=a.gif\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                                  binary + "--b1--\r\n");
    ASSERT_EQ(m.Parts().size(), 2u);
    EXPECT_TRUE(has(multi, common::Md5Hex(m.Parts()[1].body))) << "a binary part's digest";

    CBayesWord w;
    EXPECT_FALSE(w.Elaborate(nullptr));
    mail::CS_ParseMail empty;
    EXPECT_FALSE(w.Tokenize(empty));
    EXPECT_TRUE(w.tokens.empty());
}

TEST_F(BayesTest, ClassifyingByCappedWeights) {
    EXPECT_EQ(bayes_.Classify({}), kBayesNeutral);
    EXPECT_EQ(bayes_.Classify({"alpha", "beta"}), kBayesLearn) << "all unknown";
    SetWeight("five", 5);
    SetWeight("one", 1);
    SetWeight("minus", -3);
    BayesDetail d;
    EXPECT_EQ(bayes_.Classify({"five", "one", "minus"}, &d), kBayesSpam) << "spam 2+1 against ham 2";
    EXPECT_FLOAT_EQ(d.spam_share, 3.0f / 5.0f);
    EXPECT_FLOAT_EQ(d.ham_share, 2.0f / 5.0f);
    EXPECT_EQ(d.spam_lines, (std::vector<std::string>{"SCORE 5 : five", "SCORE 1 : one"}));
    EXPECT_EQ(d.ham_lines, (std::vector<std::string>{"SCORE -3 : minus"}));
    EXPECT_EQ(bayes_.Classify({"five", "minus"}), kBayesNeutral) << "equal sums";
    SetWeight("zero", 0);
    EXPECT_EQ(bayes_.Classify({"zero", "zero"}), kBayesNeutral);
    EXPECT_EQ(bayes_.Classify({"minus", "one", "unknown1"}), kBayesHam);
    // 2 unknown of 3 is 0.67, under the default 0.68; 3 of 4 is over it.
    EXPECT_EQ(bayes_.Classify({"five", "u1", "u2"}), kBayesSpam);
    EXPECT_EQ(bayes_.Classify({"five", "u1", "u2", "u3"}), kBayesLearn);
}

TEST_F(BayesTest, MinOccurrencesBounds) {
    bayes_.SetMinOccurrences(0.5f);
    EXPECT_FLOAT_EQ(bayes_.Threshold(), 1.0f);
    EXPECT_EQ(bayes_.Classify({"u1", "u2"}), kBayesNeutral) << "never LEARN";
    bayes_.SetMinOccurrences(150.0f);
    EXPECT_NEAR(bayes_.Threshold(), 0.01f, 1e-6);
    bayes_.SetMinOccurrences(32.0f);
    EXPECT_FLOAT_EQ(bayes_.Threshold(), 0.68f);
}

TEST_F(BayesTest, LearningMovesWeightsAndSaturates) {
    EXPECT_EQ(bayes_.Learn({"viagra", "viagra", "offer"}, kBayesSpam), 2);
    EXPECT_EQ(WeightOf("viagra"), 2) << "a token seen twice in one message: one record, two steps";
    bayes_.Learn({"viagra", "offer"}, kBayesSpam);
    EXPECT_EQ(WeightOf("viagra"), 3);
    EXPECT_EQ(WeightOf("offer"), 2);
    bayes_.Learn({"offer", "meeting"}, kBayesHam);
    EXPECT_EQ(WeightOf("offer"), 1);
    EXPECT_EQ(WeightOf("meeting"), -1);
    bayes_.Learn({"other"}, 7);
    EXPECT_EQ(WeightOf("other"), 1) << "any kind but ham is spam";
    EXPECT_EQ(bayes_.Words().GetCount(), 4);

    SetWeight("hot", 32766);
    SetWeight("cold", -32766);
    for (int i = 0; i < 3; ++i) {
        bayes_.Learn({"hot"}, kBayesSpam);
        bayes_.Learn({"cold"}, kBayesHam);
    }
    EXPECT_EQ(WeightOf("hot"), 32767) << "does not wrap into a ham word";
    EXPECT_EQ(WeightOf("cold"), -32767);
    bayes_.Learn({std::string(256, 'q')}, kBayesSpam);
    EXPECT_EQ(bayes_.Words().Find(std::string(256, 'q')), -1) << "over-long tokens never enter";

    EXPECT_EQ(bayes_.GetWordsCount("spam"), 3 + 1 + 1 + 32767);
    EXPECT_EQ(bayes_.GetWordsCount("HAM"), 1 + 32767);
    SetWeight("flat", 0);
    EXPECT_EQ(bayes_.GetWordsCount("neutral"), 1);
    EXPECT_EQ(bayes_.GetWordsCount("other"), 0);
    bayes_.RemoveNeutral(0);
    EXPECT_EQ(bayes_.GetWordsCount("neutral"), 0);
    CBayes reloaded(dir_.Path().string(), &Now);
    reloaded.Load();
    EXPECT_EQ(reloaded.Words().GetCount(), 6) << "removing neutral words saved the table";
}

TEST_F(BayesTest, ConcurrentLearningLosesNoStep) {
    // Two threads learn the same new words while two classify: every step lands, and a new word
    // is one record, never two.
    std::vector<std::string> words;
    for (int i = 0; i < 50; ++i) words.push_back("shared" + std::to_string(i));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 100; ++round) {
                if (t < 2)
                    bayes_.Learn(words, kBayesSpam);
                else
                    bayes_.Classify(words);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(bayes_.Words().RecordCount(), 50);
    for (const std::string& w : words) EXPECT_EQ(WeightOf(w), 200) << w;
}

TEST_F(BayesTest, QuarantineStoresOnceAndCutsLongRecords) {
    CStatitiche_Day stats;
    mail::CS_ParseMail m = Parsed("Subject: hello there\r\n\r\nbody text\r\n");
    const std::string id = common::Md5Hex(m.Raw());
    EXPECT_TRUE(bayes_.Quarantine(m, "1.2.3.4", "a@b", kBayesSpam, &stats));
    EXPECT_TRUE(bayes_.Quarantine(m, "1.2.3.4", "a@b", kBayesSpam, &stats));
    EXPECT_EQ(bayes_.Index(kBayesSpam)->GetCount(), 1);
    EXPECT_EQ(stats.Value("f11_bayes_spam").value_or(0), 1.0f);
    EXPECT_EQ(bayes_.Index(kBayesSpam)->Get(id)->data, std::string("1.2.3.4\x02"
                                                                   "a@b\x02hello there"));
    std::string file;
    ASSERT_TRUE(platform::ReadWholeFile(bayes_.Folder(kBayesSpam) + "/" + id + ".eml", file));
    EXPECT_EQ(file, m.Raw());
    EXPECT_FALSE(bayes_.Quarantine(m, "", "", 0, nullptr));
    EXPECT_FALSE(bayes_.Quarantine(m, "", "", 5, nullptr));
    mail::CS_ParseMail empty;
    EXPECT_FALSE(bayes_.Quarantine(empty, "", "", kBayesHam, nullptr));

    mail::CS_ParseMail big = Parsed("Subject: " + std::string(20000, 's') + "\r\n\r\nx\r\n");
    ASSERT_TRUE(bayes_.Quarantine(big, std::string(10, 'a'), std::string(30000, 'b'), kBayesLearn, nullptr));
    std::string data = bayes_.Index(kBayesLearn)->Get(common::Md5Hex(big.Raw()))->data;
    EXPECT_EQ(data, std::string(10, 'a') + '\x02' + std::string(30000, 'b') + '\x02' + std::string(250, 's'));
    mail::CS_ParseMail big2 = Parsed("Subject: s\r\n\r\ny\r\n");
    ASSERT_TRUE(bayes_.Quarantine(big2, std::string(40000, 'a'), std::string(300, 'b'), kBayesLearn, nullptr));
    EXPECT_EQ(bayes_.Index(kBayesLearn)->Get(common::Md5Hex(big2.Raw()))->data,
              std::string(250, 'a') + '\x02' + std::string(250, 'b') + '\x02' + "s");
}

TEST_F(BayesTest, HygieneDeletesOldFilesAndRecords) {
    bayes_.SetQuarantineAge(3600, 72);
    mail::CS_ParseMail old_mail = Parsed("Subject: old\r\n\r\nold body\r\n");
    EXPECT_TRUE(bayes_.Quarantine(old_mail, "", "", kBayesHam, nullptr));
    g_now += 3600 * 71;
    mail::CS_ParseMail new_mail = Parsed("Subject: new\r\n\r\nnew body\r\n");
    EXPECT_TRUE(bayes_.Quarantine(new_mail, "", "", kBayesHam, nullptr));
    EXPECT_EQ(bayes_.QuarantineHygiene(), 0);
    g_now += 3600 + 1;
    EXPECT_EQ(bayes_.QuarantineHygiene(), 1);
    const std::string folder = bayes_.Folder(kBayesHam) + "/";
    EXPECT_FALSE(platform::IsRegularFile(folder + common::Md5Hex(old_mail.Raw()) + ".eml"));
    EXPECT_TRUE(platform::IsRegularFile(folder + common::Md5Hex(new_mail.Raw()) + ".eml"));
    EXPECT_EQ(bayes_.Index(kBayesHam)->GetCount(), 1);
    CBayes reloaded(dir_.Path().string(), &Now);
    reloaded.Load();
    EXPECT_EQ(reloaded.Index(kBayesHam)->GetCount(), 1) << "the hygiene saved the table";

    bayes_.SetQuarantineAge(0, 0);
    g_now += 3600 * 1000;
    EXPECT_EQ(bayes_.QuarantineHygiene(), 0) << "no age, nothing expires";
}

}  // namespace
}  // namespace checks
