#include "checks/DnsMessage.h"

#include <cstdio>
#include <cstring>

#include "common/IpAddress.h"
#include "common/Regex.h"

namespace checks {

namespace {

// Big-endian reads that check the remaining length first.
std::optional<uint16_t> U16(std::string_view msg, size_t& pos) {
    if (pos + 2 > msg.size()) return std::nullopt;
    uint16_t v = static_cast<uint16_t>(static_cast<uint8_t>(msg[pos]) << 8 | static_cast<uint8_t>(msg[pos + 1]));
    pos += 2;
    return v;
}

std::optional<uint32_t> U32(std::string_view msg, size_t& pos) {
    auto hi = U16(msg, pos);
    auto lo = hi ? U16(msg, pos) : std::nullopt;
    if (!lo) return std::nullopt;
    return static_cast<uint32_t>(*hi) << 16 | *lo;
}

// Reads a (possibly compressed) name starting at `pos`; `pos` moves past it in the message.
std::optional<std::string> ReadName(std::string_view msg, size_t& pos) {
    std::string out;
    size_t at = pos;
    bool jumped = false;
    int jumps = 0;
    for (;;) {
        if (at >= msg.size()) return std::nullopt;
        uint8_t len = static_cast<uint8_t>(msg[at]);
        if (len == 0) {
            if (!jumped) pos = at + 1;
            break;
        }
        if ((len & 0xC0) == 0xC0) {
            if (at + 1 >= msg.size()) return std::nullopt;
            size_t offset = static_cast<size_t>(len & 0x3F) << 8 | static_cast<uint8_t>(msg[at + 1]);
            if (++jumps > kMaxNameJumps || offset >= msg.size()) return std::nullopt;
            if (!jumped) pos = at + 2;
            jumped = true;
            at = offset;
            continue;
        }
        if ((len & 0xC0) != 0) return std::nullopt;  // the reserved label types
        if (at + 1 + len > msg.size()) return std::nullopt;
        out.append(msg.substr(at + 1, len));
        out += '.';
        if (out.size() > 1024) return std::nullopt;
        at += 1 + len;
    }
    if (!out.empty()) out.pop_back();  // the trailing "."
    return out;
}

bool SameName(std::string_view a, std::string_view b) {
    if (!a.empty() && a.back() == '.') a.remove_suffix(1);
    if (!b.empty() && b.back() == '.') b.remove_suffix(1);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string ReverseAddress(std::string_view ip) {
    if (auto a = common::IpAddress::Parse(ip)) return a->ReverseLabels();
    std::string out(ip);
    common::RegexReplace("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})", 0, out, "$4.$3.$2.$1");
    return out;
}

std::string ReverseName(std::string_view ip) {
    if (auto a = common::IpAddress::Parse(ip)) return a->ReverseName();
    return ReverseAddress(ip) + ".in-addr.arpa";
}

std::optional<std::string> BuildQuery(uint16_t id, std::string_view name, uint16_t qtype) {
    std::string q;
    q.reserve(kQueryBufferSize);
    const char header[12] = {
        static_cast<char>(id >> 8), static_cast<char>(id & 0xFF), 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    q.append(header, sizeof header);
    std::string_view n = name;
    if (!n.empty() && n.back() == '.') n.remove_suffix(1);
    while (!n.empty()) {
        size_t dot = n.find('.');
        std::string_view label = n.substr(0, dot);
        if (label.empty() || label.size() > 63) return std::nullopt;
        q += static_cast<char>(label.size());
        q.append(label);
        if (dot == std::string_view::npos) break;
        n.remove_prefix(dot + 1);
    }
    q += '\0';
    q += static_cast<char>(qtype >> 8);
    q += static_cast<char>(qtype & 0xFF);
    q += '\0';
    q += '\1';
    if (q.size() > kQueryBufferSize) return std::nullopt;
    return q;
}

std::optional<DnsReply> ParseReply(std::string_view msg) {
    if (msg.size() < 12) return std::nullopt;
    DnsReply reply;
    size_t pos = 0;
    reply.id = *U16(msg, pos);
    reply.flags = *U16(msg, pos);
    uint16_t qdcount = *U16(msg, pos);
    uint16_t ancount = *U16(msg, pos);
    pos += 4;  // NSCOUNT, ARCOUNT: not used
    if (ancount > kMaxAnswers) return std::nullopt;
    for (uint16_t q = 0; q < qdcount; ++q) {
        auto name = ReadName(msg, pos);
        auto type = name ? U16(msg, pos) : std::nullopt;
        auto klass = type ? U16(msg, pos) : std::nullopt;
        if (!klass) return std::nullopt;
        if (q == 0) {
            reply.question = *name;
            reply.qtype = *type;
        }
    }
    for (uint16_t a = 0; a < ancount; ++a) {
        DnsAnswer ans;
        auto owner = ReadName(msg, pos);
        if (!owner) return std::nullopt;
        ans.owner = *owner;
        auto type = U16(msg, pos);
        auto klass = type ? U16(msg, pos) : std::nullopt;
        auto ttl = klass ? U32(msg, pos) : std::nullopt;
        auto rdlen = ttl ? U16(msg, pos) : std::nullopt;
        if (!rdlen || pos + *rdlen > msg.size()) return std::nullopt;
        ans.type = *type;
        ans.klass = *klass;
        ans.ttl = *ttl;
        ans.rdlength = *rdlen;
        size_t end = pos + *rdlen;
        size_t at = pos;
        if (ans.type == kTypeA) {
            if (*rdlen != 4) return std::nullopt;
            char buf[20];
            std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", uint8_t(msg[at]), uint8_t(msg[at + 1]), uint8_t(msg[at + 2]),
                          uint8_t(msg[at + 3]));
            ans.data = buf;
        } else if (ans.type == kTypeAAAA) {
            if (*rdlen != 16) return std::nullopt;
            common::IpAddress a;
            a.family = common::IpAddress::Family::kV6;
            std::memcpy(a.bytes, msg.data() + at, 16);
            ans.data = a.ToString();  // a mapped IPv4 address too: it is an AAAA record
        } else if (ans.type == kTypeTXT) {
            // The character-strings of the record, concatenated as they stand: a record longer
            // than 255 bytes (SPF of large senders, DKIM keys) is published as several strings
            // and means their concatenation (RFC 7208 3.3, RFC 6376 3.6.2.2).
            while (at < end) {
                size_t len = static_cast<uint8_t>(msg[at]);
                if (at + 1 + len > end) return std::nullopt;
                ans.data.append(msg.substr(at + 1, len));
                at += 1 + len;
            }
        } else if (ans.type == kTypeMX) {
            auto pref = U16(msg, at);
            auto exchange = pref && at <= end ? ReadName(msg, at) : std::nullopt;
            if (!exchange || at > end) return std::nullopt;
            ans.preference = *pref;
            ans.data = *exchange;
        } else if (ans.type == kTypeNS || ans.type == kTypePTR || ans.type == kTypeCNAME) {
            auto name = ReadName(msg, at);
            if (!name || at > end) return std::nullopt;
            ans.data = *name;
        }
        pos = end;  // the record's extent, whatever its type held
        reply.answers.push_back(std::move(ans));
    }
    return reply;
}

bool ReplyMatches(const DnsReply& reply, uint16_t id, std::string_view asked_name) {
    return reply.id == id && (reply.flags & 0x8000) != 0 && SameName(reply.question, asked_name);
}

}  // namespace checks
