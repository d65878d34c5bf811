#include "store/History.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>

#include "common/TextSearch.h"
#include "platform/KFile.h"

namespace store {

namespace {

constexpr size_t kFieldCount = 18;

void Escape(std::string& out, std::string_view field) {
    field = field.substr(0, CHistory::kMaxField);
    for (char c : field) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
}

bool Unescape(std::string_view in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            *out += in[i];
            continue;
        }
        if (++i == in.size()) return false;
        switch (in[i]) {
            case '\\': *out += '\\'; break;
            case 't': *out += '\t'; break;
            case 'r': *out += '\r'; break;
            case 'n': *out += '\n'; break;
            default: return false;
        }
    }
    return out->size() <= CHistory::kMaxField;
}

template <typename T>
bool Number(std::string_view text, T* out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

CHistory::CHistory(std::string path, size_t max_records) : path_(std::move(path)), max_records_(max_records) {}

CHistory::~CHistory() {
    Stop();
}

std::string CHistory::FormatLine(const HistoryRecord& r) {
    std::string out;
    out.reserve(256);
    const auto number = [&out](int64_t v) { out += std::to_string(v) + '\t'; };
    const auto text = [&out](std::string_view v) {
        Escape(out, v);
        out += '\t';
    };
    number(r.id);
    number(r.time);
    number(r.duration_ms);
    number(r.conn_id);
    text(r.client_ip);
    text(r.client_name);
    text(r.helo);
    text(r.sender);
    text(r.recipients);
    number(r.size);
    number(r.messages);
    text(r.action);
    text(r.step);
    text(r.reply);
    text(r.reasons);
    text(r.message_id);
    text(r.tls);
    Escape(out, r.note);
    return out;
}

std::optional<HistoryRecord> CHistory::ParseLine(std::string_view line) {
    std::string_view fields[kFieldCount];
    size_t n = 0, start = 0;
    bool whole = false;  // the last field ran to the line's end
    while (n < kFieldCount) {
        const size_t tab = line.find('\t', start);
        fields[n++] = line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (tab == std::string_view::npos) {
            whole = true;
            break;
        }
        start = tab + 1;
    }
    if (n != kFieldCount || !whole) return std::nullopt;
    HistoryRecord r;
    std::string* texts[] = {&r.client_ip, &r.client_name, &r.helo, &r.sender, &r.recipients};
    std::string* more[] = {&r.action, &r.step, &r.reply, &r.reasons, &r.message_id, &r.tls, &r.note};
    if (!Number(fields[0], &r.id) || !Number(fields[1], &r.time) || !Number(fields[2], &r.duration_ms) ||
        !Number(fields[3], &r.conn_id) || !Number(fields[9], &r.size) || !Number(fields[10], &r.messages) || r.id <= 0)
        return std::nullopt;
    for (size_t i = 0; i < 5; ++i)
        if (!Unescape(fields[4 + i], texts[i])) return std::nullopt;
    for (size_t i = 0; i < 7; ++i)
        if (!Unescape(fields[11 + i], more[i])) return std::nullopt;
    return r;
}

bool CHistory::Load() {
    if (path_.empty()) return true;
    std::string text;
    if (!platform::ReadWholeFile(path_, text)) return platform::FileSize(path_) < 0;  // none yet: empty
    std::deque<Packed> loaded;
    size_t lines = 0;
    common::MutexLock lock(mu_);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) break;  // a torn last line: never complete
        ++lines;
        auto r = ParseLine(std::string_view(text).substr(start, nl - start));
        // Ids only grow along the file; an older id is a copy written around a rewrite.
        if (r && (loaded.empty() || r->id > loaded.back().id)) {
            next_id_ = std::max(next_id_, r->id + 1);
            loaded.push_back(Pack(*r));
            if (loaded.size() > max_records_) loaded.pop_front();
        }
        start = nl + 1;
    }
    records_ = std::move(loaded);
    file_records_ = lines;
    return true;
}

void CHistory::Start() {
    if (writer_.joinable()) return;
    {
        common::MutexLock lock(mu_);
        stop_ = false;
    }
    writer_ = std::thread([this] { WriterLoop(); });
}

void CHistory::Stop() {
    {
        common::MutexLock lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (writer_.joinable()) writer_.join();
    (void)Flush();  // what came after the writer's last pass
}

void CHistory::SetMaxRecords(size_t max_records) {
    common::MutexLock lock(mu_);
    max_records_ = std::max<size_t>(max_records, 1);
    while (records_.size() > max_records_) records_.pop_front();
}

// The text fields in their packed order.
#define MORVANE_HISTORY_TEXTS(X) \
    X(client_ip)                 \
    X(client_name) X(helo) X(sender) X(recipients) X(action) X(step) X(reply) X(reasons) X(message_id) X(tls) X(note)
namespace {
enum TextField : size_t {
#define MORVANE_HISTORY_ENUM(name) k_##name,
    MORVANE_HISTORY_TEXTS(MORVANE_HISTORY_ENUM)
#undef MORVANE_HISTORY_ENUM
};
}  // namespace

CHistory::Packed CHistory::Pack(const HistoryRecord& r) {
    Packed p;
    p.id = r.id;
    p.time = r.time;
    p.size = r.size;
    p.duration_ms = r.duration_ms;
    p.conn_id = r.conn_id;
    p.messages = r.messages;
    size_t i = 0, bytes = 0;
#define MORVANE_HISTORY_LEN(name) bytes += std::min(r.name.size(), kMaxField);
    MORVANE_HISTORY_TEXTS(MORVANE_HISTORY_LEN)
#undef MORVANE_HISTORY_LEN
    p.text.reserve(bytes);
#define MORVANE_HISTORY_PACK(name)                                \
    p.text.append(r.name, 0, std::min(r.name.size(), kMaxField)); \
    p.ends[i++] = static_cast<uint16_t>(p.text.size());
    MORVANE_HISTORY_TEXTS(MORVANE_HISTORY_PACK)
#undef MORVANE_HISTORY_PACK
    static_assert(kTextFields * kMaxField <= UINT16_MAX, "field ends fit their type");
    return p;
}

HistoryRecord CHistory::Unpack(const Packed& p) {
    HistoryRecord r;
    r.id = p.id;
    r.time = p.time;
    r.size = p.size;
    r.duration_ms = p.duration_ms;
    r.conn_id = p.conn_id;
    r.messages = p.messages;
#define MORVANE_HISTORY_UNPACK(name) r.name = std::string(p.Field(k_##name));
    MORVANE_HISTORY_TEXTS(MORVANE_HISTORY_UNPACK)
#undef MORVANE_HISTORY_UNPACK
    return r;
}

bool CHistory::Matches(const Packed& p, const Filter& f) {
    using common::ContainsNoCase;
    if (f.from && p.time < f.from) return false;
    if (f.to && p.time > f.to) return false;
    if (!f.action.empty() && p.Field(k_action) != f.action) return false;
    if (!f.address.empty() && !ContainsNoCase(p.Field(k_client_ip), f.address) &&
        !ContainsNoCase(p.Field(k_client_name), f.address))
        return false;
    if (!ContainsNoCase(p.Field(k_sender), f.sender) || !ContainsNoCase(p.Field(k_recipients), f.recipient))
        return false;
    if (!f.reason.empty() && !ContainsNoCase(p.Field(k_reasons), f.reason) &&
        !ContainsNoCase(p.Field(k_reply), f.reason) && !ContainsNoCase(p.Field(k_note), f.reason))
        return false;
    return true;
}

size_t CHistory::MaxRecords() const {
    common::MutexLock lock(mu_);
    return max_records_;
}

void CHistory::Add(HistoryRecord r) {
    common::MutexLock lock(mu_);
    r.id = next_id_++;
    records_.push_back(Pack(r));
    if (records_.size() > max_records_) records_.pop_front();
    if (!path_.empty()) queued_.push_back(std::move(r));
}

void CHistory::WriterLoop() {
    for (;;) {
        {
            common::MutexLock lock(mu_);
            if (!stop_) cv_.wait_for(mu_, std::chrono::milliseconds(kWriteIntervalMs));
            if (stop_) return;
        }
        (void)Flush();  // a failure is retried with the next pass's records
    }
}

bool CHistory::Flush() {
    common::MutexLock write(write_mu_);
    std::vector<HistoryRecord> batch;
    bool rewrite;
    {
        common::MutexLock lock(mu_);
        batch.swap(queued_);
        file_records_ += batch.size();
        rewrite = file_records_ > 2 * max_records_;
    }
    if (batch.empty()) return true;
    if (rewrite) return Rewrite();
    if (AppendLines(batch)) return true;
    common::MutexLock lock(mu_);  // kept for the next pass
    queued_.insert(queued_.begin(), batch.begin(), batch.end());
    file_records_ -= batch.size();
    return false;
}

bool CHistory::AppendLines(const std::vector<HistoryRecord>& records) {
    std::string text;
    for (const HistoryRecord& r : records) text += FormatLine(r) + '\n';
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, platform::kDataFileMode);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == text.size();
}

bool CHistory::Rewrite() {
    std::string text;
    size_t count;
    {
        // Every record still queued is among the kept ones (or too old to keep).
        common::MutexLock lock(mu_);
        for (const Packed& p : records_) text += FormatLine(Unpack(p)) + '\n';
        count = records_.size();
        queued_.clear();
    }
    if (!platform::WriteFileAtomic(path_, text)) return false;
    common::MutexLock lock(mu_);
    file_records_ = count;
    return true;
}

std::vector<HistoryRecord> CHistory::Query(const Filter& filter, size_t start, size_t count, size_t* total) const {
    std::vector<HistoryRecord> out;
    size_t matched = 0;
    common::MutexLock lock(mu_);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (!Matches(*it, filter)) continue;
        if (matched >= start && out.size() < count) out.push_back(Unpack(*it));
        ++matched;
    }
    if (total) *total = matched;
    return out;
}

std::optional<HistoryRecord> CHistory::Get(int64_t id) const {
    common::MutexLock lock(mu_);
    // Ids increase along the deque: a binary search finds one among 100,000 at once.
    auto it =
        std::lower_bound(records_.begin(), records_.end(), id, [](const Packed& p, int64_t v) { return p.id < v; });
    if (it == records_.end() || it->id != id) return std::nullopt;
    return Unpack(*it);
}

size_t CHistory::Count() const {
    common::MutexLock lock(mu_);
    return records_.size();
}

}  // namespace store
