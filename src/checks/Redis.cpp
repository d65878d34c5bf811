#include "checks/Redis.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <charconv>

#include "common/Clock.h"

namespace checks {

namespace {

timeval Tv(int ms) {
    return timeval{ms / 1000, static_cast<suseconds_t>((ms % 1000) * 1000)};
}

RedisReply Convert(const redisReply* r) {
    RedisReply out;
    switch (r->type) {
        case REDIS_REPLY_STRING: out.type = RedisReply::Type::kString; break;
        case REDIS_REPLY_STATUS: out.type = RedisReply::Type::kStatus; break;
        case REDIS_REPLY_ERROR: out.type = RedisReply::Type::kError; break;
        case REDIS_REPLY_INTEGER: out.type = RedisReply::Type::kInteger; break;
        case REDIS_REPLY_ARRAY: out.type = RedisReply::Type::kArray; break;
        default: out.type = RedisReply::Type::kNil; break;
    }
    if (r->str != nullptr) out.str.assign(r->str, r->len);
    out.integer = r->integer;
    for (size_t i = 0; i < r->elements; ++i) out.elements.push_back(Convert(r->element[i]));
    return out;
}

// One command on a fresh connection during its set-up (AUTH, SELECT): false with the reason.
bool SetupCommand(redisContext* c, const std::vector<std::string>& args, std::string* why) {
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const std::string& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    auto* r = static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()));
    if (r == nullptr) {
        *why = c->errstr;
        return false;
    }
    const bool ok = r->type != REDIS_REPLY_ERROR;
    if (!ok) *why = args[0] + ": " + std::string(r->str, r->len);
    freeReplyObject(r);
    return ok;
}

}  // namespace

CRedis::~CRedis() {
    common::MutexLock lock(mu_);
    for (redisContext* c : pool_) redisFree(c);
    pool_.clear();
}

void CRedis::Configure(Settings settings) {
    std::vector<redisContext*> old;
    {
        common::MutexLock lock(mu_);
        settings_ = std::move(settings);
        ++generation_;
        old.swap(pool_);
        down_ = false;
        enabled_.store(!settings_.server.empty(), std::memory_order_relaxed);
    }
    down_until_ms_.store(0);
    for (redisContext* c : old) redisFree(c);
}

bool CRedis::Up() const {
    return Enabled() && common::SteadyMillis() >= down_until_ms_.load(std::memory_order_relaxed);
}

std::string CRedis::Key(std::string_view kind, std::string_view key) const {
    common::MutexLock lock(mu_);
    std::string k = settings_.prefix;
    k += kind;
    k += ':';
    k += key;
    return k;
}

redisContext* CRedis::Connect(const Settings& s, std::string* why) const {
    const timeval tv = Tv(s.timeout_ms);
    redisContext* c = nullptr;
    if (s.server.front() == '/') {
        c = redisConnectUnixWithTimeout(s.server.c_str(), tv);
    } else {
        // host:port, or [v6]:port
        const size_t colon = s.server.rfind(':');
        std::string host = colon == std::string::npos ? s.server : s.server.substr(0, colon);
        int port = 6379;
        if (colon != std::string::npos)
            std::from_chars(s.server.data() + colon + 1, s.server.data() + s.server.size(), port);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        c = redisConnectWithTimeout(host.c_str(), port, tv);
    }
    if (c == nullptr) {
        *why = "out of memory";
        return nullptr;
    }
    if (c->err != 0 || redisSetTimeout(c, tv) != REDIS_OK) {
        *why = c->errstr;
        redisFree(c);
        return nullptr;
    }
    if ((!s.password.empty() && !SetupCommand(c, {"AUTH", s.password}, why)) ||
        (s.db != 0 && !SetupCommand(c, {"SELECT", std::to_string(s.db)}, why))) {
        redisFree(c);
        return nullptr;
    }
    return c;
}

void CRedis::Fail(const std::string& why, uint64_t generation) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    std::vector<redisContext*> stale;
    {
        common::MutexLock lock(mu_);
        if (generation != generation_) return;  // settings changed meanwhile: their own story
        down_until_ms_.store(common::SteadyMillis() + settings_.backoff_seconds * 1000LL);
        // The pooled connections went to the same server: after a restart they are all dead.
        stale.swap(pool_);
        if (!down_) {
            down_ = true;
            news_ += "Redis " + settings_.server + " failed (" + why + "): the kernel works on its local tables for " +
                     std::to_string(settings_.backoff_seconds) + " s, then tries again\n";
        }
    }
    for (redisContext* c : stale) redisFree(c);
}

std::optional<std::vector<RedisReply>> CRedis::Run(const std::vector<std::vector<std::string>>& commands) {
    if (!Up() || commands.empty()) return std::nullopt;
    Settings s;
    uint64_t generation = 0;
    redisContext* c = nullptr;
    {
        common::MutexLock lock(mu_);
        s = settings_;
        generation = generation_;
        if (!pool_.empty()) {
            c = pool_.back();
            pool_.pop_back();
        }
    }
    commands_.fetch_add(commands.size(), std::memory_order_relaxed);
    std::vector<RedisReply> replies;
    // A pooled connection the server closed meanwhile (it restarted, or dropped idle clients)
    // fails at once: the commands go once more on a new connection. A time-out is not retried.
    for (int attempt = 0;; ++attempt) {
        const bool pooled = c != nullptr;
        std::string why;
        if (c == nullptr && (c = Connect(s, &why)) == nullptr) {
            Fail(why, generation);
            return std::nullopt;
        }
        if (Exchange(c, commands, &replies)) break;
        why = c->errstr[0] != '\0' ? c->errstr : "no reply";
        const bool closed = c->err == REDIS_ERR_EOF;
        redisFree(c);  // its state is unknown: never reused
        c = nullptr;
        if (!(pooled && closed && attempt == 0)) {
            Fail(why, generation);
            return std::nullopt;
        }
        common::MutexLock lock(mu_);
        for (redisContext* stale : pool_) redisFree(stale);  // they went to the same server
        pool_.clear();
    }
    {
        common::MutexLock lock(mu_);
        if (down_ && generation == generation_) {
            down_ = false;
            news_ += "Redis " + s.server + " answers again: state is shared again\n";
        }
        if (generation == generation_ && pool_.size() < kMaxPooled) {
            pool_.push_back(c);
            c = nullptr;
        }
    }
    if (c != nullptr) redisFree(c);
    return replies;
}

bool CRedis::Exchange(redisContext* c, const std::vector<std::vector<std::string>>& commands,
                      std::vector<RedisReply>* replies) {
    replies->clear();
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const std::vector<std::string>& cmd : commands) {
        argv.clear();
        lens.clear();
        for (const std::string& a : cmd) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        if (redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()) != REDIS_OK)
            return false;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        void* raw = nullptr;
        if (redisGetReply(c, &raw) != REDIS_OK || raw == nullptr) return false;
        replies->push_back(Convert(static_cast<redisReply*>(raw)));
        freeReplyObject(raw);
    }
    return true;
}

std::optional<RedisReply> CRedis::Command(std::vector<std::string> command) {
    auto r = Run({std::move(command)});
    if (!r) return std::nullopt;
    return std::move(r->front());
}

CRedis::Counters CRedis::GetCounters() const {
    return {commands_.load(std::memory_order_relaxed), failures_.load(std::memory_order_relaxed)};
}

std::string CRedis::TakeNews() {
    common::MutexLock lock(mu_);
    std::string out;
    out.swap(news_);
    return out;
}

}  // namespace checks
