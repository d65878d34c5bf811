// morvane-learn: trains and asks the Bayes filters of an application directory.
//
//   morvane-learn [--appdir DIR] spam PATH...     learn as spam
//   morvane-learn [--appdir DIR] ham PATH...      learn as ham
//   morvane-learn [--appdir DIR] unlearn PATH...  take back what was learned of these messages
//   morvane-learn [--appdir DIR] [--detail] check PATH...
//                                  CODE<TAB>VERDICT<TAB>PROBABILITY<TAB>PATH per message; with
//                                  --detail the tokens that decided, one per line below
//   morvane-learn [--appdir DIR] stats   messages learned, tokens; the classic filter's words
//
// The statistical filter (db/bayestokens.db) is the default: learn every message once, as what
// it is. A message learned again is not counted twice, and learned as the other class it moves.
// --classic works on the classic word-weight filter (db/bayeswords.db) instead, where --errors
// learns only the messages it does not already classify as their class.
//
// PATH is a message file, a directory (every regular file below it is one message) or an mbox
// file (its first line starts with "From "; in a directory too, so that mail saved with its
// envelope line is learned without it). Each message is read as a session sees it: lines
// ending in CRLF, its first 30720 bytes. Tables are saved once, atomically, at the end: an
// interrupted run leaves the previous table. A running kernel takes up the statistical filter's
// new table within a minute; the classic table must be learned while the kernel is stopped.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "checks/Bayes.h"
#include "checks/BayesFilter.h"
#include "platform/Paths.h"
#include "tools/BayesSettings.h"
#include "tools/MessageFiles.h"
#include "tools/Printable.h"

namespace {

namespace fs = std::filesystem;
using tools::ForEachMessage;
using tools::Message;

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-learn [--appdir DIR] spam PATH...     learn as spam\n"
                 "       morvane-learn [--appdir DIR] ham PATH...      learn as ham\n"
                 "       morvane-learn [--appdir DIR] unlearn PATH...  forget these messages\n"
                 "       morvane-learn [--appdir DIR] [--detail] check PATH...\n"
                 "                      classify: CODE<TAB>VERDICT<TAB>PROBABILITY<TAB>PATH per message;\n"
                 "                      --detail lists the tokens that decided below each\n"
                 "       morvane-learn [--appdir DIR] stats           messages learned and tokens\n"
                 "PATH: a message file, a directory of message files, or an mbox file.\n"
                 "Learn every message once, as what it is; learning it again changes nothing.\n"
                 "Works on DIR/db/bayestokens.db; a running kernel takes it up within a minute.\n"
                 "--classic: the classic word-weight filter (DIR/db/bayeswords.db; stop the kernel\n"
                 "first); there --errors learns only what is not already classified as its class and\n"
                 "check --detail adds TOKENS<TAB>SPAM_SHARE<TAB>HAM_SHARE<TAB>UNKNOWN_SHARE.\n");
    return to == stderr ? 2 : 0;
}

// The message as a session holds it; false (and why) when it cannot be read.
bool TextOf(const Message& m, std::string* text, std::string* why) {
    if (!m.error.empty()) {
        *why = "cannot read: " + m.error;
        return false;
    }
    *text = checks::AsSessionSees(m.text);
    return true;
}

int SaveFilter(checks::CBayesFilter& filter) {
    if (filter.Save()) return 0;
    std::fprintf(stderr, "morvane-learn: %s: cannot save: %s; the previous table is kept\n", filter.Path().c_str(),
                 std::strerror(errno));
    return 1;
}

int LearnFilter(checks::CBayesFilter& filter, const std::string& command, const std::vector<std::string>& paths) {
    using L = checks::CBayesFilter::Learned;
    const bool progress = ::isatty(2) != 0;
    const int kind = command == "spam" ? checks::kFilterSpam : checks::kFilterHam;
    long done = 0, already = 0, moved = 0, skipped = 0, unreadable = 0, not_learned = 0;
    std::string text, why;
    for (const std::string& p : paths) {
        ForEachMessage(p, [&](Message& m) {
            if (!TextOf(m, &text, &why)) {
                std::fprintf(stderr, "%smorvane-learn: %s: %s, skipped\n", progress ? "\r" : "", m.name.c_str(),
                             why.c_str());
                ++unreadable;
                ++skipped;
                return;
            }
            const L l = command == "unlearn" ? filter.Unlearn(text) : filter.Learn(text, kind);
            switch (l) {
                case L::kEmpty:
                    std::fprintf(stderr, "%smorvane-learn: %s: no words, skipped\n", progress ? "\r" : "",
                                 m.name.c_str());
                    ++skipped;
                    return;
                case L::kAlready: ++already; return;
                case L::kNotLearned: ++not_learned; return;
                case L::kMoved: ++moved; [[fallthrough]];
                default: ++done;
            }
            if (progress && done % 100 == 0) std::fprintf(stderr, "\r%ld messages", done);
        });
    }
    if (progress && done >= 100) std::fprintf(stderr, "\r");
    if (SaveFilter(filter) != 0) return 1;
    if (command == "unlearn")
        std::printf("unlearned %ld messages, not learned before %ld, skipped %ld\n", done, not_learned, skipped);
    else
        std::printf("learned %ld messages as %s, already learned so %ld, moved from %s %ld, skipped %ld\n", done,
                    command.c_str(), already, kind == checks::kFilterSpam ? "ham" : "spam", moved, skipped);
    const checks::CBayesFilter::Stats st = filter.GetStats();
    std::printf("the filter has learned %llu spam and %llu ham (%llu tokens)\n",
                static_cast<unsigned long long>(st.spam_messages), static_cast<unsigned long long>(st.ham_messages),
                static_cast<unsigned long long>(st.tokens));
    return unreadable > 0 ? 1 : 0;  // what could be read is learned and saved all the same
}

int CheckFilter(const checks::CBayesFilter& filter, bool detail, const std::vector<std::string>& paths) {
    long unreadable = 0;
    std::string text, why;
    for (const std::string& p : paths) {
        ForEachMessage(p, [&](Message& m) {
            if (!TextOf(m, &text, &why)) {
                std::fprintf(stderr, "morvane-learn: %s: %s, skipped\n", m.name.c_str(), why.c_str());
                ++unreadable;
                return;
            }
            const checks::FilterResult r = filter.ClassifyMessage(text, detail);
            std::printf("%d\t%s\t%.4f\t%s\n", r.verdict, checks::CBayesFilter::VerdictName(r.verdict), r.probability,
                        m.name.c_str());
            if (!detail) return;
            std::printf("\ttokens %zu, known %zu, used %zu\n", r.tokens, r.known, r.used);
            for (size_t i = 0; i < r.strongest.size() && i < 20; ++i)
                std::printf("\t%.3f\t%s\n", r.strongest[i].second, tools::Printable(r.strongest[i].first).c_str());
        });
    }
    return unreadable > 0 ? 1 : 0;
}

// The tokens of a message as a session would cut them; false (and why) when there are none.
bool TokensOf(const Message& m, checks::CBayesWord& words, std::string* why) {
    if (!m.error.empty()) {
        *why = "cannot read: " + m.error;
        return false;
    }
    mail::CParseMail parsed;
    parsed.AddStreaming(checks::AsSessionSees(m.text));
    if (!parsed.Parse()) {
        *why = "empty message";
        return false;
    }
    if (!words.Tokenize(parsed) || words.tokens.empty()) {
        *why = "no words";
        return false;
    }
    return true;
}

int Learn(checks::CBayes& bayes, int kind, bool only_errors, const std::vector<std::string>& paths) {
    const bool progress = ::isatty(2) != 0;
    long learned = 0, skipped = 0, added = 0, right = 0, unreadable = 0;
    checks::CBayesWord words;
    std::string why;
    for (const std::string& p : paths) {
        ForEachMessage(p, [&](Message& m) {
            if (!m.error.empty()) ++unreadable;
            if (!TokensOf(m, words, &why)) {
                std::fprintf(stderr, "%smorvane-learn: %s: %s, skipped\n", progress ? "\r" : "", m.name.c_str(),
                             why.c_str());
                ++skipped;
                return;
            }
            if (only_errors && bayes.Classify(words.tokens) == kind) {
                ++right;
                return;
            }
            added += bayes.Learn(words.tokens, kind);
            ++learned;
            if (progress && learned % 100 == 0) std::fprintf(stderr, "\r%ld messages learned", learned);
        });
    }
    if (progress && learned >= 100) std::fprintf(stderr, "\r");
    if (!bayes.Save()) {
        std::fprintf(stderr, "morvane-learn: %s: cannot save: %s; the previous table is kept\n",
                     bayes.Words().Path().c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("learned %ld messages as %s, skipped %ld, words added %ld", learned,
                kind == checks::kBayesHam ? "ham" : "spam", skipped, added);
    if (only_errors) std::printf(", already classified so %ld", right);
    std::printf("\n");
    return unreadable > 0 ? 1 : 0;  // what could be read is learned and saved all the same
}

int Check(checks::CBayes& bayes, bool detail, const std::vector<std::string>& paths) {
    checks::CBayesWord words;
    std::string why;
    long unreadable = 0;
    for (const std::string& p : paths) {
        ForEachMessage(p, [&](Message& m) {
            if (!m.error.empty()) ++unreadable;
            if (!TokensOf(m, words, &why)) {
                std::fprintf(stderr, "morvane-learn: %s: %s, skipped\n", m.name.c_str(), why.c_str());
                return;
            }
            checks::BayesDetail d;
            int code = bayes.Classify(words.tokens, detail ? &d : nullptr);
            std::printf("%d\t%s\t%s", code, checks::CBayes::CodeName(code), m.name.c_str());
            if (detail)
                std::printf("\t%zu\t%.3f\t%.3f\t%.3f", words.tokens.size(), static_cast<double>(d.spam_share),
                            static_cast<double>(d.ham_share), static_cast<double>(d.unknown_share));
            std::printf("\n");
        });
    }
    return unreadable > 0 ? 1 : 0;
}

void ClassicStats(checks::CBayes* bayes) {
    if (!bayes) {
        std::printf("classic_words\t0\nclassic_spam\t0\nclassic_ham\t0\nclassic_neutral\t0\n");
        return;
    }
    std::printf("classic_words\t%d\nclassic_spam\t%d\nclassic_ham\t%d\nclassic_neutral\t%d\n",
                bayes->Words().GetCount(), bayes->GetWordsCount("spam"), bayes->GetWordsCount("ham"),
                bayes->GetWordsCount("neutral"));
}

// Opens the classic word table; nullptr (and why on stderr) when it is no DBK table.
std::unique_ptr<checks::CBayes> OpenClassic(const std::string& table) {
    auto bayes = std::make_unique<checks::CBayes>(platform::AppDir());
    if (!bayes->Words().Open(table)) {
        std::fprintf(stderr, "morvane-learn: %s: not a DBK table (bad magic or unreadable header)\n", table.c_str());
        return nullptr;
    }
    bayes->Words().Load();
    if (bayes->Words().LostOnLoad() > 0)
        std::fprintf(stderr, "morvane-learn: %s is damaged: %d records could not be read\n", table.c_str(),
                     bayes->Words().LostOnLoad());
    return bayes;
}

int RunClassic(const std::string& command, bool only_errors, bool detail, const std::vector<std::string>& args) {
    const std::string table = platform::AppPath("db/bayeswords.db");
    std::error_code ec;
    if (command == "stats" && !fs::exists(table, ec)) {
        ClassicStats(nullptr);
        return 0;
    }
    std::unique_ptr<checks::CBayes> bayes = OpenClassic(table);
    if (!bayes) return 1;
    if (command == "stats") {
        ClassicStats(bayes.get());
        return 0;
    }
    if (command == "check") return Check(*bayes, detail, args);
    return Learn(*bayes, command == "ham" ? checks::kBayesHam : checks::kBayesSpam, only_errors, args);
}

}  // namespace

int main(int argc, char** argv) {
    std::string app_dir;
    bool only_errors = false, detail = false, classic = false;
    // Options may stand anywhere ("spam --classic DIR"); after "--" everything is a path.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            args.insert(args.end(), argv + i + 1, argv + argc);
            break;
        }
        if (a == "-h" || a == "--help") return Usage(stdout);
        if (a == "--appdir") {
            if (i + 1 >= argc) return Usage();
            app_dir = argv[++i];
        } else if (a == "--errors" || a == "--detail" || a == "--classic") {
            (a == "--errors" ? only_errors : a == "--detail" ? detail : classic) = true;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "morvane-learn: unknown option %s\n", a.c_str());
            return Usage();
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) return Usage();
    const std::string command = args[0];
    args.erase(args.begin());
    const bool learns = command == "spam" || command == "ham" || command == "unlearn";
    if (command == "stats" ? !args.empty() : (!learns && command != "check") || args.empty()) return Usage();
    if (only_errors && !classic) {
        std::fprintf(stderr,
                     "morvane-learn: --errors is for the classic filter (--classic); the statistical filter "
                     "learns every message once\n");
        return 2;
    }
    if (classic && command == "unlearn") {
        std::fprintf(stderr, "morvane-learn: the classic filter cannot unlearn\n");
        return 2;
    }
    std::error_code ec;
    if (!app_dir.empty() && !fs::is_directory(app_dir, ec)) {
        std::fprintf(stderr, "morvane-learn: %s: not an application directory (no such directory)\n", app_dir.c_str());
        return 1;
    }
    // A path that is not there is a mistake, not an empty set of messages: nothing is learned.
    for (const std::string& p : args)
        if (!fs::exists(p, ec)) {
            std::fprintf(stderr, "morvane-learn: %s: no such file or directory; nothing learned\n", p.c_str());
            return 1;
        }
    platform::SetAppDir(app_dir.empty() ? platform::ExecutableDir() : app_dir);
    if (command != "stats" && !platform::MakeDirs(platform::AppPath("db"))) {
        std::fprintf(stderr, "morvane-learn: %s: cannot create: %s\n", platform::AppPath("db").c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (classic) return RunClassic(command, only_errors, detail, args);

    checks::CBayesFilter filter(platform::AppPath(checks::CBayesFilter::kTable));
    if (std::string why; !filter.Load(&why)) {
        std::fprintf(stderr, "morvane-learn: %s: %s\n", filter.Path().c_str(), why.c_str());
        return 1;
    } else if (!why.empty()) {
        std::fprintf(stderr, "morvane-learn: %s is damaged: %s\n", filter.Path().c_str(), why.c_str());
    }
    if (command == "stats") {
        const checks::CBayesFilter::Stats st = filter.GetStats();
        std::printf("spam_messages\t%llu\nham_messages\t%llu\ntokens\t%llu\n",
                    static_cast<unsigned long long>(st.spam_messages), static_cast<unsigned long long>(st.ham_messages),
                    static_cast<unsigned long long>(st.tokens));
        return RunClassic(command, false, false, args);
    }
    // The settings an operator tuned in morvane.ini decide the verdicts check shows.
    checks::BayesFilterSettings fs = filter.Settings();
    store::CFileINI ini;
    if (ini.Load(platform::AppPath("morvane.ini"))) tools::LoadBayesSettings(ini, fs);
    filter.SetSettings(fs);
    if (command == "check") return CheckFilter(filter, detail, args);
    return LearnFilter(filter, command, args);
}
