#include "checks/Dns.h"

#include <chrono>
#include <random>

#include "common/Regex.h"
#include "platform/KFile.h"
#include "platform/UdpSocket.h"

namespace checks {

namespace {

CDns* g_dns = nullptr;

// Query IDs are random: a predictable ID lets anyone who can send us datagrams forge answers
// (and so list or unlist clients on a block list).
uint16_t NewQueryId() {
    thread_local std::mt19937 gen(std::random_device{}());
    return static_cast<uint16_t>(gen());
}

std::string CacheKey(std::string_view name, uint16_t qtype) { return std::string(name) + " " + std::to_string(qtype); }

// CNAME-like answers are followed at most this many times.
constexpr int kMaxResolveChain = 8;

}  // namespace

CDns::CDns(const std::string& cache_path) {
    if (!cache_path.empty() && cache_.Open(cache_path)) {
        persistent_ = true;
        cache_.Load();
    }
}

CDns::~CDns() {
    if (persistent_) cache_.Save();
}

CDns* CDns::Global() { return g_dns; }
void CDns::SetGlobal(CDns* dns) { g_dns = dns; }

void CDns::AddNameServer(std::string_view name) {
    if (name.empty()) return;
    store::EngineGuard lock(mu_);
    for (const auto& s : servers_)
        if (s.first == name) return;
    servers_.emplace_back(std::string(name), 0);
}

void CDns::ClearNameServers() {
    store::EngineGuard lock(mu_);
    servers_.clear();
}

void CDns::SetServerScore(std::string_view name, int32_t value) {
    store::EngineGuard lock(mu_);
    for (auto& s : servers_)
        if (s.first == name) s.second = value;
}

std::string CDns::PickServer() const {
    store::EngineGuard lock(mu_);
    if (servers_.empty()) return "127.0.0.1";
    const std::pair<std::string, int32_t>* best = &servers_[0];
    for (const auto& s : servers_)
        if (s.second < best->second) best = &s;
    return best->first;
}

std::vector<std::pair<std::string, int32_t>> CDns::Servers() const {
    store::EngineGuard lock(mu_);
    return servers_;
}

bool CDns::Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers, int timeout) {
    size_t attempts;
    {
        store::EngineGuard lock(mu_);
        attempts = servers_.size();
    }
    if (name.empty() || !answers || attempts == 0) return false;
    answers->clear();
    const std::string key = CacheKey(name, qtype);
    if (auto hit = cache_.Get(key)) {
        auto reply = ParseReply(hit->data);
        if (!reply) return false;
        *answers = std::move(reply->answers);
        return true;
    }
    const std::string asked = qtype == kTypePTR ? ReverseName(name) : std::string(name);
    const uint16_t id = NewQueryId();
    auto query = BuildQuery(id, asked, qtype);
    if (!query) return false;
    const int wait = timeout >= 0 ? timeout : timeout_ms.load();
    platform::UdpSocket sock;
    if (!sock.Open()) return false;
    std::string response;
    std::optional<DnsReply> reply;
    for (size_t attempt = 0; attempt < attempts && !reply; ++attempt) {
        const std::string server = PickServer();
        auto ep = platform::ParseEndpoint(server, kDnsPort);
        auto t0 = std::chrono::steady_clock::now();
        auto deadline = t0 + std::chrono::milliseconds(wait);
        if (ep && sock.SendTo(*ep, *query, wait)) {
            // Datagrams that do not answer this query (another ID or name, a late reply to
            // an earlier one) are dropped and the wait goes on.
            for (;;) {
                int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                deadline - std::chrono::steady_clock::now()).count());
                if (left < 0) left = 0;
                platform::Endpoint from;
                if (!sock.RecvFrom(response, kDnsBufferSize, left, &from)) break;
                if (!(from == *ep)) continue;
                auto parsed = ParseReply(response);
                if (parsed && ReplyMatches(*parsed, id, asked)) {
                    reply = std::move(parsed);
                    break;
                }
                if (left == 0) break;
            }
        }
        if (reply) {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
            SetServerScore(server, static_cast<int32_t>(elapsed.count()));
        } else {
            SetServerScore(server, wait + 1000);
        }
    }
    if (!reply) return false;
    cache_.Insert(key, response, true);
    *answers = std::move(reply->answers);
    return true;
}

std::string DnsResolve(CDns& dns, std::string_view name, int timeout_ms) {
    std::string current(name);
    for (int hop = 0; hop < kMaxResolveChain; ++hop) {
        std::vector<DnsAnswer> answers;
        if (!dns.Query(current, kTypeA, &answers, timeout_ms) || answers.empty()) return std::string();
        // The first address answer; else the first answer's target (a CNAME) is asked again.
        const DnsAnswer* pick = &answers.front();
        for (const DnsAnswer& a : answers)
            if (a.type == kTypeA) {
                pick = &a;
                break;
            }
        const std::string& data = pick->data;
        if (common::RegexTest("^\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}$", 0, data)) return data;
        if (data.empty()) return std::string();
        current = data;  // a CNAME-like answer: ask again for its target
    }
    return std::string();
}

std::string DnsReverse(CDns& dns, std::string_view ip, int timeout_ms) {
    std::vector<DnsAnswer> answers;
    if (!dns.Query(ip, kTypePTR, &answers, timeout_ms) || answers.empty()) return std::string();
    return answers.front().data;
}

namespace {
std::string Joined(CDns& dns, std::string_view name, uint16_t type, int timeout_ms) {
    std::vector<DnsAnswer> answers;
    if (!dns.Query(name, type, &answers, timeout_ms)) return std::string();
    std::string out;
    for (const DnsAnswer& a : answers) {
        if (a.type != type) continue;
        if (!out.empty()) out += ';';
        out += a.data;
    }
    return out;
}
}  // namespace

std::string DnsMx(CDns& dns, std::string_view domain, int timeout_ms) { return Joined(dns, domain, kTypeMX, timeout_ms); }
std::string DnsNs(CDns& dns, std::string_view domain, int timeout_ms) { return Joined(dns, domain, kTypeNS, timeout_ms); }

std::string DnsTxt(CDns& dns, std::string_view name, int timeout_ms) {
    std::vector<DnsAnswer> answers;
    if (!dns.Query(name, kTypeTXT, &answers, timeout_ms) || answers.empty()) return std::string();
    return answers.front().data;
}

}  // namespace checks
