// morvane-rules: writes, lists and tries the rules of the antispam check.
//
//   morvane-rules [--appdir DIR] compile SOURCE   replace DIR/db/rules.db by the rules of SOURCE
//   morvane-rules [--appdir DIR] list             NAME, TYPE, OPTIONS, SCORE, PATTERN per rule
//   morvane-rules test SOURCE PATH...             TOTAL<TAB>PATH<TAB>matched rule names per message
//   morvane-rules tests                           the structural tests rules of type test can name
//   morvane-rules [--appdir DIR] fit --spam PATH --ham PATH [--source SOURCE] [--report FILE]
//                 [--fp-weight N] [--max-score N] [--no-bayes] [--dry-run]
//                                                 fit the scores of the rules and of the Bayes
//                                                 filter's verdicts on labelled mail
//
// SOURCE is a rules source (the format is described at the top of rules/starter.rules). A
// malformed entry or a pattern that does not compile is reported with its line and nothing is
// written. The table is replaced atomically; a running kernel reads it again on SIGHUP (rules
// that scripts added without saving them are then lost). PATH is a message file, a directory
// or an mbox file, each message read as a session sees it.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "checks/Bayes.h"
#include "checks/BayesFilter.h"
#include "checks/MessageTests.h"
#include "checks/RuleFit.h"
#include "checks/Rules.h"
#include "common/String.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "store/FileINI.h"
#include "tools/BayesSettings.h"
#include "tools/MessageFiles.h"
#include "tools/Printable.h"

namespace {

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-rules [--appdir DIR] compile SOURCE   replace DIR/db/rules.db by SOURCE's rules\n"
                 "       morvane-rules [--appdir DIR] list             NAME TYPE OPTIONS SCORE PATTERN per rule\n"
                 "       morvane-rules test SOURCE PATH...             TOTAL<TAB>PATH<TAB>matched rules per message\n"
                 "       morvane-rules tests                           NAME<TAB>MEANING of each structural test\n"
                 "       morvane-rules [--appdir DIR] fit --spam PATH --ham PATH [--source SOURCE] [--report FILE]\n"
                 "                     [--fp-weight N] [--max-score N] [--no-bayes] [--dry-run]\n"
                 "                      fit the scores of every rule (of SOURCE, or of DIR/db/rules.db) and of the\n"
                 "                      Bayes filter's verdicts on labelled mail (one message in five held out to\n"
                 "                      measure); write them into DIR/db/rules.db, SOURCE and DIR/morvane.ini\n"
                 "SOURCE: a rules source (see rules/starter.rules). PATH: a message file, a directory or an mbox.\n");
    return to == stderr ? 2 : 0;
}

bool ReadSource(const std::string& path, std::vector<checks::RuleSpec>* rules) {
    std::string text;
    if (!platform::ReadWholeFile(path, text)) {
        std::fprintf(stderr, "morvane-rules: %s: cannot read: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::string error;
    if (!checks::ParseRulesSource(text, rules, &error)) {
        std::fprintf(stderr, "morvane-rules: %s:%s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

void AddAll(checks::CRules& table, const std::vector<checks::RuleSpec>& rules) {
    for (const checks::RuleSpec& r : rules)
        table.AddRule(r.name.c_str(), r.pattern.c_str(), r.type, r.score, r.options);
}

int Compile(const std::string& table_path, const std::string& source) {
    std::vector<checks::RuleSpec> rules;
    if (!ReadSource(source, &rules)) return 1;
    if (!platform::MakeDirs(platform::AppPath("db"))) {
        std::fprintf(stderr, "morvane-rules: %s: cannot create: %s\n", platform::AppPath("db").c_str(),
                     std::strerror(errno));
        return 1;
    }
    checks::CRules table;
    if (!table.Open(table_path.c_str())) {
        std::fprintf(stderr, "morvane-rules: %s: not a DBK table; move it away first\n", table_path.c_str());
        return 1;
    }
    table.Reset();
    AddAll(table, rules);
    if (!table.Save()) {
        std::fprintf(stderr, "morvane-rules: %s: cannot save: %s; the previous table is kept\n", table_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("compiled %zu rules into %s\n", rules.size(), table_path.c_str());
    return 0;
}

int List(const std::string& table_path) {
    if (platform::FileSize(table_path) < 0) return 0;  // no table yet: no rules
    checks::CRules table;
    if (!table.Open(table_path.c_str())) {
        std::fprintf(stderr, "morvane-rules: %s: not a DBK table\n", table_path.c_str());
        return 1;
    }
    table.Load();
    for (const checks::RuleSpec& r : table.Rules())
        std::printf("%s\t%s\t%s\t%.3f\t%s\n", tools::Printable(r.name).c_str(), checks::RuleTypeName(r.type).c_str(),
                    checks::RuleOptionNames(r.options).c_str(), static_cast<double>(r.score),
                    tools::Printable(r.pattern).c_str());
    return 0;
}

int Test(const std::string& source, const std::vector<std::string>& paths) {
    std::vector<checks::RuleSpec> rules;
    if (!ReadSource(source, &rules)) return 1;
    checks::CRules table;
    AddAll(table, rules);
    checks::CRulesResult result;
    for (const std::string& p : paths) {
        tools::ForEachMessage(p, [&](tools::Message& m) {
            if (!m.error.empty()) {
                std::fprintf(stderr, "morvane-rules: %s: cannot read: %s, skipped\n", m.name.c_str(), m.error.c_str());
                return;
            }
            mail::CParseMail parsed;
            parsed.AddStreaming(checks::AsSessionSees(m.text));
            if (!parsed.Parse()) {
                std::fprintf(stderr, "morvane-rules: %s: empty message, skipped\n", m.name.c_str());
                return;
            }
            float total = table.Check(parsed, &result);
            std::string names;
            for (const auto& e : result.entries) names += (names.empty() ? "" : " ") + e.name;
            std::printf("%.2f\t%s\t%s\n", static_cast<double>(total), m.name.c_str(), names.c_str());
        });
    }
    return 0;
}

struct Counts {
    int spam = 0, ham = 0, caught = 0, fp = 0;
    void Add(bool spam_sample, bool tagged) {
        (spam_sample ? spam : ham) += 1;
        if (tagged) (spam_sample ? caught : fp) += 1;
    }
    std::string Text() const {
        return common::FormatText("spam caught %.1f%% (%d of %d), ham tagged %.2f%% (%d of %d)",
                                  spam ? 100.0 * caught / spam : 0.0, caught, spam, ham ? 100.0 * fp / ham : 0.0, fp,
                                  ham);
    }
};

struct FitRequest {
    std::string table, source, spam, ham, report;
    double fp_weight = 10;
    double max_score = -1;  // -1: 0.6 of the threshold
    bool bayes = true;
    bool dry_run = false;
};

// A labelled message kept for the fit: its text as a session holds it and its fold (0 is the
// held-out one).
struct Labelled {
    std::string text;
    bool spam = false;
    int fold = 0;
};

constexpr int kFolds = 5;

// The policy's share of the filter's points for a probability: 1 from a cut-off on, in
// proportion between it and 0.5 (as the shipped policy counts them). First the spam share,
// then the ham share.
std::pair<double, double> BayesShares(const checks::FilterResult& r, const checks::BayesFilterSettings& s) {
    if (r.verdict == checks::kFilterUntrained) return {0, 0};
    const double p = r.probability;
    if (p >= 0.5) return {p >= s.spam_cutoff || s.spam_cutoff <= 0.5 ? 1.0 : (p - 0.5) / (s.spam_cutoff - 0.5), 0};
    return {0, p <= s.ham_cutoff || s.ham_cutoff >= 0.5 ? 1.0 : (0.5 - p) / (0.5 - s.ham_cutoff)};
}

// Each message's filter shares, from a filter that did not learn it: the held-out fold is
// judged by a filter of all the training folds, each training fold by one of the others.
std::vector<std::pair<double, double>> CrossValidatedShares(const std::vector<Labelled>& mail,
                                                            const checks::BayesFilterSettings& settings) {
    std::vector<std::pair<double, double>> shares(mail.size());
    for (int fold = 0; fold < kFolds; ++fold) {
        checks::CBayesFilter filter;
        filter.SetSettings(settings);
        for (const Labelled& m : mail)
            if (m.fold != 0 && m.fold != fold) filter.Learn(m.text, m.spam ? 1 : 2);
        for (size_t i = 0; i < mail.size(); ++i)
            if (mail[i].fold == fold) shares[i] = BayesShares(filter.ClassifyMessage(mail[i].text), settings);
    }
    return shares;
}

// Writes `points` into the score lines of the rules' entries in the source text.
std::string RescoreSource(const std::string& text, const std::vector<checks::RuleSpec>& rules,
                          const std::vector<double>& points) {
    std::map<int, double> by_line;  // an entry's first line -> its new score
    for (size_t i = 0; i < rules.size(); ++i) by_line[rules[i].line] = points[i];
    std::string out;
    int line_no = 0;
    const double* score = nullptr;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        at = end;
        ++line_no;
        // Keys may be indented; the line keeps its indentation and its line end.
        const size_t key = line.find_first_not_of(" \t");
        const std::string_view trimmed =
            key == std::string::npos ? std::string_view() : std::string_view(line).substr(key);
        const auto is_key = [&trimmed](std::string_view name) {
            return trimmed.size() > name.size() && trimmed.substr(0, name.size()) == name &&
                   (trimmed[name.size()] == ' ' || trimmed[name.size()] == '\t');
        };
        if (auto it = by_line.find(line_no); it != by_line.end()) {
            score = &it->second;
        } else if (is_key("rule")) {
            score = nullptr;
        } else if (score && is_key("score")) {
            const size_t value = line.find_first_not_of(" \t", key + 5);
            const size_t value_end = line.find_first_of("\r\n", value == std::string::npos ? line.size() : value);
            line = line.substr(0, value == std::string::npos ? line.size() : value) +
                   common::FormatText("%.2f", *score) + (value_end == std::string::npos ? "" : line.substr(value_end));
            score = nullptr;
        }
        out += line;
    }
    return out;
}

void WriteReport(const FitRequest& rq, const std::vector<checks::RuleSpec>& rules, const std::vector<double>& points,
                 const std::vector<int>& hits_spam, const std::vector<int>& hits_ham, int spam, int ham,
                 const std::string& measured) {
    std::string out =
        "# Rules report\n\nGenerated by `morvane-rules fit`: each rule's hits on the fitting mail (" +
        std::to_string(spam) + " spam, " + std::to_string(ham) + " ham) and its fitted score.\n\n" + measured +
        "\n\n| rule | type | score | spam hits | ham hits | what it is for |\n|---|---|---:|---:|---:|---|\n";
    for (size_t i = 0; i < rules.size(); ++i) {
        std::string comment = rules[i].comment;
        for (char& c : comment)
            if (c == '|') c = '/';
        out += common::FormatText("| %s | %s | %.2f | %d (%.1f%%) | %d (%.2f%%) | %s |\n", rules[i].name.c_str(),
                                  checks::RuleTypeName(rules[i].type).c_str(), points[i], hits_spam[i],
                                  spam ? 100.0 * hits_spam[i] / spam : 0.0, hits_ham[i],
                                  ham ? 100.0 * hits_ham[i] / ham : 0.0, comment.c_str());
    }
    if (!platform::WriteFileAtomic(rq.report, out))
        std::fprintf(stderr, "morvane-rules: %s: cannot write the report: %s\n", rq.report.c_str(),
                     std::strerror(errno));
}

int Fit(const FitRequest& rq) {
    checks::CRules table;
    std::vector<checks::RuleSpec> rules;
    std::string source_text;
    if (!rq.source.empty()) {
        if (!ReadSource(rq.source, &rules) || !platform::ReadWholeFile(rq.source, source_text)) return 1;
        AddAll(table, rules);
    } else if (platform::FileSize(rq.table) >= 0) {
        if (!table.Open(rq.table.c_str())) {
            std::fprintf(stderr, "morvane-rules: %s: not a DBK table\n", rq.table.c_str());
            return 1;
        }
        table.Load();
        rules = table.Rules();
    }
    if (rules.empty()) {
        std::fprintf(stderr, "morvane-rules: no rules to fit; compile a source first or name one with --source\n");
        return 1;
    }
    store::CFileINI ini;
    const bool have_ini = ini.Load(platform::AppPath("morvane.ini"));
    const double threshold = have_ini ? ini.GetFloat("CONFIG", "score_for_spam", 5.0f) : 5.0;
    const double max_score = rq.max_score >= 0 ? rq.max_score : 0.6 * threshold;
    checks::BayesFilterSettings settings;
    if (have_ini) tools::LoadBayesSettings(ini, settings);

    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Labelled> mail;
    for (const std::pair<std::string, bool>& kind : {std::pair{rq.spam, true}, std::pair{rq.ham, false}}) {
        int n = 0;
        tools::ForEachMessage(kind.first, [&](tools::Message& m) {
            if (!m.error.empty()) {
                std::fprintf(stderr, "morvane-rules: %s: cannot read: %s, skipped\n", m.name.c_str(), m.error.c_str());
                return;
            }
            mail.push_back({checks::AsSessionSees(m.text), kind.second, ++n % kFolds});
        });
    }
    // Features: the rules, then (with the filter) its spam share and its ham share.
    const size_t n_rules = rules.size();
    const size_t n_features = n_rules + (rq.bayes ? 2 : 0);
    std::vector<std::pair<double, double>> shares;
    if (rq.bayes) shares = CrossValidatedShares(mail, settings);
    // Too little mail for the filter to judge (below bayes_min_learned) gives it no evidence,
    // and then its points are left as they are.
    bool bayes_seen = false;
    for (const auto& sh : shares) bayes_seen = bayes_seen || sh.first > 0 || sh.second > 0;
    std::map<std::string, uint32_t> index;
    for (size_t i = 0; i < n_rules; ++i) index[rules[i].name] = static_cast<uint32_t>(i);
    std::vector<checks::FitSample> train, held;
    std::vector<int> hits_spam(n_rules), hits_ham(n_rules);
    int n_spam = 0, n_ham = 0;
    checks::CRulesResult result;
    for (size_t i = 0; i < mail.size(); ++i) {
        mail::CParseMail parsed;
        parsed.AddStreaming(mail[i].text);
        if (!parsed.Parse()) continue;
        checks::FitSample s;
        s.spam = mail[i].spam;
        ++(s.spam ? n_spam : n_ham);
        table.Check(parsed, &result);
        for (const auto& e : result.entries) {
            const uint32_t j = index[e.name];
            s.matched.push_back(j);
            ++(s.spam ? hits_spam : hits_ham)[j];
        }
        if (rq.bayes) {
            s.value.assign(s.matched.size(), 1.0);
            for (const auto& [j, v] : {std::pair{n_rules, shares[i].first}, std::pair{n_rules + 1, shares[i].second}})
                if (v > 0) {
                    s.matched.push_back(static_cast<uint32_t>(j));
                    s.value.push_back(v);
                }
        }
        (mail[i].fold == 0 ? held : train).push_back(std::move(s));
    }
    mail.clear();

    // Old points, and bounds: a rule keeps the sign it was written with and stays within
    // max_score; the filter's spam share counts for spam and its ham share for ham.
    std::vector<double> old_points;
    checks::FitOptions options;
    options.fp_weight = rq.fp_weight;
    options.threshold = threshold;
    for (size_t i = 0; i < n_rules; ++i) {
        const checks::RuleSpec& r = rules[i];
        old_points.push_back(r.score);
        // A score that lowers the total is what a spammer would copy: it may grow to twice what
        // its author wrote, no further.
        options.min_points.push_back(r.score >= 0 ? 0.0 : std::max(2.0 * r.score, -max_score));
        // The filter forgives a rule its ham (it speaks for that ham), but a filter not yet
        // trained does not: a rule seen on more than 1 ham in 500 stays within half of max_score.
        const bool seen_on_ham = hits_ham[i] * 500 > n_ham;
        options.max_points.push_back(r.score >= 0 ? (seen_on_ham ? max_score / 2 : max_score) : 0.0);
    }
    options.prior_points = old_points;
    if (rq.bayes) {
        old_points.push_back(have_ini ? ini.GetFloat("BAYES", "p_bayes_spam", 6.1f) : 6.1);
        old_points.push_back(have_ini ? ini.GetFloat("BAYES", "p_bayes_ham", -3.99f) : -3.99);
        // The fit judges the filter by filters that learned four fifths of the mail, weaker than
        // the one that will run; so it may make the filter's points stronger, never weaker than
        // a SPAM verdict reaching the threshold alone and the ham side as it was set.
        const double ham_side = std::min(old_points.back(), 0.0);
        options.min_points.insert(options.min_points.end(), {threshold, -2 * threshold});
        options.max_points.insert(options.max_points.end(), {2 * threshold, ham_side});
        options.prior_points.insert(options.prior_points.end(), old_points.end() - 2, old_points.end());
    }
    const checks::FitResult fit = checks::FitRuleScores(train, n_features, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!fit.ok) {
        std::fprintf(stderr, "morvane-rules: the mail gives no fit (is there more ham than spam, of both kinds?)\n");
        return 1;
    }
    std::vector<double> points = fit.points;
    for (double& p : points) p = std::round(p * 100) / 100;
    std::printf("%-32s %8s %8s %8s %8s\n", "rule", "old", "fitted", "spam", "ham");
    for (size_t i = 0; i < n_rules; ++i)
        std::printf("%-32s %8.2f %8.2f %8d %8d\n", tools::Printable(rules[i].name).c_str(), old_points[i], points[i],
                    hits_spam[i], hits_ham[i]);
    if (!bayes_seen && rq.bayes) std::printf("the Bayes filter: too little mail to judge, its points are kept\n");
    if (bayes_seen) {
        std::printf("%-32s %8.2f %8.2f\n", "[BAYES] p_bayes_spam", old_points[n_rules], points[n_rules]);
        std::printf("%-32s %8.2f %8.2f\n", "[BAYES] p_bayes_ham", old_points[n_rules + 1], points[n_rules + 1]);
    }
    Counts before, after, trained;
    for (const checks::FitSample& s : held) {
        before.Add(s.spam, checks::FitTotal(s, old_points) >= threshold);
        after.Add(s.spam, checks::FitTotal(s, points) >= threshold);
    }
    for (const checks::FitSample& s : train) trained.Add(s.spam, checks::FitTotal(s, points) >= threshold);
    const std::string what = bayes_seen ? "rules and filter" : "rules alone";
    const std::string measured =
        common::FormatText("%s at %.2f, on the %zu held-out messages: %s with the old scores, %s fitted", what.c_str(),
                           threshold, held.size(), before.Text().c_str(), after.Text().c_str());
    std::printf("%s\n", measured.c_str());
    std::printf("on the %zu training messages: %s; %.1f s\n", train.size(), trained.Text().c_str(), seconds);
    if (!rq.report.empty()) WriteReport(rq, rules, points, hits_spam, hits_ham, n_spam, n_ham, measured + ".");
    if (rq.dry_run) return 0;

    checks::CRules fitted;
    if (!platform::MakeDirs(platform::AppPath("db")) || !fitted.Open(rq.table.c_str())) {
        std::fprintf(stderr, "morvane-rules: %s: cannot open: %s\n", rq.table.c_str(), std::strerror(errno));
        return 1;
    }
    fitted.Reset();
    for (size_t i = 0; i < n_rules; ++i)
        fitted.AddRule(rules[i].name.c_str(), rules[i].pattern.c_str(), rules[i].type, static_cast<float>(points[i]),
                       rules[i].options);
    if (!fitted.Save()) {
        std::fprintf(stderr, "morvane-rules: %s: cannot save: %s; the previous table is kept\n", rq.table.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("wrote %zu fitted scores into %s\n", n_rules, rq.table.c_str());
    if (!rq.source.empty()) {
        if (!platform::WriteFileAtomic(rq.source, RescoreSource(source_text, rules, points))) {
            std::fprintf(stderr, "morvane-rules: %s: cannot write: %s\n", rq.source.c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("wrote them into %s\n", rq.source.c_str());
    }
    if (bayes_seen) {
        const std::string ini_path = platform::AppPath("morvane.ini");
        const std::string spam_points = common::FormatText("%.2f", points[n_rules]);
        const std::string ham_points = common::FormatText("%.2f", points[n_rules + 1]);
        if (!have_ini) {
            std::printf("no %s: set [BAYES] p_bayes_spam=%s and p_bayes_ham=%s there\n", ini_path.c_str(),
                        spam_points.c_str(), ham_points.c_str());
        } else if (!ini.WriteString("BAYES", "p_bayes_spam", spam_points) ||
                   !ini.WriteString("BAYES", "p_bayes_ham", ham_points) || !ini.Save()) {
            std::fprintf(stderr,
                         "morvane-rules: %s: cannot write the filter's points; set [BAYES] p_bayes_spam=%s "
                         "and p_bayes_ham=%s by hand\n",
                         ini_path.c_str(), spam_points.c_str(), ham_points.c_str());
            return 1;
        } else {
            std::printf("wrote [BAYES] p_bayes_spam and p_bayes_ham into %s\n", ini_path.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return Usage(stdout);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string app_dir;
    if (args.size() >= 2 && args[0] == "--appdir") {
        app_dir = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return Usage();
    const std::string command = args[0];
    args.erase(args.begin());
    platform::SetAppDir(app_dir.empty() ? platform::ExecutableDir() : app_dir);
    const std::string table = platform::AppPath("db/rules.db");
    if (command == "compile" && args.size() == 1) return Compile(table, args[0]);
    if (command == "list" && args.empty()) return List(table);
    if (command == "fit") {
        FitRequest rq;
        rq.table = table;
        for (size_t i = 0; i < args.size(); ++i) {
            const bool has_value = i + 1 < args.size();
            auto number = [&](const char* name, double lo, double hi, double* out) {
                char* end = nullptr;
                *out = std::strtod(args[++i].c_str(), &end);
                if (*end != '\0' || !(*out >= lo && *out <= hi)) {
                    std::fprintf(stderr, "morvane-rules: %s is a number from %g to %g\n", name, lo, hi);
                    return false;
                }
                return true;
            };
            if (args[i] == "--spam" && has_value) {
                rq.spam = args[++i];
            } else if (args[i] == "--ham" && has_value) {
                rq.ham = args[++i];
            } else if (args[i] == "--source" && has_value) {
                rq.source = args[++i];
            } else if (args[i] == "--report" && has_value) {
                rq.report = args[++i];
            } else if (args[i] == "--fp-weight" && has_value) {
                if (!number("--fp-weight", 1, 1000, &rq.fp_weight)) return 2;
            } else if (args[i] == "--max-score" && has_value) {
                if (!number("--max-score", 0, 100, &rq.max_score)) return 2;
            } else if (args[i] == "--no-bayes") {
                rq.bayes = false;
            } else if (args[i] == "--dry-run") {
                rq.dry_run = true;
            } else {
                return Usage();
            }
        }
        if (rq.spam.empty() || rq.ham.empty()) return Usage();
        for (const std::string& p : {rq.spam, rq.ham})
            if (platform::FileSize(p) < 0 && !std::filesystem::is_directory(p)) {
                std::fprintf(stderr, "morvane-rules: %s: no such file or directory\n", p.c_str());
                return 1;
            }
        return Fit(rq);
    }
    if (command == "tests" && args.empty()) {
        for (size_t i = 0; i < checks::kMessageTestCount; ++i)
            std::printf("%s\t%s\n", checks::kMessageTests[i].name, checks::kMessageTests[i].meaning);
        return 0;
    }
    if (command == "test" && args.size() >= 2 && app_dir.empty())
        return Test(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    return Usage();
}
