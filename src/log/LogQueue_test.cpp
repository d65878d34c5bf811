#include "log/LogQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace logging {
namespace {

TEST(LogQueueTest, MoveKeepsOrderAndStampsTheConnection) {
    CLogQueue session, engine;
    session.AddLog(1, "a", "F", "f", "SYS", 5);
    session.AddLog(2, "b");
    engine.AddLog(1, "already");
    session.MoveTo(engine, 77);
    EXPECT_EQ(session.Count(), 0u);
    auto items = engine.TakeAll();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].entry, "already");
    EXPECT_EQ(items[0].id_connection, 0);
    EXPECT_EQ(items[1].entry, "a");
    EXPECT_EQ(items[1].id_connection, 77);
    EXPECT_EQ(items[2].id_connection, 77);

    session.AddLog(1, "own id", {}, {}, {}, 9);
    session.MoveTo(engine, 0);
    EXPECT_EQ(engine.TakeAll()[0].id_connection, 9) << "id 0 keeps each item's own id";
}

TEST(LogQueueTest, ConcurrentProducersLoseNothing) {
    CLogQueue q;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&q] {
            for (int i = 0; i < 1000; ++i) q.AddLog(1, "x");
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(q.Count(), 4000u);
}

// MoveTo looks for items without the lock: one pushed while it looks must be moved by a later
// call, never left behind.
TEST(LogQueueTest, MovesWhileProducersPushLeaveNothingBehind) {
    CLogQueue session, engine;
    std::thread producer([&session] {
        for (int i = 0; i < 20000; ++i) session.AddLog(1, "x");
    });
    size_t moved = 0;
    for (int i = 0; i < 2000; ++i) {
        session.MoveTo(engine);
        moved += engine.TakeAll().size();
    }
    producer.join();
    session.MoveTo(engine);
    moved += engine.TakeAll().size();
    EXPECT_EQ(moved, 20000u);
    EXPECT_EQ(session.Count(), 0u);
    session.MoveTo(engine);
    EXPECT_EQ(engine.Count(), 0u) << "an emptied queue moves nothing";
}

TEST(LogQueueTest, UndrainedQueueIsBoundedAndSaysSo) {
    CLogQueue q;
    for (size_t i = 0; i < CLogQueue::kMaxItems + 10; ++i) q.AddLog(1, "x");
    EXPECT_EQ(q.Count(), CLogQueue::kMaxItems);
    auto items = q.TakeAll();
    EXPECT_EQ(items.front().entry, "10 log items dropped: the queue was not drained");
}

}  // namespace
}  // namespace logging
