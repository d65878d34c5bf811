#include "checks/Dns.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <random>

#include "common/Clock.h"
#include "platform/EventLoop.h"
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

std::string CacheKey(std::string_view name, uint16_t qtype) {
    return std::string(name) + " " + std::to_string(qtype);
}

// CNAME-like answers are followed at most this many times.
constexpr int kMaxResolveChain = 8;
// Names whose lookup failed, remembered at most this many at once.
constexpr size_t kMaxRememberedFailures = 4096;

}  // namespace

CDns::CDns(const std::string& cache_path) {
    if (!cache_path.empty() && cache_.Open(cache_path)) {
        persistent_ = true;
        cache_.Load();
    }
}

CDns::~CDns() {
    if (persistent_) (void)cache_.Save();  // a failure is reported; a cache is rebuilt by use
}

CDns* CDns::Global() {
    return g_dns;
}
void CDns::SetGlobal(CDns* dns) {
    g_dns = dns;
}

void CDns::AddNameServer(std::string_view name) {
    if (name.empty()) return;
    store::EngineGuard lock(mu_);
    for (const auto& s : servers_)
        if (s.first == name) return;
    servers_.emplace_back(std::string(name), 0);
    down_until_.push_back(0);
}

void CDns::ClearNameServers() {
    store::EngineGuard lock(mu_);
    servers_.clear();
    down_until_.clear();
}

void CDns::SetNameServers(const std::vector<std::string>& names) {
    store::EngineGuard lock(mu_);
    std::vector<std::pair<std::string, int32_t>> servers;
    std::vector<int64_t> down;
    for (const std::string& n : names) {
        if (n.empty() || std::any_of(servers.begin(), servers.end(), [&](const auto& s) { return s.first == n; }))
            continue;
        int32_t score = 0;
        int64_t until = 0;
        for (size_t i = 0; i < servers_.size(); ++i)
            if (servers_[i].first == n) {
                score = servers_[i].second;
                until = down_until_[i];
            }
        servers.emplace_back(n, score);
        down.push_back(until);
    }
    servers_.swap(servers);
    down_until_.swap(down);
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

std::string CDns::PickUp(const std::vector<std::string>& tried) const {
    const int64_t now = common::SteadyMillis();
    store::EngineGuard lock(mu_);
    const std::pair<std::string, int32_t>* best = nullptr;
    for (size_t i = 0; i < servers_.size(); ++i) {
        const auto& s = servers_[i];
        if (down_until_[i] > now || std::find(tried.begin(), tried.end(), s.first) != tried.end()) continue;
        if (!best || s.second < best->second) best = &s;
    }
    return best ? best->first : std::string();
}

void CDns::MarkDown(std::string_view name) {
    const int64_t until = common::SteadyMillis() + down_ms.load();
    store::EngineGuard lock(mu_);
    for (size_t i = 0; i < servers_.size(); ++i)
        if (servers_[i].first == name) down_until_[i] = until;
}

size_t CDns::ServersUp() const {
    const int64_t now = common::SteadyMillis();
    store::EngineGuard lock(mu_);
    size_t up = 0;
    for (int64_t until : down_until_) up += until <= now;
    return up;
}

std::vector<std::pair<std::string, int32_t>> CDns::Servers() const {
    store::EngineGuard lock(mu_);
    return servers_;
}

bool CDns::RecentFailure(const std::string& key) {
    common::MutexLock lock(failures_mu_);
    auto it = failures_.find(key);
    if (it == failures_.end()) return false;
    if (it->second > common::SteadyMillis()) return true;
    failures_.erase(it);
    return false;
}

void CDns::NoteFailure(const std::string& key) {
    common::MutexLock lock(failures_mu_);
    if (failures_.size() >= kMaxRememberedFailures) failures_.clear();  // a flood of new names: start over
    failures_[key] = common::SteadyMillis() + failure_memo_ms.load();
}

bool CDns::Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers, int timeout, int budget_ms,
                 bool remember_failure, int* rcode) {
    {
        store::EngineGuard lock(mu_);
        if (servers_.empty()) return false;
    }
    if (name.empty() || !answers) return false;
    answers->clear();
    const std::string key = CacheKey(name, qtype);
    if (auto hit = cache_.Get(key)) {
        cache_hits_.fetch_add(1, std::memory_order_relaxed);
        auto reply = ParseReply(hit->data);
        if (!reply) return false;
        if (rcode) *rcode = reply->flags & 0xF;
        *answers = std::move(reply->answers);
        return true;
    }
    if (remember_failure && RecentFailure(key)) return false;
    queries_.fetch_add(1, std::memory_order_relaxed);
    const std::string asked = qtype == kTypePTR ? ReverseName(name) : std::string(name);
    const uint16_t id = NewQueryId();
    auto query = BuildQuery(id, asked, qtype);
    if (!query) return false;
    const int wait = timeout >= 0 ? timeout : timeout_ms.load();
    const auto start = std::chrono::steady_clock::now();
    const auto end_of_budget = start + std::chrono::milliseconds(budget_ms >= 0 ? budget_ms : INT32_MAX / 2);
    std::string response;
    std::optional<DnsReply> reply;
    std::vector<std::string> tried;
    // Every server that is up, best first, each once.
    for (std::string server; !reply && !(server = PickUp(tried)).empty();) {
        tried.push_back(server);
        const auto t0 = std::chrono::steady_clock::now();
        if (t0 >= end_of_budget) break;
        const auto deadline = std::min(t0 + std::chrono::milliseconds(wait), end_of_budget);
        auto ep = platform::ParseEndpoint(server, kDnsPort);
        platform::UdpSocket sock;
        bool refused = false;
        if (ep && sock.Open(!ep->ip.IsV4()) && sock.Connect(*ep) && sock.SendTo(*ep, *query, wait)) {
            // Datagrams that do not answer this query (another ID or name, a late reply to an
            // earlier one) are dropped and the wait goes on.
            for (;;) {
                int left = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count());
                if (left < 0) left = 0;
                platform::UdpSocket::RecvResult got = sock.Recv(response, kDnsBufferSize, left);
                if (got == platform::UdpSocket::RecvResult::kRefused) {
                    refused = true;
                    break;
                }
                if (got == platform::UdpSocket::RecvResult::kTimeout) break;
                auto parsed = ParseReply(response);
                if (parsed && ReplyMatches(*parsed, id, asked)) {
                    reply = std::move(parsed);
                    break;
                }
                if (left == 0) break;
            }
        } else {
            refused = true;
        }
        if (reply) {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
            SetServerScore(server, static_cast<int32_t>(elapsed.count()));
        } else if (refused || (deadline == t0 + std::chrono::milliseconds(wait) && !platform::PollInterrupted())) {
            // Refused, or silent for its whole time-out (not merely cut short by the budget, or
            // by a stopping session).
            SetServerScore(server, wait + 1000);
            MarkDown(server);
            if (!refused) timeouts_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (!reply) {
        unanswered_.fetch_add(1, std::memory_order_relaxed);
        if (remember_failure) NoteFailure(key);
        return false;
    }
    const int code = reply->flags & 0xF;
    if (rcode) *rcode = code;
    if (code == kRcodeNoError || code == kRcodeNameError) cache_.Insert(key, response, true);
    *answers = std::move(reply->answers);
    return true;
}

CDns::Counters CDns::GetCounters() const {
    return {cache_hits_.load(std::memory_order_relaxed), queries_.load(std::memory_order_relaxed),
            unanswered_.load(std::memory_order_relaxed), timeouts_.load(std::memory_order_relaxed)};
}

namespace {
// The first address of `type` (A or AAAA) of a name, following aliases a server left to us.
std::string ResolveAddress(CDns& dns, std::string_view name, uint16_t type, int timeout_ms) {
    std::string current(name);
    for (int hop = 0; hop < kMaxResolveChain; ++hop) {
        std::vector<DnsAnswer> answers;
        if (!dns.Query(current, type, &answers, timeout_ms) || answers.empty()) return std::string();
        // The first address answer; else the first answer's target (a CNAME) is asked again.
        for (const DnsAnswer& a : answers)
            if (a.type == type) return a.data;
        const std::string& data = answers.front().data;
        if (data.empty()) return std::string();
        current = data;
    }
    return std::string();
}
}  // namespace

std::string DnsResolve(CDns& dns, std::string_view name, int timeout_ms) {
    return ResolveAddress(dns, name, kTypeA, timeout_ms);
}

std::string DnsResolve6(CDns& dns, std::string_view name, int timeout_ms) {
    return ResolveAddress(dns, name, kTypeAAAA, timeout_ms);
}

std::string DnsReverse(CDns& dns, std::string_view ip, int timeout_ms) {
    std::vector<DnsAnswer> answers;
    if (!dns.Query(ip, kTypePTR, &answers, timeout_ms) || answers.empty()) return std::string();
    return answers.front().data;
}

std::string DnsReverseForSession(CDns& dns, std::string_view ip, int budget_ms) {
    std::vector<DnsAnswer> answers;
    if (!dns.Query(ip, kTypePTR, &answers, -1, budget_ms, true) || answers.empty()) return std::string();
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

std::string DnsMx(CDns& dns, std::string_view domain, int timeout_ms) {
    return Joined(dns, domain, kTypeMX, timeout_ms);
}
std::string DnsNs(CDns& dns, std::string_view domain, int timeout_ms) {
    return Joined(dns, domain, kTypeNS, timeout_ms);
}

std::string DnsTxt(CDns& dns, std::string_view name, int timeout_ms) {
    std::vector<DnsAnswer> answers;
    if (!dns.Query(name, kTypeTXT, &answers, timeout_ms) || answers.empty()) return std::string();
    return answers.front().data;
}

}  // namespace checks
