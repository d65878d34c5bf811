#include "checks/BayesFilter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "checks/FakeRedis.h"
#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

std::atomic<int64_t> g_now{1'700'000'000};
int64_t FakeNow() {
    return g_now.load();
}

std::string Message(const std::string& subject, const std::string& body) {
    return "From: <a@example.org>\r\nSubject: " + subject + "\r\n\r\n" + body + "\r\n";
}

BayesFilterSettings Loose() {
    BayesFilterSettings s;
    s.strength = 1;
    s.prior = 0.5;
    s.min_dev = 0;
    s.min_learned = 1;
    return s;
}

// One token, by its text, as the filter weighs it.
FilterResult ClassifyWord(const CBayesFilter& f, const std::string& word) {
    CTokenSet t(true);
    t.Add("", word);
    return f.Classify(t);
}

TEST(BayesFilterMath, ChiSquareAndFisherAgainstHandComputedValues) {
    EXPECT_DOUBLE_EQ(CBayesFilter::ChiSquareQ(0, 2), 1.0);
    EXPECT_NEAR(CBayesFilter::ChiSquareQ(2, 2), std::exp(-1.0), 1e-12);
    EXPECT_NEAR(CBayesFilter::ChiSquareQ(4, 4), std::exp(-2.0) * 3, 1e-12);
    // Far in the tail the terms underflow one by one; the sum must not.
    EXPECT_GT(CBayesFilter::ChiSquareQ(2000, 300), 0.0);
    EXPECT_LT(CBayesFilter::ChiSquareQ(2000, 300), 1e-100);

    EXPECT_DOUBLE_EQ(CBayesFilter::Combine({}), 0.5);
    EXPECT_NEAR(CBayesFilter::Combine({0.9}), 0.9, 1e-12);  // one token is its own score
    // H = Q(-4 ln 0.9, 4) = 0.81 * (1 - 2 ln 0.9); S = Q(-4 ln 0.1, 4) = 0.01 * (1 - 2 ln 0.1).
    const double h = 0.81 * (1 - 2 * std::log(0.9)), s = 0.01 * (1 - 2 * std::log(0.1));
    EXPECT_NEAR(CBayesFilter::Combine({0.9, 0.9}), (1 + h - s) / 2, 1e-12);
    EXPECT_NEAR(CBayesFilter::Combine({0.9, 0.1}), 0.5, 1e-12);  // evidence both ways cancels
    EXPECT_NEAR(CBayesFilter::Combine({0.2, 0.2, 0.2}), 1 - CBayesFilter::Combine({0.8, 0.8, 0.8}), 1e-12);
    // Extreme probabilities stay finite and in range.
    const double all_spam = CBayesFilter::Combine(std::vector<double>(150, 1.0));
    const double all_ham = CBayesFilter::Combine(std::vector<double>(150, 0.0));
    EXPECT_NEAR(all_spam, 1.0, 1e-9);
    EXPECT_NEAR(all_ham, 0.0, 1e-9);
}

TEST(BayesFilter, TokenProbabilityIsRobinsonSmoothed) {
    CBayesFilter f("", FakeNow);
    f.SetSettings(Loose());
    ASSERT_EQ(f.Learn(Message("one", "alpha beta"), kFilterSpam), CBayesFilter::Learned::kLearned);
    ASSERT_EQ(f.Learn(Message("two", "gamma"), kFilterSpam), CBayesFilter::Learned::kLearned);
    ASSERT_EQ(f.Learn(Message("three", "delta alpha"), kFilterHam), CBayesFilter::Learned::kLearned);
    ASSERT_EQ(f.Learn(Message("four", "epsilon"), kFilterHam), CBayesFilter::Learned::kLearned);
    // beta: 1 of 2 spam, 0 of 2 ham: p = 1, n = 1, f = (1 * 0.5 + 1 * 1) / (1 + 1).
    FilterResult r = ClassifyWord(f, "beta");
    ASSERT_EQ(r.used, 1u);
    EXPECT_NEAR(r.probability, 0.75, 1e-12);
    EXPECT_NEAR(r.strongest.at(0).second, 0.75, 1e-12);
    EXPECT_EQ(r.strongest[0].first, "beta");
    // alpha: 1 of 2 each way: p = 0.5, f = 0.5 whatever the strength.
    EXPECT_NEAR(ClassifyWord(f, "alpha").probability, 0.5, 1e-12);
    // A token never learned is not evidence.
    r = ClassifyWord(f, "zeta");
    EXPECT_EQ(r.known, 0u);
    EXPECT_DOUBLE_EQ(r.probability, 0.5);
    // Unbalanced classes: the shares, not the counts, decide. gamma is in 1 of 2 spam; learn
    // three more ham: p(gamma) stays 1.
    f.Learn(Message("five", "eta"), kFilterHam);
    f.Learn(Message("six", "theta"), kFilterHam);
    EXPECT_NEAR(ClassifyWord(f, "gamma").probability, 0.75, 1e-12);
}

TEST(BayesFilter, VerdictsNeedEnoughLearningAndFollowTheCutoffs) {
    CBayesFilter f("", FakeNow);
    BayesFilterSettings s = Loose();
    s.min_learned = 3;
    s.spam_cutoff = 0.9;
    s.ham_cutoff = 0.2;
    f.SetSettings(s);
    for (int i = 0; i < 2; ++i) {
        f.Learn(Message("cheap pills " + std::to_string(i), "viagra casino lottery winner"), kFilterSpam);
        f.Learn(Message("meeting " + std::to_string(i), "agenda minutes project review"), kFilterHam);
    }
    const std::string spammy = Message("cheap pills", "viagra casino lottery winner");
    EXPECT_EQ(f.ClassifyMessage(spammy).verdict, kFilterUntrained);
    EXPECT_GT(f.ClassifyMessage(spammy).probability, 0.9);  // the score is there all the same
    f.Learn(Message("cheap pills 2", "viagra casino lottery winner"), kFilterSpam);
    f.Learn(Message("meeting 2", "agenda minutes project review"), kFilterHam);
    EXPECT_EQ(f.ClassifyMessage(spammy).verdict, kFilterSpam);
    EXPECT_EQ(f.ClassifyMessage(Message("meeting", "agenda minutes project review")).verdict, kFilterHam);
    EXPECT_EQ(f.ClassifyMessage(Message("hello", "viagra agenda")).verdict, kFilterUnsure);
}

TEST(BayesFilter, WhatOneKernelLearnsOnTheSharedStoreTheOtherClassifiesWith) {
    using L = CBayesFilter::Learned;
    FakeRedis server;
    CRedis redis;
    redis.Configure(server.Settings());
    BayesFilterSettings s = Loose();
    s.min_learned = 2;
    CBayesFilter a("", FakeNow), b("", FakeNow);
    for (CBayesFilter* f : {&a, &b}) {
        f->SetSettings(s);
        f->SetShared(&redis);
    }
    // b's own table knows one ham message; the rest is learned at a, on the shared store.
    ASSERT_EQ(b.Learn(Message("meeting 0", "agenda minutes project review"), kFilterHam), L::kLearned);
    for (int i = 1; i < 3; ++i) {
        ASSERT_EQ(a.Learn(Message("cheap pills " + std::to_string(i), "viagra casino lottery winner"), kFilterSpam),
                  L::kLearned);
        ASSERT_EQ(a.Learn(Message("meeting " + std::to_string(i), "agenda minutes project review"), kFilterHam),
                  L::kLearned);
    }
    EXPECT_EQ(a.GetStats().spam_messages, 0u) << "a's table is untouched";
    const std::string spammy = Message("cheap pills", "viagra casino lottery winner");
    EXPECT_EQ(b.ClassifyMessage(spammy).verdict, kFilterSpam) << "b classifies with what a learned";
    EXPECT_EQ(b.ClassifyMessage(Message("meeting", "agenda minutes project review")).verdict, kFilterHam);
    // The learned message is the site's: learning it again anywhere counts once, or moves it.
    const std::string one = Message("cheap pills 1", "viagra casino lottery winner");
    EXPECT_EQ(b.Learn(one, kFilterSpam), L::kAlready);
    EXPECT_EQ(b.Learn(one, kFilterHam), L::kMoved);
    // Redis gone: learning goes to the local table, and classifying uses it alone.
    redis.Configure(CRedis::Settings{});
    EXPECT_EQ(a.Learn(Message("cheap pills 9", "viagra casino lottery winner"), kFilterSpam), L::kLearned);
    EXPECT_EQ(a.GetStats().spam_messages, 1u);
    EXPECT_EQ(a.ClassifyMessage(spammy).verdict, kFilterUntrained);
}

TEST(BayesFilter, LearningTwiceCountsOnceRelearningMovesUnlearningTakesBack) {
    using L = CBayesFilter::Learned;
    CBayesFilter f("", FakeNow);
    f.SetSettings(Loose());
    const std::string m = Message("offer", "cheap watches");
    EXPECT_EQ(f.Learn(m, kFilterSpam), L::kLearned);
    const CBayesFilter::Stats once = f.GetStats();
    EXPECT_EQ(f.Learn(m, kFilterSpam), L::kAlready);
    EXPECT_EQ(f.GetStats().spam_messages, 1u);
    EXPECT_EQ(f.GetStats().tokens, once.tokens);
    EXPECT_EQ(f.LearnedAs(m), kFilterSpam);

    f.Learn(Message("lunch", "noon office"), kFilterHam);
    EXPECT_GT(ClassifyWord(f, "watches").probability, 0.5);
    EXPECT_EQ(f.Learn(m, kFilterHam), L::kMoved);
    EXPECT_EQ(f.GetStats().spam_messages, 0u);
    EXPECT_EQ(f.GetStats().ham_messages, 2u);
    EXPECT_EQ(f.LearnedAs(m), kFilterHam);

    EXPECT_EQ(f.Unlearn(m), L::kUnlearned);
    EXPECT_EQ(f.Unlearn(m), L::kNotLearned);
    EXPECT_EQ(f.LearnedAs(m), 0);
    EXPECT_EQ(f.GetStats().ham_messages, 1u);
    // Its tokens are nobody's now; expiry takes them away, the lunch message's stay.
    const size_t before = f.GetStats().tokens;
    EXPECT_GT(f.Expire(), 0u);
    EXPECT_LT(f.GetStats().tokens, before);
    EXPECT_EQ(ClassifyWord(f, "watches").known, 0u);
    EXPECT_EQ(ClassifyWord(f, "noon").known, 1u);

    EXPECT_EQ(f.Learn("", kFilterSpam), L::kEmpty);
    EXPECT_EQ(f.Learn(m, 3), L::kEmpty);
}

TEST(BayesFilter, ExpiryForgetsOldTokensSeenOnce) {
    CBayesFilter f("", FakeNow);
    BayesFilterSettings s = Loose();
    s.expire_days = 10;
    f.SetSettings(s);
    g_now = 1'700'000'000;
    f.Learn(Message("a", "common rareold"), kFilterSpam);
    f.Learn(Message("b", "common other"), kFilterHam);
    g_now += 11 * 86400;
    f.Learn(Message("c", "rarenew"), kFilterHam);
    EXPECT_GT(f.Expire(), 0u);
    EXPECT_EQ(f.Expire(), 0u);                        // a second run finds nothing more
    EXPECT_EQ(ClassifyWord(f, "rareold").known, 0u);  // once, 11 days ago
    EXPECT_EQ(ClassifyWord(f, "other").known, 0u);
    EXPECT_EQ(ClassifyWord(f, "common").known, 1u);   // twice
    EXPECT_EQ(ClassifyWord(f, "rarenew").known, 1u);  // once, today
    g_now = 1'700'000'000;
}

TEST(BayesFilter, TableRoundTripsAndRefusesWhatItCannotRead) {
    platform::TestTempDir dir;
    const std::string path = dir.File("bayestokens.db");
    CBayesFilter a(path, FakeNow);
    a.SetSettings(Loose());
    EXPECT_TRUE(a.Load());  // no file yet: empty
    const std::string spam = Message("win money", "lottery winner claim prize"),
                      ham = Message("notes", "meeting minutes attached");
    a.Learn(spam, kFilterSpam);
    a.Learn(ham, kFilterHam);
    EXPECT_TRUE(a.Changed());
    ASSERT_TRUE(a.Save());
    EXPECT_FALSE(a.Changed());

    CBayesFilter b(path, FakeNow);
    b.SetSettings(Loose());
    std::string why;
    ASSERT_TRUE(b.Load(&why));
    EXPECT_EQ(why, "");
    EXPECT_EQ(b.GetStats().tokens, a.GetStats().tokens);
    EXPECT_EQ(b.GetStats().spam_messages, 1u);
    EXPECT_EQ(b.ClassifyMessage(spam).probability, a.ClassifyMessage(spam).probability);
    EXPECT_EQ(b.Learn(spam, kFilterSpam), CBayesFilter::Learned::kAlready);  // the digests came along
    EXPECT_FALSE(b.ReloadIfReplaced());

    // Another program's table replaces the file: taken up.
    a.Learn(Message("more", "prize prize"), kFilterSpam);
    ASSERT_TRUE(a.Save());
    EXPECT_TRUE(b.ReloadIfReplaced());
    EXPECT_EQ(b.GetStats().spam_messages, 2u);

    // Cut short: what is readable loads, and the loss is said.
    std::string bytes;
    ASSERT_TRUE(platform::ReadWholeFile(path, bytes));
    ASSERT_TRUE(platform::WriteFileAtomic(path, bytes.substr(0, bytes.size() - 5)));
    CBayesFilter c(path, FakeNow);
    ASSERT_TRUE(c.Load(&why));
    EXPECT_NE(why.find("could not be read"), std::string::npos) << why;
    EXPECT_GT(c.GetStats().tokens, 0u);

    // Not a table: refused, and the file is left for the operator.
    ASSERT_TRUE(platform::WriteFileAtomic(path, "hello world, not a table"));
    CBayesFilter d(path, FakeNow);
    EXPECT_FALSE(d.Load(&why));
    EXPECT_EQ(why, "not a DBK table");
    std::string after;
    ASSERT_TRUE(platform::ReadWholeFile(path, after));
    EXPECT_EQ(after, "hello world, not a table");

    // A scratch filter never writes.
    CBayesFilter scratch;
    EXPECT_FALSE(scratch.Save());
}

TEST(BayesFilter, LearningWhileClassifyingFromManyThreads) {
    CBayesFilter f("", FakeNow);
    f.SetSettings(Loose());
    constexpr int kLearners = 2, kPerLearner = 200;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kLearners; ++t)
        threads.emplace_back([&f, t] {
            for (int i = 0; i < kPerLearner; ++i)
                f.Learn(
                    Message("m" + std::to_string(t) + "-" + std::to_string(i), "word" + std::to_string(i) + " shared"),
                    t == 0 ? kFilterSpam : kFilterHam);
        });
    std::atomic<int> bad{0};
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            while (!stop) {
                const double p = f.ClassifyMessage(Message("m0-1", "word1 shared")).probability;
                if (!(p >= 0 && p <= 1)) ++bad;
                (void)f.GetStats();
            }
        });
    for (int t = 0; t < kLearners; ++t) threads[static_cast<size_t>(t)].join();
    stop = true;
    for (size_t t = kLearners; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(f.GetStats().spam_messages, static_cast<uint64_t>(kPerLearner));
    EXPECT_EQ(f.GetStats().ham_messages, static_cast<uint64_t>(kPerLearner));
    // "shared" is in every message of both classes.
    EXPECT_NEAR(ClassifyWord(f, "shared").probability, 0.5, 1e-9);
}

}  // namespace
}  // namespace checks
