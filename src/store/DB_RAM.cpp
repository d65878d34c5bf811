#include "store/DB_RAM.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/Clock.h"
#include "platform/KFile.h"
#include "store/KeyIndex.h"
#include "store/SaveFailures.h"

namespace store {

// One record in a single allocation: this header, then the key and the data, each followed by
// a zero byte so both read as C text.
struct CDB_RAM::Record {
    int32_t timestamp;
    int32_t index_pos;
    int32_t bucket_pos;  // position in its bucket's vector; stable until compaction
    uint32_t hash;
    uint16_t key_len;
    uint16_t data_len;
    uint8_t deleted;
    uint8_t bucket;
    // Records of one key form a circular list in insertion order; the key index points at
    // the newest, whose `next_same` is the oldest.
    Record* next_same;

    char* key() { return reinterpret_cast<char*>(this + 1); }
    const char* key() const { return reinterpret_cast<const char*>(this + 1); }
    char* data() { return key() + key_len + 1; }
    const char* data() const { return key() + key_len + 1; }
    std::string_view Key() const { return {key(), key_len}; }
    std::string_view Data() const { return {data(), data_len}; }
};

namespace {

int BucketOf(std::string_view key) {
    if (key.empty()) return 0;
    int v = static_cast<signed char>(key[0]);
    return v < 0 ? -v : v;
}

uint32_t HashKey(std::string_view key) {
    // Eight bytes a step, then a full avalanche so the low bits the probe uses are good.
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = key.size() * kMul;
    const char* p = key.data();
    size_t n = key.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = ((h << 5) | (h >> 59)) ^ w;
        h *= kMul;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (((h << 5) | (h >> 59)) ^ tail) * kMul;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return static_cast<uint32_t>(h);
}

}  // namespace

// The key index over this table's records (store/KeyIndex.h).
class CDB_RAM::KeyIndex : public store::KeyIndex<CDB_RAM::Record> {};

CDB_RAM::CDB_RAM() : buckets_(kBuckets), keys_(std::make_unique<KeyIndex>()), now_(&common::NowSeconds) {}

CDB_RAM::~CDB_RAM() {
    EngineGuard lock(mu_);
    ClearLocked();
}

void CDB_RAM::FreeRecord(Record* r) {
    patterns_.erase(r);
    r->~Record();
    ::operator delete(r);
}

CDB_RAM::Record* CDB_RAM::NewRecord(std::string_view key, std::string_view data, int32_t timestamp) {
    void* mem = ::operator new(sizeof(CDB_RAM::Record) + key.size() + data.size() + 2);
    auto* r = new (mem) CDB_RAM::Record{};
    r->timestamp = timestamp;
    r->key_len = static_cast<uint16_t>(key.size());
    r->data_len = static_cast<uint16_t>(data.size());
    r->hash = HashKey(key);
    r->bucket = static_cast<uint8_t>(BucketOf(key));
    std::memcpy(r->key(), key.data(), key.size());
    r->key()[key.size()] = '\0';
    std::memcpy(r->data(), data.data(), data.size());
    r->data()[data.size()] = '\0';
    return r;
}

DbRecord CDB_RAM::Copy(const Record& r) {
    return DbRecord{r.timestamp, std::string(r.Key()), std::string(r.Data()), r.deleted != 0, r.index_pos};
}

void CDB_RAM::AppendLocked(Record* r) {
    Bucket& b = buckets_[r->bucket];
    r->bucket_pos = static_cast<int32_t>(b.size());
    r->index_pos = static_cast<int32_t>(index_.size());
    b.push_back(r);
    index_.push_back(r);
    if (r->deleted) return;
    Record* newest = keys_->Find(r->Key(), r->hash);
    if (newest) {
        r->next_same = newest->next_same;  // the oldest
        newest->next_same = r;
    } else {
        r->next_same = r;
    }
    keys_->Set(r);
}

void CDB_RAM::UnlinkLocked(Record* r) {
    Record* newest = keys_->Find(r->Key(), r->hash);
    if (!newest) return;
    Record* prev = newest;
    while (prev->next_same != r) {
        prev = prev->next_same;
        if (prev == newest) return;  // not in the list
    }
    if (prev == r) {  // the only one
        keys_->Erase(r->Key(), r->hash);
    } else {
        prev->next_same = r->next_same;
        if (newest == r) keys_->Set(prev);
    }
    r->next_same = nullptr;
}

void CDB_RAM::RebuildKeyIndexLocked() {
    keys_->Clear(index_.size());
    for (Bucket& b : buckets_) {
        for (Record* r : b) {
            if (r->deleted) {
                r->next_same = nullptr;
                continue;
            }
            Record* newest = keys_->Find(r->Key(), r->hash);
            if (newest) {
                r->next_same = newest->next_same;
                newest->next_same = r;
            } else {
                r->next_same = r;
            }
            keys_->Set(r);
        }
    }
}

CDB_RAM::Record* CDB_RAM::FindPatternLocked(std::string_view key) {
    for (Bucket& b : buckets_) {
        for (Record* r : b) {
            if (r->deleted) continue;
            auto it = patterns_.find(r);
            if (it == patterns_.end()) {
                // The key as C text: a stored key ends at its first zero byte.
                it = patterns_.emplace(r, common::RegexHandle::Compile(r->key(), common::kRegexCaseless)).first;
            }
            if (it->second.Test(key)) return r;
        }
    }
    return nullptr;
}

CDB_RAM::Record* CDB_RAM::FindLocked(std::string_view key, bool pattern_mode) {
    Record* newest = keys_->Find(key, HashKey(key));
    if (newest) {
        for (Record* r = newest->next_same;; r = r->next_same) {
            if (!r->deleted) return r;
            if (r == newest) break;
        }
    }
    return pattern_mode ? FindPatternLocked(key) : nullptr;
}

bool CDB_RAM::Open(const std::string& path) {
    EngineGuard lock(mu_);
    path_ = path;
    opened_ = false;
    int64_t size = platform::FileSize(path);
    if (size > 0) {
        platform::CKFile f;
        char head[dbk::kHeaderSize];
        if (!f.Open(path, platform::kFileRead)) return false;
        int64_t n = f.Read(head, sizeof head);
        int version =
            n >= static_cast<int64_t>(dbk::kMagicSize) ? dbk::MagicVersion({head, static_cast<size_t>(n)}) : 0;
        if (version == 0) return false;
        version_ = version;
        opened_ = true;
        return true;
    }
    std::string header(dbk::kMagicV2);
    dbk::AppendI32(header, 0);
    if (!platform::WriteFileAtomic(path, header)) return false;
    version_ = 2;
    opened_ = true;
    return true;
}

bool CDB_RAM::Load() {
    std::string path;
    {
        EngineGuard lock(mu_);
        if (!opened_) return false;
        path = path_;
    }
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes)) return false;
    std::string_view in(bytes);
    int version = dbk::MagicVersion(in);
    if (version == 0) return false;
    in.remove_prefix(dbk::kMagicSize);
    auto count = dbk::ConsumeI32(in);
    if (!count || *count <= 0 || *count > dbk::kMaxCount) return false;

    EngineGuard lock(mu_);
    version_ = version;
    ClearLocked();
    // The count is only a promise: reserve what the file can actually hold.
    size_t can_hold = in.size() / (dbk::kRecordHeaderSize + 2);
    size_t expect = std::min(static_cast<size_t>(*count), can_hold);
    index_.reserve(expect);
    keys_->Clear(expect);
    int32_t read = 0;
    for (; read < *count; ++read) {
        auto rec = dbk::ConsumeRecord(in);
        if (!rec) break;
        // Keys are text: a stored key ends at its first zero byte, as it always has.
        std::string_view key = rec->key.substr(0, rec->key.find('\0'));
        AppendLocked(NewRecord(key, rec->data, rec->timestamp));
    }
    lost_on_load_ = *count - read + (read == *count && !in.empty() ? 1 : 0);
    return true;
}

int CDB_RAM::Insert(std::string_view key, std::string_view value, bool allow_duplicate) {
    // An empty key could never be saved (the file has no room for one): refuse it here
    // rather than lose the record at the next save.
    if (key.empty() || value.empty()) return 0;
    if (key.size() > static_cast<size_t>(dbk::kMaxField) || value.size() > static_cast<size_t>(dbk::kMaxField))
        return 0;
    EngineGuard lock(mu_);
    if (!allow_duplicate && FindLocked(key, false)) return 0;
    AppendLocked(NewRecord(key, value, Now()));
    return 1;
}

int CDB_RAM::Update(std::string_view key, std::string_view value, bool keep_time) {
    if (key.empty() || value.empty()) return -1;
    if (key.size() > static_cast<size_t>(dbk::kMaxField) || value.size() > static_cast<size_t>(dbk::kMaxField))
        return -1;
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, false);
    if (!r) return -1;
    int32_t ts = keep_time ? r->timestamp : Now();
    return ReplaceLocked(r, value, ts)->index_pos;
}

CDB_RAM::Record* CDB_RAM::ReplaceLocked(Record* r, std::string_view data, int32_t timestamp) {
    if (data.size() == r->data_len) {
        std::memcpy(r->data(), data.data(), data.size());
        r->timestamp = timestamp;
        return r;
    }
    // The data changes size: a new allocation takes the old one's places everywhere.
    Record* fresh = NewRecord(r->Key(), data, timestamp);
    fresh->index_pos = r->index_pos;
    fresh->bucket_pos = r->bucket_pos;
    fresh->deleted = r->deleted;
    index_[static_cast<size_t>(r->index_pos)] = fresh;
    buckets_[r->bucket][static_cast<size_t>(r->bucket_pos)] = fresh;
    if (r->next_same) {  // live records are in their key's list
        Record* newest = keys_->Find(r->Key(), r->hash);
        if (r->next_same == r) {
            fresh->next_same = fresh;
        } else {
            Record* prev = newest;
            while (prev->next_same != r) prev = prev->next_same;
            prev->next_same = fresh;
            fresh->next_same = r->next_same;
        }
        if (newest == r) keys_->Set(fresh);
    }
    FreeRecord(r);
    return fresh;
}

int CDB_RAM::Modify(std::string_view key, const std::function<bool(DbRecord&)>& fn) {
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, false);
    if (!r) return -1;
    DbRecord copy = Copy(*r);
    if (fn(copy) && !copy.data.empty() && copy.data.size() <= static_cast<size_t>(dbk::kMaxField))
        r = ReplaceLocked(r, copy.data, copy.timestamp);
    return r->index_pos;
}

int CDB_RAM::Upsert(std::string_view key, const std::function<std::string(const std::string* data)>& fn) {
    if (key.empty() || key.size() > static_cast<size_t>(dbk::kMaxField)) return -1;
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, false);
    std::string old = r ? std::string(r->Data()) : std::string();
    std::string data = fn(r ? &old : nullptr);
    if (data.empty() || data.size() > static_cast<size_t>(dbk::kMaxField)) return -1;
    if (r) {
        ReplaceLocked(r, data, r->timestamp);
        return 0;
    }
    AppendLocked(NewRecord(key, data, Now()));
    return 1;
}

int CDB_RAM::DeleteIf(const std::function<bool(const DbRecord&)>& pred) {
    EngineGuard lock(mu_);
    int marked = 0;
    for (Record* r : index_) {
        if (r->deleted || !pred(Copy(*r))) continue;
        r->deleted = 1;
        ++deleted_;
        ++marked;
    }
    if (marked) RebuildKeyIndexLocked();
    return marked;
}

void CDB_RAM::RewriteData(const std::function<std::string(const DbRecord&)>& fn) {
    EngineGuard lock(mu_);
    for (size_t i = 0; i < index_.size(); ++i) {
        Record* r = index_[i];
        std::string data = fn(Copy(*r));
        if (data.empty() || data.size() > static_cast<size_t>(dbk::kMaxField)) continue;
        ReplaceLocked(r, data, r->timestamp);
    }
}

int CDB_RAM::Delete(std::string_view key) {
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, false);
    if (!r) return -1;
    UnlinkLocked(r);
    r->deleted = 1;
    ++deleted_;
    return 1;
}

int CDB_RAM::Find(std::string_view key, bool pattern_mode) {
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, pattern_mode);
    return r ? r->index_pos : -1;
}

std::optional<DbRecord> CDB_RAM::Get(std::string_view key, bool pattern_mode) {
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, pattern_mode);
    if (!r) return std::nullopt;
    return Copy(*r);
}

bool CDB_RAM::GetData(std::string_view key, std::string* data) {
    EngineGuard lock(mu_);
    Record* r = FindLocked(key, false);
    if (!r) return false;
    data->assign(r->Data());
    return true;
}

int CDB_RAM::Query(std::string_view key, Hits& result, int mode, int field) {
    result.clear();
    auto add = [&result](const Record* r) { result.emplace_back(std::string(r->key()), std::string(r->data())); };
    EngineGuard lock(mu_);
    if (key.empty() || (mode != 0 && mode != 1)) {
        for (const Bucket& b : buckets_)
            for (const Record* r : b)
                if (!r->deleted) add(r);
        return 1;
    }
    if (mode == 0) {
        if (field == 0) {
            Record* newest = keys_->Find(key, HashKey(key));
            if (!newest) return 1;
            for (Record* r = newest->next_same;; r = r->next_same) {
                if (!r->deleted) add(r);
                if (r == newest) break;
            }
        } else if (field == 1) {
            for (const Record* r : buckets_[static_cast<size_t>(BucketOf(key))])
                if (!r->deleted && r->Data() == key) add(r);
        }
        return 1;
    }
    common::RegexHandle pattern = common::RegexHandle::Compile(key, common::kRegexCaseless);
    if (!pattern.ok()) return 1;
    for (const Bucket& b : buckets_) {
        for (const Record* r : b) {
            if (r->deleted) continue;
            if (field == 0 ? pattern.Test(r->key()) : (r->data_len > 0 && pattern.Test(r->data()))) add(r);
        }
    }
    return 1;
}

int CDB_RAM::GetCount() const {
    EngineGuard lock(mu_);
    return static_cast<int>(index_.size()) - deleted_;
}

int CDB_RAM::RecordCount() const {
    EngineGuard lock(mu_);
    return static_cast<int>(index_.size());
}

int CDB_RAM::DeletedCount() const {
    EngineGuard lock(mu_);
    return deleted_;
}

std::optional<DbRecord> CDB_RAM::GetByIndex(int i) const {
    EngineGuard lock(mu_);
    if (i < 0 || static_cast<size_t>(i) >= index_.size()) return std::nullopt;
    return Copy(*index_[static_cast<size_t>(i)]);
}

void CDB_RAM::ForEach(const std::function<void(const DbRecord&)>& fn) const {
    EngineGuard lock(mu_);
    for (const Record* r : index_) fn(Copy(*r));
}

void CDB_RAM::SetAge(uint32_t unit, uint32_t amount) {
    EngineGuard lock(mu_);
    age_unit_ = unit;
    age_amount_ = amount;
}

int32_t CDB_RAM::AgeLimit(int direction, uint32_t unit, uint32_t amount) const {
    int64_t span = static_cast<int64_t>(unit) * amount;
    int64_t t = direction == 0 ? now_() + span : now_() - span;
    return static_cast<int32_t>(t);
}

int CDB_RAM::DeleteOld() {
    {
        EngineGuard lock(mu_);
        if ((age_unit_ == 0 && age_amount_ == 0) || index_.empty()) return 0;
        int64_t cutoff = static_cast<int64_t>(now_()) - static_cast<int64_t>(age_unit_) * age_amount_;
        int marked = 0;
        for (Record* r : index_) {
            if (!r->deleted && r->timestamp <= cutoff) {
                r->deleted = 1;
                ++deleted_;
                ++marked;
            }
        }
        if (marked == 0) return 0;
        // Many records at once: one rebuild beats unlinking each from its key list.
        RebuildKeyIndexLocked();
    }
    (void)Save();  // a failure is reported; the expiry holds in memory and the next save retries
    return 1;
}

void CDB_RAM::CompactLocked() {
    index_.clear();
    for (Bucket& b : buckets_) {
        size_t out = 0;
        for (Record* r : b) {
            if (r->deleted) {
                FreeRecord(r);
                continue;
            }
            r->bucket_pos = static_cast<int32_t>(out);
            r->index_pos = static_cast<int32_t>(index_.size());
            b[out++] = r;
            index_.push_back(r);
        }
        b.resize(out);
        if (b.capacity() > 2 * b.size() + 64) b.shrink_to_fit();
    }
    deleted_ = 0;
}

void CDB_RAM::Compact() {
    EngineGuard lock(mu_);
    CompactLocked();
}

int64_t CDB_RAM::AgeSeconds() const {
    EngineGuard lock(mu_);
    return static_cast<int64_t>(age_unit_) * age_amount_;
}

bool CDB_RAM::Save() {
    if (WriteFile()) {
        saved_at_.store(now_(), std::memory_order_relaxed);
        return true;
    }
    const int err = errno;
    if (IsOpened()) ReportSaveFailure(Path(), err);  // a table never opened has no file to lose
    return false;
}

bool CDB_RAM::WriteFile() {
    common::MutexLock save(save_mu_);
    platform::AtomicFileWriter out;
    {
        EngineGuard lock(mu_);
        CompactLocked();
        if (!opened_) return false;
        if (!out.Begin(path_)) return false;
        std::string head(dbk::kMagicV2);
        dbk::AppendI32(head, static_cast<int32_t>(index_.size()));
        out.Append(head);
        int32_t written = 0;
        std::string rec;
        for (const Record* r : index_) {                      // compacted: index order is file order
            if (r->key_len < 1 || r->data_len < 1) continue;  // cannot be represented
            rec.clear();
            dbk::AppendI32(rec, r->timestamp);
            dbk::AppendI32(rec, r->key_len);
            dbk::AppendI32(rec, r->data_len);
            out.Append(rec);
            out.Append(r->Key());
            out.Append(r->Data());
            ++written;
        }
        if (written != static_cast<int32_t>(index_.size())) {
            std::string count;
            dbk::AppendI32(count, written);
            out.PatchAt(dbk::kMagicSize, count);
        }
        // Everything is in the kernel's page cache now; the slow sync runs without the lock.
        if (!out.Flush()) return false;
    }
    return out.Commit();
}

void CDB_RAM::ClearLocked() {
    for (Bucket& b : buckets_) {
        for (Record* r : b) {
            r->~Record();
            ::operator delete(r);
        }
        b.clear();
        b.shrink_to_fit();
    }
    index_.clear();
    index_.shrink_to_fit();
    patterns_.clear();
    keys_->Clear();
    deleted_ = 0;
}

void CDB_RAM::Reset() {
    EngineGuard lock(mu_);
    ClearLocked();
}

bool CDB_RAM::IsOpened() const {
    EngineGuard lock(mu_);
    return opened_;
}

int32_t CDB_RAM::LostOnLoad() const {
    EngineGuard lock(mu_);
    return lost_on_load_;
}

int CDB_RAM::Version() const {
    EngineGuard lock(mu_);
    return version_;
}

std::string CDB_RAM::Path() const {
    EngineGuard lock(mu_);
    return path_;
}

size_t CDB_RAM::MemoryBytes() const {
    EngineGuard lock(mu_);
    size_t bytes = sizeof(*this) + keys_->Bytes() + index_.capacity() * sizeof(Record*);
    for (const Bucket& b : buckets_) {
        bytes += b.capacity() * sizeof(Record*);
        for (const Record* r : b) {
            // What malloc really hands out: the request rounded up to 16 plus its 8-byte header.
            size_t request = sizeof(Record) + r->key_len + r->data_len + 2;
            bytes += (request + 8 + 15) / 16 * 16;
        }
    }
    return bytes;
}

}  // namespace store
