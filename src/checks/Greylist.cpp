#include "checks/Greylist.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "common/Clock.h"
#include "common/Md5.h"
#include "common/Regex.h"

namespace checks {

namespace {

constexpr char kField = '\x02';
constexpr char kTriple = '\x03';

std::vector<std::string> SplitOn(std::string_view text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(sep, start);
        out.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return out;
        start = end + 1;
    }
}

std::vector<std::string> Triples(std::string_view list) {
    std::vector<std::string> out;
    for (std::string& t : SplitOn(list, kTriple))
        if (!t.empty()) out.push_back(std::move(t));
    return out;
}

std::string KeyOf(std::string_view triple) {
    return common::Md5Hex(triple);
}

int RetryCount(const std::string& data) {
    std::vector<std::string> f = SplitOn(data, kField);
    return f.size() >= 4 ? std::atoi(f[3].c_str()) : 0;
}

bool HasResetMark(const std::string& data) {
    std::vector<std::string> f = SplitOn(data, kField);
    return f.size() >= 5 && f[4] != "0";
}

const char* RecallBucket(int64_t age) {
    if (age < 0) return nullptr;
    if (age <= 300) return "f8_grey_m5";
    if (age <= 600) return "f8_grey_m10";
    if (age <= 900) return "f8_grey_m15";
    if (age <= 1200) return "f8_grey_m20";
    if (age <= 1800) return "f8_grey_m30";
    if (age <= 3600) return "f8_grey_m60";
    return "f8_grey_mmax";
}

}  // namespace

std::string StripBatv(std::string_view address) {
    std::string out(address);
    common::RegexMatch m = common::RegexSearch("^(prvs\\=.+?\\=).+?\\@", common::kRegexCaseless, out);
    if (m.matched() && m.offset[1] == 0) out.erase(0, m.text[1].size());
    return out;
}

CGreylist::CGreylist(const std::string& table_path, CStatitiche_Day* stats, TimeSource now)
    : CListTable(table_path, now), stats_(stats), now_(now ? now : &common::NowSeconds) {}

void CGreylist::SetEmbargo(uint32_t unit, uint32_t amount) {
    embargo_ = static_cast<int64_t>(unit) * amount;
}

void CGreylist::Count(const char* name) {
    if (stats_ && name) stats_->AddItem(name, 8, 0, 1.0f, 1);
}

std::string CGreylist::PrepareTriples(std::string_view recipients, std::string_view client_ip,
                                      std::string_view mail_from, std::string_view mail_from_substitute,
                                      std::string_view reverse_name, common::ClientPrefix prefix) {
    std::string origin = prefix.Key(client_ip);
    common::RegexMatch m =
        common::RegexSearch(".+?\\.([a-zA-Z0-9\\.-]+?\\.\\w{2,32})$", common::kRegexCaseless, reverse_name);
    if (m.matched()) origin = m.text[1];
    std::string sender = StripBatv(mail_from.empty() ? mail_from_substitute : mail_from);
    std::string out;
    for (const std::string& rcpt : SplitOn(recipients, ' ')) {
        if (rcpt.empty()) continue;
        if (!out.empty()) out += kTriple;
        out += origin + kField + sender + kField + rcpt;
    }
    return out;
}

void CGreylist::Add(std::string_view triples) {
    bool first = true;
    std::vector<std::vector<std::string>> shared;
    const int64_t age = table_.AgeSeconds();
    for (const std::string& t : Triples(triples)) {
        bool inserted = table_.Insert(KeyOf(t), t + kField + "0") == 1;
        if (first && inserted) Count("f8_grey_bloc");
        first = false;
        // In the shared store a triple's value is when it was first seen; the first node's wins.
        if (shared_ != nullptr) {
            shared.push_back({"SET", SharedKey(KeyOf(t)), std::to_string(Now()), "NX"});
            if (age > 0) {
                shared.back().push_back("EX");
                shared.back().push_back(std::to_string(age));
            }
        }
    }
    if (CRedis* r = Shared(); r != nullptr && !shared.empty()) (void)r->Run(shared);
}

int CGreylist::Pass(std::string_view triples) {
    const int64_t now = Now();
    const int64_t cutoff = now - embargo_.load();
    // A triple another node saw first has waited there: one round trip for all of them.
    if (CRedis* r = Shared()) {
        std::vector<std::string> get{"MGET"};
        for (const std::string& t : Triples(triples)) get.push_back(SharedKey(KeyOf(t)));
        if (const auto reply = get.size() > 1 ? r->Command(std::move(get)) : std::nullopt) {
            for (const RedisReply& v : reply->elements) {
                int64_t first = 0;
                if (v.type != RedisReply::Type::kString ||
                    std::from_chars(v.str.data(), v.str.data() + v.str.size(), first).ec != std::errc() ||
                    first > cutoff)
                    continue;
                Count("f8_grey_recall");
                Count(RecallBucket(now - first));
                return 1;
            }
        }
    }
    for (const std::string& t : Triples(triples)) {
        bool passed = false, early = false, reset = false;
        int64_t age = 0;
        table_.Modify(KeyOf(t), [&](store::DbRecord& r) {
            if (r.timestamp <= cutoff) {
                passed = true;
                reset = HasResetMark(r.data);
                age = now - r.timestamp;
                return false;
            }
            early = true;
            r.data = t + kField + std::to_string(RetryCount(r.data) + 1);  // any reset mark goes
            return true;
        });
        if (early) Count("f8_grey_forze");
        if (passed) {
            if (!reset) {
                Count("f8_grey_recall");
                Count(RecallBucket(age));
            }
            return 1;
        }
    }
    return 0;
}

bool CGreylist::PassNow(std::string_view key) {
    const int64_t waited = Now() - embargo_.load() - 1;
    const bool local = table_.Modify(key, [waited](store::DbRecord& r) {
        r.timestamp = static_cast<int32_t>(std::min<int64_t>(r.timestamp, waited));
        return true;
    }) >= 0;
    bool shared = false;
    if (CRedis* r = Shared()) {
        const auto reply = r->Command({"SET", SharedKey(key), std::to_string(waited), "XX", "KEEPTTL"});
        shared = reply && reply->type == RedisReply::Type::kStatus;
    }
    return local || shared;
}

int CGreylist::GetForgedCount(std::string_view triples) {
    int count = 0;
    for (const std::string& t : Triples(triples))
        if (auto r = table_.Get(KeyOf(t))) count = RetryCount(r->data);
    return count;
}

void CGreylist::ResetForgedCount(std::string_view triples) {
    for (const std::string& t : Triples(triples)) {
        table_.Modify(KeyOf(t), [&t](store::DbRecord& r) {
            r.data = t + kField + "0" + kField + "1";
            return true;
        });
    }
}

int ViewTable(store::CDB_RAM& table, script::CS_Array* result, int count, int start, std::string_view filter, int field,
              int field_count,
              const std::function<std::string(const store::DbRecord&, const std::vector<std::string>&)>& value) {
    if (!result) return 0;
    if (count < 1) count = 100;
    if (start < 0) start = 0;
    const int records = table.RecordCount();
    if (start > records) start = records;
    if (start + count > records) count = records - start;
    common::RegexHandle pattern;
    bool filtering = !filter.empty() && field >= 0 && field <= field_count;
    if (filtering) pattern = common::RegexHandle::Compile(filter, common::kRegexCaseless);
    int number = 0;
    table.ForEach([&](const store::DbRecord& r) {
        if (r.deleted) return;
        std::vector<std::string> fields = SplitOn(r.data, kField);
        if (filtering) {
            std::string_view subject = field == 0 ? std::string_view(r.key)
                                                  : (static_cast<size_t>(field - 1) < fields.size()
                                                         ? std::string_view(fields[static_cast<size_t>(field - 1)])
                                                         : std::string_view());
            if (!pattern.Test(subject)) return;
        }
        ++number;
        if (number >= start && number <= start + count) result->Set(r.key, value(r, fields));
    });
    return 1;
}

int CGreylist::View(script::CS_Array* result, int count, int start, std::string_view filter, int field) {
    return ViewTable(table_, result, count, start, filter, field, 4,
                     [](const store::DbRecord& r, const std::vector<std::string>& f) {
                         std::string v = std::to_string(r.timestamp);
                         for (size_t i = 0; i < 4; ++i) v += kField + (i < f.size() ? f[i] : std::string());
                         return v + kField;
                     });
}

}  // namespace checks
