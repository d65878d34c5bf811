// morvane-rules: writes, lists and tries the rules of the antispam check.
//
//   morvane-rules [--appdir DIR] compile SOURCE   replace DIR/db/rules.db by the rules of SOURCE
//   morvane-rules [--appdir DIR] list             NAME, TYPE, OPTIONS, SCORE, PATTERN per rule
//   morvane-rules test SOURCE PATH...             TOTAL<TAB>PATH<TAB>matched rule names per message
//   morvane-rules tests                           the structural tests rules of type test can name
//
// SOURCE is a rules source (the format is described at the top of rules/starter.rules). A
// malformed entry or a pattern that does not compile is reported with its line and nothing is
// written. The table is replaced atomically; a running kernel reads it again on SIGHUP (rules
// that scripts added without saving them are then lost). PATH is a message file, a directory
// or an mbox file, each message read as a session sees it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checks/Bayes.h"
#include "checks/MessageTests.h"
#include "checks/Rules.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "tools/MessageFiles.h"
#include "tools/Printable.h"

namespace {

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-rules [--appdir DIR] compile SOURCE   replace DIR/db/rules.db by SOURCE's rules\n"
                 "       morvane-rules [--appdir DIR] list             NAME TYPE OPTIONS SCORE PATTERN per rule\n"
                 "       morvane-rules test SOURCE PATH...             TOTAL<TAB>PATH<TAB>matched rules per message\n"
                 "       morvane-rules tests                           NAME<TAB>MEANING of each structural test\n"
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
    if (command == "tests" && args.empty()) {
        for (size_t i = 0; i < checks::kMessageTestCount; ++i)
            std::printf("%s\t%s\n", checks::kMessageTests[i].name, checks::kMessageTests[i].meaning);
        return 0;
    }
    if (command == "test" && args.size() >= 2 && app_dir.empty())
        return Test(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    return Usage();
}
