#include "script/Codecs.h"

#include <array>
#include <unordered_map>

namespace script::codec {

const Entity kEntities[143] = {
    {"&euro;", 0x80},   {"&sbquo;", 0x82},  {"&fnof;", 0x83},   {"&bdquo;", 0x84},  {"&hellip;", 0x85},
    {"&dagger;", 0x86}, {"&Dagger;", 0x87}, {"&circ;", 0x88},   {"&permil;", 0x89}, {"&Scaron;", 0x8a},
    {"&lsaquo;", 0x8b}, {"&OElig;", 0x8c},  {"&lsquo;", 0x91},  {"&rsquo;", 0x92},  {"&ldquo;", 0x93},
    {"&rdquo;", 0x94},  {"&bull;", 0x95},   {"&ndash;", 0x96},  {"&mdash;", 0x97},  {"&tilde;", 0x98},
    {"&trade;", 0x99},  {"&scaron;", 0x9a}, {"&rsaquo;", 0x9b}, {"&oelig;", 0x9c},  {"&Yuml;", 0x9f},
    {"&nbsp;", 0xa0},   {"&iexcl;", 0xa1},  {"&cent;", 0xa2},   {"&pound;", 0xa3},  {"&curren;", 0xa4},
    {"&yen;", 0xa5},    {"&brvbar;", 0xa6}, {"&sect;", 0xa7},   {"&uml;", 0xa8},    {"&copy;", 0xa9},
    {"&ordf;", 0xaa},   {"&laquo;", 0xab},  {"&not;", 0xac},    {"&shy;", 0xad},    {"&reg;", 0xae},
    {"&macr;", 0xaf},   {"&deg;", 0xb0},    {"&plusmn;", 0xb1}, {"&sup2;", 0xb2},   {"&sup3;", 0xb3},
    {"&acute;", 0xb4},  {"&micro;", 0xb5},  {"&para;", 0xb6},   {"&middot;", 0xb7}, {"&cedil;", 0xb8},
    {"&sup1;", 0xb9},   {"&ordm;", 0xba},   {"&raquo;", 0xbb},  {"&frac14;", 0xbc}, {"&frac12;", 0xbd},
    {"&frac34;", 0xbe}, {"&iquest;", 0xbf}, {"&Agrave;", 0xc0}, {"&Aacute;", 0xc1}, {"&Acirc;", 0xc2},
    {"&Atilde;", 0xc3}, {"&Auml;", 0xc4},   {"&Aring;", 0xc5},  {"&AElig;", 0xc6},  {"&Ccedil;", 0xc7},
    {"&Egrave;", 0xc8}, {"&Eacute;", 0xc9}, {"&Ecirc;", 0xca},  {"&Euml;", 0xcb},   {"&Igrave;", 0xcc},
    {"&Iacute;", 0xcd}, {"&Icirc;", 0xce},  {"&Iuml;", 0xcf},   {"&ETH;", 0xd0},    {"&Ntilde;", 0xd1},
    {"&Ograve;", 0xd2}, {"&Oacute;", 0xd3}, {"&Ocirc;", 0xd4},  {"&Otilde;", 0xd5}, {"&Ouml;", 0xd6},
    {"&times;", 0xd7},  {"&Oslash;", 0xd8}, {"&Ugrave;", 0xd9}, {"&Uacute;", 0xda}, {"&Ucirc;", 0xdb},
    {"&Uuml;", 0xdc},   {"&Yacute;", 0xdd}, {"&THORN;", 0xde},  {"&szlig;", 0xdf},  {"&agrave;", 0xe0},
    {"&aacute;", 0xe1}, {"&acirc;", 0xe2},  {"&atilde;", 0xe3}, {"&auml;", 0xe4},   {"&aring;", 0xe5},
    {"&aelig;", 0xe6},  {"&ccedil;", 0xe7}, {"&egrave;", 0xe8}, {"&eacute;", 0xe9}, {"&ecirc;", 0xea},
    {"&euml;", 0xeb},   {"&igrave;", 0xec}, {"&iacute;", 0xed}, {"&icirc;", 0xee},  {"&iuml;", 0xef},
    {"&eth;", 0xf0},    {"&ntilde;", 0xf1}, {"&ograve;", 0xf2}, {"&oacute;", 0xf3}, {"&ocirc;", 0xf4},
    {"&otilde;", 0xf5}, {"&ouml;", 0xf6},   {"&divide;", 0xf7}, {"&oslash;", 0xf8}, {"&ugrave;", 0xf9},
    {"&uacute;", 0xfa}, {"&ucirc;", 0xfb},  {"&uuml;", 0xfc},   {"&yacute;", 0xfd}, {"&thorn;", 0xfe},
    {"&yuml;", 0xff},   {"&mu;", 0xb5},     {"&nbsp;", 0x20},   {"&frasl;", 0x2f},  {"&asymp;", 0x98},
    {"&equiv;", 0x3d},  {"&#8218;", 0x82},  {"&#8222;", 0x84},  {"&#8249;", 0x8b},  {"&#8216;", 0x91},
    {"&#8217;", 0x92},  {"&#8220;", 0x93},  {"&#8250;", 0x9b},  {"&#9566;", 0xa6},  {"&#9600;", 0xaf},
    {"&#176;", 0xb0},   {"&#183;", 0xb7},   {"&#164;", 0xa4},   {"&quot;", 0x22},   {"&lt;", 0x3c},
    {"&gt;", 0x3e},     {"&#730;", 0xb0},   {"&amp;", 0x26},
};

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsWordByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Entity text -> byte, first pair of the table winning, the last pair (&amp;) left out.
const std::unordered_map<std::string_view, unsigned char>& DecodeTable() {
    static const auto* table = [] {
        auto* t = new std::unordered_map<std::string_view, unsigned char>();
        for (size_t i = 0; i + 1 < std::size(kEntities); ++i) t->emplace(kEntities[i].text, kEntities[i].byte);
        return t;
    }();
    return *table;
}

// Byte -> entity text, first pair of a byte winning, the last two pairs left out.
const std::array<std::string_view, 256>& EncodeTable() {
    static const auto* table = [] {
        auto* t = new std::array<std::string_view, 256>();
        for (size_t i = 0; i + 2 < std::size(kEntities); ++i)
            if ((*t)[kEntities[i].byte].empty()) (*t)[kEntities[i].byte] = kEntities[i].text;
        return t;
    }();
    return *table;
}

constexpr size_t kLongestEntity = 8;  // "&frac14;"

}  // namespace

std::string Encode64(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 4 / 3 + bytes.size() / 57 * 2 + 8);
    size_t line = 0;
    auto put = [&](char c) {
        out += c;
        if (++line == 76) {
            out += "\r\n";
            line = 0;
        }
    };
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        put(kAlphabet[v >> 18]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        put(kAlphabet[v >> 18]);
        put(kAlphabet[(v >> 12) & 63]);
        put(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
        put('=');
    }
    return out;
}

std::string Decode64(std::string_view text) {
    static const auto* rev = [] {
        auto* r = new std::array<int8_t, 256>();
        r->fill(-1);
        for (int i = 0; i < 64; ++i) (*r)[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
        return r;
    }();
    std::string out;
    out.reserve(text.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        int v = (*rev)[static_cast<uint8_t>(c)];
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string URLDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c == '+' ? ' ' : c;
        // A decoded byte can complete a new sequence with what precedes it; the next bytes
        // are handled as they arrive. Each step shortens the output, so this stays linear.
        while (out.size() >= 3 && out[out.size() - 3] == '%' && HexDigit(out[out.size() - 2]) >= 0 &&
               HexDigit(out[out.size() - 1]) >= 0) {
            char b = static_cast<char>(HexDigit(out[out.size() - 2]) * 16 + HexDigit(out[out.size() - 1]));
            out.resize(out.size() - 3);
            out += b;
        }
    }
    return out;
}

std::string URLEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (IsWordByte(u)) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string DecodeHtmlSpecialChar(std::string_view text) {
    // Entities end in ";" and none is a prefix of another, so one pass that looks each "&...;"
    // up decodes exactly what the table's replacements, applied in order, would.
    const auto& table = DecodeTable();
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            size_t semi = text.find(';', i + 1);
            if (semi != std::string_view::npos && semi - i + 1 <= kLongestEntity) {
                auto it = table.find(text.substr(i, semi - i + 1));
                if (it != table.end()) {
                    out += static_cast<char>(it->second);
                    i = semi + 1;
                    continue;
                }
            }
        }
        out += text[i++];
    }
    return out;
}

std::string EncodeHtmlSpecialChar(std::string_view text) {
    const auto& table = EncodeTable();
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        // "&" (and the marker byte 0x01 that stood in for it) become "&amp;".
        if (c == '&' || u == 0x01)
            out += "&amp;";
        else if (!table[u].empty())
            out += table[u];
        else
            out += c;
    }
    return out;
}

std::string DeOfuscate(std::string_view text) {
    std::string out;
    const std::string decoded = DecodeHtmlSpecialChar(text);
    out.reserve(decoded.size());
    for (char c : decoded) {
        out += c;
        // "&#NN;" or "&#NNN;" at the end of the output: replace it (a byte above 255 is
        // removed) and look again, since the byte may complete another reference.
        for (;;) {
            if (out.empty() || out.back() != ';') break;
            size_t n = out.size();
            size_t digits = 0;
            while (digits < 3 && n >= digits + 2 && out[n - 2 - digits] >= '0' && out[n - 2 - digits] <= '9') ++digits;
            if (digits < 2 || n < digits + 3 || out[n - 2 - digits] != '#' || out[n - 3 - digits] != '&') break;
            int value = 0;
            for (size_t k = n - 1 - digits; k < n - 1; ++k) value = value * 10 + (out[k] - '0');
            out.resize(n - 3 - digits);
            if (value <= 255) out += static_cast<char>(value);
        }
    }
    return out;
}

std::string HtmlToText(std::string_view text) {
    // The leftmost "<" whose line has a ">" at least two bytes later starts a tag that runs to
    // that ">"; removing it leaves no tag start before it, so one scan finds them all.
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '<') {
            size_t line_end = text.find('\n', i);
            if (line_end == std::string_view::npos) line_end = text.size();
            size_t close = i + 2 <= line_end ? text.find('>', i + 2) : std::string_view::npos;
            if (close != std::string_view::npos && close < line_end) {
                i = close + 1;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return DecodeHtmlSpecialChar(out);
}

int32_t HextoInt(std::string_view text) {
    int32_t value = 0;
    for (size_t i = 0; i < text.size() && i < 4; ++i) {
        int d = HexDigit(text[i]);
        if (d < 0) break;
        value = value * 16 + d;
    }
    return value;
}

std::string TrimInternal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pending_blank = false;
    for (char c : text) {
        if (c == ' ') {
            pending_blank = true;
            continue;
        }
        if (pending_blank) out += ' ';
        pending_blank = false;
        out += c;
    }
    return out;
}

std::string Split(std::string_view text, char separator, int32_t index) {
    if (index < 0) return std::string();
    size_t start = 0;
    for (int32_t field = 0;; ++field) {
        size_t end = text.find(separator, start);
        if (field == index)
            return std::string(
                text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return std::string();
        start = end + 1;
    }
}

}  // namespace script::codec
