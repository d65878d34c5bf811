#include "checks/RuleLiterals.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/Regex.h"

namespace checks {

namespace {

using Literals = std::vector<std::string>;

constexpr size_t kMinLiteral = 3;

bool IsAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Where the character class opened at `open` ends (its "]"), or npos when it does not: a
// leading "]" or "^]" is a member, an escaped byte is a member, "[:name:]" is one member.
size_t ClassEnd(std::string_view p, size_t open) {
    size_t j = open + 1;
    if (j < p.size() && p[j] == '^') ++j;
    if (j < p.size() && p[j] == ']') ++j;
    while (j < p.size() && p[j] != ']') {
        if (p[j] == '\\') {
            ++j;
        } else if (p[j] == '[' && j + 1 < p.size() && (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
            size_t end = j + 2;
            while (end < p.size() && p[end] >= 'a' && p[end] <= 'z') ++end;
            if (end + 1 < p.size() && p[end] == p[j + 1] && p[end + 1] == ']') j = end + 1;
        }
        ++j;
    }
    return j < p.size() ? j : std::string_view::npos;
}

// A recursive-descent walk of the pattern. Each sequence offers candidates (a run of literal
// characters, or the literal set of a group it cannot skip) and keeps the one whose shortest
// literal is longest; an alternation needs a candidate from every branch.
class Walker {
public:
    explicit Walker(std::string_view p) : p_(p) {}

    std::optional<Literals> Whole() {
        std::optional<Literals> out = Alternation(0);
        if (failed_ || at_ != p_.size()) return std::nullopt;
        return out;
    }

private:
    std::optional<Literals> Alternation(int depth) {
        if (depth > 16) {
            failed_ = true;
            return std::nullopt;
        }
        Literals all;
        bool every = true;
        for (;;) {
            std::optional<Literals> branch = Sequence(depth);
            if (failed_) return std::nullopt;
            if (branch)
                all.insert(all.end(), branch->begin(), branch->end());
            else
                every = false;
            if (at_ < p_.size() && p_[at_] == '|') {
                ++at_;
                continue;
            }
            break;
        }
        if (!every) return std::nullopt;
        return all;
    }

    // Consumes a quantifier if one follows: 0 none, 1 one at least, 2 possibly none.
    int Quantifier() {
        if (at_ >= p_.size()) return 0;
        int kind = 0;
        const char c = p_[at_];
        if (c == '?' || c == '*') {
            kind = 2;
            ++at_;
        } else if (c == '+') {
            kind = 1;
            ++at_;
        } else if (c == '{') {
            size_t i = at_ + 1, min = 0;
            bool digits = false;
            while (i < p_.size() && p_[i] >= '0' && p_[i] <= '9') {
                min = min * 10 + static_cast<size_t>(p_[i] - '0');
                digits = true;
                if (min > 100000) break;
                ++i;
            }
            while (i < p_.size() && ((p_[i] >= '0' && p_[i] <= '9') || p_[i] == ',')) ++i;
            if (!digits || i >= p_.size() || p_[i] != '}') {
                failed_ = true;  // a brace PCRE2 reads as itself: not worth telling apart
                return 0;
            }
            at_ = i + 1;
            kind = min == 0 ? 2 : 1;
        } else {
            return 0;
        }
        if (at_ < p_.size() && (p_[at_] == '?' || p_[at_] == '+')) ++at_;  // lazy or possessive
        return kind;
    }

    void SkipClass() {
        const size_t end = ClassEnd(p_, at_);
        if (end == std::string_view::npos) {
            failed_ = true;
            return;
        }
        at_ = end + 1;
    }

    std::optional<Literals> Sequence(int depth) {
        std::optional<Literals> best;
        size_t best_len = 0;
        std::string run;
        const auto consider = [&best, &best_len](Literals set) {
            if (set.empty()) return;
            size_t shortest = SIZE_MAX;
            for (const std::string& s : set) shortest = std::min(shortest, s.size());
            if (shortest < kMinLiteral || shortest <= best_len) return;
            best_len = shortest;
            best = std::move(set);
        };
        const auto close_run = [&run, &consider] {
            if (!run.empty()) consider({run});
            run.clear();
        };
        while (at_ < p_.size() && p_[at_] != '|' && p_[at_] != ')') {
            const char c = p_[at_];
            if (c == '(') {
                close_run();
                ++at_;
                bool zero_width = false;
                if (at_ < p_.size() && p_[at_] == '?') {
                    const std::string_view rest = p_.substr(at_);
                    if (rest.rfind("?:", 0) == 0) {
                        at_ += 2;
                    } else if (rest.rfind("?=", 0) == 0 || rest.rfind("?!", 0) == 0) {
                        zero_width = true;
                        at_ += 2;
                    } else if (rest.rfind("?<=", 0) == 0 || rest.rfind("?<!", 0) == 0) {
                        zero_width = true;
                        at_ += 3;
                    } else {
                        failed_ = true;  // flags, named groups, conditionals, verbs
                        return std::nullopt;
                    }
                } else if (at_ < p_.size() && p_[at_] == '*') {
                    failed_ = true;  // (*VERB)
                    return std::nullopt;
                }
                std::optional<Literals> inner = Alternation(depth + 1);
                if (failed_ || at_ >= p_.size() || p_[at_] != ')') {
                    failed_ = true;
                    return std::nullopt;
                }
                ++at_;
                const int q = Quantifier();
                if (failed_) return std::nullopt;
                if (!zero_width && q != 2 && inner) consider(std::move(*inner));
                continue;
            }
            if (c == '[') {
                close_run();
                SkipClass();
                Quantifier();
                if (failed_) return std::nullopt;
                continue;
            }
            if (c == '.') {
                close_run();
                ++at_;
                Quantifier();
                if (failed_) return std::nullopt;
                continue;
            }
            if (c == '^' || c == '$') {
                close_run();
                ++at_;
                continue;
            }
            if (c == '*' || c == '+' || c == '?' || c == '{' || c == ']' || static_cast<unsigned char>(c) >= 0x80) {
                failed_ = true;
                return std::nullopt;
            }
            char literal = c;
            if (c == '\\') {
                if (at_ + 1 >= p_.size()) {
                    failed_ = true;
                    return std::nullopt;
                }
                const char e = p_[at_ + 1];
                at_ += 2;
                if (IsAsciiAlnum(e)) {
                    if (std::strchr("bBAzZG", e)) {  // zero-width
                        close_run();
                        continue;
                    }
                    if (std::strchr("sSdDwWhHvVRN", e)) {  // one character of a class
                        close_run();
                        Quantifier();
                        if (failed_) return std::nullopt;
                        continue;
                    }
                    failed_ = true;  // \x.., \p{..}, \Q, \K, back references...
                    return std::nullopt;
                }
                literal = e;
            } else {
                ++at_;
            }
            const int q = Quantifier();
            if (failed_) return std::nullopt;
            if (q == 2) {
                close_run();
                continue;
            }
            run += literal;
            if (q == 1) close_run();
        }
        close_run();
        return best;
    }

    std::string_view p_;
    size_t at_ = 0;
    bool failed_ = false;
};

}  // namespace

std::vector<std::string> RequiredLiterals(std::string_view pattern, int options) {
    if (options & common::kRegexExtended) return {};
    std::optional<Literals> found = Walker(pattern).Whole();
    if (!found) return {};
    Literals out = std::move(*found);
    if (options & common::kRegexCaseless)
        for (std::string& s : out)
            for (char& ch : s)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<std::string> TopLevelBranches(std::string_view pattern, int options) {
    const std::vector<std::string> whole{std::string(pattern)};
    if (options & common::kRegexExtended) return whole;
    std::vector<std::string> out;
    size_t start = 0;
    int depth = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            if (i + 1 >= pattern.size()) return whole;
            const char e = pattern[i + 1];
            if ((e >= '1' && e <= '9') || e == 'g' || e == 'k' || e == 'Q' || e == 'c') return whole;
            ++i;
        } else if (c == '[') {
            const size_t end = ClassEnd(pattern, i);
            if (end == std::string_view::npos) return whole;
            i = end;
        } else if (c == '(') {
            const std::string_view rest = pattern.substr(i + 1);
            const bool plain = rest.empty() || rest[0] != '?' || rest.rfind("?:", 0) == 0 || rest.rfind("?=", 0) == 0 ||
                               rest.rfind("?!", 0) == 0 || rest.rfind("?<=", 0) == 0 || rest.rfind("?<!", 0) == 0;
            if (!plain || (!rest.empty() && rest[0] == '*')) return whole;
            ++depth;
        } else if (c == ')') {
            if (--depth < 0) return whole;
        } else if (c == '|' && depth == 0) {
            out.emplace_back(pattern.substr(start, i - start));
            start = i + 1;
        }
    }
    if (depth != 0) return whole;
    out.emplace_back(pattern.substr(start));
    // An empty branch matches everywhere, and so does the whole.
    for (const std::string& b : out)
        if (b.empty()) return whole;
    return out;
}

void CLiteralScan::Add(uint32_t id, const std::vector<std::string>& literals) {
    for (const std::string& l : literals) {
        if (l.size() < 2) continue;
        entries_.push_back({PairAt(l.data()), id, l});
        pairs_.set(entries_.back().pair);
        if (l.size() == 2)
            short_.set(entries_.back().pair);
        else
            triples_.set(TripleAt(l.data()));
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.pair < b.pair; });
}

void CLiteralScan::Scan(std::string_view text, std::vector<char>& found) const {
    if (entries_.empty() || text.size() < 2) return;
    const char* data = text.data();
    const size_t n = text.size();
    for (size_t i = 0; i + 1 < n; ++i) {
        const uint16_t pair = PairAt(data + i);
        if (!pairs_.test(pair)) continue;
        if (!short_.test(pair) && (i + 2 >= n || !triples_.test(TripleAt(data + i)))) continue;
        auto it = std::lower_bound(entries_.begin(), entries_.end(), pair,
                                   [](const Entry& e, uint16_t p) { return e.pair < p; });
        for (; it != entries_.end() && it->pair == pair; ++it) {
            if (found[it->id] || it->literal.size() > n - i) continue;
            if (std::memcmp(data + i + 2, it->literal.data() + 2, it->literal.size() - 2) == 0) found[it->id] = 1;
        }
    }
}

}  // namespace checks
