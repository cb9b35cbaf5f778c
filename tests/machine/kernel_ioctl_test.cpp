// The VQ36 driver's I/O-control protocol as client processes meet it: Vq36Kernel.sys on the
// machine, reached through SetupAPI, CreateFileA and DeviceIoControl, with processes of their
// own where it matters.

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "machine_fixture.h"
#include "public/vq36_shared.h"
#include "standin/host/protocol.h"
#include "standin/host/wire.h"
#include "standin/kernel/thread_object.h"
#include "standin/win32/handles.h"
#include "standin/win32/testing.h"

namespace {

using machinetest::Child;
using machinetest::eventually;
using machinetest::interfacePaths;
using machinetest::IoResult;
using machinetest::kWithInput;
using machinetest::MachineTest;
using machinetest::openDevice;

constexpr const char* kVq36Driver = VQ36_KERNEL_SYS_PATH;
constexpr const char* kChild = VQ_MACHINE_CHILD_PATH;
constexpr DWORD kFunction6 = 0x220018;

std::uint32_t word(HANDLE h) {
    return standin::win32::handleToWord(h);
}

class Vq36Driver : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        startMachine(1, kVq36Driver);
    }

    HANDLE open() {
        HANDLE h = openDevice(interfacePaths().at(0));
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        handles.push_back(h);
        return h;
    }

    void TearDown() override {
        for (HANDLE h : handles) CloseHandle(h);
        for (HANDLE e : events) CloseHandle(e);
        MachineTest::TearDown();
    }

    HANDLE newEvent(const char* name = nullptr) {
        HANDLE e = CreateEventA(nullptr, TRUE, FALSE, name);
        events.push_back(e);
        return e;
    }

    static IoResult clientId(HANDLE h, std::uint32_t* id, DWORD outLength = 4) {
        return machinetest::ioctl(h, vq36::kIoCtlGetClientId, nullptr, 0, id, outLength);
    }
    static IoResult asioInfo(HANDLE h, vq36::AsioInfo** info, DWORD outLength = 8) {
        std::uint64_t address = 0;
        IoResult r =
            machinetest::ioctl(h, vq36::kIoCtlGetAsioInfo, nullptr, 0, &address, outLength);
        *info = reinterpret_cast<vq36::AsioInfo*>(static_cast<std::uintptr_t>(address));
        return r;
    }
    static IoResult initBuffers(HANDLE h, HANDLE event, vq36::InitBuffersResult* result,
                                DWORD inLength = 8, DWORD outLength = 36) {
        std::uint32_t in[2] = {word(event), 0};
        *result = {};
        return machinetest::ioctl(h, vq36::kIoCtlInitBuffers, in, inLength, result, outLength);
    }
    static IoResult dispose(HANDLE h) {
        return machinetest::ioctl(h, vq36::kIoCtlDisposeOfBuffers, nullptr, 0, nullptr, 0);
    }
    static IoResult negotiate(HANDLE h, bool timeCritical, bool lastRound, std::uint32_t out[2]) {
        std::uint32_t in[2] = {timeCritical ? 1u : 0u, lastRound ? 1u : 0u};
        return machinetest::ioctl(h, vq36::kIoCtlNegotiatePriority, in, 8, out, 8);
    }
    static IoResult savePriorityOffset(HANDLE h) {
        return machinetest::ioctl(h, vq36::kIoCtlSavePriorityOffset, nullptr, 0, nullptr, 0);
    }
    static IoResult setupMidi(HANDLE h, HANDLE event) {
        std::uint32_t in = word(event);
        return machinetest::ioctl(h, vq36::kIoCtlSetupMidiEvent, &in, 4, nullptr, 0);
    }
    static IoResult message(HANDLE h, std::uint32_t number, std::uint32_t op,
                            std::uint32_t value = 0, std::uint8_t reply[64] = nullptr) {
        std::uint8_t buffer[72] = {};
        vq36::DeviceMessage m{};
        m.message = number;
        m.op = op;
        std::memcpy(m.payload, &value, 4);
        std::memcpy(buffer, &m, sizeof m);
        IoResult r = machinetest::ioctl(h, vq36::kIoCtlSendMessage, buffer, 72, buffer, 64);
        if (reply != nullptr) std::memcpy(reply, buffer, 64);
        return r;
    }

    // The probe as the ASIO driver runs it: the caller alternates its own priority and starts
    // its steps again whenever the probe had to move.
    std::uint32_t runPriorityProbe(HANDLE h) {
        std::uint32_t out[2] = {};
        for (int restarts = 0; restarts < 1000; ++restarts) {
            bool moved = false;
            for (int i = 0; i < 20 && !moved; ++i) {
                bool critical = i % 2 == 1;
                SetThreadPriority(GetCurrentThread(), critical ? THREAD_PRIORITY_TIME_CRITICAL
                                                               : THREAD_PRIORITY_NORMAL);
                IoResult r = negotiate(h, critical, i == 19, out);
                EXPECT_TRUE(r.ok) << r.error;
                EXPECT_EQ(r.bytes, 8u);
                if (!r.ok) return 0;
                moved = out[0] == 1;
            }
            if (!moved) break;
        }
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        return out[1];
    }

    std::vector<HANDLE> handles;
    std::vector<HANDLE> events;
};

void expectError(const IoResult& r, DWORD error) {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error);
    EXPECT_EQ(r.bytes, 0u);
}

// ---------------------------------------------------------------------------------------------
TEST_F(Vq36Driver, EveryRowOfTheStatusTable) {
    HANDLE h = open();
    std::uint32_t id = 0;
    // Success, with the information of each code.
    IoResult r = clientId(h, &id);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    vq36::AsioInfo* info = nullptr;
    r = asioInfo(h, &info);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 8u);
    EXPECT_NE(info, nullptr);
    std::uint8_t reply[64];
    r = message(h, vq36::kDeviceMsgDriverVersion, vq36::kDeviceMsgGet, 0, reply);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 64u);
    std::uint32_t version;
    std::memcpy(&version, reply, 4);
    EXPECT_EQ(version, vq36::kDriverVersion);
    EXPECT_TRUE(setupMidi(h, newEvent()).ok);
    EXPECT_TRUE(dispose(h).ok);  // nothing to dispose of: success, nothing changes

    // Any other code, function 6 included; other device types and methods too.
    for (DWORD code : {kFunction6, 0x220024u, 0x220100u, 0x00AA0000u, 0x220003u, 0x22C000u})
        expectError(machinetest::ioctl(h, code, nullptr, 0, nullptr, 0), ERROR_INVALID_FUNCTION);

    // A buffer shorter than the code's minimum.
    expectError(clientId(h, &id, 3), ERROR_INSUFFICIENT_BUFFER);
    expectError(asioInfo(h, &info, 7), ERROR_INSUFFICIENT_BUFFER);
    std::uint32_t probe[2];
    expectError(machinetest::ioctl(h, vq36::kIoCtlNegotiatePriority, probe, 4, probe, 8),
                ERROR_INSUFFICIENT_BUFFER);
    expectError(machinetest::ioctl(h, vq36::kIoCtlNegotiatePriority, probe, 8, probe, 4),
                ERROR_INSUFFICIENT_BUFFER);
    std::uint8_t m[72] = {};
    expectError(machinetest::ioctl(h, vq36::kIoCtlSendMessage, m, 71, m, 64),
                ERROR_INSUFFICIENT_BUFFER);
    expectError(machinetest::ioctl(h, vq36::kIoCtlSendMessage, m, 72, m, 63),
                ERROR_INSUFFICIENT_BUFFER);
    expectError(machinetest::ioctl(h, vq36::kIoCtlSetupMidiEvent, m, 3, nullptr, 0),
                ERROR_INSUFFICIENT_BUFFER);
    vq36::InitBuffersResult result;
    expectError(initBuffers(open(), newEvent(), &result, 4), ERROR_INSUFFICIENT_BUFFER);

    // An event handle that does not name an event of the caller.
    expectError(setupMidi(h, reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFFFFF0})),
                ERROR_INVALID_HANDLE);
    expectError(setupMidi(h, h), ERROR_INVALID_HANDLE);  // a device handle: not an event

    // Save priority offset before any last round published an offset.
    expectError(savePriorityOffset(h), ERROR_INVALID_PARAMETER);

    // A device message that fails: information 64 from the driver, nothing for the caller.
    expectError(message(h, 9999, vq36::kDeviceMsgGet), ERROR_INTERNAL_ERROR);
    expectError(message(h, vq36::kDeviceMsgDriverVersion, 7), ERROR_INTERNAL_ERROR);

    // A region that cannot be mapped into the caller.
    HANDLE fresh = open();
    standin::win32::failNextKernelMappings(1);
    expectError(asioInfo(fresh, &info), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_TRUE(asioInfo(fresh, &info).ok);
    HANDLE other = open();
    standin::win32::failNextKernelMappings(1, 2);  // the third mapping of init buffers fails
    const std::size_t views = standin::win32::mappedKernelViews();
    expectError(initBuffers(other, newEvent(), &result), ERROR_NO_SYSTEM_RESOURCES);
    // The views made so far stay with the handle; until it disposes, init is refused.
    EXPECT_EQ(standin::win32::mappedKernelViews(), views + 2);
    expectError(initBuffers(other, newEvent(), &result), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(dispose(other).ok);
    EXPECT_EQ(standin::win32::mappedKernelViews(), views);
    EXPECT_TRUE(initBuffers(other, newEvent(), &result).ok);

    // The output buffer is taken after the mappings: a short one leaves them with the handle.
    HANDLE shortOut = open();
    expectError(initBuffers(shortOut, newEvent(), &result, 8, 35), ERROR_INSUFFICIENT_BUFFER);
    expectError(initBuffers(shortOut, newEvent(), &result), ERROR_INVALID_FUNCTION);
}

TEST_F(Vq36Driver, ClientIdsCountPerDeviceObjectAndStartAgainAfterReArrival) {
    std::uint32_t id = 99;
    for (std::uint32_t expected : {0u, 1u, 2u}) {
        HANDLE h = open();
        ASSERT_TRUE(clientId(h, &id).ok);
        EXPECT_EQ(id, expected);
    }
    // The device restarts into its boot loader: it leaves and arrives on the same port, as a
    // new device object with a zeroed record.
    const std::string path = interfacePaths().at(0);
    vq36::AsioInfo* oldInfo = nullptr;
    ASSERT_TRUE(asioInfo(handles[0], &oldInfo).ok);
    EXPECT_TRUE(message(handles[0], vq36::kDeviceMsgBootDevice, vq36::kDeviceMsgSet).ok);
    ASSERT_TRUE(eventually([&] {
        auto s = machine->status();
        return s.deviceObjects.size() == 2 && interfacePaths().size() == 1;
    }));
    EXPECT_EQ(vq36::Load8(&oldInfo->deviceGone), 1);
    // The old device object's handles fail; the path leads to the new one.
    EXPECT_EQ(clientId(handles[0], &id).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(interfacePaths().at(0), path);
    HANDLE h = open();
    ASSERT_TRUE(clientId(h, &id).ok);
    EXPECT_EQ(id, 0u);
    vq36::AsioInfo* info = nullptr;
    ASSERT_TRUE(asioInfo(h, &info).ok);
    EXPECT_EQ(vq36::Load8(&info->deviceGone), 0);
    EXPECT_EQ(vq36::Load64(&info->asioBlockCount), 0u);
}

TEST_F(Vq36Driver, GetAsioInfoMapsTheRecordOncePerHandle) {
    HANDLE h = open();
    const std::size_t views = standin::win32::mappedKernelViews();
    vq36::AsioInfo* first = nullptr;
    vq36::AsioInfo* second = nullptr;
    ASSERT_TRUE(asioInfo(h, &first).ok);
    ASSERT_TRUE(asioInfo(h, &second).ok);
    EXPECT_EQ(first, second);
    EXPECT_EQ(standin::win32::mappedKernelViews(), views + 1);
    // Init buffers maps the three regions and not the record a second time.
    vq36::InitBuffersResult result;
    ASSERT_TRUE(initBuffers(h, newEvent(), &result).ok);
    EXPECT_EQ(result.asioInfo, reinterpret_cast<std::uintptr_t>(first));
    EXPECT_EQ(standin::win32::mappedKernelViews(), views + 4);
    // Each address is a whole address of this process.
    for (std::uint64_t a : {result.captureBuffers, result.fSharedJoinedPlaybackBuffersClipped,
                            result.fSharedJoinedPlaybackBuffersUnclipped})
        EXPECT_NE(a, 0u);
}

TEST_F(Vq36Driver, InitBuffersTwiceIsRefusedAndAllowedAgainAfterDispose) {
    HANDLE h = open();
    vq36::InitBuffersResult first, second, third;
    ASSERT_TRUE(initBuffers(h, newEvent(), &first).ok);
    EXPECT_EQ(first.clientSlot, 0u);
    expectError(initBuffers(h, newEvent(), &second), ERROR_INVALID_FUNCTION);
    // Another client takes the next slot.
    HANDLE other = open();
    ASSERT_TRUE(initBuffers(other, newEvent(), &second).ok);
    EXPECT_EQ(second.clientSlot, 1u);
    ASSERT_TRUE(dispose(h).ok);
    ASSERT_TRUE(initBuffers(h, newEvent(), &third).ok);
    // A new slot that no remaining client holds.
    EXPECT_NE(third.clientSlot, second.clientSlot);
    std::uint32_t id;
    ASSERT_TRUE(clientId(h, &id).ok);
    EXPECT_EQ(id, 0u);  // the client id stays
}

TEST_F(Vq36Driver, TheHundredAndFirstClientIsRefusedWithNoViews) {
    std::set<std::uint32_t> slots;
    for (int i = 0; i < 100; ++i) {
        HANDLE h = open();
        vq36::InitBuffersResult result;
        IoResult r = initBuffers(h, newEvent(), &result);
        ASSERT_TRUE(r.ok) << "client " << i << ": " << r.error;
        slots.insert(result.clientSlot);
    }
    EXPECT_EQ(slots.size(), 100u);
    HANDLE extra = open();
    const std::size_t views = standin::win32::mappedKernelViews();
    vq36::InitBuffersResult result;
    expectError(initBuffers(extra, newEvent(), &result), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(standin::win32::mappedKernelViews(), views);
    // One leaves: the next one is taken in.
    CloseHandle(handles.front());
    handles.erase(handles.begin());
    vq36::InitBuffersResult again;
    EXPECT_TRUE(initBuffers(extra, newEvent(), &again).ok);
    EXPECT_EQ(slots.count(again.clientSlot), 1u);
}

TEST_F(Vq36Driver, RemovingTheOnlyStreamingClientSetsItsEventAndStopsStreaming) {
    HANDLE watcher = open();
    vq36::AsioInfo* info = nullptr;
    ASSERT_TRUE(asioInfo(watcher, &info).ok);
    HANDLE h = open();
    HANDLE event = newEvent();
    vq36::InitBuffersResult result;
    ASSERT_TRUE(initBuffers(h, event, &result).ok);
    EXPECT_EQ(vq36::Load32(&info->isStreamingEnabled), 1u);
    ResetEvent(event);
    // By dispose ...
    ASSERT_TRUE(dispose(h).ok);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(vq36::Load32(&info->isStreamingEnabled), 0u);
    // ... and by closing the handle.
    HANDLE second = newEvent();
    ASSERT_TRUE(initBuffers(h, second, &result).ok);
    EXPECT_EQ(vq36::Load32(&info->isStreamingEnabled), 1u);
    ResetEvent(second);
    CloseHandle(h);
    handles.erase(std::find(handles.begin(), handles.end(), h));
    EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(vq36::Load32(&info->isStreamingEnabled), 0u);
}

TEST_F(Vq36Driver, SingleInterfaceModeRefusesNegotiateAndInit) {
    machine->unplug(machine->ports().at(0));
    standin::host::PlugOptions single;
    single.config.variant = standin::vq36::Variant::SingleInterface;
    machine->plug(single);
    ASSERT_TRUE(machine->waitForInterfaces(1, 10000));
    HANDLE h = open();
    std::uint32_t out[2];
    expectError(negotiate(h, false, false, out), ERROR_INVALID_FUNCTION);
    vq36::InitBuffersResult result;
    expectError(initBuffers(h, newEvent(), &result), ERROR_INVALID_FUNCTION);
    std::uint32_t id;
    EXPECT_TRUE(clientId(h, &id).ok);
    vq36::AsioInfo* info = nullptr;
    EXPECT_TRUE(asioInfo(h, &info).ok);
    EXPECT_TRUE(setupMidi(h, newEvent()).ok);
    EXPECT_TRUE(dispose(h).ok);
    EXPECT_TRUE(message(h, vq36::kDeviceMsgDriverVersion, vq36::kDeviceMsgGet).ok);
}

TEST_F(Vq36Driver, AfterRemovalEveryCodeFailsWithInvalidHandle) {
    HANDLE h = open();
    vq36::InitBuffersResult result;
    ASSERT_TRUE(initBuffers(h, newEvent(), &result).ok);
    ASSERT_TRUE(machine->unplug(machine->ports().at(0)));
    std::uint8_t buffer[72] = {};
    for (DWORD code :
         {vq36::kIoCtlNegotiatePriority, vq36::kIoCtlGetClientId, vq36::kIoCtlInitBuffers,
          vq36::kIoCtlSavePriorityOffset, vq36::kIoCtlSendMessage, vq36::kIoCtlGetAsioInfo,
          vq36::kIoCtlDisposeOfBuffers, vq36::kIoCtlSetupMidiEvent, kFunction6}) {
        IoResult r = machinetest::ioctl(h, code, buffer, 72, buffer, 64);
        EXPECT_FALSE(r.ok) << std::hex << code;
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE)) << std::hex << code;
    }
}

TEST_F(Vq36Driver, ThePriorityProbeFindsTheHiddenOffset) {
    HANDLE h = open();
    vq36::AsioInfo* info = nullptr;
    ASSERT_TRUE(asioInfo(open(), &info).ok);  // a view that dispose on `h` leaves alone
    EXPECT_EQ(vq36::Load8(&info->priorityOffsetKnown), 0);
    std::uint32_t offset = 0;
    // A streaming thread of its own, as the ASIO driver has.
    std::thread([&] {
        offset = runPriorityProbe(h);
        // A probe whose first comparison matches needs no restart.
        std::uint32_t out[2] = {};
        EXPECT_TRUE(negotiate(h, false, false, out).ok);
        EXPECT_EQ(out[0], 0u);
        EXPECT_EQ(out[1], offset);

        // Registered, streaming, with its deadline ahead: the kernel raises the thread to 31
        // at block boundaries, and GetThreadPriority reports that as time-critical.
        HANDLE event = newEvent();
        EXPECT_TRUE(message(h, vq36::kDeviceMsgBufferSamples, vq36::kDeviceMsgSet, 96).ok);
        vq36::InitBuffersResult result;
        ASSERT_TRUE(initBuffers(h, event, &result).ok);
        EXPECT_TRUE(savePriorityOffset(h).ok);
        vq36::Store64(&info->clientDeadline[result.clientSlot], ~std::uint64_t{0} >> 1);
        EXPECT_TRUE(message(h, vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, 1).ok);
        EXPECT_EQ(WaitForSingleObject(event, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(eventually(
            [] { return standin::win32::threadObjectPriority(GetCurrentThread()) == 31; }));
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
        EXPECT_GT(vq36::Load64(&info->asioBlockCount), 0u);
        EXPECT_TRUE(dispose(h).ok);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }).join();
    EXPECT_EQ(offset, static_cast<std::uint32_t>(standin::kernel::kThreadObjectPriorityOffset));
    EXPECT_EQ(vq36::Load8(&info->priorityOffsetKnown), 1);
    // Save priority offset from a handle without a client entry succeeds and registers nothing.
    EXPECT_TRUE(savePriorityOffset(open()).ok);
}

// ---------------------------------------------------------------------------------------------
// Processes.
TEST_F(Vq36Driver, AChildThatDiesWithoutClosingLosesItsClientAndEvent) {
    HANDLE watcher = open();
    vq36::AsioInfo* info = nullptr;
    ASSERT_TRUE(asioInfo(watcher, &info).ok);
    HANDLE buffer = newEvent("VexaVq36AsioBufferReady1");
    HANDLE midi = newEvent("VexaVq36MidiDataReady777");
    Child child(kChild,
                {"vq36-init-and-die", "VexaVq36AsioBufferReady1", "VexaVq36MidiDataReady777"},
                kWithInput);
    EXPECT_EQ(child.line(), "ready 0");
    EXPECT_EQ(child.wait(), 0);
    // Its removal set both events, and with it gone no client streams.
    EXPECT_EQ(WaitForSingleObject(midi, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(buffer, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(eventually([&] { return vq36::Load32(&info->isStreamingEnabled) == 0; }));
    EXPECT_TRUE(eventually([&] { return machine->status().deviceObjects.at(0).openHandles == 1; }));
    // Its MIDI event is no longer listed: a control packet sets only events of live handles.
    ResetEvent(midi);
    HANDLE mine = newEvent();
    ASSERT_TRUE(setupMidi(watcher, mine).ok);
    ASSERT_TRUE(machine->device(machine->ports().at(0))->moveControl(1, 64));
    EXPECT_EQ(WaitForSingleObject(mine, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(midi, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    // And its slot is free again.
    vq36::InitBuffersResult result;
    ASSERT_TRUE(initBuffers(open(), newEvent(), &result).ok);
    EXPECT_EQ(result.clientSlot, 0u);
}

TEST_F(Vq36Driver, TwoProcessesSeeTheSameRecordAndCaptureRegion) {
    HANDLE h = open();
    vq36::InitBuffersResult result;
    ASSERT_TRUE(initBuffers(h, newEvent(), &result).ok);
    auto* record = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(result.asioInfo));
    auto* capture =
        reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(result.captureBuffers));
    // Bytes the driver leaves alone: the record's reserved bytes, the capture region's tail
    // past its planes (the region is whole pages).
    const std::size_t recordOffset = offsetof(vq36::AsioInfo, reserved);
    const std::size_t captureOffset = vq36::kCapturePlanesBytes;
    const std::uint32_t r = 0x12345678, c = 0x0BADCAFE;
    std::memcpy(record + recordOffset, &r, 4);
    std::memcpy(capture + captureOffset, &c, 4);

    Child child(kChild,
                {"vq36-shared", std::to_string(recordOffset), std::to_string(captureOffset)},
                kWithInput);
    EXPECT_EQ(child.line(), "seen " + std::to_string(r) + " " + std::to_string(c));
    EXPECT_EQ(child.line(), "written");
    std::uint32_t seenR = 0, seenC = 0;
    std::memcpy(&seenR, record + recordOffset + 4, 4);
    std::memcpy(&seenC, capture + captureOffset + 4, 4);
    EXPECT_EQ(seenR, r + 1);
    EXPECT_EQ(seenC, c + 1);
    child.say("bye");
    EXPECT_EQ(child.wait(), 0);
}

// A handle in three threads of this process and in a child that inherited it, all making and
// removing the handle's client at once, round after round: whatever wins, the handle holds at
// most one client, views stay with the process that made them, and nothing is left behind.
TEST_F(Vq36Driver, OneHandleRacedByThreadsAndAChildLeavesNothingBehind) {
    HANDLE watcher = open();
    vq36::AsioInfo* info = nullptr;
    ASSERT_TRUE(asioInfo(watcher, &info).ok);
    const std::set<DWORD> fair = {0, ERROR_INVALID_FUNCTION, ERROR_BUSY, ERROR_ACCESS_DENIED,
                                  ERROR_INVALID_HANDLE};
    auto race = [&](HANDLE h, HANDLE event, int steps) {
        vq36::InitBuffersResult result;
        vq36::AsioInfo* record = nullptr;
        for (int i = 0; i < steps; ++i) {
            for (const IoResult& r :
                 {initBuffers(h, event, &result), asioInfo(h, &record), dispose(h)})
                EXPECT_TRUE(fair.count(r.error)) << r.error;
        }
    };
    for (int round = 0; round < 25; ++round) {
        HANDLE h = openDevice(interfacePaths().at(0));
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::uint32_t id = 0;
        ASSERT_TRUE(clientId(h, &id).ok);
        HANDLE event = newEvent();
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            // One thread only: the child of a threaded process starts none. Its views go well
            // away from those its parent and earlier children make, as unrelated processes' do.
            mmap(nullptr, (std::size_t{64} << 20) * (round + 1), PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            std::uint32_t seen = 0;
            EXPECT_TRUE(clientId(h, &seen).ok);
            EXPECT_EQ(seen, id);
            HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            race(h, mine, 4);
            CloseHandle(h);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        ASSERT_GT(child, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) threads.emplace_back([&] { race(h, event, 4); });
        for (auto& t : threads) t.join();
        if (round % 2 == 0) CloseHandle(h);  // else the child closes last
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        if (round % 2 == 1) CloseHandle(h);
        ASSERT_TRUE(eventually([&] {
            return machine->status().deviceObjects.at(0).openHandles == 1;
        })) << "round "
            << round;
        EXPECT_EQ(vq36::Load32(&info->isStreamingEnabled), 0u);
        // Views the child removed for this process are gone here too once it asks again.
        std::uint32_t watcherId = 0;
        ASSERT_TRUE(clientId(watcher, &watcherId).ok);
        ASSERT_EQ(standin::win32::mappedKernelViews(), 1u) << "round " << round;
    }
    // The device's pages go with no view of a handle left on them (else the machine stops).
    ASSERT_TRUE(machine->unplug(machine->ports().at(0)));
    EXPECT_TRUE(eventually([&] { return vq36::Load8(&info->deviceGone) == 1; }));
}

// ---------------------------------------------------------------------------------------------
TEST_F(Vq36Driver, RandomRequestsNeverHurtTheMachine) {
    // Statuses the driver's table allows, as last errors (0: success).
    const std::set<DWORD> allowed = {0,
                                     ERROR_INVALID_FUNCTION,
                                     ERROR_INSUFFICIENT_BUFFER,
                                     ERROR_INVALID_HANDLE,
                                     ERROR_NO_SYSTEM_RESOURCES,
                                     ERROR_INVALID_PARAMETER,
                                     ERROR_GEN_FAILURE,
                                     ERROR_INTERNAL_ERROR};
    const DWORD codes[] = {
        vq36::kIoCtlNegotiatePriority,  vq36::kIoCtlGetClientId,    vq36::kIoCtlInitBuffers,
        vq36::kIoCtlSavePriorityOffset, vq36::kIoCtlSendMessage,    vq36::kIoCtlGetAsioInfo,
        vq36::kIoCtlDisposeOfBuffers,   vq36::kIoCtlSetupMidiEvent, kFunction6};
    std::mt19937 random(20240611);
    std::vector<HANDLE> pool;
    for (int i = 0; i < 4; ++i) pool.push_back(open());
    HANDLE event = newEvent();
    std::vector<std::uint8_t> in(256), out(256);
    std::map<DWORD, int> seen;
    constexpr int kCalls = 100000;
    for (int call = 0; call < kCalls; ++call) {
        HANDLE h = pool[random() % pool.size()];
        DWORD code = random() % 8 == 0 ? static_cast<DWORD>(random()) : codes[random() % 9];
        DWORD inLength = random() % 4 == 0 ? random() % 256 : random() % 80;
        DWORD outLength = random() % 4 == 0 ? random() % 256 : random() % 80;
        for (auto& b : in) b = static_cast<std::uint8_t>(random());
        // Sometimes a real event handle where one is expected; never a message that restarts
        // or rewrites the device (message numbers stay random 32-bit values).
        if (random() % 3 == 0) {
            std::uint32_t w = word(event);
            std::memcpy(in.data(), &w, 4);
        }
        IoResult r = machinetest::ioctl(h, code, in.data(), inLength, out.data(), outLength);
        ++seen[r.error];
        ASSERT_TRUE(allowed.count(r.error))
            << "call " << call << " code " << std::hex << code << " gave " << std::dec << r.error;
        if (r.ok) {
            ASSERT_LE(r.bytes, outLength);
        }
    }
    // The machine serves on as before.
    std::uint32_t id = 0;
    EXPECT_TRUE(clientId(open(), &id).ok);
    EXPECT_EQ(id, 4u);
    EXPECT_GT(seen[0], kCalls / 20);
    EXPECT_GT(seen[ERROR_INSUFFICIENT_BUFFER], kCalls / 20);
}

// ---------------------------------------------------------------------------------------------
// Client processes that talk to the machine directly and answer its call-backs with lies: views
// at an address every liar claims (processes have address spaces of their own) or at nonsense
// addresses, wrong descriptors (none, two, not an event), wrong replies, and silence.
namespace wire = standin::host::wire;
namespace protocol = standin::host::protocol;

// Answers a call-back with a lie, or with a true event so that some liars get into the client
// table; false when the liar falls silent instead.
bool lie(int socket, const wire::Message& callback, std::mt19937& random, bool mayFallSilent) {
    const unsigned pick = random() % 8;
    if (mayFallSilent && pick == 0) return false;
    wire::Fd event(eventfd(0, EFD_CLOEXEC)), memory(memfd_create("liar", MFD_CLOEXEC));
    const int one[] = {event.get()}, wrong[] = {memory.get()}, two[] = {event.get(), event.get()};
    wire::Writer w;
    std::uint32_t type = protocol::kLookupReply;
    std::span<const int> fds;
    if (callback.type == protocol::kMapView) {
        const std::uint64_t addresses[] = {0x7F5A00000000, 0x7F5A00000000, 0, random(), 1};
        w.u64(addresses[pick % 5]);
        type = pick == 7 ? protocol::kUnmapReply : protocol::kMapReply;
        if (pick == 6) fds = one;
    } else if (callback.type == protocol::kUnmapView) {
        w.u32(random() % 2);
        if (pick == 5) w.u32(7);  // longer than asked for
        type = protocol::kUnmapReply;
    } else {
        w.i32(pick < 4 ? 0 : static_cast<std::int32_t>(random()));
        fds = pick == 1 ? std::span<const int>(wrong) : pick == 2 ? two : pick == 3 ? fds : one;
    }
    wire::send(socket, type, w.data(), fds);
    return true;
}

// One liar: 25 handles with a few requests each; the last falls silent in its first call-back
// and stays so, after telling `told`, until `hold` closes.
void runLiar(const std::string& root, const std::string& path, unsigned seed, int told, int hold) {
    std::mt19937 random(seed);
    const std::uint32_t codes[] = {vq36::kIoCtlInitBuffers, vq36::kIoCtlGetAsioInfo,
                                   vq36::kIoCtlSetupMidiEvent, vq36::kIoCtlDisposeOfBuffers};
    for (int handle = 0; handle < 25; ++handle) {
        const bool last = handle == 24;
        wire::Fd s(wire::connectTo(root));
        int block = memfd_create("liar-block", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (ftruncate(block, static_cast<off_t>(protocol::kThreadBlockBytes)) != 0) _exit(3);
        fcntl(block, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
        wire::Writer open;
        open.u64(random()).u64(random()).u32(0).string(path);  // key, thread slot, path
        int fds[] = {block};
        wire::Message m;
        wire::send(s.get(), protocol::kOpenDevice, open.data(), fds);
        close(block);
        if (wire::receive(s.get(), &m, 10000) != wire::Received::Message) continue;
        bool silent = false;
        for (int request = 0; request < 6 && !silent; ++request) {
            wire::Writer w;
            // Code, output length, thread slot, thread id (none: the machine keeps its class).
            w.u32(last ? vq36::kIoCtlInitBuffers : codes[random() % 4]).u32(64).u32(0).u32(0);
            w.u32(random() % 0x200).u32(0);  // an event handle, as likely wrong as right
            wire::send(s.get(), protocol::kIoControl, w.data());
            while (!silent && wire::receive(s.get(), &m, 10000) == wire::Received::Message &&
                   m.type != protocol::kIoReply) {
                silent = last || !lie(s.get(), m, random, handle % 5 == 4);
            }
        }
        if (last) {
            char c = 1;
            if (write(told, &c, 1) != 1) _exit(2);
            while (read(hold, &c, 1) > 0) {
            }
        } else if (silent) {
            usleep(200 * 1000);  // silence, then the process's handle goes
        }
    }
}

TEST_F(Vq36Driver, ClientsThatLieToTheCallBacksLoseOnlyTheirOwnHandles) {
    const std::string path = interfacePaths().at(0);
    constexpr int kLiars = 4;
    int told[2], hold[2];
    ASSERT_EQ(pipe(told), 0);
    ASSERT_EQ(pipe(hold), 0);
    std::fflush(nullptr);
    std::vector<pid_t> liars;
    for (int i = 0; i < kLiars; ++i) {
        liars.push_back(fork());
        if (liars.back() == 0) {
            close(told[0]);
            close(hold[1]);
            runLiar(root.root(), path, 1000 + static_cast<unsigned>(i), told[1], hold[0]);
            _exit(0);
        }
    }
    close(told[1]);
    close(hold[0]);
    // While every liar keeps a call-back unanswered, the machine serves everyone else.
    char c = 0;
    for (int i = 0; i < kLiars; ++i) ASSERT_EQ(read(told[0], &c, 1), 1) << "a liar ended early";
    HANDLE h = open();
    vq36::InitBuffersResult result;
    vq36::AsioInfo* info = nullptr;
    EXPECT_TRUE(initBuffers(h, newEvent(), &result).ok);
    EXPECT_TRUE(asioInfo(h, &info).ok);
    EXPECT_TRUE(dispose(h).ok);
    close(hold[1]);
    for (pid_t pid : liars) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    close(told[0]);
    // Their handles went with their connections; the machine and its device serve on.
    EXPECT_TRUE(eventually([&] { return machine->status().deviceObjects.at(0).openHandles == 1; }));
    ASSERT_TRUE(initBuffers(h, newEvent(), &result).ok);
    EXPECT_EQ(result.clientSlot, 0u);
}

}  // namespace
