#include "script/Lexer.h"

#include <cctype>
#include <vector>

#include "script/Variable.h"

namespace script::lex {

namespace {

bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

// Skips a quoted run starting at text[i] (a " or '); returns the index after its closing
// quote, or text.size() when it is not closed.
size_t SkipQuoted(std::string_view text, size_t i) {
    char q = text[i];
    for (++i; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
            continue;
        }
        if (text[i] == q) return i + 1;
    }
    return text.size();
}

void SkipBlanks(std::string_view text, size_t& pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n' || text[pos] == '\t' || text[pos] == '\r'))
        ++pos;
}

bool AtEnd(std::string_view text, size_t& pos) {
    SkipBlanks(text, pos);
    return pos >= text.size();
}

bool IsNameStart(char c) {
    return IsAlpha(c) || c == '_' || c == ':' || c == '$';
}
bool IsNameChar(char c) {
    return IsNameStart(c) || IsDigit(c);
}

std::string ReadName(std::string_view text, size_t& pos, size_t max) {
    SkipBlanks(text, pos);
    if (pos >= text.size() || !IsNameStart(text[pos])) Raise("CS_Scripting::RD_name() = bad name");
    size_t start = pos;
    while (pos < text.size() && IsNameChar(text[pos])) {
        if (pos - start >= max - 1) Raise("CS_Scripting::RD_name() = buffer overflow");
        ++pos;
    }
    return std::string(text.substr(start, pos - start));
}

std::string ReadToken(std::string_view text, size_t& pos, std::string_view set, size_t max) {
    SkipBlanks(text, pos);
    size_t start = pos;
    while (pos < text.size() && (set.empty() ? IsNameChar(text[pos]) : set.find(text[pos]) != std::string_view::npos)) {
        if (pos - start >= max - 1) Raise("CS_Scripting::RD_token() = buffer overflow");
        ++pos;
    }
    return std::string(text.substr(start, pos - start));
}

std::string ReadDigit(std::string_view text, size_t& pos, size_t max) {
    SkipBlanks(text, pos);
    size_t start = pos;
    auto guard = [&] {
        if (pos - start >= max - 1) Raise("CS_Scripting::RD_digit() = buffer overflow");
    };
    if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        pos += 2;
        while (pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos]))) {
            guard();
            ++pos;
        }
        return std::string(text.substr(start, pos - start));
    }
    if (pos >= text.size() || !IsDigit(text[pos])) return std::string();
    while (pos < text.size()) {
        guard();
        char c = text[pos];
        char prev = pos > start ? text[pos - 1] : 0;
        if (IsDigit(c)) {
            ++pos;
        } else if (c == '.' && IsDigit(prev)) {
            ++pos;
        } else if ((c == 'e' || c == 'E') && IsDigit(prev)) {
            ++pos;
        } else if ((c == '+' || c == '-') && (prev == 'e' || prev == 'E')) {
            ++pos;
        } else if ((c == 'f' || c == 'F') && IsDigit(prev)) {
            ++pos;
            break;
        } else {
            break;
        }
    }
    return std::string(text.substr(start, pos - start));
}

std::string ReadBlock(std::string_view text, size_t& pos, char open, char close, size_t max) {
    size_t start = pos;
    int depth = 0, parens = 0;
    size_t i = pos;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"' || c == '\'') {
            i = SkipQuoted(text, i);
            continue;
        }
        if (c == close && depth == 0 && (close != ')' || parens == 0)) {
            if (parens != 0) Raise("CS_Scripting::read_block() = some errors with counts of '(' and ')' symbols");
            if (i - start > max) Raise("CS_Scripting::RD_block(): buffer overflow");
            pos = i + 1;
            return std::string(text.substr(start, i - start));
        }
        if (open && c == open)
            ++depth;
        else if (open && c == close)
            --depth;
        if (c == '(' && open != '(') ++parens;
        if (c == ')' && close != ')') --parens;
        if (parens < 0) Raise("CS_Scripting::read_block() = some errors with counts of '(' and ')' symbols");
        ++i;
    }
    if (open) RaiseF("CS_Scripting::RA_block() = some errors with counts of '%c' and '%c' symbols", open, close);
    if (parens != 0) Raise("CS_Scripting::read_block() = some errors with counts of '(' and ')' symbols");
    if (i - start > max) Raise("CS_Scripting::RD_block(): buffer overflow");
    pos = i;
    return std::string(text.substr(start));
}

std::string ReadStatement(std::string_view text, size_t& pos, size_t max) {
    SkipBlanks(text, pos);
    size_t start = pos;
    int parens = 0, braces = 0;
    bool saw_brace = false;
    for (size_t i = pos; i < text.size();) {
        if (i - start > max) Raise("CS_Scripting::RD_A() = buffer overflow");
        char c = text[i];
        if (c == '"' || c == '\'') {
            i = SkipQuoted(text, i);
            continue;
        }
        if (c == '(') ++parens;
        if (c == ')' && --parens < 0) Raise("CS_Scripting::RD_A() = some errors with counts of '(' and ')' symbols");
        if (c == '{') {
            ++braces;
            saw_brace = true;
        }
        if (c == '}' && --braces < 0) Raise("CS_Scripting::RD_A() = some errors with counts of '{' and '}' symbols");
        ++i;
        if ((c == ';' && parens == 0 && braces == 0) || (c == '}' && saw_brace && braces == 0)) {
            if (parens != 0) Raise("CS_Scripting::RD_A() = some errors with counts of '(' and ')' symbols");
            pos = i;
            return std::string(text.substr(start, i - start));
        }
    }
    if (parens != 0) Raise("CS_Scripting::RD_A() = some errors with counts of '(' and ')' symbols");
    if (braces != 0) Raise("CS_Scripting::RD_A() = some errors with counts of '{' and '}' symbols");
    pos = text.size();
    return std::string(text.substr(start));
}

void ExpectSymbol(std::string_view text, size_t& pos, char c) {
    SkipBlanks(text, pos);
    if (pos >= text.size()) Raise("CS_Scripting::expectsymbol() = end of string");
    if (text[pos] != c) RaiseF("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[pos], c);
    ++pos;
}

char GetSymbol(std::string_view text, size_t& pos, const char* set) {
    SkipBlanks(text, pos);
    if (pos >= text.size()) return 0;
    char c = text[pos];
    if (set && std::string_view(set).find(c) == std::string_view::npos)
        RaiseF("CS_Scripting::getsymbol() = bad '%c' symbol expecting %s", c, set);
    return c;
}

std::string ConvertString(std::string_view body) {
    std::string out;
    out.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c != '\\' || i + 1 >= body.size()) {
            out += c;
            continue;
        }
        char e = body[++i];
        switch (e) {
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'v': out += '\v'; break;
            case 'a': out += '\a'; break;
            case '?':
            case '\'':
            case '\\':
            case '"': out += e; break;
            case '0':
                if (i + 2 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7' && body[i + 2] >= '0' &&
                    body[i + 2] <= '7') {
                    out += static_cast<char>(8 * (body[i + 1] - '0') + (body[i + 2] - '0'));
                    i += 2;
                } else {
                    out += '\0';
                }
                break;
            default: RaiseF("CS_Scripting::CV_string() = unsupported string code \\%c", e);
        }
    }
    return out;
}

std::vector<std::string> SplitArgs(std::string_view text) {
    std::vector<std::string> out;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '"' || c == '\'') {
            i = SkipQuoted(text, i);
            continue;
        }
        if (c == '(' || c == '[' || c == '{') ++depth;
        if (c == ')' || c == ']' || c == '}') --depth;
        if (c == ',' && depth == 0) {
            out.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
        ++i;
    }
    out.emplace_back(text.substr(start));
    return out;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\n' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\n' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return std::string(s.substr(b, e - b));
}

}  // namespace script::lex
