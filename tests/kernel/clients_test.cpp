// The client table's choices: deadline slots after a removal, the joined count as clients
// stop and leave, the MIDI event list's limit and a second registration through one handle.

#include <set>

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

}  // namespace
}  // namespace kerneltest
