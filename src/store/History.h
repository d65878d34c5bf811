#pragma once
// CHistory: what happened to each session, for the operator: who connected, what it sent and
// what the kernel and its policy did with it. A bounded store (the newest `max_records` are
// kept, the oldest dropped) held in memory for searching and kept in one append-only file so it
// survives restarts.
//
// Sessions only queue their record (a lock and a move); a writer thread appends the queued
// records to the file about once a second, so no session waits on the disk. The file is
// rewritten (atomically) once it holds twice the records kept, so it stays bounded too.
//
// File format: one record per line, fields separated by tabs, in the order of `kFields`;
// backslash, tab, CR and LF inside a field are written \\, \t, \r, \n. Lines that do not parse
// (a torn last line after a crash) are skipped.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"

namespace store {

struct HistoryRecord {
    int64_t id = 0;    // given by the store: increasing, never reused
    int64_t time = 0;  // the session's start, seconds since 1970
    int32_t duration_ms = 0;
    int32_t conn_id = 0;
    std::string client_ip, client_name, helo, sender, recipients;
    int64_t size = 0;  // bytes of the last message, 0 without one
    int32_t messages = 0;
    // "delivered", "tagged", "refused", "greylisted", "tempfail", "held", "no mail"
    std::string action;
    std::string step;     // where it was decided: "connect", "helo", "mail", "rcpt", "data", "end of data"
    std::string reply;    // the reply that decided it, as the client got it (first line)
    std::string reasons;  // the score and its reasons, as the policy wrote them
    std::string message_id, tls, note;
};

class CHistory {
public:
    static constexpr size_t kDefaultMaxRecords = 100000;
    static constexpr int kWriteIntervalMs = 1000;
    // Each text field is cut to this many bytes: a record never grows without bound.
    static constexpr size_t kMaxField = 1024;

    // `path` empty: memory only.
    CHistory(std::string path, size_t max_records = kDefaultMaxRecords);
    ~CHistory();
    CHistory(const CHistory&) = delete;
    CHistory& operator=(const CHistory&) = delete;

    // Reads the file (the newest records up to the maximum); false when it exists and cannot
    // be read. Call before Start.
    bool Load();
    // The writer thread; Stop writes what is queued and ends it.
    void Start();
    void Stop();
    void SetMaxRecords(size_t max_records);
    size_t MaxRecords() const;

    // Queues a record: cheap, for session threads. Its id is given here.
    void Add(HistoryRecord r);
    // Writes the queued records now (the writer does it by itself); false when writing failed.
    bool Flush();

    struct Filter {
        std::string address;       // client address or name, substring
        std::string sender;        // substring
        std::string recipient;     // substring
        std::string action;        // exact
        std::string reason;        // substring of reasons, reply or note
        int64_t from = 0, to = 0;  // time range, inclusive; 0: open
    };
    // Matching records, newest first, from `start` on, at most `count`; `total` gets how many
    // match in all. Substrings match without regard to ASCII case.
    std::vector<HistoryRecord> Query(const Filter& filter, size_t start, size_t count, size_t* total) const;
    std::optional<HistoryRecord> Get(int64_t id) const;
    size_t Count() const;

    // One line of the file (without its line end) and back.
    static std::string FormatLine(const HistoryRecord& r);
    static std::optional<HistoryRecord> ParseLine(std::string_view line);

private:
    // A record as memory keeps it: the numbers, and the text fields one after another in one
    // buffer (each cut to kMaxField, as the file cuts them). About a third of the size of a
    // HistoryRecord's separate strings, which at 100,000 records is the difference between
    // some 40 MB and 120 MB.
    static constexpr size_t kTextFields = 12;
    struct Packed {
        int64_t id = 0, time = 0, size = 0;
        int32_t duration_ms = 0, conn_id = 0, messages = 0;
        std::array<uint16_t, kTextFields> ends{};
        std::string text;
        std::string_view Field(size_t i) const {
            const size_t from = i == 0 ? 0 : ends[i - 1];
            return std::string_view(text).substr(from, ends[i] - from);
        }
    };
    static Packed Pack(const HistoryRecord& r);
    static HistoryRecord Unpack(const Packed& p);
    static bool Matches(const Packed& p, const Filter& f);

    void WriterLoop();
    bool AppendLines(const std::vector<HistoryRecord>& records);
    bool Rewrite();

    const std::string path_;
    mutable common::Mutex mu_;
    std::deque<Packed> records_ GUARDED_BY(mu_);
    std::vector<HistoryRecord> queued_ GUARDED_BY(mu_);
    size_t max_records_ GUARDED_BY(mu_);
    int64_t next_id_ GUARDED_BY(mu_) = 1;
    // Records in the file: past twice the maximum it is rewritten with the kept ones.
    size_t file_records_ GUARDED_BY(mu_) = 0;
    bool stop_ GUARDED_BY(mu_) = false;
    common::Mutex write_mu_;  // one writer of the file at a time
    std::condition_variable_any cv_;
    std::thread writer_;
};

}  // namespace store
