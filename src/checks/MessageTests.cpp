#include "checks/MessageTests.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "checks/MessageTokens.h"
#include "common/String.h"
#include "common/TextSearch.h"
#include "mail/ParseMail.h"
#include "script/Codecs.h"

namespace checks {

// In the bit order of MessageTestSet. No bit is ever stored: rules name their tests and look
// the bit up when they load, so the table is grouped by what the tests look at.
const MessageTestInfo kMessageTests[] = {
    {"HDR_DATE_MISSING", "no Date field"},
    {"HDR_DATE_BAD", "a Date that is no RFC 5322 date"},
    {"HDR_DATE_FUTURE", "Date more than a day after the message was received"},
    {"HDR_DATE_PAST", "Date more than four days before the message was received"},
    {"HDR_MSGID_MISSING", "no Message-Id field"},
    {"HDR_MSGID_BAD", "a Message-Id not of the form <left@host.domain>"},
    {"HDR_FROM_MISSING", "no From field, or one without an address"},
    {"HDR_TO_MISSING", "neither To nor Cc"},
    {"HDR_TO_UNDISCLOSED", "To names undisclosed recipients"},
    {"HDR_FROM_NAME_ADDRESS", "From's display name holds an address other than its own"},
    {"HDR_REPLYTO_OTHER_DOMAIN", "Reply-To in another domain than From"},
    {"HDR_SUBJECT_MISSING", "no Subject, or an empty one"},
    {"HDR_SUBJECT_CAPS", "a Subject of three or more words in capitals only"},
    {"HDR_SUBJECT_FAR_CHARSET", "a Subject encoded in an East Asian or Cyrillic charset"},
    {"HDR_RCVD_MISSING", "no Received field: the message never passed a mail server"},
    {"HDR_PRIORITY_HIGH", "X-Priority 1 or 2, or Importance high"},
    {"HDR_MIME_VERSION_MISSING", "MIME content without a MIME-Version field"},
    {"HDR_MAILER_BULK", "an X-Mailer of a bulk-mailing tool"},
    {"HDR_REPLY_NO_THREAD", "a Subject starting with Re: and neither In-Reply-To nor References"},
    {"HDR_FROM_IS_TO", "From and To hold the same single address"},
    {"HDR_TO_MANY", "15 or more addresses in To and Cc together"},
    {"HDR_RCVD_DISORDER", "a Received stamp more than 12 hours older than the one of the hop before it"},
    {"HDR_SUBJECT_NAMES_TO", "a Subject that holds the recipient's mailbox name"},
    {"MIME_HTML_ONLY", "HTML text and no plain-text part"},
    {"MIME_BASE64_TEXT", "a text part in base64"},
    {"MIME_NO_CHARSET", "a text part with 8-bit bytes and no charset"},
    {"MIME_BOUNDARY_BAD", "a multipart without a boundary, or whose boundary never comes"},
    {"MIME_EXECUTABLE", "an attachment of a program type (.exe, .scr, .pif, .bat, .com, .vbs, .js)"},
    {"HTML_HIDDEN_TEXT", "HTML that hides text (display:none, visibility:hidden)"},
    {"HTML_TINY_TEXT", "HTML text in a font too small to read"},
    {"HTML_IMAGE_ONLY", "HTML with images and little text"},
    {"HTML_FORM", "a form in the message"},
    {"HTML_COMMENTS_IN_WORDS", "HTML comments inside words, to break them up"},
    {"URI_TEXT_MISMATCH", "a link whose visible text names another host than it goes to"},
    {"URI_IP_HOST", "a link to a numeric IP address"},
    {"URI_SHORTENER", "a link through a URL shortener"},
    {"URI_ODD_PORT", "a link to a port other than 80 or 443"},
    {"URI_OBFUSCATED", "a link that hides its host behind a user part (http://bank.example@host/)"},
    {"BODY_CAPS", "a text mostly in capitals (200 letters or more, over half of them capitals)"},
    {"BODY_EMPTY", "no text at all"},
};
const size_t kMessageTestCount = sizeof(kMessageTests) / sizeof(kMessageTests[0]);
static_assert(sizeof(kMessageTests) / sizeof(kMessageTests[0]) <= kMaxMessageTests);

int MessageTestIndex(std::string_view name) {
    for (size_t i = 0; i < kMessageTestCount; ++i)
        if (name == kMessageTests[i].name) return static_cast<int>(i);
    return -1;
}

std::string MessageTestNames(const MessageTestSet& set) {
    std::string out;
    for (size_t i = 0; i < kMessageTestCount; ++i)
        if (set.test(i)) out.append(out.empty() ? "" : " ").append(kMessageTests[i].name);
    return out;
}

// The MIME walk, shared by everything CMessageParts offers.
namespace mime_walk {

using tokens::Field;

struct Leaf {
    std::string type, charset, encoding, filename;
    std::string text;  // decoded
    bool eight_bit = false;
};

struct Walk {
    std::vector<Leaf> leaves;
    bool boundary_bad = false;
    int parts = 0;

    void Entity(std::string_view entity, int depth) {
        size_t body_at = 0;
        const std::vector<Field> fields = tokens::ReadHeader(entity, body_at);
        Body(fields, entity.substr(body_at), depth);
    }

    void Body(const std::vector<Field>& fields, std::string_view body, int depth) {
        if (++parts > tokens::kMaxParts) return;
        const Field* ct = tokens::FindField(fields, "content-type");
        const Field* cte = tokens::FindField(fields, "content-transfer-encoding");
        const std::string type = ct ? tokens::FirstWord(ct->value) : "text/plain";
        if (type.rfind("multipart/", 0) == 0) {
            const std::string boundary = ct ? tokens::Param(ct->value, "boundary") : "";
            const std::string open = "\n--" + boundary;
            if (boundary.empty() || body.find(open.substr(1)) == std::string_view::npos) {
                boundary_bad = true;
                return;
            }
            if (depth >= tokens::kMaxDepth) return;
            size_t at = body.compare(0, open.size() - 1, open.substr(1)) == 0 ? 0 : body.find(open);
            while (at != std::string_view::npos) {
                const size_t start = body.find('\n', at + (body[at] == '\n' ? 1 : 0));
                if (start == std::string_view::npos) break;
                const std::string_view marker = body.substr(at, start - at);
                if (marker.find(boundary + "--") != std::string_view::npos) break;
                const size_t next = body.find(open, start);
                Entity(
                    body.substr(start + 1, next == std::string_view::npos ? std::string_view::npos : next - start - 1),
                    depth + 1);
                at = next;
            }
            return;
        }
        if (type == "message/rfc822" && depth < tokens::kMaxDepth) {
            Entity(body, depth + 1);
            return;
        }
        Leaf leaf;
        leaf.type = type;
        leaf.encoding = cte ? tokens::FirstWord(cte->value) : "";
        if (ct) {
            leaf.charset = common::AsciiLowered(tokens::Param(ct->value, "charset"));
            leaf.filename = tokens::Param(ct->value, "name");
        }
        if (const Field* cd = tokens::FindField(fields, "content-disposition"); cd && leaf.filename.empty())
            leaf.filename = tokens::Param(cd->value, "filename");
        if (type.rfind("text/", 0) == 0) {
            if (leaf.encoding == "base64")
                leaf.text = script::codec::Decode64(body);
            else if (leaf.encoding == "quoted-printable")
                leaf.text = tokens::DecodeQuotedPrintable(body);
            else
                leaf.text = std::string(body);
            leaf.eight_bit = std::any_of(leaf.text.begin(), leaf.text.end(),
                                         [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
        }
        leaves.push_back(std::move(leaf));
    }
};

}  // namespace mime_walk

using mime_walk::Leaf;
using mime_walk::Walk;

namespace {

using tokens::Field;

// ASCII classes without the C library's locale lookups: these run over every byte of a message.
constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
constexpr bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}
constexpr bool IsAlpha(char c) {
    return IsUpper(c) || IsLower(c);
}
constexpr bool IsAlnum(char c) {
    return IsAlpha(c) || IsDigit(c);
}
constexpr bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

// The address of a From/Reply-To value: inside <...> when there is one, else the bare word
// with an "@". Lower case; "" when there is none.
std::string AddressOf(std::string_view value) {
    const size_t lt = value.rfind('<');
    if (lt != std::string_view::npos) {
        const size_t gt = value.find('>', lt);
        return common::AsciiLowered(Trimmed(value.substr(lt + 1, gt == std::string_view::npos ? gt : gt - lt - 1)));
    }
    const size_t at = value.find('@');
    if (at == std::string_view::npos) return {};
    size_t b = at, e = at;
    while (b > 0 && !IsSpace(value[b - 1]) && value[b - 1] != '"') --b;
    while (e < value.size() && !IsSpace(value[e]) && value[e] != '"') ++e;
    return common::AsciiLowered(value.substr(b, e - b));
}

std::string DomainOf(const std::string& address) {
    const size_t at = address.rfind('@');
    return at == std::string::npos ? std::string() : address.substr(at + 1);
}

// The last two labels of a host: what two hosts of one organisation usually share.
std::string_view Tail2(std::string_view host) {
    size_t dot = host.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return host;
    dot = host.rfind('.', dot - 1);
    return dot == std::string_view::npos ? host : host.substr(dot + 1);
}

// Links of an HTML text with their visible text.
struct Anchor {
    std::string href, text;
};

// `lower` is `html` lower-cased.
std::vector<Anchor> Anchors(std::string_view html, std::string_view lower) {
    std::vector<Anchor> out;
    size_t at = 0;
    while (out.size() < 100 && (at = lower.find("<a", at)) != std::string::npos) {
        const size_t close = lower.find('>', at);
        if (close == std::string::npos) break;
        if (at + 2 < lower.size() && !IsSpace(lower[at + 2])) {
            at += 2;
            continue;
        }
        const size_t end = lower.find("</a", close);
        const std::string_view tag = html.substr(at, close - at);
        const size_t href = lower.substr(at, close - at).find("href");
        Anchor a;
        if (href != std::string::npos) {
            size_t v = tag.find('=', href);
            if (v != std::string_view::npos) {
                ++v;
                while (v < tag.size() && tag[v] == ' ') ++v;
                const char quote = v < tag.size() && (tag[v] == '"' || tag[v] == '\'') ? tag[v] : 0;
                if (quote) ++v;
                size_t e = v;
                while (e < tag.size() && (quote ? tag[e] != quote : tag[e] != ' ' && tag[e] != '>')) ++e;
                a.href = std::string(tag.substr(v, e - v));
            }
        }
        a.text = tokens::HtmlToText(html.substr(close + 1, end == std::string::npos ? 300 : end - close - 1), nullptr,
                                    nullptr);
        out.push_back(std::move(a));
        at = close;
    }
    return out;
}

bool IsNumericHost(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; });
}

// The port of a URL's authority, or 0.
int UrlPort(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return 0;
    std::string_view rest = url.substr(scheme + 3);
    const size_t end = rest.find_first_of("/?#\"' >");
    rest = rest.substr(0, end);
    const size_t at = rest.rfind('@');
    if (at != std::string_view::npos) rest.remove_prefix(at + 1);
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= rest.size()) return 0;
    int port = 0;
    for (char c : rest.substr(colon + 1)) {
        if (!IsDigit(c) || port > 65535) return 0;
        port = port * 10 + (c - '0');
    }
    return port;
}

// URLs written in plain text.
std::vector<std::string> TextUrls(std::string_view text) {
    std::vector<std::string> out;
    const std::string lower = common::AsciiLowered(text.substr(0, 65536));
    size_t at = 0;
    while (out.size() < 100 && (at = lower.find("http", at)) != std::string::npos) {
        if (lower.compare(at, 7, "http://") == 0 || lower.compare(at, 8, "https://") == 0) {
            size_t e = at;
            while (e < lower.size() && !IsSpace(lower[e]) && lower[e] != '"' && lower[e] != '<' && lower[e] != '>') ++e;
            out.emplace_back(text.substr(at, e - at));
            at = e;
        } else {
            at += 4;
        }
    }
    return out;
}

constexpr std::string_view kShorteners[] = {"bit.ly",  "tinyurl.com", "goo.gl", "t.co",    "ow.ly",      "is.gd",
                                            "buff.ly", "cutt.ly",     "rb.gy",  "tiny.cc", "shorturl.at"};
constexpr std::string_view kFarCharsets[] = {"gb2312",      "gbk",       "gb18030", "big5",   "ks_c_5601",   "euc-kr",
                                             "iso-2022-jp", "shift_jis", "euc-jp",  "koi8-r", "windows-1251"};
constexpr std::string_view kBulkMailers[] = {"mass mail",    "bulk",       "group mail", "blaster",  "massmail",
                                             "atlas mailer", "worldmerge", "send-safe",  "extractor"};
constexpr std::string_view kPrograms[] = {".exe", ".scr", ".pif", ".bat", ".com", ".vbs", ".js", ".cmd", ".cpl"};

bool EndsWith(std::string_view name, std::string_view end) {
    return name.size() >= end.size() && name.substr(name.size() - end.size()) == end;
}

}  // namespace

bool ParseMailDate(std::string_view text, int64_t* seconds) {
    std::string s(Trimmed(text));
    // Comments "(...)" and a leading day name are no part of the instant.
    const size_t paren = s.find('(');
    if (paren != std::string::npos) s.resize(paren);
    const size_t comma = s.find(',');
    if (comma != std::string::npos) s = s.substr(comma + 1);
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    if (std::sscanf(s.c_str(), " %2d %3s %4d %2d:%2d%n", &day, month, &year, &hour, &minute, &consumed) != 5)
        return false;
    std::string_view rest = std::string_view(s).substr(static_cast<size_t>(consumed));
    if (!rest.empty() && rest[0] == ':') {
        int n = 0;
        if (std::sscanf(std::string(rest).c_str(), ":%2d%n", &second, &n) != 1) return false;
        rest.remove_prefix(static_cast<size_t>(n));
    }
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string m = common::AsciiLowered(month);
    int mon = -1;
    for (int i = 0; i < 12; ++i)
        if (m == kMonths[i]) mon = i;
    if (mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    if (year < 50)
        year += 2000;
    else if (year < 1000)
        year += 1900;
    rest = Trimmed(rest);
    int offset = 0;  // minutes east of UTC
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        if (rest.size() < 5 || !std::all_of(rest.begin() + 1, rest.begin() + 5, [](char c) { return IsDigit(c); }))
            return false;
        offset = ((rest[1] - '0') * 10 + (rest[2] - '0')) * 60 + (rest[3] - '0') * 10 + (rest[4] - '0');
        if (rest[0] == '-') offset = -offset;
    } else if (!rest.empty()) {
        static constexpr std::pair<std::string_view, int> kZones[] = {
            {"ut", 0},     {"gmt", 0},    {"utc", 0},    {"est", -300}, {"edt", -240}, {"cst", -360},
            {"cdt", -300}, {"mst", -420}, {"mdt", -360}, {"pst", -480}, {"pdt", -420}};
        const std::string z = common::AsciiLowered(rest.substr(0, rest.find(' ')));
        bool known = false;
        for (const auto& [name, minutes] : kZones)
            if (z == name) {
                offset = minutes;
                known = true;
            }
        if (!known && z.size() > 1) return false;  // military one-letter zones mean nothing sure
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    *seconds = static_cast<int64_t>(timegm(&tm)) - offset * 60;
    return true;
}

// An HTML leaf as the reader sees it: its text, its links and its signals.
struct HtmlView {
    std::string text;
    std::vector<std::string> links, signals;
};

struct CMessageParts::Parts {
    std::string_view message;  // its first kAnalysedBytes
    std::vector<Field> fields;
    size_t body_at = 0;
    Walk walk;
    // Made the first time the tests, the text or the links ask, by leaf; the object serves one
    // check on one thread.
    mutable std::vector<std::unique_ptr<HtmlView>> html;

    const HtmlView& Html(size_t leaf) const {
        if (html.size() < walk.leaves.size()) html.resize(walk.leaves.size());
        if (!html[leaf]) {
            html[leaf] = std::make_unique<HtmlView>();
            html[leaf]->text = tokens::HtmlToText(walk.leaves[leaf].text, &html[leaf]->links, &html[leaf]->signals);
        }
        return *html[leaf];
    }
};

CMessageParts::CMessageParts(std::string_view message) : parts_(std::make_unique<Parts>()) {
    if (message.size() > mail::kAnalysedBytes) message = message.substr(0, mail::kAnalysedBytes);
    parts_->message = message;
    parts_->fields = tokens::ReadHeader(message, parts_->body_at);
    parts_->walk.Body(parts_->fields, message.substr(parts_->body_at), 0);
}

CMessageParts::~CMessageParts() = default;

std::string CMessageParts::DecodedText() const {
    std::string out;
    const std::vector<Leaf>& leaves = parts_->walk.leaves;
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (leaves[i].type.rfind("text/", 0) != 0) continue;
        if (!out.empty()) out += "\n\n";
        out += leaves[i].type == "text/html" ? parts_->Html(i).text : leaves[i].text;
    }
    return out;
}

std::vector<std::string> CMessageParts::Urls() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < parts_->walk.leaves.size(); ++i) {
        const Leaf& leaf = parts_->walk.leaves[i];
        if (leaf.type == "text/html") {
            const HtmlView& view = parts_->Html(i);
            out.insert(out.end(), view.links.begin(), view.links.end());
            for (std::string& u : TextUrls(view.text)) out.push_back(std::move(u));
        } else if (leaf.type.rfind("text/", 0) == 0) {
            for (std::string& u : TextUrls(leaf.text)) out.push_back(std::move(u));
        }
        if (out.size() >= 200) break;
    }
    if (out.size() > 200) out.resize(200);
    return out;
}

std::string DecodedText(std::string_view message) {
    return CMessageParts(message).DecodedText();
}

std::vector<std::string> MessageUrls(std::string_view message) {
    return CMessageParts(message).Urls();
}

MessageTestSet RunMessageTests(std::string_view message, int64_t now) {
    return CMessageParts(message).Tests(now);
}

MessageTestSet CMessageParts::Tests(int64_t now) const {
    MessageTestSet hit;
    const auto fire = [&hit](const char* name) {
        const int i = MessageTestIndex(name);
        if (i >= 0) hit.set(static_cast<size_t>(i));
    };
    const std::vector<Field>& fields = parts_->fields;
    const auto field = [&fields](std::string_view name) { return tokens::FindField(fields, name); };

    // Dates: judged against the newest Received stamp, or the clock.
    // A Received field's stamp: the date after its last ";", 0 when there is none.
    const auto stamp_of = [](const Field& r) {
        const size_t semi = r.value.rfind(';');
        int64_t stamp = 0;
        if (semi == std::string::npos || !ParseMailDate(r.value.substr(semi + 1), &stamp)) return int64_t{0};
        return stamp;
    };
    int64_t received_at = 0;
    if (const Field* r = field("received"))
        received_at = stamp_of(*r);
    else
        fire("HDR_RCVD_MISSING");
    // Each hop stamps its Received on top, so going down the chain the stamps should not get
    // newer; one far newer than the hop above it was written by the sender.
    int64_t above = 0;
    for (const Field& f : fields) {
        if (f.name != "received") continue;
        const int64_t stamp = stamp_of(f);
        if (stamp == 0) continue;
        if (above > 0 && stamp > above + 12 * 3600) {
            fire("HDR_RCVD_DISORDER");
            break;
        }
        above = stamp;
    }
    if (received_at == 0) received_at = now;
    if (const Field* d = field("date")) {
        int64_t date = 0;
        if (!ParseMailDate(d->value, &date)) {
            fire("HDR_DATE_BAD");
        } else if (received_at > 0) {
            if (date > received_at + 86400) fire("HDR_DATE_FUTURE");
            if (date < received_at - 4 * 86400) fire("HDR_DATE_PAST");
        }
    } else {
        fire("HDR_DATE_MISSING");
    }

    if (const Field* id = field("message-id")) {
        const std::string_view v = Trimmed(id->value);
        const size_t at = v.find('@');
        const bool ok = v.size() > 4 && v.front() == '<' && v.back() == '>' && at != std::string_view::npos && at > 1 &&
                        v.find('.', at) != std::string_view::npos && v.find(' ') == std::string_view::npos;
        if (!ok) fire("HDR_MSGID_BAD");
    } else {
        fire("HDR_MSGID_MISSING");
    }

    const Field* from = field("from");
    const std::string from_address = from ? AddressOf(tokens::DecodeEncodedWords(from->value)) : "";
    if (from_address.find('@') == std::string::npos) fire("HDR_FROM_MISSING");
    if (from) {
        // A display name that shows another address than the one the mail comes from.
        const std::string decoded = tokens::DecodeEncodedWords(from->value);
        const size_t lt = decoded.rfind('<');
        if (lt != std::string::npos) {
            const std::string name = common::AsciiLowered(decoded.substr(0, lt));
            const size_t at = name.find('@');
            if (at != std::string::npos) {
                const std::string shown = AddressOf(name);
                if (!shown.empty() && DomainOf(shown) != DomainOf(from_address)) fire("HDR_FROM_NAME_ADDRESS");
            }
        }
    }
    if (const Field* reply = field("reply-to"); reply && !from_address.empty()) {
        const std::string to_domain = DomainOf(AddressOf(reply->value));
        if (!to_domain.empty() && Tail2(to_domain) != Tail2(DomainOf(from_address))) fire("HDR_REPLYTO_OTHER_DOMAIN");
    }
    const Field* to = field("to");
    if (!to && !field("cc")) fire("HDR_TO_MISSING");
    if (to && common::ContainsNoCase(to->value, "undisclosed")) fire("HDR_TO_UNDISCLOSED");
    const std::string to_address = to ? AddressOf(to->value) : "";
    size_t recipients = 0;
    for (const char* name : {"to", "cc"})
        if (const Field* f = field(name))
            recipients += static_cast<size_t>(std::count(f->value.begin(), f->value.end(), '@'));
    if (recipients >= 15) fire("HDR_TO_MANY");
    if (recipients == 1 && !to_address.empty() && to_address == from_address) fire("HDR_FROM_IS_TO");

    const Field* subject = field("subject");
    if (!subject || Trimmed(subject->value).empty()) {
        fire("HDR_SUBJECT_MISSING");
    } else {
        const std::string text = tokens::DecodeEncodedWords(subject->value);
        int words = 0, upper = 0, lower = 0;
        bool in_word = false;
        for (char c : text) {
            const bool letter = IsAlpha(c) != 0;
            if (letter && !in_word) ++words;
            in_word = letter;
            upper += IsUpper(c) ? 1 : 0;
            lower += IsLower(c) ? 1 : 0;
        }
        if (words >= 3 && lower == 0 && upper >= 6) fire("HDR_SUBJECT_CAPS");
        const std::string_view trimmed = Trimmed(text);
        if (trimmed.size() >= 3 && common::AsciiLowered(trimmed.substr(0, 3)) == "re:" && !field("in-reply-to") &&
            !field("references"))
            fire("HDR_REPLY_NO_THREAD");
        // "john, your order": a mailbox name of four letters or more, as a word of the Subject.
        const std::string mailbox = to_address.substr(0, to_address.find('@'));
        if (mailbox.size() >= 4 && to_address.find('@') != std::string::npos) {
            const std::string lowered = common::AsciiLowered(text);
            for (size_t at = 0; (at = lowered.find(mailbox, at)) != std::string::npos; ++at) {
                const size_t end = at + mailbox.size();
                if ((at == 0 || !IsAlnum(lowered[at - 1])) && (end == lowered.size() || !IsAlnum(lowered[end]))) {
                    fire("HDR_SUBJECT_NAMES_TO");
                    break;
                }
            }
        }
        const std::string raw = common::AsciiLowered(subject->value);
        for (std::string_view cs : kFarCharsets)
            if (raw.find("=?" + std::string(cs)) != std::string::npos) fire("HDR_SUBJECT_FAR_CHARSET");
    }
    if (const Field* p = field("x-priority");
        p && !Trimmed(p->value).empty() && (Trimmed(p->value)[0] == '1' || Trimmed(p->value)[0] == '2'))
        fire("HDR_PRIORITY_HIGH");
    if (const Field* p = field("importance"); p && common::ContainsNoCase(p->value, "high")) fire("HDR_PRIORITY_HIGH");
    if (field("content-type") && !field("mime-version")) fire("HDR_MIME_VERSION_MISSING");
    if (const Field* m = field("x-mailer")) {
        const std::string v = common::AsciiLowered(m->value);
        for (std::string_view b : kBulkMailers)
            if (v.find(b) != std::string::npos) fire("HDR_MAILER_BULK");
    }

    // The body: its parts, their text, the HTML and the links.
    const Walk& walk = parts_->walk;
    if (walk.boundary_bad) fire("MIME_BOUNDARY_BAD");
    bool plain = false, html = false;
    size_t text_bytes = 0, images = 0, capitals = 0, small = 0;
    const auto count_case = [&capitals, &small](std::string_view text) {
        for (char c : text) {
            capitals += IsUpper(c) ? 1 : 0;
            small += IsLower(c) ? 1 : 0;
        }
    };
    std::vector<std::string> urls;
    for (size_t leaf_at = 0; leaf_at < walk.leaves.size(); ++leaf_at) {
        const Leaf& leaf = walk.leaves[leaf_at];
        if (leaf.type == "text/plain") plain = true;
        if (leaf.type.rfind("text/", 0) == 0 && leaf.encoding == "base64") fire("MIME_BASE64_TEXT");
        if (leaf.eight_bit && leaf.charset.empty()) fire("MIME_NO_CHARSET");
        const std::string ext = common::AsciiLowered(leaf.filename);
        for (std::string_view p : kPrograms)
            if (EndsWith(ext, p)) fire("MIME_EXECUTABLE");
        if (leaf.type == "text/html") {
            html = true;
            const HtmlView& view = parts_->Html(leaf_at);
            const std::string& seen = view.text;
            for (const std::string& s : view.signals) {
                if (s == "hidden") fire("HTML_HIDDEN_TEXT");
                if (s == "tiny") fire("HTML_TINY_TEXT");
                if (s == "form") fire("HTML_FORM");
            }
            const std::string lower = common::AsciiLowered(leaf.text);
            for (size_t at = 0; (at = lower.find("<img", at)) != std::string::npos; at += 4) ++images;
            // "fr<!-- x -->ee": a comment with letters right before and after it.
            for (size_t at = 0; (at = lower.find("<!--", at)) != std::string::npos; at += 4) {
                const size_t end = lower.find("-->", at);
                if (end == std::string::npos) break;
                if (at > 0 && IsAlpha(lower[at - 1]) && end + 3 < lower.size() && IsAlpha(lower[end + 3])) {
                    fire("HTML_COMMENTS_IN_WORDS");
                    break;
                }
            }
            count_case(seen);
            size_t letters = 0;
            for (char c : seen) letters += IsAlnum(c) ? 1 : 0;
            text_bytes += letters;
            urls.insert(urls.end(), view.links.begin(), view.links.end());
            for (const Anchor& a : Anchors(leaf.text, lower)) {
                const std::string href_host = tokens::UrlHost(a.href);
                // Visible text that is itself a host or URL ("www.bank.example", "https://...").
                const std::string_view shown = Trimmed(a.text);
                if (href_host.empty() || shown.find(' ') != std::string_view::npos) continue;
                std::string shown_host = tokens::UrlHost(shown);
                if (shown_host.empty() || shown_host.find('.') == std::string::npos || !IsAlpha(shown_host.back()))
                    continue;
                if (Tail2(shown_host) != Tail2(href_host)) fire("URI_TEXT_MISMATCH");
            }
        } else if (leaf.type.rfind("text/", 0) == 0) {
            for (char c : leaf.text) text_bytes += IsAlnum(c) ? 1 : 0;
            count_case(leaf.text);
            for (std::string& u : TextUrls(leaf.text)) urls.push_back(std::move(u));
        }
    }
    if (html && !plain) fire("MIME_HTML_ONLY");
    if (html && images > 0 && text_bytes < 200) fire("HTML_IMAGE_ONLY");
    if (text_bytes == 0 && images == 0) fire("BODY_EMPTY");
    if (capitals + small >= 200 && capitals > small) fire("BODY_CAPS");
    for (const std::string& u : urls) {
        const std::string host = tokens::UrlHost(u);
        if (host.empty()) continue;
        if (IsNumericHost(host)) fire("URI_IP_HOST");
        for (std::string_view s : kShorteners)
            if (host == s || EndsWith(host, "." + std::string(s))) fire("URI_SHORTENER");
        const int port = UrlPort(u);
        if (port != 0 && port != 80 && port != 443) fire("URI_ODD_PORT");
        // The authority: what comes between "//" and the path. A user part there shows the
        // reader one host ("http://www.bank.example@host/") and takes the browser to another.
        const size_t slashes = u.find("//");
        if (slashes != std::string::npos) {
            const size_t start = slashes + 2;
            const std::string_view authority = std::string_view(u).substr(start, u.find_first_of("/?#", start) - start);
            if (authority.find('@') != std::string_view::npos) fire("URI_OBFUSCATED");
        }
    }
    return hit;
}

}  // namespace checks
