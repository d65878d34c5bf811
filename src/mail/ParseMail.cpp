#include "mail/ParseMail.h"

#include <algorithm>

#include "common/Regex.h"
#include "common/String.h"
#include "platform/KFile.h"

namespace mail {

namespace {

constexpr int kCaseless = common::kRegexCaseless;
constexpr const char* kContentType = "Content-Type\\: (.+?);";
constexpr const char* kCharset = "charset\\=(.+)";
constexpr const char* kEncoding = "Content-Transfer-Encoding\\: (.+)";

// Group 1 of the first match of `pattern` in `text`, or false.
bool Group1(const char* pattern, std::string_view text, std::string* out) {
    common::RegexMatch m = common::RegexSearch(pattern, kCaseless, text);
    if (!m.matched()) return false;
    *out = m.text[1];
    return true;
}

void Remove(std::string& s, std::string_view bytes) {
    s.erase(std::remove_if(s.begin(), s.end(), [bytes](char c) { return bytes.find(c) != std::string_view::npos; }),
            s.end());
}

std::string CleanCharset(std::string v) {
    Remove(v, "\n\"\r");
    return common::AsciiLowered(common::String(v).Trim().str());
}

std::string CleanEncoding(std::string v) {
    Remove(v, "\n\r");
    return common::AsciiLowered(std::move(v));
}

// The header/body split: the text before the first LF that is followed by CRs and a second LF
// and then by at least one more byte. Found by a scan; the pattern that states it,
// "^(.+?)\n\r*\n(.+?)$" (multiline, dot-all), costs the same but allocates its groups.
bool SplitHeader(std::string_view raw, size_t* header_len) {
    for (size_t i = 1; i < raw.size(); ++i) {
        if (raw[i] != '\n') continue;
        size_t j = i + 1;
        while (j < raw.size() && raw[j] == '\r') ++j;
        if (j < raw.size() && raw[j] == '\n' && j + 1 < raw.size()) {
            *header_len = i;
            return true;
        }
    }
    return false;
}

// The type, charset and encoding of a part's text, and its body after the blank line.
MailPart ReadPart(std::string_view text) {
    MailPart p;
    std::string v;
    if (Group1(kContentType, text, &v)) p.content_type = common::AsciiLowered(v);
    if (Group1(kCharset, text, &v)) p.charset = CleanCharset(v);
    if (Group1(kEncoding, text, &v)) p.transfer_encoding = CleanEncoding(v);
    size_t at = text.find("\r\n\r\n");
    if (at == std::string_view::npos) at = text.find("\n\n");
    if (at != std::string_view::npos) p.body = std::string(text.substr(at + 2));
    return p;
}

}  // namespace

bool CParseMail::LoadMail(const char* text) {
    if (!text) return false;
    raw_ = text;
    return true;
}

void CParseMail::AddStreaming(std::string_view text) {
    raw_.append(text);
}

bool CParseMail::LoadFromFile(const char* path) {
    if (!path) return false;
    platform::CKFile f;
    if (!platform::IsRegularFile(path) || !f.Open(path, platform::kFileRead)) return true;
    char block[1024];
    for (;;) {
        int64_t n = f.Read(block, sizeof block);
        if (n <= 0) break;
        std::string_view b(block, static_cast<size_t>(n));
        raw_.append(b.substr(0, b.find('\0')));  // each block is appended as text
    }
    return true;
}

bool CParseMail::SaveToFile(const char* path) const {
    if (!path || raw_.empty()) return false;
    return platform::WriteFileAtomic(path, raw_);
}

void CParseMail::Reset() {
    raw_.clear();
    header_.clear();
    body_.clear();
    subject_.clear();
    from_.clear();
    to_.clear();
    content_type_.clear();
    charset_.clear();
    transfer_encoding_.clear();
    boundary_.clear();
    message_id_domain_.clear();
    std::vector<MailPart>().swap(parts_);
}

const MailPart* CParseMail::Part(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= parts_.size()) return nullptr;
    return &parts_[static_cast<size_t>(index)];
}

bool CParseMail::Parse() {
    if (raw_.empty()) return false;
    size_t header_len = 0;
    if (!SplitHeader(raw_, &header_len)) {
        body_ = raw_;
        return true;
    }
    header_ = raw_.substr(0, header_len);
    if (!Group1("Subject\\:\\s+?(.*)", header_, &subject_)) Group1("Subject\\:(.*)", header_, &subject_);
    Remove(subject_, "\n\r");
    Group1("From\\:\\s+?(.+)", header_, &from_);
    Group1("To\\:\\s+?(.+)", header_, &to_);
    Group1("Message-Id:\\s+?<.+?@(.+?)>", header_, &message_id_domain_);
    body_ = raw_.substr(header_.size());
    std::string v;
    if (Group1(kContentType, header_, &v)) content_type_ = common::AsciiLowered(v);
    if (Group1(kCharset, header_, &v)) charset_ = CleanCharset(v);
    if (Group1(kEncoding, header_, &v)) transfer_encoding_ = CleanEncoding(v);
    // MIME allows the boundary as a bare token too (boundary=abc.123); missing those left valid
    // multipart mail without parts.
    if (!Group1("boundary=\"(.+?)\"", header_, &boundary_) && !Group1("boundary=([^\\s;\"]+)", header_, &boundary_))
        return true;

    const std::string& b = boundary_;
    const size_t len = b.size();
    size_t cur = body_.find(b);
    if (cur == std::string::npos) return true;
    for (;;) {
        size_t next = body_.find(b, cur + len);
        if (next == std::string::npos) break;
        // The "--" in front of the next boundary is not part of this part.
        int64_t part_len = static_cast<int64_t>(next) - static_cast<int64_t>(len) - static_cast<int64_t>(cur) - 2;
        std::string_view text =
            std::string_view(body_).substr(cur + len, static_cast<size_t>(std::max<int64_t>(part_len, 0)));
        MailPart p = ReadPart(text);
        if (!p.body.empty() && !p.content_type.empty()) parts_.push_back(std::move(p));
        cur = next;
    }
    std::string_view tail = std::string_view(body_).substr(std::min(cur + len, body_.size()));
    if (common::RegexTest(kContentType, kCaseless, tail)) {
        MailPart p = ReadPart(tail);
        if (!p.body.empty()) parts_.push_back(std::move(p));
    }
    return true;
}

}  // namespace mail
