#pragma once
// The cooperative network: kernels of one site tell each other what spam they saw and ask
// before they accept mail. A small UDP protocol, every datagram signed with HMAC-SHA-256 under
// the site's shared secret ([COMMUNITY] secret):
//
//   offset  size  field
//   0       4     magic "MVC1"
//   4       1     version (1)
//   5       1     type: 1 query, 2 answer, 3 announcement
//   6       8     message id (big-endian; an answer carries its query's)
//   14      4     time, seconds since 1970 (big-endian)
//   18      1     verdict: 0 NEUTRAL, 1 SOFTFAIL, 2 FAIL, 3 HARDFAIL (queries: 0)
//   19      4 x   fields, each a length byte and that many bytes: client address, sender,
//                 HELO name, peer name (the announcing or asking kernel)
//   end-32  32    HMAC-SHA-256 of every byte before it
//
// At most 1100 bytes in all; a datagram that does not parse, carries a wrong signature, is
// more than 300 s away from the receiver's clock or repeats a message id is dropped and
// counted. The client (CBrumaCommunity) asks every configured server at once and takes the
// first signed answer, waiting at most its time-out in all; without servers or a secret it
// answers NEUTRAL at once and sends nothing. The server (CCommunityServer, off unless
// [COMMUNITY] serve_port is set) keeps announcements with an age and judges a query by the
// number of distinct peers that announced its client address or its sender's domain.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"
#include "platform/UdpSocket.h"
#include "script/CS_Array.h"
#include "store/DB_RAM.h"

namespace checks {

enum CommunityVerdict : uint8_t { kCmyNeutral = 0, kCmySoftfail = 1, kCmyFail = 2, kCmyHardfail = 3 };
enum CommunityType : uint8_t { kCmyQuery = 1, kCmyAnswer = 2, kCmyAnnounce = 3 };

inline constexpr size_t kCmyMaxDatagram = 1100;
inline constexpr size_t kCmyMacBytes = 32;
inline constexpr size_t kCmyHeaderBytes = 19;
inline constexpr int64_t kCmyMaxSkewSeconds = 300;

struct CommunityMessage {
    uint8_t type = 0;
    uint64_t id = 0;
    uint32_t time = 0;
    uint8_t verdict = kCmyNeutral;
    std::string client_ip, sender, helo, peer;  // each at most 255 bytes (longer are cut)
};

enum class CmyDecode { kOk, kMalformed, kForged, kStale };

// `body` followed by its HMAC-SHA-256 under `secret`.
std::string SignCommunity(std::string_view body, std::string_view secret);
// The datagram of `m` signed with `secret`.
std::string EncodeCommunity(const CommunityMessage& m, std::string_view secret);
// Reads and checks a datagram (signature first, then the clock against `now`).
CmyDecode DecodeCommunity(std::string_view datagram, std::string_view secret, int64_t now, CommunityMessage* out);
// "NEUTRAL", "SOFTFAIL", "FAIL", "HARDFAIL".
const char* CommunityVerdictName(int verdict);
// The domain of an address ("user@Example.ORG" -> "example.org"; no "@": the text lowered).
std::string SenderDomain(std::string_view sender);

// Dropped datagrams, by reason.
struct CmyDrops {
    std::atomic<uint64_t> malformed{0}, forged{0}, stale{0};
    uint64_t Total() const { return malformed + forged + stale; }
};

class CBrumaCommunity {
public:
    // How long an answer is remembered, so one sender's burst asks the network once.
    static constexpr int64_t kCacheSeconds = 300;

    struct Settings {
        std::vector<std::string> servers;  // "host:port"
        std::string secret;
        std::string peer;  // this kernel's name in announcements
        int timeout_ms = 400;
        float softfail = 2.5f, fail = 5.0f, hardfail = 10.0f;
    };

    explicit CBrumaCommunity(std::string cache_path);
    void Configure(Settings s);
    // The score of the network's verdict on a client: 0 for NEUTRAL (also without servers, on
    // time-out, or without a secret).
    float Query(std::string_view client_ip, std::string_view sender, std::string_view helo);
    // The verdict itself, and whether any server answered.
    int QueryVerdict(std::string_view client_ip, std::string_view sender, std::string_view helo,
                     bool* answered = nullptr);
    // Reports spam seen from this client (verdict FAIL) to every server.
    void Announce(std::string_view client_ip, std::string_view sender, std::string_view helo);
    std::string NameOfScore(float score);
    // DCTest: asks every server about `sender` and returns how many answered.
    int Test(std::string_view sender);
    // DCRefreshServer: resolves the server names again; how many resolved.
    int RefreshServers();
    // DCGetServer: out["host:port"] = "address|answers|time-outs|sent".
    void Servers(script::CS_Array* out);
    [[nodiscard]] bool Save();
    const CmyDrops& Drops() const { return drops_; }
    uint64_t DroppedTotal() const { return drops_.Total(); }
    uint64_t DatagramsSent() const { return sent_.load(); }

private:
    struct Server {
        std::string name;
        std::optional<platform::Endpoint> endpoint;
        uint64_t answers = 0, timeouts = 0;
    };
    // Sends `m` to every server; with `wait_ms` > 0 waits for signed answers to its id: the
    // first one's verdict, and how many answered before the time was up (`all`: wait for
    // every server).
    std::optional<int> Exchange(CommunityMessage m, int wait_ms, bool all, int* answered);
    std::string Secret();

    common::Mutex mu_;
    Settings settings_ GUARDED_BY(mu_);
    std::vector<Server> servers_ GUARDED_BY(mu_);
    store::CDB_RAM cache_;  // key MD5(client|sender|helo), data the verdict digit
    CmyDrops drops_;
    std::atomic<uint64_t> sent_{0};
};

class CCommunityServer {
public:
    struct Settings {
        std::string ip = "127.0.0.1";
        int port = 0;  // 0: off
        std::string secret;
        int softfail_peers = 1, fail_peers = 2, hardfail_peers = 3;
        int age_hours = 48;
    };
    // Seen message ids are remembered this long, and at most this many.
    static constexpr int64_t kSeenSeconds = 2 * kCmyMaxSkewSeconds;
    static constexpr size_t kMaxSeen = 200000;

    explicit CCommunityServer(std::string table_path);
    ~CCommunityServer();
    // Listens (again) when the address or port changed; stops at port 0. False when it cannot
    // bind (logged by the caller).
    bool Configure(Settings s);
    void Stop();
    uint16_t Port() const { return port_.load(); }
    // The verdict on a client address and sender from the announcements not older than the age.
    int Judge(std::string_view client_ip, std::string_view sender, int64_t now);
    // Records an announcement by `peer` (what a signed announcement datagram does).
    void Record(std::string_view client_ip, std::string_view sender, std::string_view peer, int64_t now);
    // Drops the expired announcements and saves the table.
    [[nodiscard]] bool Save();
    const CmyDrops& Drops() const { return drops_; }
    uint64_t DroppedTotal() const { return drops_.Total(); }
    uint64_t Answered() const { return answered_.load(); }
    uint64_t Announcements() const { return announcements_.load(); }

private:
    void Run();
    void Handle(const std::string& datagram, const platform::Endpoint& from);
    bool FreshId(uint64_t id, int64_t now);
    int Peers(const std::string& key, int64_t since) REQUIRES(mu_);

    common::Mutex mu_;
    Settings settings_ GUARDED_BY(mu_);
    // "ip:ADDRESS" or "dom:DOMAIN" -> peer -> time of its latest announcement.
    std::map<std::string, std::map<std::string, int64_t>> seen_by_ GUARDED_BY(mu_);
    std::map<uint64_t, int64_t> ids_ GUARDED_BY(mu_);
    store::CDB_RAM table_;  // key MD5(subject|peer), data subject 0x02 peer; timestamp: when
    std::unique_ptr<platform::UdpSocket> socket_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<uint16_t> port_{0};
    std::string bound_ip_;
    int bound_port_ = 0;
    CmyDrops drops_;
    std::atomic<uint64_t> answered_{0}, announcements_{0};
};

}  // namespace checks
