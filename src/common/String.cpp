#include "common/String.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace common {

std::string AsciiLowered(std::string_view text) {
    std::string out(text);
    // Eight bytes at a time: the checks lower whole messages several times over. For each byte
    // below 0x80, bit 7 of (b + 0x80 - 'A') says b >= 'A' and of (b + 0x7f - 'Z') says b > 'Z'
    // (no carry crosses bytes, as b + 0x80 - 'A' <= 0xbe); an upper-case letter gains 0x20.
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    size_t i = 0;
    for (; i + 8 <= out.size(); i += 8) {
        uint64_t x;
        std::memcpy(&x, out.data() + i, 8);
        const uint64_t low7 = x & ~kHigh;
        const uint64_t ge_a = low7 + (0x80 - 'A') * kOnes;
        const uint64_t gt_z = low7 + (0x7f - 'Z') * kOnes;
        const uint64_t upper = ~x & (ge_a & ~gt_z) & kHigh;
        x |= upper >> 2;
        std::memcpy(out.data() + i, &x, 8);
    }
    for (; i < out.size(); ++i) out[i] = AsciiLower(out[i]);
    return out;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

std::string_view TrimWhiteSpace(std::string_view s) {
    auto white = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && white(s.front())) s.remove_prefix(1);
    while (!s.empty() && white(s.back())) s.remove_suffix(1);
    return s;
}

std::string AsciiUppered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiUpper(c);
    return out;
}

String::String(const char* text) : buf_(text ? text : "") {}

String::String(char c) {
    if (c != '\0') buf_.assign(1, c);
}

String::String(int value) {
    buf_ = std::to_string(value);
}

String::String(float value) {
    Format("%g", static_cast<double>(value));
}

String& String::operator=(const char* text) {
    buf_.assign(text ? text : "");
    binary_length_ = 0;
    return *this;
}

String& String::operator=(std::string_view text) {
    buf_.assign(text);
    binary_length_ = 0;
    CutAtZero();
    return *this;
}

int String::Length() const {
    if (binary_length_ > 0) return static_cast<int>(strnlen(buf_.data(), buf_.size()));
    return static_cast<int>(buf_.size());
}

void String::Reserve(int bytes) {
    if (bytes <= capacity_) return;
    buf_.reserve(static_cast<size_t>(bytes));
    capacity_ = bytes;
}

void String::SetBinary(const void* data, int size) {
    if (size <= 0 || data == nullptr) {
        Clear();
        return;
    }
    buf_.assign(static_cast<const char*>(data), static_cast<size_t>(size));
    binary_length_ = size;
}

void String::CutAtZero() {
    size_t zero = buf_.find('\0');
    if (zero != std::string::npos) buf_.resize(zero);
    binary_length_ = 0;
}

String& String::Append(std::string_view text) {
    ToText();
    // A zero byte would end the text: keep only what a C reader of `text` would see.
    size_t zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);
    buf_.append(text);
    return *this;
}

String& String::Append(char c) {
    ToText();
    if (c != '\0') buf_.push_back(c);
    return *this;
}

String operator+(const String& a, const String& b) {
    String r(a.View());
    r.Append(b.View());
    return r;
}

String operator+(const String& a, const char* b) {
    String r(a.View());
    r.Append(b);
    return r;
}

int String::CompareNoCase(std::string_view other) const {
    std::string_view self = View();
    size_t n = std::min(self.size(), other.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = static_cast<unsigned char>(AsciiLower(self[i]));
        unsigned char b = static_cast<unsigned char>(AsciiLower(other[i]));
        if (a != b) return a < b ? -1 : 1;
    }
    if (self.size() == other.size()) return 0;
    return self.size() < other.size() ? -1 : 1;
}

String& String::FormatV(const char* format, va_list args) {
    char scratch[kFormatLimit + 1];
    int n = vsnprintf(scratch, sizeof scratch, format ? format : "", args);
    Clear();
    if (n > 0) buf_.assign(scratch, std::min(n, kFormatLimit));
    CutAtZero();  // a %c of zero ends the text, as it did in the C buffer
    return *this;
}

String& String::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
    return *this;
}

String& String::FormatShort(const char* format, ...) {
    char scratch[kShortFormatLimit + 1];
    if (!format) {
        Clear();
        return *this;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(scratch, sizeof scratch, format, args);
    va_end(args);
    Clear();
    if (n > 0) buf_.assign(scratch, std::min(n, kShortFormatLimit));
    CutAtZero();
    return *this;
}

int String::Find(std::string_view needle, int start) const {
    std::string_view text = View();
    if (start < 0) start = 0;
    if (static_cast<size_t>(start) > text.size()) return -1;
    size_t at = text.find(needle, static_cast<size_t>(start));
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

int String::FindBinary(std::string_view needle, int start) const {
    if (start < 0) start = 0;
    if (static_cast<size_t>(start) > buf_.size()) return -1;
    size_t at = buf_.find(needle, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int String::Replace(std::string_view from, std::string_view to) {
    ToText();
    if (from.empty() || buf_.empty()) return 0;
    size_t zero = to.find('\0');
    if (zero != std::string_view::npos) to = to.substr(0, zero);
    std::string out;
    int count = 0;
    size_t pos = 0;
    for (size_t at; (at = buf_.find(from, pos)) != std::string::npos; pos = at + from.size()) {
        out.append(buf_, pos, at - pos);
        out.append(to);
        ++count;
    }
    if (count == 0) return 0;
    out.append(buf_, pos, std::string::npos);
    buf_.swap(out);
    return count;
}

String& String::Insert(int index, std::string_view text) {
    ToText();
    size_t zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);
    index = std::clamp(index, 0, static_cast<int>(buf_.size()));
    buf_.insert(static_cast<size_t>(index), text);
    return *this;
}

String String::Mid(int start, int count) const {
    std::string_view text = View();
    int len = static_cast<int>(text.size());
    if (start < 0) start = 0;
    if (start >= len || count <= 0) return String();
    count = std::min(count, len - start);
    return String(text.substr(static_cast<size_t>(start), static_cast<size_t>(count)));
}

String String::Right(int count) const {
    int len = Length();
    if (count <= 0) return String();
    if (count >= len) return String(View());
    return Mid(len - count, count);
}

String& String::MakeUpper() {
    ToText();
    for (char& c : buf_) c = AsciiUpper(c);
    return *this;
}

String& String::MakeLower() {
    ToText();
    for (char& c : buf_) c = AsciiLower(c);
    return *this;
}

String& String::TrimRight() {
    ToText();
    size_t end = buf_.find_last_not_of(' ');
    buf_.resize(end == std::string::npos ? 0 : end + 1);
    return *this;
}

String& String::TrimLeft() {
    ToText();
    size_t begin = buf_.find_first_not_of(' ');
    buf_.erase(0, begin == std::string::npos ? buf_.size() : begin);
    return *this;
}

void String::Clear() {
    buf_.clear();
    binary_length_ = 0;
}

std::string FormatText(const char* format, ...) {
    char buf[String::kShortFormatLimit];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

std::vector<std::string_view> SplitNonEmpty(std::string_view text, char delimiter) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace common

namespace common {

std::string HostnameError(std::string_view name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
    if (name.size() > 253) return "the name is longer than 253 bytes";
    size_t label = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (label == 0) return "the name has an empty label";
            if (label > 63) return "a label of the name is longer than 63 bytes";
            if (name[i - 1] == '-' || name[i - label] == '-') return "a label of the name starts or ends with a hyphen";
            label = 0;
            continue;
        }
        const char c = name[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) {
            const unsigned char u = static_cast<unsigned char>(c);
            return u >= 0x21 && u < 0x7f ? FormatText("the name holds the character '%c'", c)
                                         : FormatText("the name holds the byte 0x%02x", u);
        }
        ++label;
    }
    return std::string();
}

}  // namespace common
