// The client table's choices: deadline slots after a removal, the joined count as clients
// stop and leave, the MIDI event list's limit and a second registration through one handle;
// one handle used by several threads and processes at once.

#include <atomic>
#include <set>
#include <thread>

#include "kernel_fixture.h"

namespace kerneltest {
namespace {

class ClientsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    }

    NTSTATUS setupMidiEvent(FileId file, standin::kernel::UserEvent& event) {
        ULONG handle = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(caller.addEvent(event.fd())));
        return ioctl(file, vq36::kIoCtlSetupMidiEvent, &handle, 4, nullptr, 0).status;
    }
};

TEST_F(ClientsTest, NoTwoStreamingClientsShareADeadlineSlot) {
    FileId a = open(), b = open(), c = open(), d = open();
    vq36::InitBuffersResult ra{}, rb{}, rc{}, rd{};
    ASSERT_EQ(initBuffers(a, &ra).status, STATUS_SUCCESS);
    ASSERT_EQ(initBuffers(b, &rb).status, STATUS_SUCCESS);
    ASSERT_EQ(initBuffers(c, &rc).status, STATUS_SUCCESS);
    EXPECT_EQ(ra.clientSlot, 0u);
    EXPECT_EQ(rb.clientSlot, 1u);
    EXPECT_EQ(rc.clientSlot, 2u);
    // The first client leaves: the others move up in the table but keep their slots, so the
    // next client's table position (2) is a slot still in use.
    ASSERT_EQ(ioctl(a, vq36::kIoCtlDisposeOfBuffers, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    ASSERT_EQ(initBuffers(d, &rd).status, STATUS_SUCCESS);
    EXPECT_EQ(rd.clientSlot, 0u);
    std::set<ULONG> slots;
    WdfSpinLockAcquire(ctx()->stateLock);
    for (ULONG i = 0; i < ctx()->clientCount; ++i) slots.insert(ctx()->clientTable[i].clientSlot);
    const ULONG clients = ctx()->clientCount;
    WdfSpinLockRelease(ctx()->stateLock);
    EXPECT_EQ(clients, 3u);
    EXPECT_EQ(slots, (std::set<ULONG>{0, 1, 2}));
}

TEST_F(ClientsTest, TheJoinedCountFollowsTheTableWhenClientsStopOrLeave) {
    auto joined = [this] { return vq36::Load32(&info()->joinedClientCount); };
    auto started = [this](FileId f, UCHAR on) {
        return message(f, vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, {on}).status;
    };
    FileId a = open(), b = open(), c = open();
    for (FileId f : {a, b, c}) {
        ASSERT_EQ(initBuffers(f).status, STATUS_SUCCESS);
        ASSERT_EQ(started(f, 1), STATUS_SUCCESS);
    }
    settle();  // the engine counts the started clients as it schedules
    EXPECT_EQ(joined(), 3u);
    ASSERT_EQ(started(c, 0), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(joined(), 2u);
    // A client that leaves is counted out at once, not at a later scheduling pass.
    ASSERT_EQ(ioctl(a, vq36::kIoCtlDisposeOfBuffers, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(joined(), 1u);
    harness->closeFile(c, caller);
    harness->closeFile(b, caller);  // the last client: streaming goes off
    EXPECT_EQ(vq36::Load32(&info()->isStreamingEnabled), 0u);
    EXPECT_EQ(joined(), 0u);
    harness->closeFile(a, caller);
}

TEST_F(ClientsTest, TheHundredAndFirstMidiEventIsRefused) {
    std::vector<FileId> files;
    std::vector<std::unique_ptr<standin::kernel::UserEvent>> midi;
    for (int i = 0; i < 101; ++i) {
        files.push_back(open());
        midi.push_back(std::make_unique<standin::kernel::UserEvent>());
        const NTSTATUS expected = i < 100 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        EXPECT_EQ(setupMidiEvent(files.back(), *midi.back()), expected) << i;
    }
    EXPECT_EQ(ctx()->midiEventCount, 100u);
    // The refused handle holds no event: closing it takes nothing out of the list.
    harness->closeFile(files.back(), caller);
    EXPECT_EQ(ctx()->midiEventCount, 100u);
    // A control packet sets every listed event.
    inject(MakePacket(vq36::kDevicePacketHidi, {3, 0xB0, 1, 2}));
    EXPECT_TRUE(midi[0]->isSignalled());
    EXPECT_TRUE(midi[99]->isSignalled());
    EXPECT_FALSE(midi[100]->isSignalled());
    for (size_t i = 0; i + 1 < files.size(); ++i) harness->closeFile(files[i], caller);
    EXPECT_EQ(ctx()->midiEventCount, 0u);
}

TEST_F(ClientsTest, ASecondMidiEventReplacesTheHandlesFirst) {
    FileId file = open();
    standin::kernel::UserEvent first, second;
    ASSERT_EQ(setupMidiEvent(file, first), STATUS_SUCCESS);
    ASSERT_EQ(setupMidiEvent(file, second), STATUS_SUCCESS);
    EXPECT_EQ(ctx()->midiEventCount, 1u);
    first.reset();
    inject(MakePacket(vq36::kDevicePacketHidi, {3, 0xB0, 1, 2}));
    EXPECT_FALSE(first.isSignalled());
    EXPECT_TRUE(second.isSignalled());
    harness->closeFile(file, caller);
    EXPECT_EQ(ctx()->midiEventCount, 0u);
}

// ---------------------------------------------------------------------------------------------
// One handle, many threads and two processes. `other` is a second process that uses the same
// file object (a duplicated handle).
class SharedHandleTest : public ClientsTest {
  protected:
    standin::kernel::InProcessCallerContext other{0x5678};
    standin::kernel::UserEvent event;

    IoResult initIn(standin::kernel::InProcessCallerContext& process, FileId file) {
        const ULONG handle =
            static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(process.addEvent(event.fd())));
        ULONG in[2] = {handle, 0};
        std::array<UCHAR, 36> out{};
        return harness->deviceIoControl(file, process, vq36::kIoCtlInitBuffers, in, 8, out.data(),
                                        36);
    }
    IoResult asioInfoIn(standin::kernel::InProcessCallerContext& process, FileId file) {
        ULONGLONG address = 0;
        return harness->deviceIoControl(file, process, vq36::kIoCtlGetAsioInfo, nullptr, 0,
                                        &address, 8);
    }
    IoResult disposeIn(standin::kernel::InProcessCallerContext& process, FileId file) {
        return harness->deviceIoControl(file, process, vq36::kIoCtlDisposeOfBuffers, nullptr, 0,
                                        nullptr, 0);
    }
    ULONG clients() {
        WdfSpinLockAcquire(ctx()->stateLock);
        const ULONG n = ctx()->clientCount;
        WdfSpinLockRelease(ctx()->stateLock);
        return n;
    }
    // A request that lost a race is refused with one of the statuses for that, never worse.
    static void expectFairRefusal(NTSTATUS status) {
        static const std::set<NTSTATUS> fair = {STATUS_SUCCESS,     STATUS_INVALID_DEVICE_REQUEST,
                                                STATUS_DEVICE_BUSY, STATUS_ACCESS_DENIED,
                                                STATUS_FILE_CLOSED, STATUS_INVALID_HANDLE};
        EXPECT_TRUE(fair.count(status)) << std::hex << status;
    }
};

TEST_F(SharedHandleTest, RacingRequestsOfOneHandleLeaveOneClientAndViewsOfOneProcess) {
    for (int round = 0; round < 200; ++round) {
        FileId file = open();
        // Buffer initialisations from three threads of two processes, and a record view asked
        // for by the second process: one client, one owner of every view.
        std::atomic<int> added{0};
        {
            std::vector<std::thread> threads;
            for (int t = 0; t < 3; ++t) {
                threads.emplace_back([&, t] {
                    IoResult r = initIn(t == 2 ? other : caller, file);
                    expectFairRefusal(r.status);
                    if (r.status == STATUS_SUCCESS) ++added;
                });
            }
            threads.emplace_back([&] { expectFairRefusal(asioInfoIn(other, file).status); });
            for (auto& t : threads) t.join();
        }
        ASSERT_LE(added.load(), 1) << "round " << round;
        EXPECT_EQ(clients(), static_cast<ULONG>(added.load()));
        EXPECT_LE(caller.mappedViews() + other.mappedViews(), 4u);
        EXPECT_TRUE(caller.mappedViews() == 0 || other.mappedViews() == 0);

        // A dispose from the other process, another initialisation and the close, all at once:
        // whatever wins, nothing is left behind and every view goes in its owner's context.
        {
            std::thread dispose([&] { expectFairRefusal(disposeIn(other, file).status); });
            std::thread init([&] { expectFairRefusal(initIn(caller, file).status); });
            harness->closeFile(file, round % 2 ? caller : other);
            dispose.join();
            init.join();
        }
        ASSERT_EQ(clients(), 0u) << "round " << round;
        ASSERT_EQ(caller.mappedViews() + other.mappedViews(), 0u) << "round " << round;
        ASSERT_EQ(standin::kernel::pages::outstanding().userViews, 0u);
    }
    EXPECT_EQ(vq36::Load32(&info()->isStreamingEnabled), 0u);
}

TEST_F(SharedHandleTest, ViewsGoInTheirOwnersContextOrWithTheOwner) {
    // The owner lives on while the other process disposes, then closes last.
    FileId file = open();
    ASSERT_EQ(initIn(caller, file).status, STATUS_SUCCESS);
    ASSERT_EQ(caller.mappedViews(), 4u);
    // The other process gets no view of the owner's handed to it.
    EXPECT_EQ(asioInfoIn(other, file).status, STATUS_ACCESS_DENIED);
    ASSERT_EQ(disposeIn(other, file).status, STATUS_SUCCESS);
    EXPECT_EQ(caller.mappedViews(), 0u);
    ASSERT_EQ(asioInfoIn(caller, file).status, STATUS_SUCCESS);
    harness->closeFile(file, other);
    EXPECT_EQ(caller.mappedViews(), 0u);
    EXPECT_EQ(standin::kernel::pages::outstanding().userViews, 0u);

    // The owner ends first: its views went with it, and the close elsewhere unmaps nothing.
    file = open();
    {
        standin::kernel::InProcessCallerContext owner;
        ASSERT_EQ(initIn(owner, file).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(clients(), 1u);
    harness->closeFile(file, other);
    EXPECT_EQ(clients(), 0u);
    EXPECT_EQ(standin::kernel::pages::outstanding().userViews, 0u);
    // So the device's pages go with no view left on them.
    standin::kernel::BugCheckRecorder checks;
    harness->surpriseRemoveDevice(device);
    clock->runDue();
    EXPECT_EQ(checks.count(), 0u);
}

}  // namespace
}  // namespace kerneltest
