#include "checks/DnsBL.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>

#include "common/IpAddress.h"
#include "common/Regex.h"
#include "common/String.h"
#include "platform/UdpSocket.h"

namespace checks {

namespace {

// The block-list operators' error replies (query refused, resolver blocked, rate limited) come
// from 127.255.255.0/24: they are not listings.
bool IsListing(const DnsAnswer& a) {
    if (a.type != kTypeA) return false;
    return a.data.rfind("127.255.255.", 0) != 0;
}

}  // namespace

CDnsBL::CDnsBL(const std::string& cache_path) : CDns(cache_path) {}

std::optional<CDnsBL::Zone> CDnsBL::ParseZone(std::string_view entry) {
    size_t bar = entry.find('|');
    CDnsBL::Zone z{std::string(entry.substr(0, bar)), 0.0f};
    if (bar != std::string_view::npos) {
        const std::string_view rest = entry.substr(bar + 1);
        const size_t flag = rest.find('|');
        z.weight = std::strtof(std::string(rest.substr(0, flag)).c_str(), nullptr);
        if (flag != std::string_view::npos)
            z.ipv4_only = common::AsciiEqualNoCase(common::TrimWhiteSpace(rest.substr(flag + 1)), "ipv4");
    }
    if (z.name.empty()) return std::nullopt;
    return z;
}

void CDnsBL::AddZone(std::string_view entry) {
    std::optional<Zone> z = ParseZone(entry);
    if (!z) return;
    store::EngineGuard lock(zones_mu_);
    zones_.push_back(std::move(*z));
}

void CDnsBL::SetZones(const std::vector<std::string>& entries) {
    std::vector<Zone> zones;
    for (const std::string& e : entries)
        if (std::optional<Zone> z = ParseZone(e)) zones.push_back(std::move(*z));
    store::EngineGuard lock(zones_mu_);
    zones_.swap(zones);
}

void CDnsBL::ClearZones() {
    store::EngineGuard lock(zones_mu_);
    zones_.clear();
}

float CDnsBL::ZoneWeight(std::string_view zone) const {
    store::EngineGuard lock(zones_mu_);
    for (const Zone& z : zones_)
        if (z.name == zone) return z.weight;
    return -1.0f;
}

size_t CDnsBL::ZoneCount() const {
    store::EngineGuard lock(zones_mu_);
    return zones_.size();
}

std::vector<CDnsBL::Zone> CDnsBL::Zones() const {
    store::EngineGuard lock(zones_mu_);
    return zones_;
}

std::string CDnsBL::EncodeResult(const DnsBLResult& r) {
    std::string out(8, '\0');
    uint32_t hits = static_cast<uint32_t>(r.hits);
    uint32_t score;
    std::memcpy(&score, &r.score, 4);
    for (int i = 0; i < 4; ++i) {
        out[static_cast<size_t>(i)] = static_cast<char>((hits >> (8 * i)) & 0xFF);
        out[static_cast<size_t>(4 + i)] = static_cast<char>((score >> (8 * i)) & 0xFF);
    }
    return out + r.text;
}

bool CDnsBL::DecodeResult(std::string_view data, DnsBLResult* r) {
    if (data.size() < 8) return false;
    uint32_t hits = 0, score = 0;
    for (int i = 3; i >= 0; --i) {
        hits = hits << 8 | static_cast<uint8_t>(data[static_cast<size_t>(i)]);
        score = score << 8 | static_cast<uint8_t>(data[static_cast<size_t>(4 + i)]);
    }
    r->hits = static_cast<int32_t>(hits);
    std::memcpy(&r->score, &score, 4);
    r->text = std::string(data.substr(8));
    return true;
}

bool CDnsBL::FromCache(std::string_view ip, DnsBLResult* result) {
    if (!result) return false;
    *result = DnsBLResult{};
    const std::string key(ip);
    auto hit = Cache().Get(key);
    if (!hit) return false;
    DnsBLResult cached;
    if (!DecodeResult(hit->data, &cached)) return false;
    if (cached.hits == 0) {
        *result = cached;
        return true;
    }
    // Re-score with today's weights; a zone that left the configuration voids the record.
    float score = 0.0f;
    size_t start = 0;
    for (int32_t i = 0; i < cached.hits; ++i) {
        size_t end = cached.text.find(' ', start);
        float w = ZoneWeight(std::string_view(cached.text).substr(start, end == std::string::npos ? end : end - start));
        if (w == -1.0f) {
            Cache().Delete(key);
            return false;
        }
        score += w;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    cached.score = score;
    *result = cached;
    return true;
}

int CDnsBL::QueryDnsBL(std::string_view ip, DnsBLResult* result) {
    if (!result) return 0;
    *result = DnsBLResult{};
    const std::string key(ip);
    if (FromCache(ip, result)) return 1;
    const std::string server = PickServer();
    if (server.empty()) return 0;
    auto ep = platform::ParseEndpoint(server, kDnsPort);
    platform::UdpSocket sock;
    // Connected: only the server's datagrams arrive, and a refusal is seen at once.
    if (!ep || !sock.Open(!ep->ip.IsV4()) || !sock.Connect(*ep)) return 0;
    std::vector<Zone> zones = Zones();
    const auto address = common::IpAddress::Parse(ip);
    if (address && !address->IsV4()) std::erase_if(zones, [](const Zone& z) { return z.ipv4_only; });
    const std::string reversed = ReverseAddress(ip);

    // One query per zone; each reply must match one of them (ID and name) and counts once.
    struct Pending {
        uint16_t id;
        std::string name;
        const Zone* zone;
        bool answered = false;
    };
    std::vector<Pending> pending;
    thread_local std::mt19937 gen(std::random_device{}());
    const int single = single_timeout_ms.load();
    for (const Zone& z : zones) {
        std::string name = reversed + "." + z.name;
        uint16_t id = static_cast<uint16_t>(gen());
        auto q = BuildQuery(id, name, kTypeA);
        if (q && sock.SendTo(*ep, *q, single)) pending.push_back({id, std::move(name), &z});
    }
    int expected = std::max(1, std::min<int>(maxreplies.load(), static_cast<int>(zones.size())));
    int global = global_timeout_ms.load();
    if (global < 1) global = 250;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(global);
    int replies = 0;
    bool receive_error = false;
    std::string buffer;
    while (std::chrono::steady_clock::now() < deadline && !pending.empty()) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        const auto got = sock.Recv(buffer, 1024, std::min(single, std::max(left, 0)));
        if (got == platform::UdpSocket::RecvResult::kRefused) break;     // nobody listens there
        if (got == platform::UdpSocket::RecvResult::kTimeout) continue;  // wait on
        auto reply = ParseReply(buffer);
        if (!reply) continue;
        Pending* match = nullptr;
        for (Pending& p : pending)
            if (!p.answered && ReplyMatches(*reply, p.id, p.name)) match = &p;
        if (!match) continue;  // not an answer to this check
        match->answered = true;
        ++replies;
        --expected;
        bool listed = false;
        for (const DnsAnswer& a : reply->answers) listed = listed || IsListing(a);
        if (listed) {
            ++result->hits;
            result->text += " " + match->zone->name;
            float w = ZoneWeight(match->zone->name);
            if (w != -1.0f) result->score += w;
        }
        if (result->hits >= maxhit.load() || result->hits >= maxreplies.load() || expected <= 0) break;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (result->hits >= 1) SetServerScore(server, static_cast<int32_t>(elapsed.count()));
    if (!result->text.empty()) {
        result->text = result->text.substr(1);
        AddLog(4, "DNSBL result: score " + std::to_string(result->hits) + " - " + key + " -> " + result->text, "Dns",
               "CDnsBL::QueryDnsBL", "SYS", 0);
    }
    if (replies == 0 && !zones.empty()) {
        // Nobody answered: the address is unknown, not clean. Cached as clean it would pass
        // every list for the cache's whole age while the resolver is down.
        AddLog(4, "Socket Read Failed. Error Timeout", "Dns", "CDnsBL::QueryDnsBL", "DEBUG", 0);
        receive_error = true;
    }
    if (!receive_error) Cache().Insert(key, EncodeResult(*result), true);
    return 1;
}

float DNSBL_Score(CDnsBL* engine, std::string_view ip) {
    DnsBLResult r;
    if (!engine || ip.empty() || engine->QueryDnsBL(ip, &r) != 1) return 0.0f;
    return r.score;
}

std::string DNSBL_Ns(CDnsBL* engine, std::string_view ip) {
    DnsBLResult r;
    if (!engine || ip.empty() || engine->QueryDnsBL(ip, &r) != 1) return std::string();
    return r.text;
}

}  // namespace checks
