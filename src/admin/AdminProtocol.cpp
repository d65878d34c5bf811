#include "admin/AdminProtocol.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "common/Clock.h"
#include "common/Md5.h"
#include "common/String.h"
#include "platform/SocketComm.h"
#include "script/Bind.h"
#include "script/Interpreter.h"

namespace admin {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The mask byte for position i: the key's bytes, then its terminating zero, again and again.
unsigned char Mask(std::string_view key, size_t i) {
    size_t at = i % (key.size() + 1);
    return at < key.size() ? static_cast<unsigned char>(key[at]) : 0;
}

std::string Numbered(const char* stem, int32_t n) {
    return std::string(stem) + std::to_string(n);
}

}  // namespace

std::string EncodeCell(std::string_view value, std::string_view key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size() * 2);
    for (size_t i = 0; i < value.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(value[i]) ^ Mask(key, i);
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string DecodeCell(std::string_view hex, std::string_view key) {
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        unsigned char b = hi < 0 || lo < 0 ? 0 : static_cast<unsigned char>(hi << 4 | lo);
        out += static_cast<char>(b ^ Mask(key, i / 2));
    }
    return out;
}

std::string_view TagValue(std::string_view text, std::string_view tag) {
    const std::string open = "<" + std::string(tag) + ">", close = "</" + std::string(tag) + ">";
    size_t o = text.find(open);
    if (o == std::string_view::npos) return {};
    size_t c = text.find(close, o + open.size());
    if (c == std::string_view::npos) return {};
    return text.substr(o + open.size(), c - o - open.size());
}

int32_t LeadingInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        n = std::min<int64_t>(n * 10 + (text[i] - '0'), INT32_MAX);
    return static_cast<int32_t>(negative ? -n : n);
}

bool DigestMatches(std::string_view received, std::string_view expected) {
    if (received.size() != expected.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < received.size(); ++i)
        diff |= static_cast<unsigned char>(common::AsciiLower(received[i]) ^ expected[i]);
    return diff == 0;
}

// ---------------------------------------------------------------------------------------------
// Request

bool CServerMorvaneRequest::Parse(std::string_view request, std::string_view key) {
    Reset();
    std::string_view cmd = TagValue(request, "cmd");
    if (cmd.empty() || cmd[0] < '0' || cmd[0] > '9') return false;
    cmd_ = LeadingInt(cmd);
    declared_cols_ = LeadingInt(TagValue(request, "c"));
    declared_rows_ = LeadingInt(TagValue(request, "r"));
    e_ = std::string(TagValue(request, "e"));
    digest_ = common::AsciiLowered(TagValue(request, "kmd5"));
    for (int32_t n = 1; n <= declared_rows_; ++n) {
        const std::string tag = Numbered("r", n);
        if (request.find("<" + tag + ">") == std::string_view::npos) break;
        std::string_view row = TagValue(request, tag);
        script::CS_Array cells;
        for (int32_t m = 1; m <= declared_cols_; ++m) {
            const std::string ctag = Numbered("c", m);
            if (row.find("<" + ctag + ">") == std::string_view::npos) break;
            std::string_view encoded = TagValue(row, ctag);
            std::string decoded = DecodeCell(encoded, key);
            if (encoded.size() > 1)
                cells.AddValueB(ctag.c_str(), decoded.data(), static_cast<int32_t>(decoded.size()));
            else
                cells.AddValueS(ctag.c_str(), decoded.c_str());
        }
        rows_.push_back(std::move(cells));
    }
    return true;
}

void CServerMorvaneRequest::Reset() {
    cmd_ = declared_cols_ = declared_rows_ = 0;
    e_.clear();
    digest_.clear();
    rows_.clear();
    cursor_ = 0;
}

script::CS_Array* CServerMorvaneRequest::GetRow() {
    return cursor_ < rows_.size() ? &rows_[cursor_++] : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Response

void CServerMorvaneRespose::Reset() {
    row_ = 0;
    max_col_ = -1;
    cells_.clear();
    reason_.clear();
}

void CServerMorvaneRespose::Store(int32_t column, std::string_view bytes) {
    const std::string tag = Numbered("c", column);
    cells_[{row_, column}] = "<" + tag + ">" + EncodeCell(bytes, key_) + "</" + tag + ">";
    max_col_ = std::max(max_col_, column);
}

void CServerMorvaneRespose::SetFieldAt(int32_t column, const char* text) {
    if (column >= 1 && text) Store(column, text);
}

void CServerMorvaneRespose::SetFieldBinaryAt(int32_t column, const common::String* data, int32_t length) {
    if (column < 1 || !data || length < 1 || length > kMaxBinaryCell) return;
    std::string_view bytes = data->Bytes();
    Store(column, bytes.substr(0, std::min(bytes.size(), static_cast<size_t>(length))));
}

std::string CServerMorvaneRespose::Build(int32_t cmd, int32_t error) const {
    // The reason rides in a header tag of its own, encoded like a cell: peers that do not know
    // it find their tags by text search and never see it.
    const std::string reason = reason_.empty() ? std::string() : "<m>" + EncodeCell(reason_, key_) + "</m>";
    if (error == 300 || error == 401 || error == 501)
        return "<morvane><h><r>0</r><c>0</c><e>" + std::to_string(error) + "</e>" + reason + "</h></morvane>\r\n";
    std::string body;
    int32_t last_cols = 0;
    for (int32_t r = 1; r <= row_; ++r) {
        const std::string tag = Numbered("r", r);
        body += "<" + tag + ">";
        int32_t cols = 0;
        for (int32_t c = 1;; ++c) {
            auto it = cells_.find({r, c});
            if (it == cells_.end()) break;
            body += it->second;
            cols = c;
        }
        body += "</" + tag + ">";
        last_cols = cols;
    }
    char head[160];
    std::snprintf(head, sizeof head, "<morvane><h><cmd>%04d</cmd><c>%d</c><r>%d</r><e>%04d</e>", cmd, last_cols, row_,
                  error);
    return head + reason + "</h><b>" + body + "</b></morvane>";
}

int32_t CServerMorvaneRespose::Send(int32_t cmd, int32_t error) {
    std::string text = Build(cmd, error);
    Reset();
    if (!socket_ || key_.empty()) return 0;
    // Keep writing while the peer takes bytes; give up 1000 ms after the last progress.
    return socket_->Send(text, 1000) == static_cast<int>(text.size()) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Client side

AdminAnswer ParseAnswer(std::string_view response, std::string_view key) {
    AdminAnswer a;
    std::string_view head = TagValue(response, "h");
    a.cmd = LeadingInt(TagValue(head, "cmd"));
    a.declared_cols = LeadingInt(TagValue(head, "c"));
    a.declared_rows = LeadingInt(TagValue(head, "r"));
    a.error = LeadingInt(TagValue(head, "e"));
    a.reason = DecodeCell(TagValue(head, "m"), key);
    std::string_view body = TagValue(response, "b");
    for (int32_t n = 1; n <= a.declared_rows; ++n) {
        const std::string tag = Numbered("r", n);
        if (body.find("<" + tag + ">") == std::string_view::npos) break;
        std::string_view row = TagValue(body, tag);
        std::vector<std::string> cells;
        for (int32_t m = 1;; ++m) {
            const std::string ctag = Numbered("c", m);
            if (row.find("<" + ctag + ">") == std::string_view::npos) break;
            cells.push_back(DecodeCell(TagValue(row, ctag), key));
        }
        a.rows.push_back(std::move(cells));
    }
    return a;
}

std::string BuildRequest(int32_t cmd, const std::vector<std::vector<std::string>>& rows, std::string_view key) {
    size_t cols = 0;
    for (const auto& r : rows) cols = std::max(cols, r.size());
    std::string out = "<morvane><cmd>" + std::to_string(cmd) + "</cmd><c>" + std::to_string(cols) + "</c><r>" +
                      std::to_string(rows.size()) + "</r><kmd5>" + common::Md5Hex(key) + "</kmd5>";
    for (size_t r = 0; r < rows.size(); ++r) {
        const std::string tag = Numbered("r", static_cast<int32_t>(r + 1));
        out += "<" + tag + ">";
        for (size_t c = 0; c < rows[r].size(); ++c) {
            const std::string ctag = Numbered("c", static_cast<int32_t>(c + 1));
            out += "<" + ctag + ">" + EncodeCell(rows[r][c], key) + "</" + ctag + ">";
        }
        out += "</" + tag + ">";
    }
    return out + "</morvane>";
}

void RegisterAdminClasses(script::Interpreter& in) {
    using Q = CServerMorvaneRequest;
    using R = CServerMorvaneRespose;
    auto q = std::make_unique<script::ExternClass<Q>>("CAdminRequest");
    q->Method("GetCmd", &Q::GetCmd)
        .Method("GetRecordCount", &Q::GetRecordCount)
        .Method("GetColCount", &Q::GetColCount)
        .Method("Reset", &Q::Reset)
        .Method("GetRow", &Q::GetRow);
    in.AddExternClass("CAdminRequest", std::move(q));
    auto r = std::make_unique<script::ExternClass<R>>("CAdminResponse");
    r->Method("GetRecordCount", &R::GetRecordCount)
        .Method("GetColCount", &R::GetColCount)
        .Method("Reset", &R::Reset)
        .Method("Addnew", &R::Addnew)
        .Method("SetFieldAt", &R::SetFieldAt)
        .Method("SetFieldBinaryAt", &R::SetFieldBinaryAt)
        .Method("Send", &R::Send)
        .Method("SetErrorText", &R::SetErrorText);
    in.AddExternClass("CAdminResponse", std::move(r));
}

}  // namespace admin
