// morvane-learn: trains and asks the Bayes filter of an application directory.
//
//   morvane-learn [--appdir DIR] [--errors] spam PATH...    learn as spam
//   morvane-learn [--appdir DIR] [--errors] ham PATH...     learn as ham
//   morvane-learn [--appdir DIR] [--detail] check PATH...
//                                                CODE<TAB>VERDICT<TAB>PATH per message; with
//                                                --detail also TOKENS, the spam, ham and
//                                                unknown shares
//   morvane-learn [--appdir DIR] stats           words, spam and ham weight sums, neutral words
//
// PATH is a message file, a directory (every regular file below it is one message) or an mbox
// file (its first line starts with "From "; in a directory too, so that mail saved with its
// envelope line is learned without it). Each message is read as a session sees it: lines
// ending in CRLF, its first 30720 bytes. The word table is saved once, atomically, at the end:
// an interrupted run leaves the previous table. The kernel keeps its own copy of the table in
// memory, so learn only while the kernel is stopped.
//
// --errors learns only the messages the filter does not already classify as their class
// (train on errors): the weights then grow where the filter is wrong, not on every common
// word, and a corpus with far more ham than spam no longer makes every common word a ham word.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "checks/Bayes.h"
#include "platform/Paths.h"
#include "tools/MessageFiles.h"

namespace {

namespace fs = std::filesystem;
using tools::ForEachMessage;
using tools::Message;

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-learn [--appdir DIR] [--errors] spam PATH...  learn as spam\n"
                 "       morvane-learn [--appdir DIR] [--errors] ham PATH...   learn as ham\n"
                 "       morvane-learn [--appdir DIR] [--detail] check PATH...\n"
                 "                      classify: CODE<TAB>VERDICT<TAB>PATH per message; --detail adds\n"
                 "                      TOKENS<TAB>SPAM_SHARE<TAB>HAM_SHARE<TAB>UNKNOWN_SHARE\n"
                 "       morvane-learn [--appdir DIR] stats           words and weight sums\n"
                 "PATH: a message file, a directory of message files, or an mbox file.\n"
                 "--errors: learn only what is not already classified as its class.\n"
                 "Works on DIR/db/bayeswords.db; stop the kernel first, it keeps its own copy.\n");
    return to == stderr ? 2 : 0;
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

int Stats(checks::CBayes& bayes) {
    std::printf("words\t%d\nspam\t%d\nham\t%d\nneutral\t%d\n", bayes.Words().GetCount(), bayes.GetWordsCount("spam"),
                bayes.GetWordsCount("ham"), bayes.GetWordsCount("neutral"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string app_dir;
    bool only_errors = false, detail = false;
    // Options may stand anywhere ("spam --errors DIR"); after "--" everything is a path.
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
        } else if (a == "--errors" || a == "--detail") {
            (a == "--errors" ? only_errors : detail) = true;
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
    if (command == "stats" ? !args.empty()
                           : (command != "spam" && command != "ham" && command != "check") || args.empty())
        return Usage();
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
    const std::string table = platform::AppPath("db/bayeswords.db");
    if (command == "stats" && !fs::exists(table, ec)) {
        std::printf("words\t0\nspam\t0\nham\t0\nneutral\t0\n");
        return 0;
    }
    if (!platform::MakeDirs(platform::AppPath("db"))) {
        std::fprintf(stderr, "morvane-learn: %s: cannot create: %s\n", platform::AppPath("db").c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Only the word table: the quarantine indexes are the kernel's business.
    checks::CBayes bayes(platform::AppDir());
    if (!bayes.Words().Open(table)) {
        std::fprintf(stderr, "morvane-learn: %s: not a DBK table (bad magic or unreadable header)\n", table.c_str());
        return 1;
    }
    bayes.Words().Load();
    if (bayes.Words().LostOnLoad() > 0)
        std::fprintf(stderr, "morvane-learn: %s is damaged: %d records could not be read\n", table.c_str(),
                     bayes.Words().LostOnLoad());
    if (command == "stats") return Stats(bayes);
    if (command == "check") return Check(bayes, detail, args);
    return Learn(bayes, command == "ham" ? checks::kBayesHam : checks::kBayesSpam, only_errors, args);
}
