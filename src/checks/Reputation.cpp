#include "checks/Reputation.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "checks/AddressList.h"
#include "checks/Dns.h"
#include "checks/Greylist.h"
#include "common/Clock.h"
#include "common/IpAddress.h"
#include "common/Md5.h"
#include "common/Regex.h"
#include "common/String.h"

namespace checks {

namespace {

// Lapse times in the shared store are read by every node: the wall clock, not a machine's own
// steady clock.
int64_t WallMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Lower(std::string_view s) {
    return common::String(s).MakeLower().str();
}

}  // namespace

int IsLanIp(std::string_view ip) {
    if (ip.find(':') != std::string_view::npos) {
        // IPv6: the loopback, unique local addresses (fc00::/7) and link-local ones (fe80::/10).
        const auto v6 = common::IpAddress::Parse(ip);
        if (!v6 || v6->IsV4()) return v6 ? IsLanIp(v6->ToString()) : 0;
        static const common::IpAddress kLoopback = *common::IpAddress::Parse("::1"),
                                       kUniqueLocal = *common::IpAddress::Parse("fc00::"),
                                       kLinkLocal = *common::IpAddress::Parse("fe80::");
        return *v6 == kLoopback || v6->SamePrefix(kUniqueLocal, 7) || v6->SamePrefix(kLinkLocal, 10) ? 1 : 0;
    }
    auto a = CAddressList::ParseIPv4(ip);
    if (!a) return 0;
    auto [x, y, z, w] = *a;
    (void)w;
    if (x == 127 && y == 0 && z == 0) return 1;
    if (x == 10) return 1;
    if (x == 192 && y == 168) return 1;
    if (x == 172 && y >= 16 && y <= 31) return 1;
    return 0;
}

void CIpInferno::Add(std::string_view ip, int32_t expiry) {
    if (ip.empty()) return;
    // A group already listed keeps its first expiry.
    const std::string key = prefix_.load().Key(ip);
    table_.Insert(key, std::to_string(expiry));
    if (CRedis* r = Shared(); r != nullptr && expiry > common::NowSeconds())
        (void)r->Command({"SET", SharedKey(key), std::to_string(expiry), "NX", "EXAT", std::to_string(expiry)});
}

int CIpInferno::Contains(std::string_view ip) {
    if (ip.empty()) return 0;
    if (table_.Find(ip) >= 0) return 1;
    const std::string key = prefix_.load().Key(ip);
    if (key != ip && table_.Find(key) >= 0) return 1;
    // Another node's listing: one round trip for the address and its group.
    if (CRedis* r = Shared()) {
        const auto reply = r->Command({"EXISTS", SharedKey(ip), SharedKey(key)});
        return reply && reply->integer > 0 ? 1 : 0;
    }
    return 0;
}

int CIpInferno::Hygiene(int64_t now) {
    int expired = table_.DeleteIf([now](const store::DbRecord& r) {
        int64_t expiry = 0;
        std::from_chars(r.data.data(), r.data.data() + r.data.size(), expiry);
        return expiry <= now;
    });
    if (expired > 0) (void)table_.Save();  // a failure is reported; the periodic save retries
    return expired;
}

std::string CAutoWhitelist::Key(std::string_view first, std::string_view second) {
    return common::Md5Hex(Lower(std::string(first) + std::string(second)));
}

void CAutoWhitelist::Add(std::string_view sender, std::string_view recipients) {
    if (sender.empty() || recipients.empty()) return;
    const std::string from = StripBatv(sender);
    for (std::string_view rcpt : common::SplitNonEmpty(recipients, ' ')) {
        if (rcpt == from) continue;
        const std::string key = Key(rcpt, from);
        const std::string data = from + '\x02' + std::string(rcpt);
        // A known pair is rewritten with its first time kept: it expires when first made.
        if (table_.Update(key, data, true) < 0) table_.Insert(key, data);
        if (CRedis* r = Shared()) {
            std::vector<std::string> set{"SET", SharedKey(key), data, "NX"};
            if (const int64_t age = table_.AgeSeconds(); age > 0) {
                set.push_back("EX");
                set.push_back(std::to_string(age));
            }
            (void)r->Command(std::move(set));
        }
    }
}

int CAutoWhitelist::Contains(std::string_view sender, std::string_view recipient) {
    if (sender.empty() || recipient.empty()) return 0;
    const std::string key = Key(StripBatv(sender), recipient);
    if (table_.Find(key) >= 0) return 1;
    if (CRedis* r = Shared()) {
        const auto reply = r->Command({"EXISTS", SharedKey(key)});
        return reply && reply->integer > 0 ? 1 : 0;
    }
    return 0;
}

int CAutoWhitelist::View(script::CS_Array* result, int count, int start, std::string_view filter, int field) {
    return ViewTable(table_, result, count, start, filter, field, 2,
                     [](const store::DbRecord& r, const std::vector<std::string>& f) {
                         std::string v = std::to_string(r.timestamp);
                         for (size_t i = 0; i < 2; ++i) v += '\x02' + (i < f.size() ? f[i] : std::string());
                         return v + '\x02';
                     });
}

std::vector<std::string> TableDomains::Domains() {
    std::vector<std::string> out;
    table_.ForEach([&out](const store::DbRecord& r) {
        if (!r.deleted) out.push_back(r.key);
    });
    return out;
}

int CHeloForget::Contains(std::string_view helo) {
    if (helo.empty()) return 0;
    if (table_.Find(Lower(helo)) >= 0) return 1;
    // An address literal in any of its spellings ("[IPv6:2001:DB8:0::1]", "[192.0.2.1]") is
    // the address.
    std::string_view literal = helo;
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    if (literal.size() > 5 && common::AsciiEqualNoCase(literal.substr(0, 5), "ipv6:")) literal.remove_prefix(5);
    const auto ip = common::IpAddress::Parse(literal);
    return ip && table_.Find(ip->ToString()) >= 0 ? 1 : 0;
}

int CHeloForget::Refresh(std::string_view public_ip, std::string_view my_name, CDns* dns, LocalDomains* domains) {
    if (refreshing_.exchange(true)) return 0;
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = false; }
    } done{refreshing_};
    if (public_ip.empty()) return 0;
    table_.Reset();
    (void)table_.Save();  // a failure is reported; the full save below is the one that counts
    const auto parsed = common::IpAddress::Parse(public_ip);
    const bool v6 = parsed && !parsed->IsV4();
    const std::string ip = parsed ? parsed->ToString() : std::string(public_ip);
    if (dns && domains) {
        for (const std::string& domain : domains->Domains()) {
            std::string mx = DnsMx(*dns, domain);
            size_t start = 0;
            while (start < mx.size()) {
                size_t end = mx.find(';', start);
                if (end == std::string::npos) end = mx.size();
                std::string host = common::String(Lower(std::string_view(mx).substr(start, end - start))).Trim().str();
                start = end + 1;
                if (host.empty()) continue;
                if ((v6 ? DnsResolve6(*dns, host) : DnsResolve(*dns, host)) == ip) table_.Insert(host, ip);
            }
        }
    }
    const std::string name = Lower(my_name);
    if (!name.empty()) table_.Insert(name, name);
    for (const std::string& key : {ip, "[" + ip + "]", "'" + ip + "'", std::string("friends")}) table_.Insert(key, ip);
    if (v6) table_.Insert("[ipv6:" + ip + "]", ip);  // RFC 5321's literal, as HELO is compared lower-cased
    table_.Insert("localhost", "127.0.0.1");
    (void)table_.Save();  // a failure is reported and logged by the core; the list holds in memory
    return 1;
}

void CSpamTrap::Add(std::string_view address) {
    if (address.empty()) return;
    const std::string key = common::Md5Hex(Lower(address));
    table_.Insert(key, "1");
    if (CRedis* r = Shared()) (void)r->Command({"SADD", SharedKey("all"), key});
}

int CSpamTrap::Contains(std::string_view addresses) {
    for (std::string_view a : common::SplitNonEmpty(addresses, ' ')) {
        const std::string key = common::Md5Hex(Lower(a));
        if (table_.Find(key) >= 0) return 1;
        if (shared_ != nullptr) {
            common::MutexLock lock(synced_mu_);
            if (synced_.count(key) > 0) return 1;
        }
    }
    return 0;
}

void CSpamTrap::PublishShared() {
    CRedis* r = Shared();
    if (r == nullptr) return;
    std::vector<std::string> add{"SADD", SharedKey("all")};
    table_.ForEach([&](const store::DbRecord& rec) {
        if (!rec.deleted) add.push_back(rec.key);
    });
    if (add.size() > 2) (void)r->Command(std::move(add));
    SyncShared();
}

void CSpamTrap::SyncShared() {
    CRedis* r = Shared();
    if (r == nullptr) return;
    const auto reply = r->Command({"SMEMBERS", SharedKey("all")});
    if (!reply || reply->type != RedisReply::Type::kArray) return;
    std::unordered_set<std::string> keys;
    for (const RedisReply& e : reply->elements) keys.insert(e.str);
    common::MutexLock lock(synced_mu_);
    synced_.swap(keys);
}

const char* CSpamTrap::Response() {
    return "550 5.7.1 ...PER ME SI VA NE LA CITTA' DOLENTE,\r\n"
           "550 5.7.1 PER ME SI VA NE L'ETERNO DOLORE,\r\n"
           "550 5.7.1 PER ME SI VA TRA LA PERDUTA GENTE.\r\n"
           "550 5.7.1 GIUSTIZIA MOSSE IL MIO ALTO FATTORE:\r\n"
           "550 5.7.1 FECEMI LA DIVINA POTESTATE,\r\n"
           "550 5.7.1 LA SOMMA SAPIENZA E'L PRIMO AMORE.\r\n"
           "550 5.7.1 DINANZI A ME NON FUR COSE CREATE\r\n"
           "550 5.7.1 SE NON ETERNE, E IO ETERNA DURO.\r\n"
           "550 5.7.1 LASCIATE OGNI SPERANZA, VOI CH'ENTRATE...\r\n";
}

CSessionCounter::Entry CSessionCounter::NewEntry(std::string_view ip, CRedis* r) {
    Entry e{std::string(ip), common::IpAddress::Parse(ip), {}, {}};
    if (r != nullptr) {
        e.group = r->Key("sessions", prefix_.load().Key(ip));
        e.member = node_ + ":" + std::to_string(next_member_.fetch_add(1));
    }
    return e;
}

void CSessionCounter::KeepAlive(const Entry& e, int64_t lapse_ms, std::vector<std::vector<std::string>>* commands) {
    commands->push_back({"ZADD", e.group, std::to_string(lapse_ms), e.member});
    commands->push_back({"PEXPIRE", e.group, std::to_string(kSharedTtlMs * 2)});
}

void CSessionCounter::Add(std::string_view ip) {
    CRedis* r = Shared();
    Entry e = NewEntry(ip, r);
    if (r != nullptr) {
        std::vector<std::vector<std::string>> commands;
        KeepAlive(e, WallMillis() + kSharedTtlMs, &commands);
        (void)r->Run(commands);
    }
    common::MutexLock lock(mu_);
    entries_.push_back(std::move(e));
}

int CSessionCounter::CountLocked(std::string_view ip, const std::optional<common::IpAddress>& a) const {
    const common::ClientPrefix prefix = prefix_.load();
    int n = 0;
    for (const Entry& e : entries_) n += a && e.ip ? prefix.SameGroup(*a, *e.ip) : e.text == ip;
    return n;
}

bool CSessionCounter::Admit(std::string_view ip) {
    const int maximum = maximum_.load();
    if (CRedis* r = Shared()) {
        Entry e = NewEntry(ip, r);
        // Lapsed members (a node that died) go first; ours is registered and the group counted.
        const int64_t now = WallMillis();
        std::vector<std::vector<std::string>> commands{{"ZREMRANGEBYSCORE", e.group, "-inf", std::to_string(now)}};
        KeepAlive(e, now + kSharedTtlMs, &commands);
        commands.push_back({"ZCARD", e.group});
        const auto replies = r->Run(commands);
        if (replies && replies->back().type == RedisReply::Type::kInteger) {
            if (replies->back().integer > maximum) {  // ours included
                (void)r->Command({"ZREM", e.group, e.member});
                ++refusals_;
                return false;
            }
            common::MutexLock lock(mu_);
            entries_.push_back(std::move(e));
            return true;
        }
    }
    // Local only (Redis off, or failed just now).
    Entry e = NewEntry(ip, nullptr);
    common::MutexLock lock(mu_);
    if (CountLocked(ip, e.ip) + 1 > maximum) {
        ++refusals_;
        return false;
    }
    entries_.push_back(std::move(e));
    return true;
}

bool CSessionCounter::Remove(std::string_view ip) {
    Entry gone;
    {
        common::MutexLock lock(mu_);
        auto it = std::find_if(entries_.begin(), entries_.end(), [ip](const Entry& e) { return e.text == ip; });
        if (it == entries_.end()) return false;
        gone = std::move(*it);
        entries_.erase(it);
    }
    if (CRedis* r = Shared(); r != nullptr && !gone.member.empty()) (void)r->Command({"ZREM", gone.group, gone.member});
    return true;
}

int CSessionCounter::Count(std::string_view ip) {
    int n = -1;
    // Every node's sessions of the group; its lapsed members (a node that died) go first.
    if (CRedis* r = Shared()) {
        const std::string group = r->Key("sessions", prefix_.load().Key(ip));
        const auto replies =
            r->Run({{"ZREMRANGEBYSCORE", group, "-inf", std::to_string(WallMillis())}, {"ZCARD", group}});
        if (replies && replies->back().type == RedisReply::Type::kInteger)
            n = static_cast<int>(replies->back().integer);
    }
    if (n < 0) {
        const auto a = common::IpAddress::Parse(ip);
        common::MutexLock lock(mu_);
        n = CountLocked(ip, a);
    }
    if (n >= maximum_) ++refusals_;
    return n;
}

void CSessionCounter::RefreshShared() {
    CRedis* r = Shared();
    if (r == nullptr) return;
    std::vector<std::vector<std::string>> commands;
    const int64_t lapse = WallMillis() + kSharedTtlMs;
    {
        common::MutexLock lock(mu_);
        for (const Entry& e : entries_)
            if (!e.member.empty()) KeepAlive(e, lapse, &commands);
    }
    if (!commands.empty()) (void)r->Run(commands);
}

}  // namespace checks
