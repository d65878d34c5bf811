// morvane-rules: writes, lists and tries the rules of the antispam check.
//
//   morvane-rules [--appdir DIR] compile SOURCE   replace DIR/db/rules.db by the rules of SOURCE
//   morvane-rules [--appdir DIR] list             NAME, TYPE, OPTIONS, SCORE, PATTERN per rule
//   morvane-rules test SOURCE PATH...             TOTAL<TAB>PATH<TAB>matched rule names per message
//   morvane-rules tests                           the structural tests rules of type test can name
//   morvane-rules [--appdir DIR] fit --spam PATH --ham PATH [--fp-weight N] [--dry-run]
//                                                 fit the table's scores on labelled mail
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
#include "checks/MessageTests.h"
#include "checks/RuleFit.h"
#include "checks/Rules.h"
#include "common/String.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "store/FileINI.h"
#include "tools/MessageFiles.h"
#include "tools/Printable.h"

namespace {

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-rules [--appdir DIR] compile SOURCE   replace DIR/db/rules.db by SOURCE's rules\n"
                 "       morvane-rules [--appdir DIR] list             NAME TYPE OPTIONS SCORE PATTERN per rule\n"
                 "       morvane-rules test SOURCE PATH...             TOTAL<TAB>PATH<TAB>matched rules per message\n"
                 "       morvane-rules tests                           NAME<TAB>MEANING of each structural test\n"
                 "       morvane-rules [--appdir DIR] fit --spam PATH --ham PATH [--fp-weight N] [--dry-run]\n"
                 "                      fit every rule's score on labelled mail (one message in five held out\n"
                 "                      to measure) and write the scores into DIR/db/rules.db\n"
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

// The messages of `paths` as a session sees them, parsed, each passed to `visit`.
void ForEachParsed(const std::string& path, const std::function<void(const mail::CParseMail&)>& visit) {
    tools::ForEachMessage(path, [&](tools::Message& m) {
        if (!m.error.empty()) {
            std::fprintf(stderr, "morvane-rules: %s: cannot read: %s, skipped\n", m.name.c_str(), m.error.c_str());
            return;
        }
        mail::CParseMail parsed;
        parsed.AddStreaming(checks::AsSessionSees(m.text));
        if (parsed.Parse()) visit(parsed);
    });
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

int Fit(const std::string& table_path, const std::string& spam_path, const std::string& ham_path, double fp_weight,
        bool dry_run) {
    checks::CRules table;
    if (platform::FileSize(table_path) < 0 || !table.Open(table_path.c_str())) {
        std::fprintf(stderr, "morvane-rules: %s: no rule table; compile a source first\n", table_path.c_str());
        return 1;
    }
    table.Load();
    const std::vector<checks::RuleSpec> rules = table.Rules();
    if (rules.empty()) {
        std::fprintf(stderr, "morvane-rules: %s holds no rules; compile a source first\n", table_path.c_str());
        return 1;
    }
    std::map<std::string, uint32_t> index;
    for (size_t i = 0; i < rules.size(); ++i) index[rules[i].name] = static_cast<uint32_t>(i);
    // Every fifth message of each kind is kept aside to measure the fit on mail it did not see.
    std::vector<checks::FitSample> train, held;
    std::vector<int> hits_spam(rules.size()), hits_ham(rules.size());
    checks::CRulesResult result;
    const auto t0 = std::chrono::steady_clock::now();
    for (const std::pair<std::string, bool>& kind : {std::pair{spam_path, true}, std::pair{ham_path, false}}) {
        const bool spam = kind.second;
        const std::string& path = kind.first;
        int n = 0;
        ForEachParsed(path, [&](const mail::CParseMail& m) {
            checks::FitSample s;
            s.spam = spam;
            table.Check(m, &result);
            for (const auto& e : result.entries) {
                const uint32_t i = index[e.name];
                s.matched.push_back(i);
                ++(spam ? hits_spam : hits_ham)[i];
            }
            (++n % 5 == 0 ? held : train).push_back(std::move(s));
        });
    }
    store::CFileINI ini;
    const float threshold =
        ini.Load(platform::AppPath("morvane.ini")) ? ini.GetFloat("CONFIG", "score_for_spam", 5.0f) : 5.0f;
    checks::FitOptions options;
    options.fp_weight = fp_weight;
    options.threshold = threshold;
    const checks::FitResult fit = checks::FitRuleScores(train, rules.size(), options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!fit.ok) {
        std::fprintf(stderr, "morvane-rules: the mail gives no fit (is there more ham than spam, of both kinds?)\n");
        return 1;
    }
    std::vector<double> old_points;
    for (const checks::RuleSpec& r : rules) old_points.push_back(r.score);
    std::vector<double> points = fit.points;
    for (double& p : points) p = std::round(p * 100) / 100;
    std::printf("%-32s %8s %8s %8s %8s\n", "rule", "old", "fitted", "spam", "ham");
    for (size_t i = 0; i < rules.size(); ++i)
        std::printf("%-32s %8.2f %8.2f %8d %8d\n", tools::Printable(rules[i].name).c_str(), old_points[i], points[i],
                    hits_spam[i], hits_ham[i]);
    Counts before, after, trained;
    for (const checks::FitSample& s : held) {
        before.Add(s.spam, checks::FitTotal(s, old_points) >= threshold);
        after.Add(s.spam, checks::FitTotal(s, points) >= threshold);
    }
    for (const checks::FitSample& s : train) trained.Add(s.spam, checks::FitTotal(s, points) >= threshold);
    std::printf("rules alone at %.2f, on the %zu held-out messages: %s with the old scores, %s fitted\n",
                static_cast<double>(threshold), held.size(), before.Text().c_str(), after.Text().c_str());
    std::printf("on the %zu training messages: %s; %.1f s\n", train.size(), trained.Text().c_str(), seconds);
    if (dry_run) return 0;
    table.Reset();
    for (size_t i = 0; i < rules.size(); ++i)
        table.AddRule(rules[i].name.c_str(), rules[i].pattern.c_str(), rules[i].type, static_cast<float>(points[i]),
                      rules[i].options);
    if (!table.Save()) {
        std::fprintf(stderr, "morvane-rules: %s: cannot save: %s; the previous table is kept\n", table_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("wrote %zu fitted scores into %s\n", rules.size(), table_path.c_str());
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
        std::string spam, ham;
        double fp_weight = 10;
        bool dry_run = false;
        for (size_t i = 0; i < args.size(); ++i) {
            const bool has_value = i + 1 < args.size();
            if (args[i] == "--spam" && has_value) {
                spam = args[++i];
            } else if (args[i] == "--ham" && has_value) {
                ham = args[++i];
            } else if (args[i] == "--fp-weight" && has_value) {
                char* end = nullptr;
                fp_weight = std::strtod(args[++i].c_str(), &end);
                if (*end != '\0' || !(fp_weight >= 1 && fp_weight <= 1000)) {
                    std::fprintf(stderr, "morvane-rules: --fp-weight is a number from 1 to 1000\n");
                    return 2;
                }
            } else if (args[i] == "--dry-run") {
                dry_run = true;
            } else {
                return Usage();
            }
        }
        if (spam.empty() || ham.empty()) return Usage();
        for (const std::string& p : {spam, ham})
            if (platform::FileSize(p) < 0 && !std::filesystem::is_directory(p)) {
                std::fprintf(stderr, "morvane-rules: %s: no such file or directory\n", p.c_str());
                return 1;
            }
        return Fit(table, spam, ham, fp_weight, dry_run);
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
