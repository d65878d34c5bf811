#include "log/LogQueue.h"

#include <atomic>

#include "log/LogXML.h"

namespace logging {

namespace {
std::atomic<int> g_queue_level{4};
}  // namespace

void SetQueueLevel(int level) {
    g_queue_level.store(level, std::memory_order_relaxed);
}
bool LogWanted(int level) {
    return level <= g_queue_level.load(std::memory_order_relaxed);
}

void CLogQueue::PushLocked(LogQueueItem item) {
    if (!items_) items_ = std::make_unique<std::deque<LogQueueItem>>();
    if (items_->size() >= kMaxItems) {
        items_->pop_front();
        ++dropped_;
    }
    items_->push_back(std::move(item));
    pending_.store(true, std::memory_order_release);
    if (signal_) signal_->store(true, std::memory_order_release);
}

void CLogQueue::AddLog(int level, std::string_view entry, std::string_view file, std::string_view function,
                       std::string_view type, int id_connection) {
    LogQueueItem item{
        level,        common::String(entry), common::String(file), common::String(function), common::String(type),
        id_connection};
    common::MutexLock lock(mu_);
    PushLocked(std::move(item));
}

std::deque<LogQueueItem> CLogQueue::TakeAll() {
    std::deque<LogQueueItem> out;
    common::MutexLock lock(mu_);
    pending_.store(false, std::memory_order_relaxed);
    if (items_) {
        out.swap(*items_);
        items_.reset();
    }
    if (dropped_) {
        common::String note;
        note.Format("%zu log items dropped: the queue was not drained", dropped_);
        out.push_front(LogQueueItem{1, note, "LogQueue", "CLogQueue::AddLog", "SYS", 0});
        dropped_ = 0;
    }
    return out;
}

void CLogQueue::MoveTo(CLogQueue& target, int id_connection) {
    if (&target == this) return;
    // Thousands of idle sessions are asked every pass: an empty queue costs no lock, and no
    // deque made and freed.
    if (!pending_.load(std::memory_order_acquire)) return;
    std::deque<LogQueueItem> items = TakeAll();
    common::MutexLock lock(target.mu_);
    for (LogQueueItem& item : items) {
        if (id_connection > 0) item.id_connection = id_connection;
        target.PushLocked(std::move(item));
    }
}

void CLogQueue::DrainTo(LogXML& log, int id_connection) {
    // Items leave the queue under its lock; the file is written outside it, so producers
    // never wait on the disk.
    for (const LogQueueItem& item : TakeAll()) {
        log.Write(item.level, item.entry.View(), item.file.View(), item.function.View(), item.type.View(),
                  id_connection > 0 ? id_connection : item.id_connection);
    }
}

size_t CLogQueue::Count() const {
    common::MutexLock lock(mu_);
    return items_ ? items_->size() : 0;
}

}  // namespace logging
