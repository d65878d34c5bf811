#include "common/Metrics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using common::metrics::Kind;
using common::metrics::Registry;
using common::metrics::Writer;
using ::testing::HasSubstr;

TEST(MetricsTest, CountersAndGaugesRenderWithHeadsAndEscapedLabels) {
    Registry r;
    auto& sessions = r.Counter("morvane_sessions_total", "Sessions accepted.");
    auto& refused = r.Counter("morvane_refusals_total", "Refusals by cause\nper session \\ total.", "cause");
    auto& open = r.Gauge("morvane_open", "Open now.");
    sessions.With().Add();
    sessions.With().Add(2);
    refused.With("dnsbl").Add();
    refused.With("a \"quoted\"\\zone\n").Add(4);
    open.With().Set(7.5);
    const std::string text = r.Render();
    EXPECT_THAT(text, HasSubstr("# HELP morvane_sessions_total Sessions accepted.\n"
                                "# TYPE morvane_sessions_total counter\n"
                                "morvane_sessions_total 3\n"));
    EXPECT_THAT(text, HasSubstr("# HELP morvane_refusals_total Refusals by cause\\nper session \\\\ total.\n"));
    EXPECT_THAT(text, HasSubstr("morvane_refusals_total{cause=\"dnsbl\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("morvane_refusals_total{cause=\"a \\\"quoted\\\"\\\\zone\\n\"} 4\n"));
    EXPECT_THAT(text, HasSubstr("# TYPE morvane_open gauge\nmorvane_open 7.5\n"));
    // A family registered again is the same family.
    EXPECT_EQ(&r.Counter("morvane_sessions_total", "other help"), &sessions);
}

TEST(MetricsTest, HistogramBucketsAreCumulativeAndInclusive) {
    Registry r;
    auto& h = r.Histogram("morvane_event_seconds", "Time per event.", {1, 0.1, 10}, "event");
    auto& s = h.With("rcpt");
    s.Observe(0.1);  // on a bound: counted in that bound's bucket
    s.Observe(0.5);
    s.Observe(5);
    s.Observe(50);  // above every bound: +Inf only
    const std::string text = r.Render();
    EXPECT_THAT(text, HasSubstr("# TYPE morvane_event_seconds histogram\n"
                                "morvane_event_seconds_bucket{event=\"rcpt\",le=\"0.1\"} 1\n"
                                "morvane_event_seconds_bucket{event=\"rcpt\",le=\"1\"} 2\n"
                                "morvane_event_seconds_bucket{event=\"rcpt\",le=\"10\"} 3\n"
                                "morvane_event_seconds_bucket{event=\"rcpt\",le=\"+Inf\"} 4\n"
                                "morvane_event_seconds_sum{event=\"rcpt\"} 55.6\n"
                                "morvane_event_seconds_count{event=\"rcpt\"} 4\n"));
    Registry plain;
    plain.Histogram("morvane_d_seconds", "d", {1}).With().Observe(2);
    EXPECT_THAT(plain.Render(),
                HasSubstr("morvane_d_seconds_bucket{le=\"1\"} 0\nmorvane_d_seconds_bucket{le=\"+Inf\"} 1\n"));
}

TEST(MetricsTest, ValuesAndNames) {
    std::string out;
    common::metrics::AppendValue(out, std::numeric_limits<double>::infinity());
    out += ' ';
    common::metrics::AppendValue(out, -std::numeric_limits<double>::infinity());
    out += ' ';
    common::metrics::AppendValue(out, std::nan(""));
    out += ' ';
    common::metrics::AppendValue(out, 1e21);
    out += ' ';
    common::metrics::AppendValue(out, 0.000125);
    EXPECT_EQ(out, "+Inf -Inf NaN 1e+21 0.000125");

    Registry r;
    EXPECT_THROW(r.Counter("9lives", "x"), std::invalid_argument);
    EXPECT_THROW(r.Counter("has-dash", "x"), std::invalid_argument);
    EXPECT_THROW(r.Counter("ok_total", "x", "a:b"), std::invalid_argument);
    EXPECT_THROW(r.Histogram("ok_seconds", "x", {1}, "le"), std::invalid_argument);
    EXPECT_NO_THROW(r.Counter("ns:ok_total", "x", "_label1"));
}

TEST(MetricsTest, CollectorsWriteAtScrapeTime) {
    Registry r;
    int calls = 0;
    r.AddCollector([&](Writer& w) {
        ++calls;
        w.Head("morvane_table_records", "Records per table.", Kind::kGauge);
        w.Sample("morvane_table_records", "table", "greylist", 12);
        w.Head("morvane_history_records", "Records in the history.", Kind::kGauge);
        w.Sample("morvane_history_records", 3);
    });
    EXPECT_EQ(calls, 0);
    const std::string text = r.Render();
    EXPECT_EQ(calls, 1);
    EXPECT_THAT(text, HasSubstr("# TYPE morvane_table_records gauge\nmorvane_table_records{table=\"greylist\"} 12\n"));
    EXPECT_THAT(text, HasSubstr("morvane_history_records 3\n"));
}

TEST(MetricsTest, ConcurrentCountingLosesNothing) {
    Registry r;
    auto& f = r.Counter("morvane_c_total", "c", "who");
    auto& h = r.Histogram("morvane_h_seconds", "h", common::metrics::SecondsBuckets());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                f.With(t % 2 == 0 ? "even" : "odd").Add();
                h.With().Observe(0.002);
                if (i % 1000 == 0) (void)r.Render();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(f.With("even").Value(), 40000);
    EXPECT_EQ(f.With("odd").Value(), 40000);
    EXPECT_EQ(h.With().Count(), 80000u);
    EXPECT_THAT(r.Render(), HasSubstr("morvane_h_seconds_bucket{le=\"0.005\"} 80000\n"));
}
