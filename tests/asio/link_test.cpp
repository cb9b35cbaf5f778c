// The device link: wrappers and the open list, the monitor thread's start and stop, the
// I/O-control funnel with its retries and re-opens, the shared record, block sizes.

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "asio_driver.h"
#include "link_fixture.h"

namespace {

using asiotest::eventually;
using asiotest::IoCall;
using asiotest::ioCalls;
using asiotest::LinkTest;
using asiotest::setIoHook;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

DWORD clientId(AudioDeviceInterfaceWrapper* w) {
    DWORD id = 0xFFFFFFFF;
    EXPECT_TRUE(uWrappedDeviceIoControl(w, vq36::kIoCtlGetClientId, nullptr, 0, &id, 4));
    return id;
}

// Fails every call of one code with one error, in the driver's place.
void failCode(DWORD code, DWORD error) {
    setIoHook([=](const IoCall& call, void*, DWORD, BOOL* result, DWORD* err) {
        if (call.code != code) return false;
        *result = FALSE;
        *err = error;
        return true;
    });
}

// ---- Block sizes ---------------------------------------------------------------------------

TEST(BufferMillisecsToAsioSamples, TheScanGivesWholeThreeMillisecondSteps) {
    const std::pair<int, int> cases[] = {{-7, 48}, {0, 48},   {1, 48},   {5, 48},   {6, 96},
                                         {8, 96},  {47, 720}, {48, 768}, {50, 768}, {1000, 768}};
    for (auto [ms, samples] : cases) {
        EXPECT_EQ(uBufferMillisecsToAsioSamples(ms, 48000), samples) << ms << " ms";
        EXPECT_EQ(uBufferMillisecsToAsioSamples(ms, 44100), samples) << ms << " ms at 44100";
    }
    for (int ms = -100; ms <= 200; ++ms) {
        const int steps = std::min(std::max(ms / 3, 1), 16);
        ASSERT_EQ(uBufferMillisecsToAsioSamples(ms, 48000), 48 * steps) << ms;
        ASSERT_EQ(uBufferMillisecsToAsioSamples(ms, 44100), 48 * steps) << ms;
    }
}

// ---- The open list ---------------------------------------------------------------------------

TEST_F(LinkTest, FiveHundredTwelveRegisteredThenNothingUntilOneCloses) {
    // No machine: no device opens, and each wrapper is made all the same.
    std::vector<AudioDeviceInterfaceWrapper*> open;
    for (DWORD i = 0; i < kMaxOpenWrappers; ++i) {
        AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(1);
        ASSERT_NE(w, nullptr) << i;
        EXPECT_EQ(w->deviceHandle.load(), INVALID_HANDLE_VALUE);
        open.push_back(w);
    }
    EXPECT_EQ(uGetOpenWrapperCount(), kMaxOpenWrappers);
    EXPECT_NE(uGetMonitorThreadId(), 0u);
    EXPECT_EQ(uCreateVexaAudioDeviceInterfaceWrapper(1), nullptr);
    EXPECT_EQ(uCreateVexaAudioDeviceInterfaceWrapper(0), nullptr);
    // A statistics thread that gets no wrapper ends at once (before it looks at its driver
    // object), and its end is logged as the close of its wrapper.
    const std::size_t closes = logCount("VQ36: Deleting device wrapper\n");
    EXPECT_EQ(uAsioDebugLogThread(nullptr), 0u);
    EXPECT_TRUE(
        logHas("uAsioDebugLogThread: Bad handle from OpenUsbDevice\nVQ36: Deleting device "
               "wrapper\n"));
    EXPECT_EQ(logCount("VQ36: Deleting device wrapper\n"), closes + 1);

    // The list stays packed in order of registration when one in the middle closes.
    uCloseVexaAudioDevice(open[100]);
    open.erase(open.begin() + 100);
    EXPECT_EQ(uGetOpenWrapperCount(), kMaxOpenWrappers - 1);
    for (DWORD i = 0; i < open.size(); ++i) ASSERT_EQ(gOpenWrappers[i], open[i]) << i;

    AudioDeviceInterfaceWrapper* again = uCreateVexaAudioDeviceInterfaceWrapper(1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(gOpenWrappers[kMaxOpenWrappers - 1], again);
    open.push_back(again);
    for (auto* w : open) uCloseVexaAudioDevice(w);
    EXPECT_EQ(uGetOpenWrapperCount(), 0u);
    EXPECT_EQ(uGetMonitorThreadId(), 0u);
}

TEST_F(LinkTest, APrivateWrapperIsReleasedAndLeavesTheListAlone) {
    startMachine();
    gFirmwareUpdateInProgress.store(1);  // the monitor idles: it opens no wrapper of its own
    AudioDeviceInterfaceWrapper* registered = uCreateVexaAudioDeviceInterfaceWrapper(1);
    AudioDeviceInterfaceWrapper* mine = uCreateVexaAudioDeviceInterfaceWrapper(0);
    ASSERT_NE(mine, nullptr);
    EXPECT_NE(mine->deviceHandle.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(uGetOpenWrapperCount(), 1u);
    EXPECT_EQ(gOpenWrappers[0], registered);
    ASSERT_TRUE(eventually([] { return gHidiOutputQueue.lockExists.load(); }));

    const long sections = standin::win32::liveCriticalSections();
    const std::size_t before = openHandles();
    uCloseVexaAudioDevice(mine);
    EXPECT_EQ(uGetOpenWrapperCount(), 1u);
    EXPECT_EQ(gOpenWrappers[0], registered);
    // Its lock is gone and the driver let go of its handle.
    EXPECT_EQ(standin::win32::liveCriticalSections(), sections - 1);
    EXPECT_TRUE(eventually([&] { return openHandles() == before - 1; }));

    uCloseVexaAudioDevice(registered);
    uCloseVexaAudioDevice(nullptr);  // takes the lock and does nothing
    EXPECT_EQ(uGetOpenWrapperCount(), 0u);
}

// ---- The monitor thread's start and stop ---------------------------------------------------

std::atomic<AudioDeviceInterfaceWrapper*> gClosedFromCallback{nullptr};
std::atomic<long long> gCloseInCallbackMs{-1};
std::atomic<int> gPortStatusDeliveries{0};

void CALLBACK closeOnFirstStatus(std::int32_t* status) {
    gPortStatusDeliveries.fetch_add(1);
    if (status[0] != 1) return;
    if (AudioDeviceInterfaceWrapper* w = gClosedFromCallback.exchange(nullptr)) {
        const auto start = Clock::now();
        uCloseVexaAudioDevice(w);
        gCloseInCallbackMs.store(msSince(start));
    }
}

TEST_F(LinkTest, ClosingTheLastWrapperFromTheMonitorThreadReturnsAtOnce) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = VQ36_open();
    ASSERT_NE(w, nullptr);
    gCloseInCallbackMs.store(-1);
    gClosedFromCallback.store(w);
    ASSERT_EQ(VQ36_set_usb_port_status_callback(w, closeOnFirstStatus), 0);
    ASSERT_TRUE(eventually([] { return gCloseInCallbackMs.load() >= 0; }));
    // Waiting for itself would have taken the full 5000 ms and failed.
    EXPECT_LT(gCloseInCallbackMs.load(), 2500);
    EXPECT_EQ(uGetOpenWrapperCount(), 0u);
    EXPECT_EQ(uGetMonitorThreadId(), 0u);
    EXPECT_TRUE(eventually([&] { return logHas("End ASIO event notification thread"); }));
    EXPECT_FALSE(logHas("Failed to wait for status monitor thread"));
}

TEST_F(LinkTest, ClosingTheLastWrapperFromAnotherThreadWaitsForTheMonitor) {
    startMachine();
    gPortStatusDeliveries.store(0);
    AudioDeviceInterfaceWrapper* first = VQ36_open();
    AudioDeviceInterfaceWrapper* second = VQ36_open();
    ASSERT_EQ(VQ36_set_usb_port_status_callback(first, closeOnFirstStatus), 0);
    ASSERT_TRUE(eventually([] { return gPortStatusDeliveries.load() > 0; }));
    const DWORD monitor = uGetMonitorThreadId();
    EXPECT_NE(monitor, 0u);

    VQ36_close(first);  // not the last: the monitor goes on
    EXPECT_EQ(uGetMonitorThreadId(), monitor);
    EXPECT_FALSE(logHas("End ASIO event notification thread"));

    const auto start = Clock::now();
    VQ36_close(second);
    // When the close returns, the thread has ended.
    EXPECT_TRUE(logHas("End ASIO event notification thread"));
    EXPECT_LT(msSince(start), 5000);
    EXPECT_EQ(uGetMonitorThreadId(), 0u);
    EXPECT_FALSE(logHas("Failed to wait for status monitor thread"));

    // A later registered open starts a new one.
    AudioDeviceInterfaceWrapper* third = VQ36_open();
    EXPECT_NE(uGetMonitorThreadId(), 0u);
    EXPECT_NE(uGetMonitorThreadId(), monitor);
    VQ36_close(third);
    EXPECT_EQ(uGetMonitorThreadId(), 0u);
}

// ---- Retries and re-opens ------------------------------------------------------------------

TEST_F(LinkTest, AFailureWithError31ReopensAtTheThirdAttemptAndTriesTheNewHandle) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    const HANDLE first = w->deviceHandle.load();
    EXPECT_EQ(clientId(w), 0u);
    asiotest::resetIo();
    const std::size_t mark = log().size();

    failCode(vq36::kIoCtlGetClientId, ERROR_GEN_FAILURE);
    const auto start = Clock::now();
    DWORD id = 0;
    EXPECT_FALSE(uWrappedDeviceIoControl(w, vq36::kIoCtlGetClientId, nullptr, 0, &id, 4));
    EXPECT_GE(msSince(start), 380);  // four 100 ms waits

    std::vector<IoCall> calls = ioCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].handle, first);
    EXPECT_EQ(calls[1].handle, first);
    EXPECT_EQ(calls[2].handle, first);
    EXPECT_NE(calls[3].handle, first);
    EXPECT_EQ(calls[3].handle, w->deviceHandle.load());
    const std::string failed =
        "kIoCtlGetClientIdVQ36: IOCTL 0x220004 (get client id) failed, last error 0x1f\n";
    EXPECT_EQ(log().substr(mark),
              failed + failed +
                  "kIoCtlGetClientIdVQ36: Device handle became invalid; trying to re-open.\n" +
                  failed);

    // The old handle is closed; the new one is the device's next client.
    setIoHook(nullptr);
    EXPECT_EQ(clientId(w), 1u);
    EXPECT_TRUE(eventually([&] { return openHandles() == 1; }));
    uCloseVexaAudioDevice(w);
}

TEST_F(LinkTest, BadCommandAndBusyReopenAtOnce) {
    startMachine();
    for (DWORD error : {static_cast<DWORD>(ERROR_BAD_COMMAND), static_cast<DWORD>(ERROR_BUSY)}) {
        AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
        const std::size_t mark = log().size();
        asiotest::resetIo();
        failCode(vq36::kIoCtlGetClientId, error);
        DWORD id = 0;
        EXPECT_FALSE(uWrappedDeviceIoControl(w, vq36::kIoCtlGetClientId, nullptr, 0, &id, 4));
        const std::string text = log().substr(mark);
        EXPECT_EQ(asiotest::countOf(text, "Device handle became invalid; trying to re-open."), 4u)
            << error;
        EXPECT_EQ(asiotest::countOf(text, "failed, last error"), 0u);
        // Every attempt ran on a handle of its own.
        std::vector<IoCall> calls = ioCalls();
        ASSERT_EQ(calls.size(), 4u);
        for (int i = 1; i < 4; ++i) EXPECT_NE(calls[i].handle, calls[i - 1].handle);
        setIoHook(nullptr);
        uCloseVexaAudioDevice(w);
    }
    EXPECT_TRUE(eventually([&] { return openHandles() == 0; }));
}

TEST_F(LinkTest, NoReopenWithoutADeviceMakesFourShortCircuitedAttempts) {
    AudioDeviceInterfaceWrapper* w = uSetNoReopen(uCreateVexaAudioDeviceInterfaceWrapper(0));
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->deviceHandle.load(), INVALID_HANDLE_VALUE);
    const int opens = asiotest::classDevsCalls();
    const std::size_t mark = log().size();
    const auto start = Clock::now();
    vq36::DeviceMessage m{};
    m.message = 66;
    BYTE reply[64];
    EXPECT_FALSE(uWrappedDeviceIoControl(w, vq36::kIoCtlSendMessage, &m, sizeof m, reply, 64));
    EXPECT_GE(msSince(start), 380);
    const std::string text = log().substr(mark);
    EXPECT_EQ(asiotest::countOf(text,
                                "GET 66VQ36: Short-circuited failure of IOCTL due to "
                                "INVALID_HANDLE_VALUE\n"),
              4u);
    EXPECT_EQ(asiotest::countOf(text, "IOCTL 0x220010 (message) failed, last error"), 4u);
    EXPECT_EQ(asiotest::countOf(text, "re-open"), 0u);
    EXPECT_EQ(asiotest::classDevsCalls(), opens);  // never looked for a device
    EXPECT_TRUE(ioCalls().empty());
    uCloseVexaAudioDevice(w);
}

TEST_F(LinkTest, WithoutADeviceEveryAttemptTriesToReopen) {
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    const int opens = asiotest::classDevsCalls();
    const std::size_t mark = log().size();
    EXPECT_FALSE(uWrappedDeviceIoControl(w, vq36::kIoCtlGetAsioInfo, nullptr, 0, nullptr, 0));
    const std::string text = log().substr(mark);
    EXPECT_EQ(asiotest::countOf(text, "Short-circuited failure"), 4u);
    EXPECT_EQ(asiotest::countOf(text, "Device handle became invalid; trying to re-open."), 4u);
    EXPECT_EQ(asiotest::countOf(text, "Failed to re-create device handle; pausing"), 4u);
    EXPECT_EQ(asiotest::classDevsCalls(), opens + 4);
    uCloseVexaAudioDevice(w);
    EXPECT_EQ(uWrappedDeviceIoControl(nullptr, 0, nullptr, 0, nullptr, 0), FALSE);
    EXPECT_TRUE(logHas("VQ36: No handle in wrapped device IOCTL\n"));
}

// ---- Device messages -------------------------------------------------------------------------

TEST_F(LinkTest, DeviceMessagesAndTheirFailureLines) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    DWORD version = 0;
    EXPECT_TRUE(uDeviceValue(w, vq36::kDeviceMsgDriverVersion, vq36::kDeviceMsgGet, 0, &version));
    EXPECT_EQ(version, vq36::kDriverVersion);
    EXPECT_TRUE(logHas("GET 66"));
    EXPECT_TRUE(uDeviceValue(w, vq36::kDeviceMsgDriverVersion, vq36::kDeviceMsgGet, 0, nullptr));

    // Set on a message that has only a get: the driver refuses it, every attempt.
    const std::size_t mark = log().size();
    EXPECT_FALSE(uDeviceValue(w, vq36::kDeviceMsgUsbSpeed, vq36::kDeviceMsgSet, 1, &version));
    const std::string text = log().substr(mark);
    EXPECT_EQ(asiotest::countOf(text, "SET 67"), 4u);
    EXPECT_NE(text.find("VQ36: IOCTL failed in SendDeviceMessage\n\nVQ36: Error: IOCTL failed to "
                        "set value 67\n"),
              std::string::npos);

    BYTE reply[64];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_TRUE(
        SendDeviceMessage(w, vq36::kDeviceMsgUsbSpeed, vq36::kDeviceMsgGet, nullptr, reply));
    EXPECT_EQ(reply[0], 2);  // high speed
    uCloseVexaAudioDevice(w);
}

// ---- The shared record -----------------------------------------------------------------------

TEST_F(LinkTest, ACachedRecordMarkedGoneIsFetchedAgainThroughTheSameHandleFirst) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    vq36::AsioInfo* real = uGetAsioInfo(w);
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(uGetAsioInfo(w), real);  // cached: no second fetch
    const HANDLE handle = w->deviceHandle.load();

    // The same handle now answers with a record that is not gone: it is taken, nothing
    // re-opens.
    auto fake = std::make_unique<vq36::AsioInfo>();
    std::memset(fake.get(), 0, sizeof(vq36::AsioInfo));
    auto answerWith = [](vq36::AsioInfo* record) {
        setIoHook([record](const IoCall& call, void* out, DWORD size, BOOL* result, DWORD*) {
            if (call.code != vq36::kIoCtlGetAsioInfo || size < 8) return false;
            const std::uint64_t address = reinterpret_cast<std::uintptr_t>(record);
            std::memcpy(out, &address, 8);
            *result = TRUE;
            return true;
        });
    };
    vq36::Store8(&real->deviceGone, 1);
    asiotest::resetIo();
    answerWith(fake.get());
    EXPECT_EQ(uGetAsioInfo(w), fake.get());
    EXPECT_EQ(w->deviceHandle.load(), handle);
    ASSERT_EQ(ioCalls().size(), 1u);
    EXPECT_EQ(ioCalls()[0].handle, handle);

    // A fetched record that is gone too: the handle goes, and the record of a new handle is
    // taken as it comes.
    vq36::Store8(&fake->deviceGone, 1);
    asiotest::resetIo();
    std::atomic<int> fetches{0};
    setIoHook([&](const IoCall& call, void* out, DWORD size, BOOL* result, DWORD*) {
        if (call.code != vq36::kIoCtlGetAsioInfo || fetches.fetch_add(1) > 0) return false;
        const std::uint64_t address = reinterpret_cast<std::uintptr_t>(fake.get());
        std::memcpy(out, &address, size < 8 ? size : 8);
        *result = TRUE;
        return true;
    });
    vq36::AsioInfo* again = uGetAsioInfo(w);
    ASSERT_NE(again, nullptr);
    std::vector<IoCall> calls = ioCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].handle, handle);
    EXPECT_NE(calls[1].handle, handle);
    EXPECT_NE(w->deviceHandle.load(), handle);
    // The new handle's record is the device's own (still marked by this test).
    EXPECT_EQ(vq36::Load8(&again->deviceGone), 1);
    vq36::Store8(&again->deviceGone, 0);
    setIoHook(nullptr);
    uCloseVexaAudioDevice(w);
}

TEST_F(LinkTest, AFetchOfTheRecordLetsOtherCallsThroughAndCachesNoStaleRecord) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    // The first two fetches fail (two 100 ms waits), the third reaches the driver.
    std::atomic<int> fetches{0};
    setIoHook([&](const IoCall& call, void*, DWORD, BOOL* result, DWORD* error) {
        if (call.code != vq36::kIoCtlGetAsioInfo || fetches.fetch_add(1) >= 2) return false;
        *result = FALSE;
        *error = ERROR_GEN_FAILURE;
        return true;
    });
    std::atomic<int> fetchesWhenThrough{-1};
    std::thread other([&] {
        while (fetches.load() == 0) std::this_thread::yield();
        clientId(w);  // waits for no more than one attempt of the fetch
        fetchesWhenThrough.store(fetches.load());
    });
    EXPECT_NE(uGetAsioInfo(w), nullptr);
    other.join();
    EXPECT_LT(fetchesWhenThrough.load(), 3) << "the other call waited for the whole fetch";

    // Another thread replaces the handle (each failure with ERROR_BAD_COMMAND re-opens at once)
    // while fetches run: whatever is cached is the record of the handle the wrapper holds.
    setIoHook([](const IoCall& call, void*, DWORD, BOOL* result, DWORD* error) {
        if (call.code != vq36::kIoCtlGetClientId) return false;
        *result = FALSE;
        *error = ERROR_BAD_COMMAND;
        return true;
    });
    for (int round = 0; round < 20; ++round) {
        std::thread replacer([&] {
            DWORD id = 0;
            uWrappedDeviceIoControl(w, vq36::kIoCtlGetClientId, nullptr, 0, &id, 4);
        });
        for (int i = 0; i < 3; ++i) {
            if (vq36::AsioInfo* info = uGetAsioInfo(w)) {
                EXPECT_EQ(vq36::Load8(&info->deviceGone), 0);
            }
        }
        replacer.join();
        vq36::AsioInfo* cached = w->asioInfo.load();
        if (cached == nullptr) continue;
        std::uint64_t current = 0;
        ASSERT_TRUE(uWrappedDeviceIoControl(w, vq36::kIoCtlGetAsioInfo, nullptr, 0, &current, 8));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(cached), current) << "round " << round;
    }
    setIoHook(nullptr);
    uCloseVexaAudioDevice(w);
}

TEST_F(LinkTest, UnplugAndReplugReopensAndFetchesTheNewRecord) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    vq36::AsioInfo* before = uGetAsioInfo(w);
    ASSERT_NE(before, nullptr);
    const HANDLE handle = w->deviceHandle.load();
    const std::uint32_t instance = machine->status().deviceObjects.at(0).instance;

    ASSERT_TRUE(machine->unplug(machine->ports().at(0)));
    EXPECT_TRUE(eventually([&] { return vq36::Load8(&before->deviceGone) == 1; }));
    ASSERT_NE(machine->plug(), 0u);
    ASSERT_TRUE(machine->waitForInterfaces(1, 10000));

    vq36::AsioInfo* after = uGetAsioInfo(w);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(vq36::Load8(&after->deviceGone), 0);
    EXPECT_NE(w->deviceHandle.load(), handle);
    EXPECT_EQ(clientId(w), 0u);  // the first handle of the new device object
    // The old device object went with its last handle.
    EXPECT_TRUE(eventually([&] {
        auto objects = machine->status().deviceObjects;
        return objects.size() == 1 && objects[0].instance != instance;
    }));
    uCloseVexaAudioDevice(w);
}

// ---- What becomes of a wrapper after its close ---------------------------------------------

TEST_F(LinkTest, ACloseWaitsForACallInProgressAndLaterCallsTouchNothing) {
    startMachine();
    AudioDeviceInterfaceWrapper* w = VQ36_open();
    std::atomic<bool> inside{false};
    setIoHook([&](const IoCall& call, void*, DWORD, BOOL*, DWORD*) {
        if (call.code == vq36::kIoCtlGetClientId) {
            inside.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return false;
    });
    BYTE result = 0;
    std::thread caller([&] {
        DWORD id = 0;
        result = uWrappedDeviceIoControl(w, vq36::kIoCtlGetClientId, nullptr, 0, &id, 4);
    });
    ASSERT_TRUE(eventually([&] { return inside.load(); }));
    VQ36_close(w);  // releases the wrapper only once the call has left it
    caller.join();
    EXPECT_TRUE(result);
    setIoHook(nullptr);
    EXPECT_TRUE(eventually([&] { return openHandles() == 0; }));

    // A late call with the closed handle fails as a closing wrapper does, without the device.
    asiotest::resetIo();
    const auto start = Clock::now();
    DWORD id = 0;
    EXPECT_FALSE(uWrappedDeviceIoControl(w, vq36::kIoCtlGetClientId, nullptr, 0, &id, 4));
    EXPECT_GE(msSince(start), 380);
    EXPECT_TRUE(ioCalls().empty());
    EXPECT_EQ(uGetAsioInfo(w), nullptr);
    EXPECT_EQ(VQ36_set_hidimsg_callback(w, nullptr), 1);
    VQ36_close(w);  // a second close does nothing
}

}  // namespace
