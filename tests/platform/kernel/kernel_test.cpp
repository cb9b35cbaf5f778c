// Kernel events, kernel timers, waits, handle references, thread objects and time.

#include <cstring>
#include <thread>

#include "test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

LARGE_INTEGER relativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

class Kernel : public KernelTest {};

TEST_F(Kernel, NotificationAndSynchronizationEvents) {
    KEVENT storage[2];
    std::memset(storage, 0, sizeof storage);  // zeroed context storage, then initialised
    PKEVENT n = &storage[0];
    PKEVENT s = &storage[1];
    KeInitializeEvent(n, NotificationEvent, FALSE);
    KeInitializeEvent(s, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(n, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(n, 8, FALSE), 1);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(n), 1);  // a notification event stays set
    EXPECT_EQ(KeResetEvent(n), 1);
    EXPECT_EQ(KeReadStateEvent(n), 0);

    KeSetEvent(s, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(Kernel, WaitsMoveTheManualClockToTheSignalOrTheTimeOut) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    Time100ns start = KeQueryInterruptTime();
    LARGE_INTEGER t = relativeMs(50);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), start + 50 * kUnitsPerMs);

    clock->schedule(clock->now() + 7 * kUnitsPerMs, RunLevel::Dispatch,
                    [&e] { KeSetEvent(&e, 8, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), start + 57 * kUnitsPerMs);
}

TEST_F(Kernel, ADispatchLevelWaitIsCaught) {
    WDFDEVICE device = addDevice(false);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device;
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(&a, &lock), STATUS_SUCCESS);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    BugCheckRecorder checks;
    WdfSpinLockAcquire(lock);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(checks.count(), 0u);  // polling is allowed at dispatch level
    LARGE_INTEGER t = relativeMs(5);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(checks.count(kBugCheckIrqlNotLessOrEqual), 1u);
    PAGED_CODE();
    EXPECT_EQ(checks.count(kBugCheckIrqlNotLessOrEqual), 2u);
    WdfSpinLockRelease(lock);

    KEVENT never;
    std::memset(&never, 0, sizeof never);  // never initialised
    KeSetEvent(&never, 0, FALSE);
    EXPECT_EQ(checks.count(), 3u);
}

TEST_F(Kernel, KernelTimersSignalAtTheirDueTime) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    Time100ns start = KeQueryInterruptTime();
    EXPECT_FALSE(KeSetTimer(&timer, relativeMs(20), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, relativeMs(20), nullptr));  // still set: re-armed
    LARGE_INTEGER t = relativeMs(20);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), start + 20 * kUnitsPerMs);

    // Pool holding a timer that is still set must not be freed.
    auto* block =
        static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTestTag));
    KeInitializeTimer(block);
    KeSetTimer(block, relativeMs(100), nullptr);
    BugCheckRecorder checks;
    ExFreePoolWithTag(block, kTestTag);
    EXPECT_EQ(checks.count(kBugCheckTimerOrDpcInvalid), 1u);
    clock->advance(200 * kUnitsPerMs);  // the freed timer never fires
}

TEST_F(Kernel, EventHandlesOfTheCallerResolveToItsEvents) {
    InProcessCallerContext process;
    UserEvent user(true);
    HANDLE h = process.addEvent(user.fd());
    HANDLE notEvent = process.addOtherObject();
    PVOID object = nullptr;

    // Outside any process there is no handle table to look in.
    EXPECT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr),
        STATUS_INVALID_HANDLE);
    CallerScope inProcess(&process);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7770), SYNCHRONIZE,
                                        *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(notEvent, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                        &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr),
        STATUS_SUCCESS);
    auto* event = static_cast<PKEVENT>(object);
    process.closeHandle(h);  // the reference outlives the handle

    EXPECT_EQ(KeSetEvent(event, 8, FALSE), 0);
    EXPECT_TRUE(user.isSignalled());
    EXPECT_EQ(KeSetEvent(event, 0, FALSE), 1);
    KeClearEvent(event);
    EXPECT_FALSE(user.isSignalled());
    user.set();
    EXPECT_EQ(KeReadStateEvent(event), 1);
    ObDereferenceObject(event);
    EXPECT_TRUE(user.isSignalled());

    BugCheckRecorder checks;
    ObDereferenceObject(event);  // the reference is gone
    EXPECT_EQ(checks.count(), 1u);
}

TEST_F(Kernel, APriorityProbeFindsTheThreadObjectsPriorityByte) {
    InProcessCallerContext process;
    CallerScope inProcess(&process);
    auto* thread = reinterpret_cast<unsigned char*>(KeGetCurrentThread());
    EXPECT_EQ(static_cast<void*>(thread), process.currentThreadObject());
    EXPECT_EQ(reinterpret_cast<void*>(PsGetCurrentThread()), static_cast<void*>(thread));

    // The driver's probe: the first offset whose byte equals the thread's priority, checked
    // while the thread's priority changes.
    std::size_t found = 0;
    for (KPRIORITY priority : {15, 9, 2}) {
        process.setCurrentThreadPriority(priority);
        ASSERT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), priority);
        std::size_t p = 0;
        while (p <= 769 && thread[p] != priority) ++p;
        ASSERT_LE(p, 769u);
        found = p;
    }
    EXPECT_EQ(found, kThreadObjectPriorityOffset);
    thread[found] = 31;  // the block-boundary raise
    EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), 31);

    // Each thread of the process has its own thread object; machine threads have theirs.
    void* other = nullptr;
    std::thread([&] {
        CallerScope s(&process);
        other = KeGetCurrentThread();
    }).join();
    EXPECT_NE(other, static_cast<void*>(thread));
    CallerScope none(nullptr);
    EXPECT_NE(static_cast<void*>(KeGetCurrentThread()), static_cast<void*>(thread));
    EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), kDefaultThreadPriority);
}

TEST_F(Kernel, AReferencedThreadObjectOutlivesItsProcess) {
    void* thread;
    {
        InProcessCallerContext process(4242);
        CallerScope inProcess(&process);
        EXPECT_EQ(HandleToULong(PsGetCurrentProcessId()), 4242u);
        thread = KeGetCurrentThread();
        ObReferenceObject(thread);
    }
    EXPECT_EQ(HandleToULong(PsGetCurrentProcessId()), 4u);  // the system process
    // Still the kernel's memory: a block-boundary raise may write into it.
    static_cast<unsigned char*>(thread)[kThreadObjectPriorityOffset] = 31;
    EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(thread)), 31);
    ObDereferenceObject(thread);
    BugCheckRecorder checks;
    ObReferenceObject(thread);  // gone now
    EXPECT_EQ(checks.count(), 1u);
}

TEST_F(Kernel, TimeFollowsTheClockAndTheTimerResolutionIsRecorded) {
    Time100ns start = KeQueryInterruptTime();
    EXPECT_EQ(start, clock->now());
    clock->advance(1000 * kUnitsPerMs);
    EXPECT_EQ(KeQueryInterruptTime(), start + 1000 * kUnitsPerMs);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000,
              KeQueryInterruptTime() / kTimeIncrement * kTimeIncrement / 10000);

    EXPECT_FALSE(timerResolution().requested);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    auto r = timerResolution();
    EXPECT_TRUE(r.requested);
    EXPECT_EQ(r.requestedTime, 10000u);
    EXPECT_EQ(r.currentResolution, 10000u);
    ExSetTimerResolution(0, FALSE);
    r = timerResolution();
    EXPECT_FALSE(r.requested);
    EXPECT_EQ(r.currentResolution, kTimeIncrement);
    EXPECT_EQ(r.setCalls, 1u);
    EXPECT_EQ(r.clearCalls, 1u);
}

}  // namespace
