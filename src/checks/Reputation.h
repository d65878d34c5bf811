#pragma once
// The reputation lists the scripts consult about a client, its HELO name and the addresses of a
// message: the IP embargo ("inferno") list, the auto-whitelist of correspondents, the names a
// client must not claim in HELO, spam traps, and the per-address session counter. Each list
// is a table (or an in-memory list) with its own lock; any thread may call them.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "checks/ListTable.h"
#include "common/ClientPrefix.h"
#include "common/ThreadSafety.h"
#include "script/CS_Array.h"
#include "store/DB_RAM.h"

namespace checks {

class CDns;

// 1 for 10/8, 172.16/12, 192.168/16 and 127.0.0.x, and for IPv6 ::1, fc00::/7 and fe80::/10;
// anything else (other 127 addresses too) 0.
int IsLanIp(std::string_view ip);

// The IP embargo: client group (common::ClientPrefix's key: the address itself, or its network
// "2001:db8:1:2::/64") -> expiry (seconds since 1970, decimal text). An address is embargoed by
// a record of its own or of its group, so records written under another prefix still count.
class CIpInferno : public CListTable {
public:
    using CListTable::CListTable;
    void SetPrefix(common::ClientPrefix prefix) { prefix_ = prefix; }
    // Keeps the first expiry of a group.
    void Add(std::string_view ip, int32_t expiry);
    int Contains(std::string_view ip);
    // Marks expired records deleted and saves when any was; returns how many.
    int Hygiene(int64_t now);

private:
    std::atomic<common::ClientPrefix> prefix_{};
};

// The auto-whitelist: mail from local user U to X whitelists mail from X to U.
class CAutoWhitelist : public CListTable {
public:
    using CListTable::CListTable;
    void Add(std::string_view sender, std::string_view recipients);
    int Contains(std::string_view sender, std::string_view recipient);
    int View(script::CS_Array* result, int count, int start, std::string_view filter, int field);
    static std::string Key(std::string_view first, std::string_view second);
};

// The domains the system receives mail for (the local-domain table, a later engine).
class LocalDomains {
public:
    virtual ~LocalDomains() = default;
    virtual std::vector<std::string> Domains() = 0;
};

// The live keys of a domain table.
class TableDomains : public LocalDomains {
public:
    explicit TableDomains(store::CDB_RAM& table) : table_(table) {}
    std::vector<std::string> Domains() override;

private:
    store::CDB_RAM& table_;
};

// Names a client must not claim in HELO: the system's own names and addresses.
class CHeloForget : public CListTable {
public:
    using CListTable::CListTable;
    int Contains(std::string_view helo);
    // Rebuilds the list from the public address, the system name and the MX hosts of the local
    // domains that resolve to the public address. 0 when a refresh runs already or there is no
    // public address; 1 when rebuilt.
    int Refresh(std::string_view public_ip, std::string_view my_name, CDns* dns, LocalDomains* domains);

private:
    std::atomic<bool> refreshing_{false};
};

// Spam traps: MD5 of the lower-cased address.
class CSpamTrap : public CListTable {
public:
    using CListTable::CListTable;
    void Add(std::string_view address);
    int Contains(std::string_view addresses);
    // Copies the local table's traps (an operator fills it with morvane-db or a script) to the
    // shared store, so every kernel knows them; the core calls it when Redis is configured.
    void PublishShared();
    // Takes the site's traps (a small list that seldom changes) from the shared store into
    // memory, so that checking a recipient costs no round trip; the core calls it every few
    // seconds. Kept as they were when Redis does not answer.
    void SyncShared();
    static const char* Response();

private:
    common::Mutex synced_mu_;
    std::unordered_set<std::string> synced_ GUARDED_BY(synced_mu_);  // the site's, by key
};

// Open sessions per client group (common::ClientPrefix), with a maximum. Entries keep the
// address itself, so a new prefix applies at once to the sessions already open.
class CSessionCounter {
public:
    void SetMaximum(int maximum) { maximum_ = maximum; }
    int Maximum() const { return maximum_; }
    void SetPrefix(common::ClientPrefix prefix) { prefix_ = prefix; }
    // With Redis on, every node's sessions count: each is a member of its group's sorted set,
    // scored with when it lapses, so the sessions of a node that died vanish within kSharedTtlMs.
    // `node` names this kernel among the others. Set before any other thread uses the counter.
    void SetShared(CRedis* redis, std::string node) {
        shared_ = redis;
        node_ = std::move(node);
    }
    static constexpr int64_t kSharedTtlMs = 60000;
    // Keeps this node's sessions alive in the shared store; the core calls it every few seconds.
    void RefreshShared();
    void Add(std::string_view ip);
    // Registers a session of the address unless its group has the maximum open already (then
    // counted as a refusal). With Redis on, one round trip for the count and the registration.
    bool Admit(std::string_view ip);
    // True when the address was registered (one entry removed).
    bool Remove(std::string_view ip);
    // Sessions of the address's group; a count at the maximum is counted as a refusal.
    int Count(std::string_view ip);
    int Refusals() const { return refusals_; }

private:
    struct Entry {
        std::string text;  // as registered: what Remove matches
        std::optional<common::IpAddress> ip;
        std::string group, member;  // in the shared store
    };
    CRedis* Shared() const { return shared_ != nullptr && shared_->Up() ? shared_ : nullptr; }
    // An entry of `ip`, with its member of the shared set when `r` is given.
    Entry NewEntry(std::string_view ip, CRedis* r);
    // The commands that keep `e` counted until `lapse_ms` (wall clock).
    static void KeepAlive(const Entry& e, int64_t lapse_ms, std::vector<std::vector<std::string>>* commands);
    // This kernel's sessions of the address's group (`a`: the address parsed, if it is one).
    int CountLocked(std::string_view ip, const std::optional<common::IpAddress>& a) const REQUIRES(mu_);
    CRedis* shared_ = nullptr;
    std::string node_;
    std::atomic<uint64_t> next_member_{0};
    common::Mutex mu_;
    std::vector<Entry> entries_ GUARDED_BY(mu_);
    std::atomic<int> maximum_{3};
    std::atomic<int> refusals_{0};
    std::atomic<common::ClientPrefix> prefix_{};
};

}  // namespace checks
