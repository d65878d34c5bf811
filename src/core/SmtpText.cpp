#include "core/SmtpText.h"

#include <cctype>
#include <cstring>

#include "common/Regex.h"

namespace core::smtp {

namespace {

constexpr int kCaseless = common::kRegexCaseless;
constexpr const char* kAddress = "(.+?\\@(?:\\w[\\w\\.\\-]*\\.\\w+|\\[[\\d\\.]*\\.\\d+\\]))|\\s*>?";

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
    common::RegexMatch m = common::RegexSearch("^ *(helo|ehlo) .*?([^<>,;\\\"\\'\\(\\)\\s]+)", kCaseless, line);
    if (m.matched()) {
        c.kind = CommandKind::Helo;
        c.word = m.text[1];
        c.arg = m.text[2];
        return c;
    }
    m = common::RegexSearch(std::string("mail from:\\s*<?") + kAddress, kCaseless, line);
    if (m.matched() && m.offset[1] >= 0) {
        c.kind = CommandKind::MailFrom;
        c.arg = m.text[1];
        return c;
    }
    if (common::RegexTest("mail from:\\s*<>", kCaseless, line)) {
        c.kind = CommandKind::MailFrom;  // the null sender
        return c;
    }
    m = common::RegexSearch("rcpt to: *(.*)", kCaseless, line);
    if (m.matched()) {
        if (!relay && common::RegexTest("[\\!\\%\\@]\\S*\\@", 0, line)) {
            c.kind = CommandKind::RcptToError;  // a source route from a client that may not relay
            c.arg = std::string(line);
            return c;
        }
        common::RegexMatch bang = common::RegexSearch("([a-z\\-_\\.]+)!([a-z\\-_\\.]+)$", kCaseless, line);
        if (bang.matched()) {
            c.kind = CommandKind::RcptTo;
            c.arg = bang.text[2] + "@" + bang.text[1];
            return c;
        }
        common::RegexMatch addr = common::RegexSearch(std::string("rcpt to:\\s*<?") + kAddress, kCaseless, line);
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
    if (common::RegexTest("^ *NOOP", kCaseless, line)) c.kind = CommandKind::Noop;
    else if (common::RegexTest("^ *RSET", kCaseless, line)) c.kind = CommandKind::Rset;
    return c;
}

std::optional<DataCommand> RecognizeData(std::string_view line) {
    common::RegexMatch m = common::RegexSearch("^ *BDAT (\\d+)", kCaseless, line);
    if (m.matched()) {
        DataCommand d;
        d.bdat = true;
        d.size = std::strtoll(m.text[1].c_str(), nullptr, 10);
        return d;
    }
    if (common::RegexTest("^ *DATA", kCaseless, line)) return DataCommand{};
    return std::nullopt;
}

size_t DataEndScanner::Scan(std::string_view data) {
    size_t i = 0;
    while (i < data.size()) {
        const char c = data[i];
        switch (state_) {
            case State::InLine: {
                // Most bytes are inside lines: jump to the next line end.
                const void* nl = std::memchr(data.data() + i, '\n', data.size() - i);
                if (!nl) return std::string_view::npos;
                i = static_cast<size_t>(static_cast<const char*>(nl) - data.data());
                state_ = State::LineStart;
                break;
            }
            case State::LineStart:
                state_ = c == '.' ? State::Dot : (c == '\n' ? State::LineStart : State::InLine);
                break;
            case State::Dot:
            case State::DotCr:
                if (c == '\n') {
                    state_ = State::LineStart;
                    return i + 1;
                }
                state_ = c == '\r' ? State::DotCr : State::InLine;
                break;
        }
        ++i;
    }
    return std::string_view::npos;
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

bool IsCountedError(std::string_view line) { return common::RegexTest("^50[0-9]", 0, line); }
bool IsAuthenticated(std::string_view line) { return common::RegexTest("^235", 0, line); }

std::string ModifyHeaderSubject(std::string message, std::string_view tag) {
    const int opts = kCaseless | common::kRegexMultiline;
    if (!common::RegexTest("(\\S[^\\r\\n]*:[ \\t]*[^\\r\\n]*\\r?\\n[ \\t]+\\S[^\\r\\n]*\\r?\\n?)*Subject:", opts, message)) {
        return "Subject: " + std::string(tag) + "\r\n" + message;
    }
    const std::string filled = "Subject: " + std::string(tag) + "\r\n";
    size_t empty = message.find("Subject: \r\n");
    if (empty == std::string::npos) empty = message.find("subject: \r\n");
    if (empty != std::string::npos) {
        message.replace(empty, 11, filled);
        return message;
    }
    // The tag goes in front of the old subject text, on the same header line.
    common::RegexMatch m = common::RegexSearch("^Subject:(.+?)\\r\\n", opts, message);
    if (m.matched()) {
        size_t at = static_cast<size_t>(m.offset[1]);
        std::string_view old = m.text[1];
        size_t text = old.find_first_not_of(" \t");
        old.remove_prefix(text == std::string_view::npos ? old.size() : text);
        message.replace(at, m.text[1].size(), " " + std::string(tag) + " " + std::string(old));
    }
    return message;
}

std::string WriteHeaderMessage(std::string message, std::string_view line) {
    size_t blank = message.find("\r\n\r\n");
    if (blank != std::string::npos) {
        message.insert(blank, "\r\n" + std::string(line));
        return message;
    }
    return std::string(line) + "\r\n\r\n" + message;
}

}  // namespace core::smtp
