#include "core/SessionTrace.h"

#include <algorithm>

#include "common/String.h"

namespace core {

namespace {

void AppendBounded(std::string& to, std::string_view sep, std::string_view text) {
    if (to.size() >= SessionTrace::kMaxText) return;
    if (!to.empty()) to += sep;
    to.append(text.substr(0, SessionTrace::kMaxText - std::min(to.size(), SessionTrace::kMaxText)));
}

std::string FirstLine(std::string_view reply) {
    const size_t end = reply.find_first_of("\r\n");
    return std::string(reply.substr(0, std::min(end, SessionTrace::kMaxText)));
}

}  // namespace

void SessionTrace::Start(int64_t wall_seconds, int64_t steady_ms) {
    started_ = wall_seconds;
    started_ms_ = steady_ms;
}

void SessionTrace::Command(std::string_view phase) {
    phase_ = std::string(phase);
    if (phase == "mail") {
        recipients_.clear();
        tagged_ = greylisted_ = held_ = false;
        decided_ = false;
        size_ = 0;
    }
}

void SessionTrace::Recipient(std::string_view address) {
    AppendBounded(recipients_, " ", address);
}

void SessionTrace::Replies(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        const std::string_view line = text.substr(start, end - start);
        start = end;
        // Only a reply's last line ("250 ..." rather than "250-...") answers the command.
        if (decided_ || line.size() < 4 || line[3] != ' ' || line[0] < '2' || line[0] > '5') continue;
        const char kind = line[0];
        if (kind == '2') {
            if (phase_ != "end of data") continue;
            action_ = held_ ? "held" : tagged_ ? "tagged" : "delivered";
            ++messages_;
            last_size_ = size_;
            decided_ = true;
        } else if (kind == '4' || kind == '5') {
            // A syntax error or an unknown command decides nothing about the mail.
            if (line.substr(0, 2) == "50" && line[2] <= '4') continue;
            // One recipient refused among others is no verdict on the message: it stands only
            // while nothing else does.
            const bool one_recipient = phase_ == "rcpt" && kind == '5' && !greylisted_;
            if (one_recipient && !action_.empty()) continue;
            action_ = kind == '5' ? "refused" : greylisted_ ? "greylisted" : "tempfail";
            decided_ = !one_recipient;
        } else {
            continue;
        }
        step_ = phase_;
        reply_ = FirstLine(line);
    }
}

void SessionTrace::HeaderAdded(std::string_view line) {
    constexpr std::string_view kScore = "X-Morvane-Score:";
    if (line.size() < kScore.size() || !common::AsciiEqualNoCase(line.substr(0, kScore.size()), kScore)) return;
    reasons_ = std::string(common::TrimWhiteSpace(line.substr(kScore.size())).substr(0, kMaxText));
}

void SessionTrace::Note(std::string_view text) {
    AppendBounded(note_, "; ", text);
}

store::HistoryRecord SessionTrace::Record(int64_t steady_ms) const {
    store::HistoryRecord r;
    r.time = started_;
    r.duration_ms = static_cast<int32_t>(std::max<int64_t>(0, steady_ms - started_ms_));
    r.recipients = recipients_;
    r.size = last_size_ ? last_size_ : size_;
    r.messages = messages_;
    r.action = action_.empty() ? "no mail" : action_;
    r.step = step_;
    r.reply = reply_;
    r.reasons = reasons_;
    r.message_id = message_id_;
    r.note = note_;
    return r;
}

std::string SessionTrace::MessageId(std::string_view header) {
    size_t at = 0;
    while (at < header.size()) {
        size_t nl = header.find('\n', at);
        const size_t end = nl == std::string_view::npos ? header.size() : nl;
        std::string_view line = header.substr(at, end - at);
        if (line.empty() || line == "\r") break;  // the header's end
        constexpr std::string_view kField = "Message-Id:";
        if (line.size() > kField.size() && common::AsciiEqualNoCase(line.substr(0, kField.size()), kField))
            return std::string(common::TrimWhiteSpace(line.substr(kField.size())).substr(0, 256));
        if (nl == std::string_view::npos) break;
        at = nl + 1;
    }
    return std::string();
}

}  // namespace core
