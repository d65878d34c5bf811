#pragma once
// CRedis: the state several kernels share, on Redis (hiredis). Connections are pooled: a caller
// takes one, runs its commands pipelined (one round trip), and gives it back. Every call is
// bounded by the time-out; a failure (no server, a slow or broken one) starts a back-off during
// which every call answers "down" at once and the lists work on their local tables, so mail
// keeps flowing; after it the next call tries Redis again (the gap is not merged). Any thread.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"

struct redisContext;

namespace checks {

struct RedisReply {
    enum class Type : uint8_t { kNil, kString, kInteger, kArray, kStatus, kError };
    Type type = Type::kNil;
    std::string str;
    long long integer = 0;
    std::vector<RedisReply> elements;
};

class CRedis {
public:
    struct Settings {
        std::string server;  // "host:port", "[v6]:port" or a unix socket path; empty: off
        std::string password;
        int db = 0;
        std::string prefix;  // namespace of an installation, before every key
        int timeout_ms = 50;
        int backoff_seconds = 30;
    };
    static constexpr size_t kMaxPooled = 64;

    CRedis() = default;
    ~CRedis();
    CRedis(const CRedis&) = delete;
    CRedis& operator=(const CRedis&) = delete;

    // New settings: pooled connections of the old ones are dropped, the back-off is forgotten.
    void Configure(Settings settings);
    bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
    // Enabled and not backing off after a failure.
    bool Up() const;
    // `kind`:`key` under the installation's prefix.
    std::string Key(std::string_view kind, std::string_view key) const;

    // The commands' replies in order, pipelined on one connection; nullopt when Redis is off,
    // backing off, or failed now (then the back-off starts). An error reply of one command is
    // that command's reply, not a failure.
    std::optional<std::vector<RedisReply>> Run(const std::vector<std::vector<std::string>>& commands);
    std::optional<RedisReply> Command(std::vector<std::string> command);

    struct Counters {
        uint64_t commands = 0, failures = 0;
    };
    Counters GetCounters() const;
    // What the kernel should log about Redis since the last call ("" when nothing): an outage
    // once when it starts, and the return.
    std::string TakeNews();

private:
    redisContext* Connect(const Settings& s, std::string* why) const;
    void Fail(const std::string& why, uint64_t generation);
    // Sends the commands pipelined and reads their replies; false when the connection failed.
    static bool Exchange(redisContext* c, const std::vector<std::vector<std::string>>& commands,
                         std::vector<RedisReply>* replies);

    mutable common::Mutex mu_;
    Settings settings_ GUARDED_BY(mu_);
    uint64_t generation_ GUARDED_BY(mu_) = 0;
    std::vector<redisContext*> pool_ GUARDED_BY(mu_);
    std::string news_ GUARDED_BY(mu_);
    bool down_ GUARDED_BY(mu_) = false;
    std::atomic<bool> enabled_{false};
    std::atomic<int64_t> down_until_ms_{0};
    std::atomic<uint64_t> commands_{0}, failures_{0};
};

}  // namespace checks
