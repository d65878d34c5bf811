#include "core/SmtpText.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "common/Regex.h"
#include "common/String.h"

namespace core::smtp {

namespace {

constexpr int kCaseless = common::kRegexCaseless;
constexpr const char* kAddress = "(.+?\\@(?:\\w[\\w\\.\\-]*\\.\\w+|\\[[\\d\\.]*\\.\\d+\\]))|\\s*>?";

// The command and reply patterns, compiled once: every line a session relays is read by
// several of them, and a handle spares each look-up the shared cache's key and lock.
const common::RegexHandle kHelo =
    common::RegexHandle::Compile("^ *(helo|ehlo) .*?([^<>,;\\\"\\'\\(\\)\\s]+)", kCaseless);
const common::RegexHandle kMailFrom =
    common::RegexHandle::Compile(std::string("mail from:\\s*<?") + kAddress, kCaseless);
const common::RegexHandle kNullSender = common::RegexHandle::Compile("mail from:\\s*<>", kCaseless);
const common::RegexHandle kRcptTo = common::RegexHandle::Compile("rcpt to: *(.*)", kCaseless);
const common::RegexHandle kSourceRoute = common::RegexHandle::Compile("[\\!\\%\\@]\\S*\\@", 0);
const common::RegexHandle kBangPath = common::RegexHandle::Compile("([a-z\\-_\\.]+)!([a-z\\-_\\.]+)$", kCaseless);
const common::RegexHandle kRcptAddress =
    common::RegexHandle::Compile(std::string("rcpt to:\\s*<?") + kAddress, kCaseless);
const common::RegexHandle kNoop = common::RegexHandle::Compile("^ *NOOP", kCaseless);
const common::RegexHandle kRset = common::RegexHandle::Compile("^ *RSET", kCaseless);
const common::RegexHandle kBdat = common::RegexHandle::Compile("^[ \\t]*BDAT", kCaseless);
const common::RegexHandle kBdatArgs =
    common::RegexHandle::Compile("^[ \\t]*BDAT[ \\t]+(\\d{1,15})(?:[ \\t]+(LAST))?[ \\t]*$", kCaseless);
const common::RegexHandle kData = common::RegexHandle::Compile("^ *DATA", kCaseless);
const common::RegexHandle kStartTls = common::RegexHandle::Compile("^[ \\t]*STARTTLS", kCaseless);
const common::RegexHandle kCountedError = common::RegexHandle::Compile("^50[0-9]", 0);
const common::RegexHandle kAuthenticated = common::RegexHandle::Compile("^235", 0);

std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void RemoveAll(std::string& text, const std::string& what) {
    if (what.empty()) return;
    for (size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
}

}  // namespace

Command RecognizeCommand(std::string_view raw, bool relay) {
    // The patterns read the line without its line end, so "$" is the end of the command.
    const std::string_view line = WithoutLineEnd(raw);
    Command c;
    common::RegexMatch m = kHelo.Search(line);
    if (m.matched()) {
        c.kind = CommandKind::Helo;
        c.word = m.text[1];
        c.arg = m.text[2];
        return c;
    }
    m = kMailFrom.Search(line);
    if (m.matched() && m.offset[1] >= 0) {
        c.kind = CommandKind::MailFrom;
        c.arg = m.text[1];
        return c;
    }
    if (kNullSender.Test(line)) {
        c.kind = CommandKind::MailFrom;  // the null sender
        return c;
    }
    m = kRcptTo.Search(line);
    if (m.matched()) {
        if (!relay && kSourceRoute.Test(line)) {
            c.kind = CommandKind::RcptToError;  // a source route from a client that may not relay
            c.arg = std::string(line);
            return c;
        }
        common::RegexMatch bang = kBangPath.Search(line);
        if (bang.matched()) {
            c.kind = CommandKind::RcptTo;
            c.arg = bang.text[2] + "@" + bang.text[1];
            return c;
        }
        common::RegexMatch addr = kRcptAddress.Search(line);
        if (addr.matched() && addr.offset[1] >= 0) {
            c.kind = CommandKind::RcptTo;
            c.arg = addr.text[1];
            return c;
        }
        if (!relay) {
            c.kind = CommandKind::RcptToError;
            c.arg = std::string(line);
        }
        return c;
    }
    if (kNoop.Test(line))
        c.kind = CommandKind::Noop;
    else if (kRset.Test(line))
        c.kind = CommandKind::Rset;
    return c;
}

std::optional<DataCommand> RecognizeData(std::string_view line) {
    line = WithoutLineEnd(line);
    if (kBdat.Test(line)) {
        DataCommand d;
        d.bdat = true;
        common::RegexMatch m = kBdatArgs.Search(line);
        if (!m.matched()) {
            d.valid = false;
            return d;
        }
        d.last = m.offset[2] >= 0;
        d.size = std::strtoll(m.text[1].c_str(), nullptr, 10);
        return d;
    }
    if (kData.Test(line)) return DataCommand{};
    return std::nullopt;
}

bool IsStartTls(std::string_view line) {
    return kStartTls.Test(WithoutLineEnd(line));
}

bool IsAmbiguousLine(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) return true;
    size_t cr = line.find('\r');
    if (cr == std::string_view::npos) return false;
    return !(cr + 2 == line.size() && line[cr + 1] == '\n');
}

void DataNormalizer::LineEnd(std::string* out, bool crlf) {
    if (out) out->append("\r\n");
    state_ = State::LineStart;
    after_crlf_ = crlf;
}

size_t DataNormalizer::Feed(std::string_view in, std::string* out) {
    if (out) out->reserve(out->size() + in.size() + 16);
    size_t i = 0;
    while (i < in.size()) {
        const char c = in[i];
        switch (state_) {
            case State::InLine: {
                // Most bytes are inside lines: copy up to the next CR or LF at once.
                size_t j = i;
                while (j < in.size() && in[j] != '\r' && in[j] != '\n') ++j;
                if (out) out->append(in.data() + i, j - i);
                i = j;
                if (i == in.size()) break;
                if (in[i] == '\n')
                    LineEnd(out, false);
                else
                    state_ = State::Cr;
                ++i;
                break;
            }
            case State::Cr:
                if (c == '\n') {
                    LineEnd(out, true);
                    ++i;
                } else {
                    LineEnd(out, false);  // a bare CR; `c` starts the next line
                }
                break;
            case State::LineStart:
                if (c != '.') {
                    state_ = State::InLine;
                } else if (kind_ == Kind::Bdat) {
                    if (out) out->append("..");
                    state_ = State::InLine;
                    ++i;
                } else {
                    state_ = State::Dot;
                    ++i;
                }
                break;
            case State::Dot:
                if (c == '\r') {
                    state_ = State::DotCr;
                    ++i;
                } else if (c == '\n') {
                    if (out) out->append("..");  // "." with a bare LF: data, kept so for every MTA
                    LineEnd(out, false);
                    ++i;
                } else {
                    if (out) out->push_back('.');
                    state_ = State::InLine;
                }
                break;
            case State::DotCr:
                if (c == '\n' && after_crlf_) {
                    if (out) out->append(".\r\n");
                    state_ = State::LineStart;
                    return i + 1;
                }
                if (out) out->append("..");
                if (c == '\n') {
                    LineEnd(out, true);
                    ++i;
                } else {
                    LineEnd(out, false);
                }
                break;
        }
    }
    return std::string_view::npos;
}

void DataNormalizer::Finish(std::string* out) {
    switch (state_) {
        case State::InLine:
        case State::Cr: out->append("\r\n"); break;
        case State::Dot:
        case State::DotCr:  // not reached in BDAT: its dots are written at once
            out->append("..\r\n");
            break;
        case State::LineStart: break;
    }
    out->append(".\r\n");
    Reset(kind_);
}

bool IsFinalLine(std::string_view line) {
    return line.size() < 4 || line[3] != '-';
}

namespace {

// The extension named on an EHLO reply line ("250-STARTTLS\r\n" -> "STARTTLS"), upper-cased.
std::string ExtensionName(std::string_view line) {
    if (line.size() < 5) return std::string();
    line.remove_prefix(4);
    size_t end = line.find_first_of(" \t\r\n");
    return Upper(std::string(line.substr(0, end)));
}

}  // namespace

size_t CompleteReplies(std::string_view text) {
    size_t done = 0, start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string_view::npos; start = nl + 1) {
        if (IsFinalLine(text.substr(start, nl + 1 - start))) done = nl + 1;
    }
    return done;
}

std::string RemoveExtensions(std::string replies, std::string* removed) {
    std::string out;
    out.reserve(replies.size());
    std::vector<std::string_view> reply;
    auto flush = [&] {
        bool ehlo = reply.size() > 1;
        for (std::string_view l : reply) ehlo = ehlo && l.substr(0, 3) == "250";
        size_t last_kept = 0;  // where the last kept line starts in `out`
        bool final_removed = false;
        for (size_t i = 0; i < reply.size(); ++i) {
            if (ehlo && i > 0) {
                const std::string name = ExtensionName(reply[i]);
                if (name == "STARTTLS" || name == "CHUNKING" || name == "BINARYMIME") {
                    if (removed) *removed += (removed->empty() ? "" : " ") + name;
                    final_removed = i + 1 == reply.size();
                    continue;
                }
            }
            last_kept = out.size();
            out.append(reply[i]);
        }
        // The reply must still end with a final line: the kept line before it was a "250-" one.
        if (final_removed) out[last_kept + 3] = ' ';
        reply.clear();
    };
    size_t start = 0;
    while (start < replies.size()) {
        size_t nl = replies.find('\n', start);
        size_t end = nl == std::string::npos ? replies.size() : nl + 1;
        std::string_view line(replies.data() + start, end - start);
        reply.push_back(line);
        if (IsFinalLine(line) || nl == std::string::npos) flush();
        start = end;
    }
    flush();
    return out;
}

std::string AddExtension(std::string replies, std::string_view name) {
    const size_t nl = replies.find('\n');
    if (replies.compare(0, 3, "250") != 0 || nl == std::string::npos) return replies;
    if (replies[3] == '-') {
        replies.insert(nl + 1, "250-" + std::string(name) + "\r\n");
    } else {
        replies.insert(nl + 1, "250 " + std::string(name) + "\r\n");
        if (replies[3] == ' ')
            replies[3] = '-';
        else
            replies.insert(3, "-");  // "250\r\n"
    }
    return replies;
}

std::string EditReply(std::string reply, std::string* insert, std::string* drop) {
    const bool multiline = reply.find("250-") != std::string::npos;
    if (insert && !insert->empty() && multiline) {
        size_t eol = reply.find('\n');
        reply.insert(eol == std::string::npos ? reply.size() : eol + 1, *insert);
        insert->clear();
    }
    if (drop && !drop->empty() && multiline) {
        size_t start = 0;
        while (start < drop->size()) {
            size_t end = drop->find('\n', start);
            if (end == std::string::npos) end = drop->size();
            if (end == start) break;  // the first empty entry ends the list
            RemoveAll(reply, Upper(drop->substr(start, end - start) + "\n"));
            start = end + 1;
        }
        drop->clear();
    }
    return reply;
}

bool IsCountedError(std::string_view line) {
    return kCountedError.Test(line);
}
bool IsAuthenticated(std::string_view line) {
    return kAuthenticated.Test(line);
}

namespace {

// Where the header of a held message ends: the offset of the CR LF of its blank line (0 when the
// message starts with it), or npos when the blank line is not in the held bytes.
size_t HeaderEnd(std::string_view message) {
    if (message.substr(0, 2) == "\r\n") return 0;
    size_t blank = message.find("\r\n\r\n");
    return blank == std::string_view::npos ? blank : blank + 2;
}

}  // namespace

std::string ModifyHeaderSubject(std::string message, std::string_view tag, bool whole_header) {
    const size_t end = HeaderEnd(message);
    const size_t limit = end == std::string::npos ? message.size() : end;
    for (size_t line = 0; line < limit;) {
        if (limit - line >= 8 && strncasecmp(message.data() + line, "subject:", 8) == 0) {
            // The tag goes in front of the old subject text, on the same header line.
            const size_t value = line + 8;
            size_t text = value;
            while (text < message.size() && (message[text] == ' ' || message[text] == '\t')) ++text;
            const bool empty = text >= message.size() || message[text] == '\r' || message[text] == '\n';
            message.replace(value, text - value, " " + std::string(tag) + (empty ? "" : " "));
            return message;
        }
        size_t nl = message.find('\n', line);
        if (nl == std::string::npos) break;
        line = nl + 1;
    }
    if (end == std::string::npos && !whole_header) return message;  // it may be in the part not held
    return "Subject: " + std::string(tag) + "\r\n" + message;
}

std::string WriteHeaderMessage(std::string message, std::string_view line) {
    const size_t end = HeaderEnd(message);
    if (end == std::string::npos || end == 0) return std::string(line) + "\r\n" + message;
    message.insert(end - 2, "\r\n" + std::string(line));
    return message;
}

std::string_view AuthservId(std::string_view value) {
    size_t i = 0;
    for (;;) {
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == '\r' || value[i] == '\n')) ++i;
        if (i >= value.size() || value[i] != '(') break;
        int depth = 0;
        for (; i < value.size(); ++i) {
            if (value[i] == '\\') {
                ++i;
                continue;
            }
            if (value[i] == '(') ++depth;
            if (value[i] == ')' && --depth == 0) {
                ++i;
                break;
            }
        }
    }
    const size_t start = i;
    while (i < value.size() && value[i] != ';' && value[i] != ' ' && value[i] != '\t' && value[i] != '\r' &&
           value[i] != '(')
        ++i;
    return value.substr(start, i - start);
}

std::string WithAuthenticationResults(std::string message, std::string_view authserv_id, std::string_view value) {
    static constexpr std::string_view kName = "authentication-results";
    const size_t end = HeaderEnd(message);
    const size_t limit = end == std::string::npos ? message.size() : end;
    std::string out = "Authentication-Results: " + std::string(value) + "\r\n";
    out.reserve(out.size() + message.size());
    size_t at = 0;
    while (at < limit) {
        // One field: its first line and every continuation line.
        size_t next = message.find("\r\n", at);
        while (next != std::string::npos && next + 2 < limit && (message[next + 2] == ' ' || message[next + 2] == '\t'))
            next = message.find("\r\n", next + 2);
        next = next == std::string::npos ? message.size() : std::min(next + 2, message.size());
        const std::string_view field = std::string_view(message).substr(at, next - at);
        const size_t colon = field.find(':');
        bool forged = false;
        if (colon != std::string_view::npos) {
            std::string_view name = field.substr(0, colon);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
            forged = common::AsciiEqualNoCase(name, kName) &&
                     common::AsciiEqualNoCase(AuthservId(field.substr(colon + 1)), authserv_id);
        }
        if (!forged) out.append(field);
        at = next;
    }
    out.append(message, std::min(limit, message.size()), std::string::npos);
    return out;
}

std::string WithoutLineBreaks(std::string_view line) {
    std::string out(line);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    out.erase(std::remove(out.begin(), out.end(), '\n'), out.end());
    return out;
}

std::string UnstuffedMessage(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    size_t at = 0;
    while (at < data.size()) {
        size_t end = data.find("\r\n", at);
        const size_t next = end == std::string_view::npos ? data.size() : end + 2;
        std::string_view line = data.substr(at, next - at);
        if (line == ".\r\n" || (line == "." && next == data.size())) break;  // the end of the data
        if (!line.empty() && line.front() == '.') line.remove_prefix(1);
        out.append(line);
        at = next;
    }
    return out;
}

}  // namespace core::smtp
