#include "standin/clock.h"
#include "standin/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using standin::kUnitsPerMs;
using standin::RunLevel;

TEST(ManualClock, RunsDueTasksInTimeOrderThenSchedulingOrder) {
    auto clock = standin::makeManualClock(1000);
    std::vector<int> order;
    clock->schedule(1000 + 30, RunLevel::Dispatch, [&] { order.push_back(3); });
    clock->schedule(1000 + 10, RunLevel::Passive, [&] { order.push_back(1); });
    clock->schedule(1000 + 10, RunLevel::Dispatch, [&] { order.push_back(2); });
    clock->schedule(1000 + 50, RunLevel::Dispatch, [&] { order.push_back(4); });
    clock->advance(30);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(clock->now(), 1030u);
    EXPECT_EQ(clock->pendingTasks(), 1u);
    clock->advance(100);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(clock->now(), 1130u);
}

TEST(ManualClock, TaskSeesItsOwnDueTimeAndMayScheduleMore) {
    auto clock = standin::makeManualClock();
    std::vector<standin::Time100ns> seen;
    std::function<void()> rearm = [&] {
        seen.push_back(clock->now());
        if (seen.size() < 3) clock->schedule(clock->now() + 5, RunLevel::Dispatch, rearm);
    };
    clock->schedule(5, RunLevel::Dispatch, rearm);
    clock->advance(100);
    EXPECT_EQ(seen, (std::vector<standin::Time100ns>{5, 10, 15}));
}

TEST(ManualClock, CancelledTaskNeverRuns) {
    auto clock = standin::makeManualClock();
    bool ran = false;
    auto id = clock->schedule(10, RunLevel::Dispatch, [&] { ran = true; });
    EXPECT_TRUE(clock->cancel(id));
    EXPECT_FALSE(clock->cancel(id));
    clock->advance(20);
    EXPECT_FALSE(ran);
}

TEST(ManualClock, WaitPumpsTasksAndStopsAtTheConditionOrTheDeadline) {
    auto clock = standin::makeManualClock();
    bool flag = false;
    clock->schedule(7 * kUnitsPerMs, RunLevel::Dispatch, [&] { flag = true; });
    EXPECT_TRUE(clock->waitUntil([&] { return flag; }, 50 * kUnitsPerMs));
    EXPECT_EQ(clock->now(), 7 * kUnitsPerMs);

    // Nothing will make it true: time jumps to the deadline, without blocking.
    bool never = false;
    EXPECT_FALSE(clock->waitUntil([&] { return never; }, clock->now() + 50 * kUnitsPerMs));
    EXPECT_EQ(clock->now(), 57 * kUnitsPerMs);
}

TEST(ManualClock, TaskRunningInsideAWaitMayWaitItself) {
    auto clock = standin::makeManualClock();
    std::vector<int> order;
    clock->schedule(10, RunLevel::Passive, [&] {
        order.push_back(1);
        bool inner = false;
        clock->schedule(clock->now() + 5, RunLevel::Dispatch, [&] { inner = true; });
        clock->waitUntil([&] { return inner; }, clock->now() + 100);
        order.push_back(2);
    });
    clock->schedule(12, RunLevel::Dispatch, [&] { order.push_back(3); });
    clock->advance(50);
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2}));
}

TEST(RealClock, RunsTasksAfterTheirDueTimeOnItsOwnThreads) {
    auto clock = standin::makeRealClock();
    std::atomic<int> ran{0};
    std::thread::id self = std::this_thread::get_id();
    std::atomic<bool> otherThread{false};
    auto start = clock->now();
    std::atomic<standin::Time100ns> at{0};
    clock->schedule(start + 5 * kUnitsPerMs, RunLevel::Dispatch, [&] {
        at = clock->now();
        otherThread = std::this_thread::get_id() != self;
        ++ran;
        clock->notifyAll();
    });
    clock->schedule(start + 1 * kUnitsPerMs, RunLevel::Passive, [&] {
        ++ran;
        clock->notifyAll();
    });
    EXPECT_TRUE(clock->waitUntil([&] { return ran == 2; }, start + 5000 * kUnitsPerMs));
    EXPECT_GE(at.load(), start + 5 * kUnitsPerMs);
    EXPECT_TRUE(otherThread);
}

TEST(RealClock, DueNowDispatchWorkRunsAfterTheCurrentTaskPassiveWorkElsewhere) {
    // Dispatch work for now that a dispatch task schedules runs once that task has returned
    // (never inside schedule(), never beside it on the one dispatch thread); passive work never
    // runs in a dispatch thread.
    std::mutex mu;
    std::vector<int> order;
    std::thread::id first, second, passive;
    std::atomic<int> ran{0};
    auto clock = standin::makeRealClock(1, 1);
    clock->schedule(clock->now() + kUnitsPerMs, RunLevel::Dispatch, [&] {
        first = std::this_thread::get_id();
        clock->schedule(clock->now(), RunLevel::Dispatch, [&] {
            second = std::this_thread::get_id();
            std::lock_guard lk(mu);
            order.push_back(2);
            ++ran;
            clock->notifyAll();
        });
        clock->schedule(clock->now(), RunLevel::Passive, [&] {
            passive = std::this_thread::get_id();
            ++ran;
            clock->notifyAll();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard lk(mu);
        order.push_back(1);
    });
    ASSERT_TRUE(clock->waitUntil([&] { return ran == 2; }, clock->now() + 5000 * kUnitsPerMs));
    std::lock_guard lk(mu);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(first, second);
    EXPECT_NE(passive, first);
}

TEST(RealClock, OneDispatchWorkerRunsOneTaskAtATimeUnlessItBlocks) {
    // With one dispatch worker, a task falling due while another runs long waits for it; a task
    // that blocks in a wait leaves its place, and a task falling due meanwhile runs (here it is
    // what ends the wait).
    auto clock = standin::makeRealClock(1, 1);
    std::atomic<bool> longDone{false}, afterLong{false}, ran{false};
    clock->schedule(clock->now() + kUnitsPerMs, RunLevel::Dispatch, [&] {
        clock->schedule(clock->now() + 5 * kUnitsPerMs, RunLevel::Dispatch, [&] {
            afterLong = longDone.load();
            ran = true;
            clock->notifyAll();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        longDone = true;
    });
    ASSERT_TRUE(clock->waitUntil([&] { return ran.load(); }, clock->now() + 10000 * kUnitsPerMs));
    EXPECT_TRUE(afterLong);

    std::atomic<bool> released{false}, waitMet{false}, done{false};
    clock->schedule(clock->now() + kUnitsPerMs, RunLevel::Dispatch, [&] {
        clock->schedule(clock->now() + 5 * kUnitsPerMs, RunLevel::Dispatch, [&] {
            released = true;
            clock->notifyAll();
        });
        waitMet =
            clock->waitUntil([&] { return released.load(); }, clock->now() + 5000 * kUnitsPerMs);
        done = true;
        clock->notifyAll();
    });
    ASSERT_TRUE(clock->waitUntil([&] { return done.load(); }, clock->now() + 10000 * kUnitsPerMs));
    EXPECT_TRUE(waitMet);

    // Work a task leaves for after it runs once, after the task has given its place back: a
    // task falling due while that work stands still runs meanwhile. Outside the clock's threads
    // nothing is kept.
    EXPECT_FALSE(standin::runAfterTask(+[] {}));
    static std::atomic<bool> otherRan{false}, afterSawOther{false};
    static std::atomic<int> afterRuns{0};
    clock->schedule(clock->now() + kUnitsPerMs, RunLevel::Dispatch, [&] {
        clock->schedule(clock->now() + 2 * kUnitsPerMs, RunLevel::Dispatch,
                        [] { otherRan = true; });
        EXPECT_TRUE(standin::runAfterTask(+[] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!otherRan && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            afterSawOther = otherRan.load();
            ++afterRuns;
        }));
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (afterRuns == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(afterSawOther);
    EXPECT_EQ(afterRuns, 1);
}

TEST(RealClock, WorkQueuedByTheStandByThreadRunsWhenAnotherTaskHasTakenThePlace) {
    // The one dispatch worker blocks in a task, so the stand-by thread runs the timer task that
    // falls due meanwhile. That task queues work for now and lets the blocked task go on, which
    // takes the dispatch place again while the stand-by thread is still busy after its task.
    // The queued work must still run, after the blocked task, though no timer is left.
    auto clock = standin::makeRealClock(1, 1);
    static std::atomic<bool> released{false}, queuedRan{false};
    std::atomic<bool> done{false};
    clock->schedule(clock->now() + kUnitsPerMs, RunLevel::Dispatch, [&] {
        clock->schedule(clock->now() + 5 * kUnitsPerMs, RunLevel::Dispatch, [&] {
            clock->schedule(clock->now(), RunLevel::Dispatch, [] { queuedRan = true; });
            standin::runAfterTask(
                +[] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
            released = true;
            clock->notifyAll();
        });
        clock->waitUntil([] { return released.load(); }, clock->now() + 5000 * kUnitsPerMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // holds the place
        done = true;
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!queuedRan && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(done);
    EXPECT_TRUE(queuedRan);
}

TEST(Sync, ConditionWaitsUntilItsDeadlineOrANotification) {
    standin::Mutex mu;
    standin::CondVar cv;
    bool flag = false;
    std::unique_lock lk(mu);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(cv.wait_for(lk, std::chrono::milliseconds(30), [&] { return flag; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    std::thread setter([&] {
        std::lock_guard g(mu);
        flag = true;
        cv.notify_all();
    });
    EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return flag; }));
    lk.unlock();
    setter.join();
    EXPECT_TRUE(mu.try_lock());
    mu.unlock();
}

// Notifications are never lost, whether given under the lock or after it, with waiters coming
// and going: every item a producer announces with notify_one is taken, and the consumers that
// still sleep at the end are all woken.
TEST(Sync, EveryNotificationReachesAWaiterUnderContention) {
    standin::Mutex mu;
    standin::CondVar cv;
    int items = 0, taken = 0;
    bool done = false;
    constexpr int kItems = 20000;
    std::vector<std::thread> consumers;
    for (int c = 0; c < 4; ++c) {
        consumers.emplace_back([&] {
            std::unique_lock lk(mu);
            for (;;) {
                cv.wait(lk, [&] { return items > 0 || done; });
                if (items == 0) return;
                --items;
                ++taken;
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItems / 2; ++i) {
                std::unique_lock lk(mu);
                ++items;
                if (p == 0) {
                    cv.notify_one();
                } else {
                    lk.unlock();
                    cv.notify_one();
                }
            }
        });
    }
    for (auto& t : producers) t.join();
    {
        std::lock_guard lk(mu);
        done = true;
    }
    cv.notify_all();
    for (auto& t : consumers) t.join();
    EXPECT_EQ(taken, kItems);
}

TEST(RealClock, WaitTimesOutAndCancelWorks) {
    auto clock = standin::makeRealClock();
    std::atomic<bool> ran{false};
    auto id =
        clock->schedule(clock->now() + 20 * kUnitsPerMs, RunLevel::Dispatch, [&] { ran = true; });
    EXPECT_TRUE(clock->cancel(id));
    auto start = clock->now();
    EXPECT_FALSE(clock->waitUntil([&] { return ran.load(); }, start + 40 * kUnitsPerMs));
    EXPECT_GE(clock->now(), start + 40 * kUnitsPerMs);
    EXPECT_FALSE(ran);
}

TEST(RealClock, ManyTasksFromSeveralThreadsAllRunOnce) {
    auto clock = standin::makeRealClock(3, 2);
    std::atomic<int> ran{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i)
                clock->schedule(clock->now() + (i % 7) * 1000,
                                t % 2 ? RunLevel::Dispatch : RunLevel::Passive, [&] {
                                    ++ran;
                                    clock->notifyAll();
                                });
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_TRUE(clock->waitUntil([&] { return ran == 1000; }, clock->now() + 10000 * kUnitsPerMs));
}
