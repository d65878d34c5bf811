// Differential fuzzing of String against std::string on the operations they share.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/String.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    std::string in(reinterpret_cast<const char*>(data), size);
    // The first byte picks the split points; the rest is text (cut at its first zero byte,
    // as String's text is).
    size_t a = static_cast<uint8_t>(in[0]), b = static_cast<uint8_t>(in[1]);
    std::string text = in.substr(2);
    text = text.substr(0, text.find('\0'));
    common::String s(text);
    if (s.View() != text) std::abort();
    size_t start = a % (text.size() + 1);
    std::string needle = text.substr(start, b % 5);
    size_t found = text.find(needle, start);
    int want = found == std::string::npos ? -1 : static_cast<int>(found);
    if (s.Find(needle, static_cast<int>(start)) != want) std::abort();
    common::String mid = s.Mid(static_cast<int>(a), static_cast<int>(b));
    std::string want_mid = a < text.size() ? text.substr(a, b) : std::string();
    if (mid.View() != want_mid) std::abort();
    if (!needle.empty()) {
        std::string expect;
        size_t pos = 0, at;
        int count = 0;
        while ((at = text.find(needle, pos)) != std::string::npos) {
            expect.append(text, pos, at - pos).append("<>");
            pos = at + needle.size();
            ++count;
        }
        expect.append(text, pos);
        common::String r = s;
        if (r.Replace(needle, "<>") != count || r.View() != expect) std::abort();
    }
    common::String t = s;
    t.Trim();
    size_t first = text.find_first_not_of(' ');
    std::string want_trim =
        first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') - first + 1);
    if (t.View() != want_trim) std::abort();
    return 0;
}
