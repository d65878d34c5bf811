#pragma once
// CLogQueue: the log items an engine, connection or script host has produced and the main
// thread has not yet written. Any thread may AddLog; the owner moves items to its engine's
// queue (MoveTo) and the main thread drains engine queues into the XML log (DrainTo).
// Moves always go from a connection or script queue to its engine's queue, never back, so two
// queue locks are never taken in opposite orders.
#include <atomic>
#include <deque>
#include <memory>
#include <string_view>

#include "common/String.h"
#include "common/ThreadSafety.h"

namespace logging {

class LogXML;

struct LogQueueItem {
    int level = 0;
    common::String entry;
    common::String file;
    common::String function;
    common::String type;
    int id_connection = 0;
};

// The most detailed level the kernel's log writes now (4 in tools and tests). The relay's hot
// paths ask before they build a line the log would drop, so a quiet log costs them nothing.
// Queues that carry diagnostics as data (the script engine's) never ask.
void SetQueueLevel(int level);
bool LogWanted(int level);

class CLogQueue {
public:
    // A queue nobody drains must not eat the kernel's memory: past this many items the oldest
    // are dropped and one "log items dropped" item says how many.
    static constexpr size_t kMaxItems = 100000;

    CLogQueue() = default;
    virtual ~CLogQueue() = default;
    CLogQueue(const CLogQueue&) = delete;
    CLogQueue& operator=(const CLogQueue&) = delete;

    void AddLog(int level, std::string_view entry, std::string_view file = {}, std::string_view function = {},
                std::string_view type = {}, int id_connection = 0);
    // Appends every item to `target`, oldest first, and empties this queue; an id above 0
    // replaces the items' own connection ids.
    void MoveTo(CLogQueue& target, int id_connection = 0);
    // Writes every item to `log`, oldest first, and empties this queue (same id rule).
    void DrainTo(LogXML& log, int id_connection = 0);
    size_t Count() const;
    std::deque<LogQueueItem> TakeAll();
    // Each item added raises `flag` as well: an owner of thousands of queues looks at them only
    // when one of them was given something. Set before the queue is shared; `flag` outlives it.
    void SignalTo(std::atomic<bool>* flag) { signal_ = flag; }

private:
    void PushLocked(LogQueueItem item) REQUIRES(mu_);

    mutable common::Mutex mu_;
    // Made at the first item and freed when taken: every session, interpreter and script class
    // has a queue, and most of them are empty most of the time.
    std::unique_ptr<std::deque<LogQueueItem>> items_ GUARDED_BY(mu_);
    size_t dropped_ GUARDED_BY(mu_) = 0;
    // Whether there is anything to take, read without the lock: the main thread asks thousands
    // of idle sessions every housekeeping pass. An item pushed while it looks is taken the
    // next pass.
    std::atomic<bool> pending_{false};
    std::atomic<bool>* signal_ = nullptr;
};

}  // namespace logging
