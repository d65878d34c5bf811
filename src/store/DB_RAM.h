#pragma once
// CDB_RAM: a named key/value table held in memory and saved to one DBK file. Every list the
// kernel keeps (caches, greylist, white lists, embargo, Bayes words, quarantine indexes,
// rules, domains) is one of these.
//
// Records keep the file's order: ascending bucket (the absolute value of the key's first
// byte as a signed char, 0..128), insertion order inside a bucket. Index positions number the
// records in insertion order until the next compaction, then in file order. A hash index
// beside the buckets makes Find by key O(1) whatever the size; it always returns the first
// live record of a key, duplicates being allowed.
//
// Deleted records stay in memory, invisible to Find and Query, until the compaction that
// every Save starts with. Saves are atomic: a failed or interrupted save leaves the previous
// file. Nothing here logs; failures come back as false, 0 or -1.
//
// Every operation takes the table's lock for its whole run, so one table may be shared by all
// connection, cron, admin and web threads.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/Regex.h"
#include "store/DbkFormat.h"
#include "store/EngineLock.h"

namespace store {

// A copy of one record, safe to keep after the lock is released.
struct DbRecord {
    int32_t timestamp = 0;
    std::string key;
    std::string data;
    bool deleted = false;
    int32_t index_position = -1;
};

class CDB_RAM {
public:
    static constexpr int kBuckets = 129;  // bucket keys 0..128
    using Hits = std::vector<std::pair<std::string, std::string>>;
    using TimeSource = int64_t (*)();

    CDB_RAM();
    ~CDB_RAM();
    CDB_RAM(const CDB_RAM&) = delete;
    CDB_RAM& operator=(const CDB_RAM&) = delete;

    // Checks the header of `path`, or creates an empty "DBK2.0" file when it is missing or
    // empty. False for any other magic: the table then stays memory-only (Load and Save
    // refuse to touch the file).
    bool Open(const std::string& path);
    // Replaces the records with the file's. False when the table is not opened, the file
    // cannot be read or holds no record. A bad record length or a cut-short record ends the
    // load with the records before it, and counts as success.
    bool Load();
    // 1 when added, 0 when the key or value is empty or over 32768 bytes, or (without
    // allow_duplicate) a live record of the key exists.
    int Insert(std::string_view key, std::string_view value, bool allow_duplicate = false);
    // Replaces the first live record's data; the timestamp becomes now unless keep_time.
    // Returns its index position, or -1.
    int Update(std::string_view key, std::string_view value, bool keep_time = false);
    // Marks the first live record of the key deleted: 1, or -1 when there is none.
    int Delete(std::string_view key);
    // Index position of the first live record of the key, or -1. In pattern mode, when no key
    // is equal, the first live record (file order) whose key, taken as a case-insensitive
    // regular expression, matches `key`.
    int Find(std::string_view key, bool pattern_mode = false);
    // A copy of the record Find would name.
    std::optional<DbRecord> Get(std::string_view key, bool pattern_mode = false);
    // The data of the first live record of `key` into `data`; false when there is none. For
    // hot lookups that need neither the key nor the timestamp back.
    bool GetData(std::string_view key, std::string* data);
    // Fills `result` (emptied first) with (key, data) of the matching live records. Mode 0:
    // field 0 keys equal to `key`, field 1 data equal to `key` (in the key's bucket only).
    // Mode 1: `key` is a case-insensitive regular expression matched against the record's key
    // (field 0) or data (field 1). An empty key or another mode lists every live record.
    // Data is given as text (up to its first zero byte). Returns 1.
    int Query(std::string_view key, Hits& result, int mode = 0, int field = 0);

    // Records minus deleted records.
    int GetCount() const;
    // Records in the index, deleted ones included.
    int RecordCount() const;
    int DeletedCount() const;
    // The record at index position i, deleted or not; nullopt outside 0..RecordCount()-1.
    std::optional<DbRecord> GetByIndex(int i) const;
    // Calls `fn` for every record in index order, under the lock; `fn` must not call back
    // into this table. Deleted records are included with their flag.
    void ForEach(const std::function<void(const DbRecord&)>& fn) const;

    // Read-modify-write of the first live record of `key` under one lock hold: `fn` sees a copy
    // and returns true to store its (changed) data and timestamp. The index position, or -1
    // when there is no such record. `fn` must not call back into this table.
    int Modify(std::string_view key, const std::function<bool(DbRecord&)>& fn);
    // Read-modify-write or insert under one lock hold, so that two threads adding to the same
    // new key never make two records of it. `fn` gets the first live record's data (nullptr
    // when there is none) and returns the data to store; a known record keeps its timestamp.
    // 1 inserted, 0 replaced, -1 when the key or the new data could not be stored. `fn` must
    // not call back into this table.
    int Upsert(std::string_view key, const std::function<std::string(const std::string* data)>& fn);
    // Marks every live record for which `pred` is true deleted; returns how many.
    int DeleteIf(const std::function<bool(const DbRecord&)>& pred);

    // Replaces every record's data with fn(record), keeping timestamps and order; an empty
    // result leaves that record as it was. For format migrations.
    void RewriteData(const std::function<std::string(const DbRecord&)>& fn);

    void SetAge(uint32_t unit, uint32_t amount);
    // unit x amount in seconds: how long a record lives (0: for ever).
    int64_t AgeSeconds() const;
    // Marks every record whose timestamp is not after now - unit x amount deleted and, when
    // any was, saves. 1 when something expired, else 0.
    int DeleteOld();
    // now + unit x amount (direction 0) or now - unit x amount (direction 1), as 32-bit time.
    int32_t AgeLimit(int direction, uint32_t unit, uint32_t amount) const;

    // Frees deleted records and renumbers the index in file order.
    void Compact();
    // Compacts, then writes the whole table atomically. False when not opened or the write
    // failed; the previous file is then intact, and a failed write is reported
    // (store::ReportSaveFailure).
    [[nodiscard]] bool Save();
    // When the last Save succeeded (the table's clock), 0 before any; for monitoring.
    int64_t SavedAt() const { return saved_at_.load(std::memory_order_relaxed); }
    // Drops every record in memory; the file is not touched.
    void Reset();

    bool IsOpened() const;
    int Version() const;
    // Records the file's header promised that the last Load could not read (a file cut short
    // or damaged): the readable ones are kept, since the file is the list's only copy, and
    // the owner or the operator is told. Bytes after the promised records count as one.
    int32_t LostOnLoad() const;
    std::string Path() const;
    // Bytes this table holds in memory (records, buckets, index, hash), for benchmarks and
    // the operator's statistics.
    size_t MemoryBytes() const;
    // Tests and tools control the clock.
    void SetTimeSource(TimeSource now) { now_ = now; }
    // The lock, for the core's shutdown report.
    const CEngineLock& Lock() const { return mu_; }

private:
    bool WriteFile();  // Save without the report
    struct Record;
    class KeyIndex;
    using Bucket = std::vector<Record*>;

    static Record* NewRecord(std::string_view key, std::string_view data, int32_t timestamp);
    int32_t Now() const { return static_cast<int32_t>(now_()); }
    Record* FindLocked(std::string_view key, bool pattern_mode) REQUIRES(mu_);
    Record* FindPatternLocked(std::string_view key) REQUIRES(mu_);
    void AppendLocked(Record* r) REQUIRES(mu_);
    void UnlinkLocked(Record* r) REQUIRES(mu_);
    Record* ReplaceLocked(Record* r, std::string_view data, int32_t timestamp) REQUIRES(mu_);
    void RebuildKeyIndexLocked() REQUIRES(mu_);
    void CompactLocked() REQUIRES(mu_);
    void ClearLocked() REQUIRES(mu_);
    void FreeRecord(Record* r) REQUIRES(mu_);
    static DbRecord Copy(const Record& r);

    mutable CEngineLock mu_;
    std::atomic<int64_t> saved_at_{0};
    common::Mutex save_mu_ ACQUIRED_BEFORE(mu_);  // one save of this table at a time
    std::string path_ GUARDED_BY(mu_);
    bool opened_ GUARDED_BY(mu_) = false;
    int version_ GUARDED_BY(mu_) = 2;
    int32_t lost_on_load_ GUARDED_BY(mu_) = 0;
    int32_t deleted_ GUARDED_BY(mu_) = 0;
    uint32_t age_unit_ GUARDED_BY(mu_) = 0;
    uint32_t age_amount_ GUARDED_BY(mu_) = 0;
    std::vector<Bucket> buckets_ GUARDED_BY(mu_);  // kBuckets entries
    std::vector<Record*> index_ GUARDED_BY(mu_);   // index position -> record
    std::unique_ptr<KeyIndex> keys_ GUARDED_BY(mu_);
    // Compiled key patterns of pattern-mode lookups, made on first use.
    std::unordered_map<const Record*, common::RegexHandle> patterns_ GUARDED_BY(mu_);
    TimeSource now_;
};

}  // namespace store
