#pragma once
// CDnsBL: is a client address on the configured block lists? All zone queries go out at once
// over one socket to one name server; replies are collected until the global deadline, the hit
// limit or the reply limit. Results, listed or clean, are cached per address in their own table
// ("db/cache_dnsbl.db"), and a cached listing is re-scored with the current weights.
//
// A resolver engine (servers, scores, cache) with zones and limits on top. Any thread may
// check; zones and limits change only on the main thread's configuration load. Log items go to
// the engine's own queue.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks/Dns.h"
#include "common/ThreadSafety.h"
#include "log/LogQueue.h"

namespace checks {

struct DnsBLResult {
    int32_t hits = 0;
    float score = 0.0f;
    std::string text;  // the listing zones, separated by single blanks
};

class CDnsBL : public CDns, public logging::CLogQueue {
public:
    explicit CDnsBL(const std::string& cache_path);

    // "zone|weight", or "zone|weight|ipv4" for a list that holds IPv4 addresses only (it is not
    // asked about IPv6 clients); a missing weight is 0.
    void AddZone(std::string_view entry);
    void ClearZones();
    // Replaces the zones at once ("zone|weight" entries): a check meanwhile sees the old list or
    // the new, never an empty one.
    void SetZones(const std::vector<std::string>& entries);
    // The weight of the first zone named exactly so, or -1.0.
    float ZoneWeight(std::string_view zone) const;
    size_t ZoneCount() const;

    // The cached result of an address, re-scored with today's weights; false when there is
    // none (or it named a zone no longer configured, which drops it). Never uses the network.
    bool FromCache(std::string_view ip, DnsBLResult* result);
    // 1 with `result` filled (from the cache or the network), 0 when no query could be made.
    int QueryDnsBL(std::string_view ip, DnsBLResult* result);

    std::atomic<int> global_timeout_ms{500};
    std::atomic<int> single_timeout_ms{500};
    std::atomic<int> maxhit{3};
    std::atomic<int> maxreplies{5};

    // Cache record data: hits (i32 LE), score (f32), zone text.
    static std::string EncodeResult(const DnsBLResult& r);
    static bool DecodeResult(std::string_view data, DnsBLResult* r);

private:
    struct Zone {
        std::string name;
        float weight;
        bool ipv4_only = false;
    };
    std::vector<Zone> Zones() const;
    // "zone|weight[|ipv4]"; a zone without a weight weighs 0; nullopt without a zone.
    static std::optional<Zone> ParseZone(std::string_view entry);

    mutable store::CEngineLock zones_mu_;
    std::vector<Zone> zones_ GUARDED_BY(zones_mu_);
};

// The script functions of every host: the listing score of an address (0 when the check fails)
// and the listing zones separated by blanks ("" when the check fails or nothing lists it).
float DNSBL_Score(CDnsBL* engine, std::string_view ip);
std::string DNSBL_Ns(CDnsBL* engine, std::string_view ip);

}  // namespace checks
