// Framework timers, work items and spin locks on both clocks.

#include <chrono>
#include <thread>

#include "test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

struct Firing {
    std::string name;
    Time100ns at;
    KIRQL irql;
};
std::mutex gMu;
std::vector<Firing> gFirings;
std::atomic<int> gRearms{0};

void note(const char* name) {
    std::lock_guard lk(gMu);
    gFirings.push_back({name, KeQueryInterruptTime(), KeGetCurrentIrql()});
}

VOID TimerA(WDFTIMER) {
    note("A");
}
VOID TimerB(WDFTIMER) {
    note("B");
}
// Re-arms itself twice after 3 ms, like a stream timer.
VOID TimerRearming(WDFTIMER timer) {
    note("R");
    if (gRearms.fetch_add(1) < 2) WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(3));
}

WDFTIMER makeTimer(WDFDEVICE device, PFN_WDF_TIMER fn) {
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, fn);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device;
    WDFTIMER timer = nullptr;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_SUCCESS);
    return timer;
}

WDFWORKITEM makeWorkItem(WDFOBJECT parent, PFN_WDF_WORKITEM fn) {
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, fn);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = parent;
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_SUCCESS);
    return item;
}

class TimersAndWorkItems : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        std::lock_guard lk(gMu);
        gFirings.clear();
        gRearms = 0;
    }
    std::vector<std::string> names() {
        std::lock_guard lk(gMu);
        std::vector<std::string> n;
        for (auto& f : gFirings) n.push_back(f.name);
        return n;
    }
};

TEST_F(TimersAndWorkItems, OneShotTimersFireOnceInTimeOrderAtDispatchLevel) {
    WDFDEVICE device = addDevice();
    WDFTIMER a = makeTimer(device, TimerA);
    WDFTIMER b = makeTimer(device, TimerB);
    Time100ns start = clock->now();
    EXPECT_FALSE(WdfTimerStart(a, WDF_REL_TIMEOUT_IN_MS(5)));
    EXPECT_FALSE(WdfTimerStart(b, WDF_REL_TIMEOUT_IN_MS(2)));
    clock->advance(1 * kUnitsPerMs);
    EXPECT_TRUE(names().empty());
    clock->advance(20 * kUnitsPerMs);
    ASSERT_EQ(names(), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(gFirings[0].at, start + 2 * kUnitsPerMs);
    EXPECT_EQ(gFirings[1].at, start + 5 * kUnitsPerMs);
    EXPECT_EQ(gFirings[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(WdfTimerGetParentObject(a), device);
}

TEST_F(TimersAndWorkItems, RestartingAQueuedTimerMovesItsDueTime) {
    WDFDEVICE device = addDevice();
    WDFTIMER a = makeTimer(device, TimerA);
    Time100ns start = clock->now();
    EXPECT_FALSE(WdfTimerStart(a, WDF_REL_TIMEOUT_IN_MS(10)));
    clock->advance(4 * kUnitsPerMs);
    EXPECT_TRUE(WdfTimerStart(a, WDF_REL_TIMEOUT_IN_MS(10)));  // it was waiting: re-armed
    clock->advance(50 * kUnitsPerMs);
    ASSERT_EQ(names(), std::vector<std::string>{"A"});
    EXPECT_EQ(gFirings[0].at, start + 14 * kUnitsPerMs);

    EXPECT_FALSE(WdfTimerStart(a, WDF_REL_TIMEOUT_IN_MS(10)));
    EXPECT_TRUE(WdfTimerStop(a, FALSE));
    EXPECT_FALSE(WdfTimerStop(a, TRUE));
    clock->advance(50 * kUnitsPerMs);
    EXPECT_EQ(names().size(), 1u);
}

TEST_F(TimersAndWorkItems, ATimerMayRearmItselfFromItsCallback) {
    WDFDEVICE device = addDevice();
    WDFTIMER r = makeTimer(device, TimerRearming);
    Time100ns start = clock->now();
    WdfTimerStart(r, WDF_REL_TIMEOUT_IN_MS(3));
    clock->advance(100 * kUnitsPerMs);
    ASSERT_EQ(names().size(), 3u);
    EXPECT_EQ(gFirings[2].at, start + 9 * kUnitsPerMs);
}

TEST_F(TimersAndWorkItems, TimersGoWithTheirDevice) {
    WDFDEVICE device = addDevice();
    WDFTIMER a = makeTimer(device, TimerA);
    WdfTimerStart(a, WDF_REL_TIMEOUT_IN_MS(10));
    harness().removeDevice(device);
    EXPECT_FALSE(harness().deviceExists(device));
    clock->advance(50 * kUnitsPerMs);
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(clock->pendingTasks(), 0u);
}

std::atomic<int> gWorkRuns{0};
VOID CountingWork(WDFWORKITEM item) {
    note("W");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_NE(WdfWorkItemGetParentObject(item), nullptr);
    ++gWorkRuns;
}
VOID SelfDeletingWork(WDFWORKITEM item) {
    ++gWorkRuns;
    WdfObjectDelete(item);
}

TEST_F(TimersAndWorkItems, AQueuedWorkItemRunsOnceAtPassiveLevel) {
    WDFDEVICE device = addDevice();
    gWorkRuns = 0;
    WDFWORKITEM w = makeWorkItem(device, CountingWork);
    WdfWorkItemEnqueue(w);
    WdfWorkItemEnqueue(w);  // already queued: nothing more
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        WdfWorkItemEnqueue(w);  // allowed at dispatch level
    }
    clock->runDue();
    EXPECT_EQ(gWorkRuns, 1);
    WdfWorkItemEnqueue(w);
    clock->runDue();
    EXPECT_EQ(gWorkRuns, 2);

    // A work item may delete itself from its callback; its destroy follows the callback.
    WDFWORKITEM s = makeWorkItem(device, SelfDeletingWork);
    WdfWorkItemEnqueue(s);
    clock->runDue();
    EXPECT_EQ(gWorkRuns, 3);
    BugCheckRecorder checks;
    WdfWorkItemEnqueue(s);
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 1u);
}

// Serialised with the device: the first waits 10 ms inside its callback; on the manual clock the
// wait runs the second item's task in the same thread, which must not enter before the first
// has left.
KEVENT gNever;
VOID WaitingWork(WDFWORKITEM) {
    note("first begins");
    LARGE_INTEGER t;
    t.QuadPart = -10 * 10000;
    KeWaitForSingleObject(&gNever, Executive, KernelMode, FALSE, &t);
    note("first ends");
}
VOID SecondWork(WDFWORKITEM) {
    note("second");
}

TEST_F(TimersAndWorkItems, SerialisedWorkItemsNeverOverlapOnTheManualClock) {
    hooks().deviceScope = WdfSynchronizationScopeDevice;
    hooks().deviceLevel = WdfExecutionLevelPassive;
    WDFDEVICE device = addDevice();
    KeInitializeEvent(&gNever, NotificationEvent, FALSE);
    WDFWORKITEM first = makeWorkItem(device, WaitingWork);
    WDFWORKITEM second = makeWorkItem(device, SecondWork);
    WdfWorkItemEnqueue(first);
    WdfWorkItemEnqueue(second);
    clock->advance(50 * kUnitsPerMs);
    EXPECT_EQ(names(), (std::vector<std::string>{"first begins", "first ends", "second"}));
}

std::atomic<int> gInside{0};
std::atomic<int> gMaxInside{0};
VOID SlowWork(WDFWORKITEM) {
    int now = ++gInside;
    int seen = gMaxInside.load();
    while (now > seen && !gMaxInside.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    --gInside;
    ++gWorkRuns;
}

TEST_F(TimersAndWorkItems, SerialisedWorkItemsNeverOverlapOnTheRealClock) {
    resetMachine(makeRealClock(2, 3));
    hooks().deviceScope = WdfSynchronizationScopeDevice;
    hooks().deviceLevel = WdfExecutionLevelPassive;
    WDFDEVICE device = addDevice();
    gWorkRuns = 0;
    gInside = 0;
    gMaxInside = 0;
    std::vector<WDFWORKITEM> items;
    for (int i = 0; i < 3; ++i) items.push_back(makeWorkItem(device, SlowWork));
    for (auto w : items) WdfWorkItemEnqueue(w);
    auto c = machineClock();
    EXPECT_TRUE(c->waitUntil([] { return gWorkRuns == 3; }, c->now() + 10 * kUnitsPerSecond));
    EXPECT_EQ(gMaxInside, 1);
}

TEST_F(TimersAndWorkItems, TimersFireOnTheRealClocksOwnThreads) {
    resetMachine(makeRealClock());
    WDFDEVICE device = addDevice();
    WDFTIMER a = makeTimer(device, TimerA);
    auto c = machineClock();
    Time100ns start = c->now();
    WdfTimerStart(a, WDF_REL_TIMEOUT_IN_MS(5));
    EXPECT_TRUE(c->waitUntil([this] { return !names().empty(); }, start + 5 * kUnitsPerSecond));
    std::lock_guard lk(gMu);
    ASSERT_EQ(gFirings.size(), 1u);
    EXPECT_GE(gFirings[0].at, start + 5 * kUnitsPerMs);
    EXPECT_EQ(gFirings[0].irql, DISPATCH_LEVEL);
}

TEST_F(TimersAndWorkItems, SpinLocksExcludeAndRaiseToDispatch) {
    WDFDEVICE device = addDevice();
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device;
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(&a, &lock), STATUS_SUCCESS);

    long counter = 0;  // plain: only the lock protects it
    std::atomic<bool> wrongLevel{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                WdfSpinLockAcquire(lock);
                if (KeGetCurrentIrql() != DISPATCH_LEVEL) wrongLevel = true;
                long v = counter;
                counter = v + 1;
                WdfSpinLockRelease(lock);
                if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrongLevel = true;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_FALSE(wrongLevel);

    BugCheckRecorder checks;
    WdfSpinLockAcquire(lock);
    WdfSpinLockAcquire(lock);  // again on the same thread: a deadlock on the platform
    std::thread([&] { WdfSpinLockRelease(lock); }).join();  // not the owner
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 2u);
    WdfSpinLockRelease(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
