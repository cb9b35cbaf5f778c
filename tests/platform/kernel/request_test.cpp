// The harness as Plug and Play and I/O manager, requests of the I/O manager, and requests the
// driver sends to I/O targets.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <thread>
#include <vector>

#include "test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

constexpr ULONG kInCaller = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kQueued = CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Seen {
    std::thread::id thread;
    CallerContext* caller = nullptr;
    KIRQL irql = 0xFF;
};

// Echoes the input incremented by one into the output (both are the one system buffer).
void echo(WDFREQUEST request, Seen* seen) {
    seen->thread = std::this_thread::get_id();
    seen->caller = currentCaller();
    seen->irql = KeGetCurrentIrql();
    PVOID in = nullptr;
    PVOID out = nullptr;
    size_t inLength = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 4, &in, &inLength);
    if (NT_SUCCESS(status)) status = WdfRequestRetrieveOutputBuffer(request, 8, &out, nullptr);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
        return;
    }
    EXPECT_EQ(in, out);
    ULONG v;
    std::memcpy(&v, in, 4);
    ++v;
    std::memcpy(static_cast<char*>(out) + 4, &v, 4);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 8);
}

class Requests : public KernelTest {
  protected:
    InProcessCallerContext process;
    Seen inCaller, queued;
    FileId file = 0;

    WDFDEVICE openDevice() {
        hooks().inCaller = [this](WDFDEVICE, WDFREQUEST request) {
            WDF_REQUEST_PARAMETERS p;
            WDF_REQUEST_PARAMETERS_INIT(&p);
            WdfRequestGetParameters(request, &p);
            if (p.Parameters.DeviceIoControl.IoControlCode != kInCaller) return false;
            echo(request, &inCaller);
            return true;
        };
        hooks().ioctl = [this](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
            echo(request, &queued);
        };
        WDFDEVICE device = addDevice();
        EXPECT_EQ(harness().openFile(device, process, &file), STATUS_SUCCESS);
        return device;
    }

    IoResult call(ULONG code, ULONG value, ULONG inLength, ULONG outLength, ULONG* reply) {
        unsigned char in[16] = {};
        std::memcpy(in, &value, 4);
        unsigned char out[16] = {};
        IoResult r = harness().deviceIoControl(file, process, code, in, inLength, out, outLength);
        if (reply) std::memcpy(reply, out + 4, 4);
        return r;
    }

    void TearDown() override {
        if (file && harness_) harness().closeFile(file, process);
        KernelTest::TearDown();
    }
};

TEST_F(Requests, InCallerContextRunsInTheCallingThreadQueuedRequestsOnMachineThreads) {
    openDevice();
    ULONG reply = 0;
    IoResult r = call(kInCaller, 41, 4, 8, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(reply, 42u);
    EXPECT_EQ(inCaller.thread, std::this_thread::get_id());
    EXPECT_EQ(inCaller.caller, &process);
    EXPECT_EQ(inCaller.irql, PASSIVE_LEVEL);

    r = call(kQueued, 9, 4, 8, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(reply, 10u);
    // On the manual clock the queue runs in the waiting thread, but as the machine's: no caller.
    EXPECT_EQ(queued.caller, nullptr);
    EXPECT_EQ(queued.irql, PASSIVE_LEVEL);
}

TEST_F(Requests, QueuedRequestsRunInTheSendingThreadsAllAtOnce) {
    resetMachine(makeRealClock());  // two passive workers
    openDevice();
    ULONG reply = 0;
    IoResult r = call(kQueued, 1, 4, 8, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(reply, 2u);
    EXPECT_EQ(queued.thread, std::this_thread::get_id());
    EXPECT_EQ(queued.caller, nullptr);

    // Requests that wait in the driver (as for a device's answer) take none of the clock's
    // workers: eight senders are in the driver at once, and each waits for all the others.
    constexpr int kSenders = 8;
    std::atomic<int> inside{0};
    hooks().ioctl = [&inside](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        inside.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (inside.load() < kSenders && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        WdfRequestComplete(request, inside.load() >= kSenders ? STATUS_SUCCESS : STATUS_IO_TIMEOUT);
    };
    std::atomic<int> succeeded{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.emplace_back([&] {
            if (call(kQueued, 1, 4, 8, nullptr).status == STATUS_SUCCESS) succeeded.fetch_add(1);
        });
    }
    for (auto& t : senders) t.join();
    EXPECT_EQ(succeeded.load(), kSenders);
}

TEST_F(Requests, ShortBuffersAreRefusedAndFailedRepliesAreNotCopied) {
    openDevice();
    ULONG reply = 0xEEEE;
    EXPECT_EQ(call(kInCaller, 1, 3, 8, &reply).status, STATUS_BUFFER_TOO_SMALL);
    IoResult r = call(kInCaller, 1, 4, 7, &reply);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(call(kQueued, 1, 0, 8, &reply).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reply, 0u);  // nothing came back
    // Input and output share the system buffer of max(in, out) bytes.
    EXPECT_EQ(call(kInCaller, 5, 16, 8, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(reply, 6u);
    // Only buffered I/O controls are served.
    EXPECT_EQ(
        call(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_NEITHER, FILE_ANY_ACCESS), 1, 4, 8, nullptr)
            .status,
        STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Requests, CompletingTwiceAndReplyingTooMuchAreCaught) {
    openDevice();
    hooks().ioctl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        WdfRequestComplete(request, STATUS_SUCCESS);
        WdfRequestComplete(request, STATUS_UNSUCCESSFUL);
    };
    BugCheckRecorder checks;
    EXPECT_EQ(call(kQueued, 1, 4, 8, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 1u);

    hooks().ioctl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 64);
    };
    IoResult r = call(kQueued, 1, 4, 8, nullptr);
    EXPECT_EQ(checks.count(kBugCheckIoManagerViolation), 1u);
    EXPECT_EQ(r.information, 8u);

    WDFREQUEST kept = nullptr;
    hooks().ioctl = [&kept](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        kept = request;  // never completed in time
    };
    harness().setRequestWaitLimit(100 * kUnitsPerMs);
    EXPECT_EQ(call(kQueued, 1, 4, 8, nullptr).status, STATUS_PENDING);
    EXPECT_EQ(checks.count(kBugCheckIoManagerViolation), 2u);
    // Completed late, it no longer holds up the queue (the device's removal waits for it).
    WdfRequestComplete(kept, STATUS_CANCELLED);
}

TEST_F(Requests, TheDeviceGoesThroughItsPowerStates) {
    resetMachine(makeRealClock());  // a request waits in another thread while the device sleeps
    WDFDEVICE device = openDevice();
    EXPECT_EQ(harness().deviceState(device), DeviceState::Working);
    auto interfaces = harness().deviceInterfaces(device);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(harness().pnpCapabilities(device).SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(physicalDeviceOf(device), physical);

    EXPECT_EQ(harness().suspendDevice(device), STATUS_SUCCESS);
    // A power-managed queue holds requests while the device sleeps.
    std::thread caller([this] {
        ULONG reply = 0;
        EXPECT_EQ(call(kQueued, 20, 4, 8, &reply).status, STATUS_SUCCESS);
        EXPECT_EQ(reply, 21u);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(queued.irql, 0xFF);
    EXPECT_EQ(harness().resumeDevice(device), STATUS_SUCCESS);
    caller.join();

    harness().surpriseRemoveDevice(device);
    EXPECT_FALSE(harness().deviceInterfaces(device)[0].enabled);
    // After removal the queue refuses: the driver completes with the framework's status.
    EXPECT_EQ(call(kQueued, 1, 4, 8, nullptr).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(harness().openFile(device, process, &file), STATUS_DELETE_PENDING);
    EXPECT_EQ(hooks().entries(),
              (std::vector<std::string>{"prepare", "d0entry:5", "create", "d0exit:4", "d0entry:4",
                                        "d0exit:5", "release"}));
}

TEST_F(Requests, CleanupRunsInTheClosingProcessAndTheLastCloseDestroysARemovedDevice) {
    WDFDEVICE device = openDevice();
    InProcessCallerContext second;
    FileId other;
    ASSERT_EQ(harness().openFile(device, second, &other), STATUS_SUCCESS);
    CallerContext* cleanupCaller = nullptr;
    hooks().cleanup = [&](WDFFILEOBJECT f) {
        cleanupCaller = currentCaller();
        EXPECT_EQ(WdfFileObjectGetDevice(f), device);
        EXPECT_NE(GetTestFileContext(f), nullptr);
    };
    harness().removeDevice(device);
    EXPECT_TRUE(harness().deviceExists(device));
    harness().closeFile(other, second);
    EXPECT_EQ(cleanupCaller, &second);
    EXPECT_TRUE(harness().deviceExists(device));
    harness().closeFile(file, process);
    file = 0;
    EXPECT_FALSE(harness().deviceExists(device));
    auto log = hooks().entries();
    EXPECT_EQ(log.back(), "device destroyed");
}

TEST_F(Requests, FailuresToStartReleaseTheHardware) {
    hooks().d0Entry = [](WDFDEVICE) { return STATUS_DEVICE_CONFIGURATION_ERROR; };
    WDFDEVICE device = addDevice(false);
    EXPECT_EQ(harness().startDevice(device), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_FALSE(harness().deviceExists(device));
    EXPECT_EQ(hooks().entries(),
              (std::vector<std::string>{"prepare", "d0entry:5", "release", "device destroyed"}));
    hooks().create = [](WDFDEVICE, WDFREQUEST, WDFFILEOBJECT) { return STATUS_ACCESS_DENIED; };
    hooks().d0Entry = nullptr;
    WDFDEVICE again = addDevice(true);
    FileId f;
    EXPECT_EQ(harness().openFile(again, process, &f), STATUS_ACCESS_DENIED);
    EXPECT_EQ(harness().openFiles(again), 0u);
}

// ---------------------------------------------------------------------------------------------
struct Completion {
    std::atomic<int> calls{0};  // counted last: the fields are complete once it moves
    NTSTATUS status = 0;
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    KIRQL irql = 0xFF;
    Time100ns at = 0;
};

VOID OnComplete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                WDFCONTEXT context) {
    auto* c = static_cast<Completion*>(context);
    c->status = params->IoStatus.Status;
    EXPECT_EQ(WdfRequestGetStatus(request), c->status);
    c->type = params->Type;
    c->irql = KeGetCurrentIrql();
    c->at = KeQueryInterruptTime();
    ++c->calls;
}

class Sending : public KernelTest {
  protected:
    WDFDEVICE device = nullptr;
    WDFIOTARGET target = nullptr;
    WDFREQUEST request = nullptr;
    Completion done;

    void SetUp() override {
        KernelTest::SetUp();
        device = addDevice();
        target = WdfDeviceGetIoTarget(device);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ParentObject = device;
        ASSERT_EQ(WdfRequestCreate(&a, target, &request), STATUS_SUCCESS);
        prepare();
    }

    void prepare() {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        ASSERT_EQ(setRequestFormat(request, std::make_shared<TestFormat>()), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, OnComplete, &done);
    }

    BOOLEAN send(LONGLONG timeoutMs) {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        if (timeoutMs)
            WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(timeoutMs));
        return WdfRequestSend(request, target, &options);
    }
};

TEST_F(Sending, CompletionRoutinesRunAtDispatchLevelWithTheStatus) {
    physical->backend->delay = 3 * kUnitsPerMs;
    physical->backend->status = STATUS_DEVICE_REMOVED;
    Time100ns start = clock->now();
    ASSERT_TRUE(send(500));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_PENDING);
    clock->advance(10 * kUnitsPerMs);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(done.type, WdfRequestTypeDeviceControlInternal);
    EXPECT_EQ(done.irql, DISPATCH_LEVEL);
    EXPECT_EQ(done.at, start + 3 * kUnitsPerMs);
    EXPECT_EQ(physical->backend->starts, 1);
    EXPECT_EQ(WdfIoTargetGetDevice(target), device);

    // Reuse clears the routine and the format; an unformatted request is refused.
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(request, &reuse);
    EXPECT_FALSE(send(0));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Sending, ASendThatIsNeverAnsweredTimesOut) {
    physical->backend->never = true;
    Time100ns start = clock->now();
    ASSERT_TRUE(send(500));
    clock->advance(499 * kUnitsPerMs);
    EXPECT_EQ(done.calls, 0);
    clock->advance(10 * kUnitsPerMs);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(done.at, start + 500 * kUnitsPerMs);
    EXPECT_EQ(physical->backend->cancelled, 1);
    EXPECT_EQ(physical->backend->holding(), 0u);

    // Sending a request that is still in flight is caught.
    prepare();
    ASSERT_TRUE(send(0));
    BugCheckRecorder checks;
    EXPECT_FALSE(send(0));
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 1u);
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    clock->runDue();
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(request));
}

TEST_F(Sending, ACancelDuringTheHandOverCompletesOnlyOnceTheBackendLetsGo) {
    // The sender owns its buffers again at completion: a request cancelled while its backend is
    // still taking it must not complete before the backend has it and lets it go again.
    physical->backend->never = true;
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false, open = false;
    physical->backend->beforeTaking = [&] {
        std::unique_lock lk(mu);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [&] { return open; });
    };
    std::thread sender([&] { EXPECT_TRUE(send(0)); });
    {
        std::unique_lock lk(mu);
        EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return entered; }));
    }
    std::atomic<bool> cancelReturned{false};
    std::thread canceller([&] {
        EXPECT_TRUE(WdfRequestCancelSentRequest(request));
        cancelReturned = true;
    });
    for (int i = 0; i < 50 && !cancelReturned; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    {
        std::lock_guard lk(mu);
        open = true;
        cv.notify_all();
    }
    sender.join();
    canceller.join();
    clock->runDue();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_EQ(physical->backend->holding(), 0u);
}

TEST_F(Sending, StoppingATargetCancelsWhatWasSentAndHoldsNewSends) {
    physical->backend->never = true;
    ASSERT_TRUE(send(0));
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    // The stop returns once the cancelled request's completion has run.
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_EQ(physical->backend->stops, 1);

    // A stopped target accepts a request but delivers it only once started again.
    physical->backend->never = false;
    prepare();
    ASSERT_TRUE(send(0));
    clock->advance(10 * kUnitsPerMs);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(physical->backend->submitted, 1);
    EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    clock->runDue();
    EXPECT_EQ(done.calls, 2);
    EXPECT_EQ(done.status, STATUS_SUCCESS);

    // A held request still times out.
    WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
    prepare();
    ASSERT_TRUE(send(20));
    clock->advance(30 * kUnitsPerMs);
    EXPECT_EQ(done.calls, 3);
    EXPECT_EQ(done.status, STATUS_IO_TIMEOUT);

    // Once the device is gone its target refuses (an open handle keeps the device object).
    WdfIoTargetStart(target);
    InProcessCallerContext process;
    FileId file;
    ASSERT_EQ(harness().openFile(device, process, &file), STATUS_SUCCESS);
    harness().surpriseRemoveDevice(device);
    prepare();
    EXPECT_FALSE(send(0));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
    harness().closeFile(file, process);
}

TEST_F(Sending, SynchronousSendsWaitForTheirCompletion) {
    physical->backend->delay = 4 * kUnitsPerMs;
    physical->backend->information = 64;
    Time100ns start = clock->now();
    ULONG_PTR information = 0;
    EXPECT_EQ(sendSynchronously(target, std::make_shared<TestFormat>(), WDF_REL_TIMEOUT_IN_MS(100),
                                &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 64u);
    EXPECT_EQ(clock->now(), start + 4 * kUnitsPerMs);
    physical->backend->never = true;
    EXPECT_EQ(sendSynchronously(target, std::make_shared<TestFormat>(), WDF_REL_TIMEOUT_IN_MS(100),
                                &information),
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(clock->now(), start + 104 * kUnitsPerMs);
}

TEST_F(Sending, TimeOutsAlsoWorkOnTheRealClock) {
    harness_.reset();
    resetMachine(makeRealClock());
    physical = std::make_shared<TestPhysicalDevice>();
    physical->backend->never = true;
    device = addDevice();
    target = WdfDeviceGetIoTarget(device);
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
    prepare();
    auto c = machineClock();
    Time100ns start = c->now();
    ASSERT_TRUE(send(30));
    EXPECT_TRUE(c->waitUntil([this] { return done.calls == 1; }, start + 5 * kUnitsPerSecond));
    EXPECT_EQ(done.status, STATUS_IO_TIMEOUT);
    EXPECT_GE(done.at, start + 30 * kUnitsPerMs);
    WdfObjectDelete(request);
}

TEST_F(Sending, ACompletionsSignalsToProcessesReachThemOnceTheRoutineHasReturned) {
    // A completion on the real clock signals several processes' events, then many (a block
    // boundary with a few clients, then with many); after the routine its thread writes a few
    // and the signalling threads the rest. None is written inside the routine, every waiter
    // wakes, an event's state read inside the routine already shows its own signal, and a
    // signal followed by a reset in the same routine leaves the event reset.
    harness_.reset();
    resetMachine(makeRealClock());
    physical = std::make_shared<TestPhysicalDevice>();
    device = addDevice();
    target = WdfDeviceGetIoTarget(device);
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
    InProcessCallerContext process;
    constexpr int kMost = 24;
    struct Signals {
        UserEvent users[kMost];
        PKEVENT events[kMost] = {};
        UserEvent resetOne;
        PKEVENT resetEvent = nullptr;
        int count = 0;
        int setInRoutine = -1;
        LONG secondState = 0;
        std::atomic<bool> returned{false};
    } signals;
    {
        CallerScope inProcess(&process);
        for (int i = 0; i <= kMost; ++i) {
            UserEvent& user = i < kMost ? signals.users[i] : signals.resetOne;
            PVOID object = nullptr;
            ASSERT_EQ(ObReferenceObjectByHandle(process.addEvent(user.fd()), SYNCHRONIZE,
                                                *ExEventObjectType, UserMode, &object, nullptr),
                      STATUS_SUCCESS);
            (i < kMost ? signals.events[i] : signals.resetEvent) = static_cast<PKEVENT>(object);
        }
    }
    for (int count : {8, kMost}) {
        SCOPED_TRACE(count);
        for (auto& user : signals.users) user.reset();
        signals.count = count;
        signals.returned = false;
        prepare();
        WdfRequestSetCompletionRoutine(
            request,
            [](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT context) {
                auto* s = static_cast<Signals*>(context);
                for (int i = 0; i < s->count; ++i) KeSetEvent(s->events[i], 0, FALSE);
                KeSetEvent(s->resetEvent, 0, FALSE);
                KeResetEvent(s->resetEvent);
                s->secondState = KeReadStateEvent(s->events[1]);
                s->setInRoutine = 0;
                for (int i = 0; i < s->count; ++i)
                    if (i != 1 && s->users[i].isSignalled()) ++s->setInRoutine;
                s->returned = true;
            },
            &signals);
        ASSERT_TRUE(send(0));
        for (int i = 0; i < count; ++i) EXPECT_TRUE(signals.users[i].wait(5000)) << i;
        EXPECT_TRUE(signals.returned);
        EXPECT_EQ(signals.setInRoutine, 0);
        EXPECT_EQ(signals.secondState, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(signals.resetOne.isSignalled());
    }
    for (PKEVENT e : signals.events) ObDereferenceObject(e);
    ObDereferenceObject(signals.resetEvent);
    WdfObjectDelete(request);
}

}  // namespace
