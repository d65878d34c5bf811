#include "core/HeldMail.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <random>

#include "common/String.h"
#include "common/TextSearch.h"
#include "core/MtaDelivery.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "store/FileINI.h"

namespace core {

namespace {

constexpr const char* kSection = "HELD";

}  // namespace

CHeldMail::CHeldMail(std::string dir) : dir_(std::move(dir)) {}

bool CHeldMail::ValidId(std::string_view id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-';
    });
}

std::string CHeldMail::Path(std::string_view id, const char* ext) const {
    return dir_ + "/" + std::string(id) + ext;
}

std::string CHeldMail::Hold(std::string_view message, const HeldEnvelope& env) {
    if (!platform::MakeDirs(dir_)) return std::string();
    static std::atomic<uint32_t> counter{0};
    thread_local std::mt19937 rng(std::random_device{}());
    const std::string id = std::to_string(env.time) + "-" +
                           common::FormatText("%08x%04x", static_cast<unsigned>(rng()), ++counter & 0xFFFFu);
    // The message first: an envelope never names a file that is not there.
    if (!platform::WriteFileAtomic(Path(id, ".eml"), message)) return std::string();
    if (!WriteEnvelope(id, env)) {
        const int saved = errno;
        std::error_code ec;
        std::filesystem::remove(Path(id, ".eml"), ec);
        errno = saved;
        return std::string();
    }
    return id;
}

bool CHeldMail::WriteEnvelope(std::string_view id, const HeldEnvelope& raw) const {
    // A value is one line of the file: a line end or NUL from a header becomes a blank.
    HeldEnvelope env = raw;
    for (std::string* v : {&env.sender, &env.client_ip, &env.helo, &env.subject, &env.reasons})
        std::replace_if(
            v->begin(), v->end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
    store::CFileINI ini;
    bool ok = ini.WriteString(kSection, "sender", env.sender) && ini.WriteString(kSection, "client", env.client_ip) &&
              ini.WriteString(kSection, "helo", env.helo) && ini.WriteString(kSection, "subject", env.subject) &&
              ini.WriteString(kSection, "reasons", env.reasons) &&
              ini.WriteString(kSection, "time", std::to_string(env.time)) &&
              ini.WriteString(kSection, "size", std::to_string(env.size)) &&
              ini.WriteString(kSection, "released", env.released);
    for (size_t i = 0; ok && i < env.recipients.size(); ++i)
        ok = ini.WriteString(kSection, "rcpt_" + std::to_string(i), env.recipients[i]);
    return ok && ini.Save(Path(id, ".env"));
}

std::optional<HeldEnvelope> CHeldMail::ReadEnvelope(std::string_view id) const {
    store::CFileINI ini;
    if (!ValidId(id) || !ini.Load(Path(id, ".env"))) return std::nullopt;
    HeldEnvelope env;
    env.sender = ini.GetString(kSection, "sender", "").str();
    env.client_ip = ini.GetString(kSection, "client", "").str();
    env.helo = ini.GetString(kSection, "helo", "").str();
    env.subject = ini.GetString(kSection, "subject", "").str();
    env.reasons = ini.GetString(kSection, "reasons", "").str();
    env.time = std::atoll(ini.GetString(kSection, "time", "0").str().c_str());
    env.size = std::atoll(ini.GetString(kSection, "size", "0").str().c_str());
    env.released = ini.GetString(kSection, "released", "").str();
    for (int i = 0; i < 100000; ++i) {
        std::string r = ini.GetString(kSection, "rcpt_" + std::to_string(i), "").str();
        if (r.empty()) break;
        env.recipients.push_back(std::move(r));
    }
    return env;
}

std::vector<std::string> CHeldMail::Ids() const {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 4 && name.ends_with(".env") && ValidId(name.substr(0, name.size() - 4)))
            ids.push_back(name.substr(0, name.size() - 4));
    }
    return ids;
}

std::vector<HeldItem> CHeldMail::List(std::string_view search, size_t start, size_t count, size_t* total) const {
    std::vector<HeldItem> all;
    for (const std::string& id : Ids()) {
        auto env = ReadEnvelope(id);
        if (!env) continue;
        std::string rcpts;
        for (const std::string& r : env->recipients) rcpts += r + " ";
        if (!common::ContainsNoCase(id, search) && !common::ContainsNoCase(env->sender, search) &&
            !common::ContainsNoCase(rcpts, search) && !common::ContainsNoCase(env->subject, search) &&
            !common::ContainsNoCase(env->client_ip, search) && !common::ContainsNoCase(env->reasons, search))
            continue;
        all.push_back({id, std::move(*env)});
    }
    std::sort(all.begin(), all.end(), [](const HeldItem& a, const HeldItem& b) {
        return a.env.time != b.env.time ? a.env.time > b.env.time : a.id > b.id;
    });
    if (total) *total = all.size();
    std::vector<HeldItem> out;
    for (size_t i = start; i < all.size() && out.size() < count; ++i) out.push_back(std::move(all[i]));
    return out;
}

std::optional<HeldItem> CHeldMail::Get(std::string_view id) const {
    auto env = ReadEnvelope(id);
    if (!env) return std::nullopt;
    return HeldItem{std::string(id), std::move(*env)};
}

std::string CHeldMail::Message(std::string_view id) const {
    std::string text;
    if (!ValidId(id) || !platform::ReadWholeFile(Path(id, ".eml"), text)) return std::string();
    return text;
}

std::string CHeldMail::Release(std::string_view id, std::string_view user, const std::string& host, int port,
                               const std::string& helo) {
    common::MutexLock lock(mu_);
    auto env = ReadEnvelope(id);
    if (!env) return "no such held message";
    if (!env->released.empty()) return "released already (" + env->released + ")";
    if (env->recipients.empty()) return "the envelope names no recipient";
    std::string message;
    if (!platform::ReadWholeFile(Path(id, ".eml"), message)) return "the message file is missing";
    Envelope out{env->sender, env->recipients};
    const std::string error = SendToMta(host, port, helo, out, message);
    if (!error.empty()) return error;
    char when[32];
    const time_t now = std::time(nullptr);
    tm parts{};
    localtime_r(&now, &parts);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &parts);
    env->released = std::string(when) + " by " + std::string(user.empty() ? "?" : user);
    // Delivered: a failure to mark it is said, so nobody releases it again thinking it was not.
    if (!WriteEnvelope(id, *env)) return "delivered, but the released mark could not be written";
    return std::string();
}

bool CHeldMail::Delete(std::string_view id) {
    common::MutexLock lock(mu_);
    if (!ValidId(id) || platform::FileSize(Path(id, ".env")) < 0) return false;
    std::error_code ec;
    std::filesystem::remove(Path(id, ".env"), ec);
    std::filesystem::remove(Path(id, ".eml"), ec);
    return true;
}

int CHeldMail::Expire(int64_t now, int keep_days) {
    if (keep_days <= 0) return 0;
    int removed = 0;
    for (const std::string& id : Ids()) {
        auto env = ReadEnvelope(id);
        if (env && env->time + static_cast<int64_t>(keep_days) * 86400 < now && Delete(id)) ++removed;
    }
    return removed;
}

}  // namespace core
