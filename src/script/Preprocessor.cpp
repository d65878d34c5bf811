// The preprocessor: comments out, directives carried out, symbols substituted, producing the
// one text the compiler reads.
#include <cstring>
#include <vector>

#include "platform/KFile.h"
#include "script/Interpreter.h"
#include "script/Lexer.h"

namespace script {

namespace {

constexpr std::string_view kDelimiters = " \n,.=:;()[]{}<>+-*/%!&|^\"'";
// Script files are small; a bigger one is a mistake, not a script.
constexpr int64_t kMaxScriptFile = 16 << 20;
// Includes nest at most this deep, so a file that includes itself fails instead of looping.
constexpr int kMaxIncludeDepth = 32;

bool IsDelimiter(char c) {
    return kDelimiters.find(c) != std::string_view::npos;
}

// Comments out, carriage returns dropped, tabs made blanks; string literals kept as they are.
// `hidden` gets the output position of every line end a block comment took away.
std::string StripComments(std::string_view in, std::vector<size_t>* hidden) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '"') {
            size_t j = i + 1;
            while (j < in.size() && !(in[j] == '"' && in[j - 1] != '\\')) ++j;
            for (size_t k = i; k <= j && k < in.size(); ++k) {
                if (in[k] != '\r') out += in[k] == '\t' ? ' ' : in[k];
            }
            i = j;
            continue;
        }
        if (c == '/' && i + 1 < in.size() && in[i + 1] == '/') {
            while (i < in.size() && in[i] != '\n') ++i;
            if (i < in.size()) out += '\n';
            continue;
        }
        if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
            size_t end = in.find("*/", i + 2);
            size_t stop = end == std::string_view::npos ? in.size() : end + 2;
            // __LINE__ does not count these line ends; the line table does.
            for (size_t k = i + 2; k < stop; ++k)
                if (in[k] == '\n') hidden->push_back(out.size());
            i = stop - 1;
            continue;
        }
        if (c == '\r') continue;
        out += c == '\t' ? ' ' : c;
    }
    return out;
}

std::string DirOf(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

class Preprocessor {
public:
    explicit Preprocessor(Interpreter& in) : in_(in) {}

    // nullopt when the file cannot be read.
    std::optional<std::string> File(const std::string& path, int depth) {
        // Only regular files: a device such as /dev/zero would never end.
        if (!platform::IsRegularFile(path) || platform::FileSize(path) > kMaxScriptFile) return std::nullopt;
        std::string raw;
        if (!platform::ReadWholeFile(path, raw)) return std::nullopt;
        return Text(raw, path, depth);
    }

    std::string Text(std::string_view raw, const std::string& path, int depth) {
        std::vector<size_t> hidden;
        const std::string text = StripComments(raw, &hidden);
        const std::string dir = DirOf(path);
        std::string out;
        out.reserve(text.size());
        std::vector<int> conditions;
        auto active = [&conditions] {
            for (int c : conditions)
                if (!c) return false;
            return true;
        };
        int line = 1;
        size_t word_start = 0;  // output index where the current word begins
        // Where this text's output starts in the whole output (an included file's is inside
        // its includer's).
        const size_t base = base_;
        const uint32_t file = in_.SourceFile(path);
        size_t hidden_seen = 0;  // of `hidden`, those before the current position
        auto mark = [&] {
            in_.source_marks_.push_back({base + out.size(), file, line + static_cast<int32_t>(hidden_seen)});
        };
        mark();

        auto substitute = [&](size_t word_end) {
            if (word_end <= word_start) return;
            std::string word = out.substr(word_start, word_end - word_start);
            std::string replacement;
            if (word == "__FILE__") {
                replacement = "\"" + path + ":" + std::to_string(line) + "\"";
            } else if (word == "__LINE__") {
                replacement = std::to_string(line);
            } else {
                auto it = in_.symbols_.find(word);
                if (it == in_.symbols_.end()) return;
                replacement = it->second;
            }
            out.replace(word_start, word_end - word_start, replacement);
        };

        size_t i = 0;
        while (i < text.size()) {
            while (hidden_seen < hidden.size() && hidden[hidden_seen] <= i) ++hidden_seen;
            char c = text[i];
            if (c == '#') {
                size_t eol = text.find('\n', i);
                if (eol == std::string::npos) eol = text.size();
                in_.location_ = text.substr(i, eol - i);
                base_ = base + out.size();
                Directive(std::string_view(text).substr(i + 1, eol - i - 1), dir, conditions, active(), depth, out);
                base_ = base;
                mark();  // after an included file, this file's lines again
                word_start = out.size();
                i = eol;  // the newline stays and is handled below
                continue;
            }
            in_.location_.clear();
            if (c == '\n') ++line;
            if (!active()) {
                ++i;
                continue;
            }
            if (c == '\'' && i + 2 < text.size() && text[i + 2] == '\'') {
                substitute(out.size());
                out.append(text, i, 3);
                i += 3;
                word_start = out.size();
                continue;
            }
            if (c == '\'' && i + 3 < text.size() && text[i + 1] == '\\' && text[i + 3] == '\'') {
                substitute(out.size());
                out.append(text, i, 4);
                i += 4;
                word_start = out.size();
                continue;
            }
            if (c == '"') {
                substitute(out.size());
                size_t j = i + 1;
                while (j < text.size() && !(text[j] == '"' && text[j - 1] != '\\')) {
                    if (text[j] == '\n') ++line;
                    ++j;
                }
                size_t end = std::min(j + 1, text.size());
                out.append(text, i, end - i);
                if (text.find('\n', i) < end) mark();
                i = end;
                word_start = out.size();
                continue;
            }
            if (IsDelimiter(c)) {
                substitute(out.size());
                out += c;
                word_start = out.size();
                if (c == '\n') mark();
            } else {
                out += c;
            }
            ++i;
        }
        if (active()) substitute(out.size());
        if (!conditions.empty()) Raise("CS_Scripting::PS() = bad processor options");
        return out;
    }

private:
    void Directive(std::string_view d, const std::string& dir, std::vector<int>& conditions, bool active, int depth,
                   std::string& out) {
        size_t pos = 0;
        if (!d.empty() && d[0] == '!') return;
        std::string name = lex::ReadToken(d, pos);
        if (name == "ifdef" || name == "ifndef") {
            std::string sym = lex::ReadToken(d, pos);
            bool defined = in_.symbols_.count(sym) > 0;
            conditions.push_back((name == "ifdef") == defined ? 1 : 0);
        } else if (name == "else") {
            if (conditions.empty()) Raise("CS_Scripting::PS() = #else is before #ifdef or #ifndef");
            conditions.back() = conditions.back() ? 0 : 1;
        } else if (name == "endif") {
            if (conditions.empty()) Raise("CS_Scripting::PS() = #endif is before #ifdef or #ifndef");
            conditions.pop_back();
        } else if (name == "define") {
            std::string sym = lex::ReadName(d, pos, lex::kNameMax);
            std::string value = lex::Trim(d.substr(pos));
            if (value.size() > lex::kBlockMax) Raise("CS_Scripting::RD_block(): buffer overflow");
            if (active) in_.symbols_[sym] = value;
        } else if (name == "undef") {
            std::string sym = lex::ReadToken(d, pos);
            if (active) in_.symbols_.erase(sym);
        } else if (name == "include") {
            char open = lex::GetSymbol(d, pos, "\"<");
            if (open == 0) Raise("CS_Scripting::expectsymbol() = end of string");
            ++pos;
            std::string file;
            if (open == '"') {
                size_t end = d.find('"', pos);
                if (end == std::string_view::npos) Raise("CS_Scripting::RD_block(): buffer overflow");
                file = std::string(d.substr(pos, end - pos));
            } else {
                file = lex::ReadBlock(d, pos, '<', '>', lex::kNameMax);
            }
            if (file.size() > lex::kNameMax) Raise("CS_Scripting::RD_block(): buffer overflow");
            if (!active) return;
            if (depth >= kMaxIncludeDepth)
                RaiseF("CS_Scripting::PS() = #include nested too deep at \"%s\"", file.c_str());
            std::optional<std::string> text = File(file, depth + 1);
            if (!text && !dir.empty()) text = File(dir + "/" + file, depth + 1);
            if (!text) RaiseF("CS_Scripting::PS() = can't find \"%s\" file", file.c_str());
            out += *text;
        } else if (name == "import") {
            lex::SkipBlanks(d, pos);
            if (pos >= d.size() || d[pos] != '(') lex::ExpectSymbol(d, pos, '(');
            ++pos;
            std::string inside = lex::ReadBlock(d, pos, '(', ')', lex::kNameMax);
            size_t comma = inside.find(',');
            std::string kind = lex::Trim(std::string_view(inside).substr(0, comma));
            std::string cls =
                comma == std::string::npos ? std::string() : lex::Trim(std::string_view(inside).substr(comma + 1));
            int k = kind == "class" ? 1 : kind == "lib" ? 2 : 0;
            if (k == 0) return;
            for (const ScriptImport& imp : in_.imports_)
                if (imp.kind == k && imp.name == cls) return;
            in_.imports_.push_back({k, cls});
        } else {
            RaiseF("CS_Scripting::PS() = unknown prepocessor token \"#%s\"", name.c_str());
        }
    }

    Interpreter& in_;
    size_t base_ = 0;
};

std::optional<std::string> Interpreter::Preprocess(const std::string& path) {
    std::string raw;
    if (!platform::IsRegularFile(path) || platform::FileSize(path) > kMaxScriptFile ||
        !platform::ReadWholeFile(path, raw))
        return std::nullopt;
    return PreprocessText(raw, path);
}

std::optional<std::string> Interpreter::PreprocessText(std::string_view text, const std::string& path) {
    try {
        location_.clear();
        source_marks_.clear();
        source_files_.clear();
        Preprocessor pp(*this);
        std::string out = pp.Text(text, path, 0);
        location_.clear();
        marked_size_ = out.size();
        return out;
    } catch (const ScriptError& e) {
        location_.clear();  // preprocessor diagnostics carry their own context
        source_marks_.clear();
        Fail(e.what());
        return std::nullopt;
    }
}

bool Interpreter::Imported(std::string_view class_name) const {
    for (const ScriptImport& imp : imports_)
        if (imp.kind == 1 && imp.name == class_name) return true;
    return false;
}

}  // namespace script
