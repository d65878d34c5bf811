#include "checks/MessageTokens.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/String.h"
#include "mail/ParseMail.h"
#include "script/Codecs.h"

namespace checks {

namespace {

constexpr size_t kSlots = 4096;  // a power of two, at least twice kMaxTokens; fits the first-level cache
static_assert(kSlots >= 2 * CTokenSet::kMaxTokens && (kSlots & (kSlots - 1)) == 0);

uint64_t Fnv(uint64_t h, std::string_view bytes) {
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

// Byte classes by table: the tokenizer looks at every byte of a message.
constexpr uint8_t kWord = 1, kJoiner = 2;
constexpr std::array<uint8_t, 256> kClass = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80 || c == '$')
            t[static_cast<size_t>(c)] = kWord;
        else if (c == '-' || c == '\'' || c == '.' || c == '_' || c == ',')
            t[static_cast<size_t>(c)] = kJoiner;
    }
    return t;
}();
constexpr std::array<char, 256> kLower = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 256; ++c) t[static_cast<size_t>(c)] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return t;
}();

bool IsWordByte(unsigned char c) {
    return kClass[c] == kWord;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (common::AsciiLower(text[i]) != prefix[i]) return false;
    return true;
}

size_t FindNoCase(std::string_view text, std::string_view needle, size_t from = 0) {
    if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
    for (size_t i = from; i + needle.size() <= text.size(); ++i)
        if (common::AsciiLower(text[i]) == needle[0] && StartsNoCase(text.substr(i), needle)) return i;
    return std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
    return common::TrimWhiteSpace(s);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = common::AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One line of `text` from `pos`, without its CR LF; `pos` moves past it.
std::string_view NextLine(std::string_view text, size_t& pos) {
    const size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

using tokens::Field;
using tokens::FindField;
using tokens::FirstWord;
using tokens::Param;
using tokens::ReadHeader;

class Cutter {
public:
    explicit Cutter(CTokenSet& out) : out_(out) {}

    // Words of free text, with their pairs, and the hosts of the URLs written in it. Pairs
    // never cross from one text to the next. One pass, no allocation per word: each word is
    // hashed as it is read.
    void Text(std::string_view prefix, std::string_view text, bool pairs, bool urls = false) {
        const uint64_t seed = CTokenSet::Seed(prefix);
        const bool keep = out_.KeepsText();
        size_t recent = 0;
        std::array<uint64_t, tokens::kPairWindow> last{};
        std::array<std::string, tokens::kPairWindow> last_text;
        char word[tokens::kMaxWord];
        size_t i = 0;
        const size_t n = text.size();
        while (i < n) {
            // Past the limit nothing more is kept: the rest of the text is not read.
            if (out_.Full()) return;
            while (i < n && kClass[static_cast<unsigned char>(text[i])] != kWord) ++i;
            if (i >= n) break;
            if (urls) {
                const char c = kLower[static_cast<unsigned char>(text[i])];
                if ((c == 'h' || c == 'w') && urls_ < 100) Url(text.substr(i, 300));
            }
            uint64_t h = seed;
            size_t len = 0;
            while (i < n) {
                const unsigned char c = static_cast<unsigned char>(text[i]);
                const uint8_t cls = kClass[c];
                if (cls != kWord &&
                    !(cls == kJoiner && i + 1 < n && kClass[static_cast<unsigned char>(text[i + 1])] == kWord))
                    break;
                // Long runs are encoded data or unspaced scripts: their head is all that repeats.
                if (len < tokens::kMaxWord) {
                    const char lc = kLower[c];
                    word[len] = lc;
                    h = CTokenSet::Step(h, static_cast<unsigned char>(lc));
                }
                ++len;
                ++i;
            }
            if (len < tokens::kMinWord) continue;
            const std::string_view w(word, std::min(len, tokens::kMaxWord));
            h = CTokenSet::Finish(h);
            out_.AddHashed(h, prefix, w);
            if (!pairs) continue;
            for (size_t d = 1; d <= std::min(recent, last.size()); ++d) {
                const size_t slot = (recent - d) % last.size();
                if (keep)
                    out_.AddPair(last[slot], h, static_cast<int>(d), last_text[slot], w);
                else
                    out_.AddPair(last[slot], h, static_cast<int>(d));
            }
            last[recent % last.size()] = h;
            if (keep) last_text[recent % last.size()] = std::string(w);
            ++recent;
        }
    }

    // A host name and its parent domains down to two labels: "url:a.b.example.com",
    // "url:b.example.com", "url:example.com".
    void Host(std::string_view prefix, std::string_view host) {
        if (host.empty()) return;
        bool numeric = true;
        for (char c : host) numeric = numeric && ((c >= '0' && c <= '9') || c == '.');
        if (numeric) {
            out_.Add(prefix, "*ip*");
            return;
        }
        int labels = 0;
        while (!host.empty() && labels < 6) {
            out_.Add(prefix, host);
            const size_t dot = host.find('.');
            if (dot == std::string_view::npos || host.find('.', dot + 1) == std::string_view::npos) break;
            host.remove_prefix(dot + 1);
            ++labels;
        }
    }

    // A URL written out in text, if `at` starts one.
    void Url(std::string_view at) {
        for (std::string_view scheme :
             {std::string_view("http://"), std::string_view("https://"), std::string_view("www.")}) {
            if (!StartsNoCase(at, scheme)) continue;
            ++urls_;
            Host("url:", tokens::UrlHost(scheme == "www." ? at : at.substr(scheme.size())));
            return;
        }
    }

    void Headers(const std::vector<Field>& fields) {
        for (const Field& f : fields) {
            out_.Add("hdr:", f.name);
            const std::string_view n = f.name;
            if (n == "subject") {
                Text("subject:", tokens::DecodeEncodedWords(f.value), true);
                EncodedCharsets("subject:", f.value);
            } else if (n == "from" || n == "to" || n == "reply-to" || n == "cc") {
                const std::string prefix = f.name + ":";
                Text(prefix, tokens::DecodeEncodedWords(f.value), false);
                EncodedCharsets(prefix, f.value);
                AddressDomains(prefix, f.value);
            } else if (n == "received") {
                Received(f.value);
            } else if (n == "message-id") {
                const size_t at = f.value.rfind('@');
                if (at == std::string::npos) {
                    out_.Add("message-id:", "*noat*");
                } else {
                    std::string_view host = f.value;
                    host.remove_prefix(at + 1);
                    const size_t close = host.find('>');
                    if (close != std::string_view::npos) host = host.substr(0, close);
                    Host("message-id:", common::AsciiLowered(host));
                }
            } else if (n == "x-mailer" || n == "user-agent" || n == "content-type" || n == "list-id" ||
                       n == "precedence") {
                Text(f.name + ":", f.value, false);
            }
        }
    }

    // The MIME entity: its structure, and the words of its text.
    void Entity(std::string_view entity, int depth) {
        size_t body_at = 0;
        const std::vector<Field> fields = ReadHeader(entity, body_at);
        Body(fields, entity.substr(body_at), depth);
    }

    void Body(const std::vector<Field>& fields, std::string_view body, int depth) {
        if (++parts_ > tokens::kMaxParts || out_.Full()) return;
        const Field* ct = FindField(fields, "content-type");
        const Field* cte = FindField(fields, "content-transfer-encoding");
        const std::string type = ct ? FirstWord(ct->value) : "text/plain";
        const std::string encoding = cte ? FirstWord(cte->value) : "";
        out_.Add("mime:", type);
        if (!encoding.empty()) out_.Add("cte:", encoding);
        if (ct) {
            const std::string charset = common::AsciiLowered(Param(ct->value, "charset"));
            if (!charset.empty()) out_.Add("charset:", charset);
        }
        if (type.rfind("multipart/", 0) == 0) {
            const std::string boundary = ct ? Param(ct->value, "boundary") : "";
            if (boundary.empty() || depth >= tokens::kMaxDepth) return;
            Multipart(body, boundary, depth);
            return;
        }
        if (type == "message/rfc822" && depth < tokens::kMaxDepth) {
            Entity(body, depth + 1);
            return;
        }
        if (type.rfind("text/", 0) != 0) {
            std::string name = ct ? Param(ct->value, "name") : "";
            if (const Field* cd = FindField(fields, "content-disposition"); name.empty() && cd)
                name = Param(cd->value, "filename");
            const size_t dot = name.rfind('.');
            if (dot != std::string::npos && name.size() - dot <= 6)
                out_.Add("ext:", common::AsciiLowered(name.substr(dot)));
            return;
        }
        std::string decoded;
        std::string_view text = body;
        if (encoding == "base64") {
            decoded = script::codec::Decode64(body);
            text = decoded;
        } else if (encoding == "quoted-printable") {
            decoded = tokens::DecodeQuotedPrintable(body);
            text = decoded;
        }
        if (type == "text/html") {
            std::vector<std::string> links, signals;
            const std::string plain = tokens::HtmlToText(text, &links, &signals);
            for (const std::string& s : signals) out_.Add("html:", s);
            for (const std::string& l : links) Host("url:", tokens::UrlHost(l));
            Text("", plain, true, true);
            return;
        }
        Text("", text, true, true);
    }

private:
    void Multipart(std::string_view body, const std::string& boundary, int depth) {
        const std::string open = "--" + boundary;
        size_t pos = 0, part_at = std::string_view::npos;
        while (pos < body.size()) {
            const size_t line_at = pos;
            const std::string_view line = NextLine(body, pos);
            if (line.size() < open.size() || line.compare(0, open.size(), open) != 0) continue;
            if (part_at != std::string_view::npos) {
                size_t end = line_at;
                if (end > part_at && body[end - 1] == '\n') --end;
                if (end > part_at && body[end - 1] == '\r') --end;
                Entity(body.substr(part_at, end - part_at), depth + 1);
                if (parts_ > tokens::kMaxParts) return;
            }
            if (Trim(line.substr(open.size())) == "--") return;
            part_at = pos;
        }
        if (part_at != std::string_view::npos && part_at < body.size()) Entity(body.substr(part_at), depth + 1);
    }

    void EncodedCharsets(std::string_view prefix, std::string_view value) {
        size_t at = 0;
        int n = 0;
        while ((at = value.find("=?", at)) != std::string_view::npos && n++ < 8) {
            const size_t q = value.find('?', at + 2);
            if (q == std::string_view::npos || q - at > 42) break;
            out_.Add(prefix, "=?" + common::AsciiLowered(value.substr(at + 2, q - at - 2)));
            at = q;
        }
    }

    void AddressDomains(std::string_view prefix, std::string_view value) {
        size_t at = 0;
        int n = 0;
        const std::string p = std::string(prefix) + "@";
        while ((at = value.find('@', at)) != std::string_view::npos && n++ < 8) {
            size_t e = ++at;
            while (e < value.size() &&
                   (IsWordByte(static_cast<unsigned char>(value[e])) || value[e] == '.' || value[e] == '-'))
                ++e;
            Host(p, common::AsciiLowered(value.substr(at, e - at)));
        }
    }

    // Received fields: the names and addresses of the hops and the protocol words; the ids and
    // dates, which never repeat, are left out.
    void Received(std::string_view value) {
        std::string word;
        size_t i = 0;
        while (i < value.size()) {
            while (i < value.size() && !IsWordByte(static_cast<unsigned char>(value[i]))) ++i;
            word.clear();
            bool dotted = false, digits = false;
            while (i < value.size() &&
                   (IsWordByte(static_cast<unsigned char>(value[i])) || value[i] == '.' || value[i] == '-')) {
                dotted = dotted || value[i] == '.';
                digits = digits || (value[i] >= '0' && value[i] <= '9');
                word.push_back(common::AsciiLower(value[i++]));
            }
            while (!word.empty() && (word.back() == '.' || word.back() == '-')) word.pop_back();
            if (word.size() < tokens::kMinWord || word.size() > 64) continue;
            if (dotted || !digits) out_.Add("received:", word);
        }
    }

    CTokenSet& out_;
    int parts_ = 0;
    int urls_ = 0;
};

}  // namespace

uint64_t CTokenSet::Seed(std::string_view prefix) {
    return Fnv(0xcbf29ce484222325ULL, prefix) ^ 0x1f;
}

uint64_t CTokenSet::Finish(uint64_t h) {
    // Murmur's finaliser: the low bits index the slots, so every input bit must reach them.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h == 0 ? 1 : h;
}

uint64_t CTokenSet::Hash(std::string_view prefix, std::string_view word) {
    return Finish(Fnv(Seed(prefix), word));
}

bool CTokenSet::Insert(uint64_t h) {
    if (slots_.empty()) {
        slots_.assign(kSlots, 0);
        hashes_.reserve(kMaxTokens);
        filled_.reserve(kMaxTokens);
    }
    if (hashes_.size() >= kMaxTokens) return false;
    for (size_t i = h & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
        if (slots_[i] == h) return false;
        if (slots_[i] == 0) {
            slots_[i] = h;
            filled_.push_back(static_cast<uint32_t>(i));
            hashes_.push_back(h);
            return true;
        }
    }
}

void CTokenSet::AddHashed(uint64_t hash, std::string_view prefix, std::string_view word) {
    if (Insert(hash) && keep_text_) {
        std::string t(prefix);
        t.append(word);
        texts_.push_back(std::move(t));
    }
}

void CTokenSet::Add(std::string_view prefix, std::string_view word) {
    AddHashed(Hash(prefix, word), prefix, word);
}

uint64_t CTokenSet::PairHash(uint64_t a, uint64_t b, int distance) {
    return Finish(a * 0x9E3779B97F4A7C15ULL + ((b << 17) | (b >> 47)) + static_cast<uint64_t>(distance));
}

void CTokenSet::AddPair(uint64_t a, uint64_t b, int distance, std::string_view a_text, std::string_view b_text) {
    if (Insert(PairHash(a, b, distance)) && keep_text_) {
        std::string t(a_text);
        t.append(distance > 1 ? " ~ " : " ").append(b_text);
        texts_.push_back(std::move(t));
    }
}

void CTokenSet::Clear() {
    hashes_.clear();
    texts_.clear();
    for (uint32_t i : filled_) slots_[i] = 0;
    filled_.clear();
}

void TokenizeMessage(std::string_view message, CTokenSet& out) {
    out.Clear();
    if (message.size() > mail::kAnalysedBytes) message = message.substr(0, mail::kAnalysedBytes);
    // Nothing but blank lines is no message: it must not learn as one.
    if (message.find_first_not_of(" \t\r\n") == std::string_view::npos) return;
    size_t body_at = 0;
    const std::vector<Field> fields = ReadHeader(message, body_at);
    Cutter cut(out);
    cut.Headers(fields);
    cut.Body(fields, message.substr(body_at), 0);
}

namespace tokens {

// The header block's fields and where the body starts.
std::vector<Field> ReadHeader(std::string_view entity, size_t& body_at) {
    std::vector<Field> fields;
    size_t pos = 0;
    body_at = entity.size();
    while (pos < entity.size()) {
        const size_t line_at = pos;
        std::string_view line = NextLine(entity, pos);
        if (line.empty()) {
            body_at = pos;
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
            if (fields.back().value.size() < 4096) fields.back().value.append(" ").append(Trim(line));
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > 76) {
            // Not a header line: a message without a header starts its body here.
            if (fields.empty()) {
                body_at = line_at;
                break;
            }
            continue;
        }
        if (fields.size() >= 200) continue;
        fields.push_back(
            {common::AsciiLowered(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1)))});
    }
    return fields;
}

const Field* FindField(const std::vector<Field>& fields, std::string_view name) {
    for (const Field& f : fields)
        if (f.name == name) return &f;
    return nullptr;
}

// A parameter of a structured field ("boundary", "charset", "name"), unquoted; "" when missing.
std::string Param(std::string_view value, std::string_view name) {
    size_t at = 0;
    while ((at = FindNoCase(value, name, at)) != std::string_view::npos) {
        const bool starts = at == 0 || value[at - 1] == ';' || value[at - 1] == ' ' || value[at - 1] == '\t';
        size_t p = at + name.size();
        while (p < value.size() && value[p] == ' ') ++p;
        if (!starts || p >= value.size() || value[p] != '=') {
            at += name.size();
            continue;
        }
        ++p;
        while (p < value.size() && value[p] == ' ') ++p;
        if (p < value.size() && value[p] == '"') {
            const size_t close = value.find('"', p + 1);
            return std::string(
                value.substr(p + 1, close == std::string_view::npos ? std::string_view::npos : close - p - 1));
        }
        size_t e = p;
        while (e < value.size() && value[e] != ';' && value[e] != ' ' && value[e] != '\t') ++e;
        return std::string(value.substr(p, e - p));
    }
    return {};
}

// The value's first word (a MIME type, an encoding), lower case.
std::string FirstWord(std::string_view value) {
    value = Trim(value);
    size_t e = 0;
    while (e < value.size() && value[e] != ';' && value[e] != ' ' && value[e] != '\t') ++e;
    return common::AsciiLowered(value.substr(0, e));
}

std::string DecodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '=') {
            out.push_back(c);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
        } else if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
            i += 2;
        } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string DecodeEncodedWords(std::string_view value) {
    std::string out;
    size_t i = 0;
    while (i < value.size()) {
        const size_t at = value.find("=?", i);
        if (at == std::string_view::npos) break;
        const size_t q1 = value.find('?', at + 2);
        const size_t q2 = q1 == std::string_view::npos ? q1 : value.find('?', q1 + 1);
        const size_t end = q2 == std::string_view::npos ? q2 : value.find("?=", q2 + 1);
        if (end == std::string_view::npos || q2 != q1 + 2) {
            out.append(value.substr(i, at + 2 - i));
            i = at + 2;
            continue;
        }
        // Blanks between two encoded words are not part of the text.
        std::string_view gap = value.substr(i, at - i);
        if (!(i > 0 && Trim(gap).empty())) out.append(gap);
        const char kind = common::AsciiLower(value[q1 + 1]);
        const std::string_view data = value.substr(q2 + 1, end - q2 - 1);
        if (kind == 'b') {
            out += script::codec::Decode64(data);
        } else {
            std::string q(data);
            std::replace(q.begin(), q.end(), '_', ' ');
            out += DecodeQuotedPrintable(q);
        }
        i = end + 2;
    }
    out.append(value.substr(std::min(i, value.size())));
    return out;
}

namespace {

bool IsBlockTag(std::string_view name) {
    static constexpr std::string_view kBlock[] = {"br", "p",  "div", "td",    "th",     "tr", "li", "table", "h1",
                                                  "h2", "h3", "h4",  "title", "option", "hr", "ul", "ol",    "center"};
    for (std::string_view b : kBlock)
        if (name == b) return true;
    return false;
}

// An attribute's value in a tag's text ("href", "src"); "" when missing.
std::string_view Attribute(std::string_view tag, std::string_view name) {
    size_t at = 0;
    while ((at = FindNoCase(tag, name, at)) != std::string_view::npos) {
        size_t p = at + name.size();
        const bool starts = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' || tag[at - 1] == '\n' ||
                                       tag[at - 1] == '\r' || tag[at - 1] == '"' || tag[at - 1] == '\'');
        while (p < tag.size() && tag[p] == ' ') ++p;
        if (!starts || p >= tag.size() || tag[p] != '=') {
            at = p;
            continue;
        }
        ++p;
        while (p < tag.size() && tag[p] == ' ') ++p;
        if (p < tag.size() && (tag[p] == '"' || tag[p] == '\'')) {
            const size_t close = tag.find(tag[p], p + 1);
            return tag.substr(p + 1, close == std::string_view::npos ? std::string_view::npos : close - p - 1);
        }
        size_t e = p;
        while (e < tag.size() && tag[e] != ' ' && tag[e] != '>' && tag[e] != '\t') ++e;
        return tag.substr(p, e - p);
    }
    return {};
}

void AddSignal(std::vector<std::string>* signals, std::string_view s) {
    if (signals && std::find(signals->begin(), signals->end(), s) == signals->end()) signals->emplace_back(s);
}

// One entity at text[i] == '&': appends what it stands for and returns its length, or 0 when
// it is no entity.
size_t Entity(std::string_view text, size_t i, std::string& out) {
    const size_t semi = text.find(';', i);
    if (semi == std::string_view::npos || semi - i > 10) return 0;
    const std::string_view name = text.substr(i + 1, semi - i - 1);
    if (!name.empty() && name[0] == '#') {
        unsigned long v = 0;
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        for (size_t k = hex ? 2 : 1; k < name.size(); ++k) {
            const int d = hex ? HexValue(name[k]) : (name[k] >= '0' && name[k] <= '9' ? name[k] - '0' : -1);
            if (d < 0 || v > 0x10ffff) return 0;
            v = v * (hex ? 16 : 10) + static_cast<unsigned>(d);
        }
        out.push_back(v > 0 && v < 128 ? static_cast<char>(v) : ' ');
        return semi - i + 1;
    }
    static constexpr std::pair<std::string_view, char> kNamed[] = {{"amp", '&'},  {"lt", '<'},    {"gt", '>'},
                                                                   {"quot", '"'}, {"apos", '\''}, {"nbsp", ' '}};
    for (const auto& [n, c] : kNamed)
        if (name == n) {
            out.push_back(c);
            return semi - i + 1;
        }
    out.push_back(' ');
    return semi - i + 1;
}

}  // namespace

std::string HtmlToText(std::string_view html, std::vector<std::string>* links, std::vector<std::string>* signals) {
    std::string out;
    out.reserve(html.size() / 2);
    size_t i = 0;
    int images = 0;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '&') {
            const size_t n = Entity(html, i, out);
            if (n > 0) {
                i += n;
                continue;
            }
            out.push_back(c);
            ++i;
            continue;
        }
        if (c != '<') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (html.compare(i, 4, "<!--") == 0) {
            const size_t end = html.find("-->", i + 4);
            AddSignal(signals, "comment");
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        size_t end = html.find('>', i + 1);
        if (end == std::string_view::npos) end = html.size();
        const std::string_view tag = html.substr(i + 1, end - i - 1);
        i = end + 1;
        size_t n = tag.size() > 0 && tag[0] == '/' ? 1 : 0;
        const size_t name_at = n;
        while (n < tag.size() && (IsWordByte(static_cast<unsigned char>(tag[n])))) ++n;
        const std::string name = common::AsciiLowered(tag.substr(name_at, n - name_at));
        if (IsBlockTag(name)) out.push_back(' ');
        if (name_at == 1) continue;  // a closing tag carries nothing more
        if ((name == "style" || name == "script") && i < html.size()) {
            const size_t close = FindNoCase(html, name == "style" ? "</style" : "</script", i);
            i = close == std::string_view::npos ? html.size() : close;
            continue;
        }
        if (name == "img" && ++images <= 1) AddSignal(signals, "img");
        if (images == 5) AddSignal(signals, "img5");
        if (name == "form") AddSignal(signals, "form");
        if (name == "table") AddSignal(signals, "table");
        if (tag.find('=') == std::string_view::npos) continue;  // no attributes to look at
        if (links && links->size() < 100) {
            for (std::string_view a : {std::string_view("href"), std::string_view("src"), std::string_view("action")}) {
                const std::string_view v = Attribute(tag, a);
                if (!v.empty()) links->emplace_back(v);
            }
        }
        std::string style = common::AsciiLowered(Attribute(tag, "style"));
        style.erase(std::remove(style.begin(), style.end(), ' '), style.end());
        if (style.find("display:none") != std::string::npos || style.find("visibility:hidden") != std::string::npos)
            AddSignal(signals, "hidden");
        if (style.find("font-size:0") != std::string::npos || style.find("font-size:1px") != std::string::npos ||
            (name == "font" && (Attribute(tag, "size") == "1" || Attribute(tag, "size") == "0")))
            AddSignal(signals, "tiny");
        if (name == "font" && !Attribute(tag, "color").empty()) AddSignal(signals, "color");
    }
    return out;
}

std::string UrlHost(std::string_view url) {
    url = Trim(url);
    const size_t scheme = url.find("://");
    if (scheme != std::string_view::npos && scheme < 10)
        url.remove_prefix(scheme + 3);
    else if (StartsNoCase(url, "mailto:"))
        url.remove_prefix(7);
    size_t end = 0;
    while (end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#' && url[end] != '"' &&
           url[end] != '\'' && url[end] != '>' && url[end] != '<' && url[end] != ' ' && url[end] != '\r' &&
           url[end] != '\n' && url[end] != '\t')
        ++end;
    std::string_view host = url.substr(0, end);
    const size_t at = host.rfind('@');
    if (at != std::string_view::npos) host.remove_prefix(at + 1);
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
    while (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (host.empty() || host.size() > 253) return {};
    std::string out;
    for (char c : host) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!(IsWordByte(u) || c == '.' || c == '-' || c == '_') || u >= 0x80 || c == '$') return {};
        out.push_back(common::AsciiLower(c));
    }
    return out.find('.') == std::string::npos ? std::string() : out;
}

}  // namespace tokens

}  // namespace checks
