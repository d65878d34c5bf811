#pragma once
// String: the byte string every module and the script `string` type use.
//
// Text semantics follow the classic zero-terminated string: Length() counts the bytes before
// the first zero byte. Binary content (bytes that may include zeros) is stored with
// SetBinary() and reported by BinaryLength(); 0 means "plain text". Any text-editing call on a
// binary string first cuts it back to its text part, so text operations never see a zero byte.
//
// Not thread-safe: a String belongs to one thread at a time, like the std::string under it.
// Never throws except std::bad_alloc, which ends the process.
#include <algorithm>
#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace common {

class String {
public:
    // Format() writes at most this many bytes; longer results are cut, as the original
    // fixed scratch buffer did. Scripts and log lines rely on the cut, not on an error.
    static constexpr int kFormatLimit = 4096;
    // The second, short formatter used for small fields.
    static constexpr int kShortFormatLimit = 1024;

    String() = default;
    String(const char* text);  // NOLINT: implicit on purpose, like the original
    String(std::string_view text) : buf_(text) { CutAtZero(); }
    String(const std::string& text) : String(std::string_view(text)) {}
    explicit String(char c);
    explicit String(int value);
    explicit String(float value);
    String(const String&) = default;
    String(String&&) noexcept = default;
    String& operator=(const String& other) = default;
    String& operator=(String&&) noexcept = default;
    String& operator=(const char* text);
    String& operator=(std::string_view text);

    // Length of the text: bytes before the first zero byte.
    int Length() const;
    // Length of binary content, 0 for plain text.
    int BinaryLength() const { return binary_length_; }
    bool IsEmpty() const { return Length() == 0; }
    // Zero-terminated text; valid until the next change of this String.
    const char* c_str() const { return buf_.c_str(); }
    // The text (up to the first zero byte).
    std::string_view View() const { return std::string_view(buf_.data(), Length()); }
    // Every stored byte: the binary content when there is one, else the text.
    std::string_view Bytes() const { return buf_; }
    const std::string& str() const { return buf_; }

    // Replaces the content with `size` bytes that may include zeros.
    void SetBinary(const void* data, int size);
    // Room asked for with Reserve, at least the content and its terminator: how many bytes a
    // reader may put into the string (scripts' CS_Buffer).
    int Capacity() const { return std::max(capacity_, static_cast<int>(buf_.size()) + 1); }
    void Reserve(int bytes);

    String& Append(std::string_view text);
    String& Append(const char* text) { return Append(std::string_view(text ? text : "")); }
    String& Append(char c);
    String& Append(const String& other) { return Append(other.View()); }
    String& operator+=(std::string_view text) { return Append(text); }
    String& operator+=(const char* text) { return Append(text); }
    String& operator+=(const String& other) { return Append(other); }
    String& operator+=(char c) { return Append(c); }
    friend String operator+(const String& a, const String& b);
    friend String operator+(const String& a, const char* b);

    // Byte-exact over the stored content (binary strings compare their binary bytes).
    friend bool operator==(const String& a, const String& b) { return a.buf_ == b.buf_; }
    friend bool operator!=(const String& a, const String& b) { return !(a == b); }
    friend bool operator==(const String& a, const char* b) { return a.View() == std::string_view(b ? b : ""); }
    friend bool operator<(const String& a, const String& b) { return a.View() < b.View(); }
    friend bool operator>(const String& a, const String& b) { return b < a; }
    // ASCII-only case-insensitive comparison: -1, 0 or 1.
    int CompareNoCase(std::string_view other) const;

    // Clears, then appends the printf result, cut to kFormatLimit bytes.
    String& Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    String& FormatV(const char* format, va_list args);
    // As Format, cut to kShortFormatLimit bytes.
    String& FormatShort(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Index of `needle` at or after `start`, or -1. Find searches the text; FindBinary
    // searches every stored byte, zeros included.
    int Find(std::string_view needle, int start = 0) const;
    int FindBinary(std::string_view needle, int start = 0) const;
    // Replaces every occurrence of `from` (non-empty) by `to`; returns the count.
    int Replace(std::string_view from, std::string_view to);
    // Inserts at `index`, clamped to 0..Length().
    String& Insert(int index, std::string_view text);

    // Substrings: start clamped to 0, count clamped to what remains.
    String Mid(int start, int count) const;
    String Mid(int start) const { return Mid(start, Length()); }
    String Left(int count) const { return Mid(0, count); }
    String Right(int count) const;

    String& MakeUpper();
    String& MakeLower();
    // Trimming removes blanks (0x20) only: tabs and line ends are content to SMTP.
    String& TrimRight();
    String& TrimLeft();
    String& Trim() { return TrimRight().TrimLeft(); }
    void Clear();

private:
    void CutAtZero();  // drops binary content, keeping the text part
    void ToText() {
        if (binary_length_ > 0) CutAtZero();
    }

    std::string buf_;
    int binary_length_ = 0;
    int capacity_ = 0;
};

// ASCII case only: protocol keywords, header names and domain names, never text in other
// scripts, whose bytes stay as they are.
inline char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
inline char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
std::string AsciiLowered(std::string_view text);
std::string AsciiUppered(std::string_view text);
// Equal but for ASCII case: header names, protocol keywords, domain names.
bool AsciiEqualNoCase(std::string_view a, std::string_view b);
// Without the spaces, tabs, CRs and LFs at its ends.
std::string_view TrimWhiteSpace(std::string_view s);

// A printf result as a std::string, cut to String::kShortFormatLimit bytes: log lines and
// replies that are built from a fixed format.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The pieces of `text` between `delimiter`s, empty ones left out; views into `text`.
std::vector<std::string_view> SplitNonEmpty(std::string_view text, char delimiter);

// Why `name` is not a host name in the sense of RFC 1035/1123 (letters, digits, hyphens and
// dots; labels of 1 to 63 bytes, not starting or ending with a hyphen; at most 253 bytes in
// all), or "" when it is one. A single trailing dot (the root) is allowed. Names that become
// file names pass through this, so nothing else can reach a path.
std::string HostnameError(std::string_view name);

}  // namespace common
