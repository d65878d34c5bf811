#include "checks/Community.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>

#include "common/Coding.h"
#include "common/Md5.h"
#include "common/String.h"

namespace checks {

namespace {

constexpr char kMagic[4] = {'M', 'V', 'C', '1'};
constexpr uint8_t kVersion = 1;
constexpr size_t kMaxField = 255;
constexpr size_t kFields = 4;

int64_t NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

std::string Mac(std::string_view data, std::string_view secret) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len);
    return std::string(reinterpret_cast<const char*>(out), len);
}

using common::GetBe;
using common::PutBe;

uint64_t RandomId() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    return gen();
}

std::string Lower(std::string_view s) {
    return common::AsciiLowered(s);
}

}  // namespace

std::string SignCommunity(std::string_view body, std::string_view secret) {
    return std::string(body) + Mac(body, secret);
}

std::string EncodeCommunity(const CommunityMessage& m, std::string_view secret) {
    std::string out(kMagic, 4);
    out += static_cast<char>(kVersion);
    out += static_cast<char>(m.type);
    PutBe(out, m.id, 8);
    PutBe(out, m.time, 4);
    out += static_cast<char>(m.verdict);
    for (const std::string* f : {&m.client_ip, &m.sender, &m.helo, &m.peer}) {
        size_t n = std::min(f->size(), kMaxField);
        out += static_cast<char>(n);
        out.append(*f, 0, n);
    }
    return SignCommunity(out, secret);
}

CmyDecode DecodeCommunity(std::string_view d, std::string_view secret, int64_t now, CommunityMessage* out) {
    if (d.size() < kCmyHeaderBytes + kFields + kCmyMacBytes || d.size() > kCmyMaxDatagram ||
        d.substr(0, 4) != std::string_view(kMagic, 4) || static_cast<uint8_t>(d[4]) != kVersion)
        return CmyDecode::kMalformed;
    const std::string_view body = d.substr(0, d.size() - kCmyMacBytes);
    const std::string expected = Mac(body, secret);
    if (secret.empty() || CRYPTO_memcmp(expected.data(), d.data() + body.size(), kCmyMacBytes) != 0)
        return CmyDecode::kForged;
    CommunityMessage m;
    m.type = static_cast<uint8_t>(d[5]);
    m.id = GetBe(d, 6, 8);
    m.time = static_cast<uint32_t>(GetBe(d, 14, 4));
    m.verdict = static_cast<uint8_t>(d[18]);
    size_t at = kCmyHeaderBytes;
    for (std::string* f : {&m.client_ip, &m.sender, &m.helo, &m.peer}) {
        if (at >= body.size()) return CmyDecode::kMalformed;
        size_t n = static_cast<unsigned char>(body[at++]);
        if (at + n > body.size()) return CmyDecode::kMalformed;
        *f = std::string(body.substr(at, n));
        at += n;
    }
    if (at != body.size() || m.type < kCmyQuery || m.type > kCmyAnnounce || m.verdict > kCmyHardfail)
        return CmyDecode::kMalformed;
    const int64_t skew = now - static_cast<int64_t>(m.time);
    if (skew > kCmyMaxSkewSeconds || skew < -kCmyMaxSkewSeconds) return CmyDecode::kStale;
    *out = std::move(m);
    return CmyDecode::kOk;
}

const char* CommunityVerdictName(int verdict) {
    switch (verdict) {
        case kCmySoftfail: return "SOFTFAIL";
        case kCmyFail: return "FAIL";
        case kCmyHardfail: return "HARDFAIL";
        default: return "NEUTRAL";
    }
}

std::string SenderDomain(std::string_view sender) {
    while (!sender.empty() && (sender.front() == '<' || sender.front() == ' ')) sender.remove_prefix(1);
    while (!sender.empty() && (sender.back() == '>' || sender.back() == ' ')) sender.remove_suffix(1);
    size_t at = sender.rfind('@');
    return Lower(at == std::string_view::npos ? sender : sender.substr(at + 1));
}

// ---------------------------------------------------------------------------------------------
// CBrumaCommunity

CBrumaCommunity::CBrumaCommunity(std::string cache_path) {
    cache_.Open(cache_path);
    cache_.Load();
    cache_.SetAge(1, static_cast<uint32_t>(kCacheSeconds));
}

void CBrumaCommunity::Configure(Settings s) {
    std::vector<Server> servers;
    for (const std::string& name : s.servers) {
        if (name.empty()) continue;
        Server sv;
        sv.name = name;
        sv.endpoint = platform::ParseEndpoint(name, 0);
        if (sv.endpoint && sv.endpoint->port == 0) sv.endpoint.reset();  // a port is required
        servers.push_back(std::move(sv));
    }
    common::MutexLock lock(mu_);
    // A changed secret or server list makes the remembered answers someone else's.
    if (s.secret != settings_.secret || s.servers != settings_.servers) cache_.Reset();
    settings_ = std::move(s);
    servers_ = std::move(servers);
}

std::string CBrumaCommunity::Secret() {
    common::MutexLock lock(mu_);
    return settings_.secret;
}

std::optional<int> CBrumaCommunity::Exchange(CommunityMessage m, int wait_ms, bool all, int* answered) {
    std::vector<std::pair<size_t, platform::Endpoint>> targets;
    std::string secret;
    {
        common::MutexLock lock(mu_);
        secret = settings_.secret;
        m.peer = settings_.peer;
        for (size_t i = 0; i < servers_.size(); ++i)
            if (servers_[i].endpoint) targets.emplace_back(i, *servers_[i].endpoint);
    }
    if (answered) *answered = 0;
    if (targets.empty() || secret.empty()) return std::nullopt;
    platform::UdpSocket s;
    if (!s.Open()) return std::nullopt;
    m.id = RandomId();
    m.time = static_cast<uint32_t>(NowSeconds());
    const std::string datagram = EncodeCommunity(m, secret);
    const auto start = std::chrono::steady_clock::now();
    for (const auto& t : targets)
        if (s.SendTo(t.second, datagram, 50)) ++sent_;
    if (wait_ms <= 0) return std::nullopt;
    std::optional<int> verdict;
    std::set<size_t> heard;
    const auto deadline = start + std::chrono::milliseconds(wait_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        std::string in;
        platform::Endpoint from;
        if (!s.RecvFrom(in, kCmyMaxDatagram + 1, static_cast<int>(left), &from)) break;
        CommunityMessage a;
        CmyDecode r = DecodeCommunity(in, secret, NowSeconds(), &a);
        if (r == CmyDecode::kMalformed) ++drops_.malformed;
        if (r == CmyDecode::kForged) ++drops_.forged;
        if (r == CmyDecode::kStale) ++drops_.stale;
        if (r != CmyDecode::kOk || a.type != kCmyAnswer || a.id != m.id) continue;
        auto t = std::find_if(targets.begin(), targets.end(), [&](const auto& x) { return x.second == from; });
        if (t == targets.end() || !heard.insert(t->first).second) continue;
        if (!verdict) verdict = a.verdict;
        if (!all || heard.size() == targets.size()) break;
    }
    common::MutexLock lock(mu_);
    for (const auto& t : targets) {
        if (t.first >= servers_.size()) continue;
        if (heard.count(t.first))
            ++servers_[t.first].answers;
        else
            ++servers_[t.first].timeouts;
    }
    if (answered) *answered = static_cast<int>(heard.size());
    return verdict;
}

int CBrumaCommunity::QueryVerdict(std::string_view client_ip, std::string_view sender, std::string_view helo,
                                  bool* answered) {
    if (answered) *answered = false;
    int timeout;
    {
        common::MutexLock lock(mu_);
        if (servers_.empty() || settings_.secret.empty()) return kCmyNeutral;
        timeout = std::max(1, settings_.timeout_ms);
    }
    const std::string key = common::Md5Hex(std::string(client_ip) + "|" + Lower(sender) + "|" + Lower(helo));
    std::optional<store::DbRecord> cached = cache_.Get(key);
    if (cached && cached->data.size() == 1 && NowSeconds() - cached->timestamp <= kCacheSeconds) {
        if (answered) *answered = true;
        return cached->data[0] - '0';
    }
    CommunityMessage q;
    q.type = kCmyQuery;
    q.client_ip = std::string(client_ip);
    q.sender = std::string(sender);
    q.helo = std::string(helo);
    std::optional<int> v = Exchange(std::move(q), timeout, false, nullptr);
    if (!v) return kCmyNeutral;
    if (answered) *answered = true;
    const std::string digit(1, static_cast<char>('0' + *v));
    if (cache_.Update(key, digit) < 0) cache_.Insert(key, digit);
    return *v;
}

float CBrumaCommunity::Query(std::string_view client_ip, std::string_view sender, std::string_view helo) {
    int v = QueryVerdict(client_ip, sender, helo);
    common::MutexLock lock(mu_);
    switch (v) {
        case kCmySoftfail: return settings_.softfail;
        case kCmyFail: return settings_.fail;
        case kCmyHardfail: return settings_.hardfail;
        default: return 0.0f;
    }
}

void CBrumaCommunity::Announce(std::string_view client_ip, std::string_view sender, std::string_view helo) {
    CommunityMessage a;
    a.type = kCmyAnnounce;
    a.verdict = kCmyFail;
    a.client_ip = std::string(client_ip);
    a.sender = std::string(sender);
    a.helo = std::string(helo);
    Exchange(std::move(a), 0, false, nullptr);
    // What this kernel itself judged spam is not to be taken from an older answer.
    cache_.Delete(common::Md5Hex(std::string(client_ip) + "|" + Lower(sender) + "|" + Lower(helo)));
}

std::string CBrumaCommunity::NameOfScore(float score) {
    common::MutexLock lock(mu_);
    if (score == settings_.softfail) return "SOFTFAIL";
    if (score == settings_.fail) return "FAIL";
    if (score == settings_.hardfail) return "HARDFAIL";
    return "NEUTRAL";
}

int CBrumaCommunity::Test(std::string_view sender) {
    CommunityMessage q;
    q.type = kCmyQuery;
    q.sender = std::string(sender);
    int timeout;
    {
        common::MutexLock lock(mu_);
        timeout = std::max(1, settings_.timeout_ms);
    }
    int answered = 0;
    Exchange(std::move(q), timeout, true, &answered);
    return answered;
}

int CBrumaCommunity::RefreshServers() {
    std::vector<std::string> names;
    {
        common::MutexLock lock(mu_);
        for (const Server& s : servers_) names.push_back(s.name);
    }
    std::vector<std::optional<platform::Endpoint>> resolved;
    for (const std::string& n : names) {
        auto ep = platform::ParseEndpoint(n, 0);
        if (ep && ep->port == 0) ep.reset();
        resolved.push_back(ep);
    }
    common::MutexLock lock(mu_);
    int count = 0;
    for (size_t i = 0; i < servers_.size() && i < resolved.size(); ++i)
        if (servers_[i].name == names[i]) {
            servers_[i].endpoint = resolved[i];
            if (resolved[i]) ++count;
        }
    return count;
}

void CBrumaCommunity::Servers(script::CS_Array* out) {
    if (!out) return;
    common::MutexLock lock(mu_);
    for (const Server& s : servers_) {
        std::string address = "unresolved";
        if (s.endpoint) address = platform::EndpointText(*s.endpoint);
        out->Set(s.name, address + "|" + std::to_string(s.answers) + "|" + std::to_string(s.timeouts));
    }
}

bool CBrumaCommunity::Save() {
    cache_.DeleteOld();
    return cache_.Save();
}

// ---------------------------------------------------------------------------------------------
// CCommunityServer

CCommunityServer::CCommunityServer(std::string table_path) {
    table_.Open(table_path);
    table_.Load();
    common::MutexLock lock(mu_);
    table_.ForEach([this](const store::DbRecord& r) NO_THREAD_SAFETY_ANALYSIS {
        if (r.deleted) return;
        size_t sep = r.data.find('\x02');
        if (sep == std::string::npos) return;
        int64_t& t = seen_by_[r.data.substr(0, sep)][r.data.substr(sep + 1)];
        t = std::max<int64_t>(t, r.timestamp);
    });
}

CCommunityServer::~CCommunityServer() {
    Stop();
}

void CCommunityServer::Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    socket_.reset();
    port_ = 0;
    bound_ip_.clear();
    bound_port_ = 0;
}

bool CCommunityServer::Configure(Settings s) {
    {
        common::MutexLock lock(mu_);
        settings_ = s;
    }
    table_.SetAge(3600, static_cast<uint32_t>(std::max(1, s.age_hours)));
    if (s.port <= 0 || s.port > 65535) {
        Stop();
        return true;
    }
    if (running_ && s.ip == bound_ip_ && s.port == bound_port_) return true;
    Stop();
    auto sock = std::make_unique<platform::UdpSocket>();
    if (!sock->Bind(s.ip, static_cast<uint16_t>(s.port))) return false;
    port_ = sock->LocalPort();
    socket_ = std::move(sock);
    bound_ip_ = s.ip;
    bound_port_ = s.port;
    running_ = true;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void CCommunityServer::Run() {
    while (running_) {
        std::string in;
        platform::Endpoint from;
        if (!socket_->RecvFrom(in, kCmyMaxDatagram + 1, 200, &from)) continue;
        Handle(in, from);
    }
}

bool CCommunityServer::FreshId(uint64_t id, int64_t now) {
    common::MutexLock lock(mu_);
    if (ids_.size() >= kMaxSeen || (!ids_.empty() && ids_.size() % 1024 == 0))
        for (auto it = ids_.begin(); it != ids_.end();)
            it = now - it->second > kSeenSeconds ? ids_.erase(it) : std::next(it);
    if (ids_.size() >= kMaxSeen) return false;  // flooded: refuse rather than forget
    return ids_.emplace(id, now).second;
}

void CCommunityServer::Handle(const std::string& datagram, const platform::Endpoint& from) {
    std::string secret;
    {
        common::MutexLock lock(mu_);
        secret = settings_.secret;
    }
    const int64_t now = NowSeconds();
    CommunityMessage m;
    switch (DecodeCommunity(datagram, secret, now, &m)) {
        case CmyDecode::kMalformed: ++drops_.malformed; return;
        case CmyDecode::kForged: ++drops_.forged; return;
        case CmyDecode::kStale: ++drops_.stale; return;
        case CmyDecode::kOk: break;
    }
    if (!FreshId(m.id, now)) {
        ++drops_.stale;  // a replay
        return;
    }
    if (m.type == kCmyAnnounce) {
        if (!m.peer.empty()) Record(m.client_ip, m.sender, m.peer, now);
        ++announcements_;
        return;
    }
    if (m.type != kCmyQuery) return;
    CommunityMessage a;
    a.type = kCmyAnswer;
    a.id = m.id;
    a.time = static_cast<uint32_t>(now);
    a.verdict = static_cast<uint8_t>(Judge(m.client_ip, m.sender, now));
    a.client_ip = m.client_ip;
    a.sender = m.sender;
    if (socket_->SendTo(from, EncodeCommunity(a, secret), 50)) ++answered_;
}

int CCommunityServer::Peers(const std::string& key, int64_t since) {
    auto it = seen_by_.find(key);
    if (it == seen_by_.end()) return 0;
    int n = 0;
    for (const auto& [peer, t] : it->second)
        if (t >= since) ++n;
    return n;
}

int CCommunityServer::Judge(std::string_view client_ip, std::string_view sender, int64_t now) {
    common::MutexLock lock(mu_);
    const int64_t since = now - static_cast<int64_t>(std::max(1, settings_.age_hours)) * 3600;
    int peers = 0;
    if (!client_ip.empty()) peers = Peers("ip:" + std::string(client_ip), since);
    const std::string domain = SenderDomain(sender);
    if (!domain.empty()) peers = std::max(peers, Peers("dom:" + domain, since));
    if (peers <= 0) return kCmyNeutral;
    if (settings_.hardfail_peers > 0 && peers >= settings_.hardfail_peers) return kCmyHardfail;
    if (settings_.fail_peers > 0 && peers >= settings_.fail_peers) return kCmyFail;
    if (settings_.softfail_peers > 0 && peers >= settings_.softfail_peers) return kCmySoftfail;
    return kCmyNeutral;
}

void CCommunityServer::Record(std::string_view client_ip, std::string_view sender, std::string_view peer, int64_t now) {
    std::vector<std::string> subjects;
    if (!client_ip.empty()) subjects.push_back("ip:" + std::string(client_ip));
    const std::string domain = SenderDomain(sender);
    if (!domain.empty()) subjects.push_back("dom:" + domain);
    common::MutexLock lock(mu_);
    for (const std::string& subject : subjects) {
        seen_by_[subject][std::string(peer)] = now;
        const std::string data = subject + '\x02' + std::string(peer);
        const std::string key = common::Md5Hex(data);
        if (table_.Update(key, data) < 0) table_.Insert(key, data);
    }
}

bool CCommunityServer::Save() {
    int64_t since;
    {
        common::MutexLock lock(mu_);
        since = NowSeconds() - static_cast<int64_t>(std::max(1, settings_.age_hours)) * 3600;
        for (auto it = seen_by_.begin(); it != seen_by_.end();) {
            for (auto p = it->second.begin(); p != it->second.end();)
                p = p->second < since ? it->second.erase(p) : std::next(p);
            it = it->second.empty() ? seen_by_.erase(it) : std::next(it);
        }
    }
    table_.DeleteOld();
    return table_.Save();
}

}  // namespace checks
