// Command transport: reply matching in the reply ring, and the routing of unsolicited packets
// into the shared record.

#include "kernel_fixture.h"

namespace kerneltest {
namespace {

class TransportTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    }
};

TEST_F(TransportTest, ReplyIsFoundAndCopied) {
    const ULONG start = SampleReplyCount(ctx());
    SendDeviceCommandNoData(ctx(), vq36::kDeviceCmdDeviceWord);
    USHORT word = 0;
    EXPECT_TRUE(WaitDeviceReply2(ctx(), vq36::kDeviceCmdDeviceWord, &word, start));
    EXPECT_EQ(word, 0x0102);  // the model's device word
}

TEST_F(TransportTest, RepliesAreNotConsumedByTheirReader) {
    const ULONG start = SampleReplyCount(ctx());
    SendDeviceCommandNoData(ctx(), vq36::kDeviceCmdDeviceWord);
    USHORT first = 0, second = 0;
    EXPECT_TRUE(WaitDeviceReply2(ctx(), vq36::kDeviceCmdDeviceWord, &first, start));
    EXPECT_TRUE(WaitDeviceReply2(ctx(), vq36::kDeviceCmdDeviceWord, &second, start));
    EXPECT_EQ(first, second);
}

TEST_F(TransportTest, FourOtherPacketsFirstFailTheWaitThoughTheReplyFollows) {
    for (int unsolicited = 3; unsolicited <= 4; ++unsolicited) {
        SCOPED_TRACE(unsolicited);
        const ULONG start = SampleReplyCount(ctx());
        for (int i = 0; i < unsolicited; ++i) inject(MakePacket(vq36::kDevicePacketHidi, {3}));
        inject(MakePacket(vq36::kDeviceCmdDeviceWord, {0xAA, 0xBB}));
        USHORT word = 0;
        EXPECT_EQ(WaitDeviceReply2(ctx(), vq36::kDeviceCmdDeviceWord, &word, start) != FALSE,
                  unsolicited == 3);
    }
}

TEST_F(TransportTest, WrongMagicIsSkippedLikeAnyOtherPacket) {
    const ULONG start = SampleReplyCount(ctx());
    inject(MakePacket(0x45, {1, 1}, /*goodMagic=*/false));
    inject(MakePacket(0x45, {7, 9}));
    UCHAR data[2] = {};
    EXPECT_TRUE(WaitDeviceReply(ctx(), 0x45, data, 2, start));
    EXPECT_EQ(data[0], 7);
    EXPECT_EQ(data[1], 9);
}

TEST_F(TransportTest, NoPacketWithinFiftyMillisecondsFails) {
    model->setUnanswered(vq36::kDeviceCmdDeviceWord, true);
    const ULONG start = SampleReplyCount(ctx());
    const auto before = clock->now();
    SendDeviceCommandNoData(ctx(), vq36::kDeviceCmdDeviceWord);
    const auto sent = clock->now();
    EXPECT_FALSE(WaitDeviceReply2Dropped(ctx(), vq36::kDeviceCmdDeviceWord, start));
    EXPECT_GE(clock->now() - sent, 50 * standin::kUnitsPerMs);
    EXPECT_LT(clock->now() - before, 200 * standin::kUnitsPerMs);
}

TEST_F(TransportTest, ReplyLongerThanAPacketHoldsFailsWithoutCopying) {
    const ULONG start = SampleReplyCount(ctx());
    inject(MakePacket(0x15, {1, 2, 3}));
    UCHAR data[64];
    std::memset(data, 0x5A, sizeof(data));
    EXPECT_FALSE(WaitDeviceReply(ctx(), 0x15, data, 60, start));
    EXPECT_EQ(data[0], 0x5A);
    EXPECT_TRUE(WaitDeviceReply(ctx(), 0x15, data, 59, start));
    EXPECT_EQ(data[0], 1);
}

TEST_F(TransportTest, ControlPacketIsStoredWithItsTimeAndSetsEveryMidiEventOnce) {
    KEVENT events[2];
    for (auto& e : events) KeInitializeEvent(&e, NotificationEvent, FALSE);
    WdfSpinLockAcquire(ctx()->stateLock);
    ctx()->midiEvents[0] = &events[0];
    ctx()->midiEvents[1] = &events[1];
    ctx()->midiEventCount = 2;
    WdfSpinLockRelease(ctx()->stateLock);

    settle(7);
    const ULONG nowMs = static_cast<ULONG>(KeQueryInterruptTime() / 10000);
    inject(MakePacket(vq36::kDevicePacketHidi, {3, 0xB0, 0x07, 0x40}));
    EXPECT_EQ(vq36::Load32(&info()->hidiInCount), 1u);
    EXPECT_EQ(vq36::Load32(&info()->statistics.hidiPackets), 1u);
    const auto& entry = info()->hidiInRing[0];
    EXPECT_EQ(entry.data[0], 3);
    EXPECT_EQ(entry.data[1], 0xB0);
    EXPECT_EQ(entry.data[3], 0x40);
    EXPECT_EQ(vq36::Load32(&entry.receiveTimeMs), nowMs);
    EXPECT_TRUE(KeReadStateEvent(&events[0]));
    EXPECT_TRUE(KeReadStateEvent(&events[1]));

    WdfSpinLockAcquire(ctx()->stateLock);
    ctx()->midiEventCount = 0;
    WdfSpinLockRelease(ctx()->stateLock);
}

TEST_F(TransportTest, TheThousandAndFirstControlPacketOverwritesEntryZero) {
    for (ULONG i = 0; i < 1001; ++i) {
        inject(MakePacket(vq36::kDevicePacketHidi, {3, 0xB0, static_cast<UCHAR>(i % 128),
                                                    static_cast<UCHAR>(i / 128)}));
    }
    EXPECT_EQ(vq36::Load32(&info()->hidiInCount), 1001u);
    EXPECT_EQ(info()->hidiInRing[0].data[2], 1000 % 128);
    EXPECT_EQ(info()->hidiInRing[0].data[3], 1000 / 128);
    EXPECT_EQ(info()->hidiInRing[1].data[2], 1);
}

TEST_F(TransportTest, OtherPacketTypesLandInTheirFields) {
    inject(MakePacket(vq36::kDevicePacketAux, {9, 8, 7}));
    EXPECT_EQ(vq36::Load32(&info()->auxInCount), 1u);
    EXPECT_EQ(info()->auxInRing[0][0], 9);
    EXPECT_EQ(info()->auxInRing[0][2], 7);

    Packet set = MakePacket(vq36::kDevicePacketPortSet);
    set[4] = 3;  // any byte 4 names port (byte 4 & 1)
    inject(set);
    EXPECT_EQ(info()->portStatusFlags[1], 1);
    EXPECT_EQ(info()->portStatusFlags[0], 0);
    Packet clear = MakePacket(vq36::kDevicePacketPortClear);
    clear[4] = 1;
    inject(clear);
    EXPECT_EQ(info()->portStatusFlags[1], 0);
    EXPECT_EQ(vq36::Load32(&info()->portStatusChangeCount), 2u);

    settle(40);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    inject(MakePacket(vq36::kDevicePacketOtherPortControl));
    EXPECT_EQ(vq36::Load32(&info()->lastOtherPortControlStatus),
              static_cast<ULONG>(static_cast<ULONGLONG>(ticks.QuadPart) *
                                 KeQueryTimeIncrement() / 10000));

    // A command reply touches nothing in the record.
    const ULONG hidi = vq36::Load32(&info()->hidiInCount);
    inject(MakePacket(0x01, {1, 2}));
    EXPECT_EQ(vq36::Load32(&info()->hidiInCount), hidi);
}

TEST_F(TransportTest, ATransferOfOtherThanSixtyFourBytesIsDropped) {
    const ULONG count = SampleReplyCount(ctx());
    KeClearEvent(&ctx()->replyArrived);
    inject(MakePacket(vq36::kDevicePacketHidi, {3, 0xB0, 1, 2}), 63);
    EXPECT_EQ(SampleReplyCount(ctx()), count);
    EXPECT_EQ(vq36::Load32(&info()->hidiInCount), 0u);
    EXPECT_FALSE(KeReadStateEvent(&ctx()->replyArrived));
}

TEST_F(TransportTest, ControlPacketsFromTheDeviceArriveThroughTheReader) {
    ASSERT_TRUE(model->moveControl(7, 99));
    settle(5);
    ASSERT_EQ(vq36::Load32(&info()->hidiInCount), 1u);
    const auto& entry = info()->hidiInRing[0];
    EXPECT_EQ(entry.data[1], 0xB0);
    EXPECT_EQ(entry.data[2], 7);
    EXPECT_EQ(entry.data[3], 99);
}

TEST_F(TransportTest, WriteFailuresMarkTheRecordGoneOrCycleThePort) {
    model->failCommandWrites(1, static_cast<standin::usb::NtStatus>(STATUS_NO_SUCH_DEVICE));
    SendDeviceCommandNoData(ctx(), vq36::kDeviceCmdDeviceWord);
    EXPECT_EQ(vq36::Load8(&info()->deviceGone), 1);

    std::vector<standin::usb::BusEvent> seen;
    bus->addListener([&](const standin::usb::BusEvent& e) { seen.push_back(e); });
    model->failCommandWrites(1, static_cast<standin::usb::NtStatus>(STATUS_INVALID_PARAMETER));
    SendDeviceCommandNoData(ctx(), vq36::kDeviceCmdDeviceWord);
    settle(150);
    ASSERT_GE(seen.size(), 2u);  // the port was cycled: the device left and came back
    EXPECT_EQ(seen[0].kind, standin::usb::BusEvent::Kind::Departure);
    EXPECT_EQ(seen[1].kind, standin::usb::BusEvent::Kind::Arrival);
}

}  // namespace
}  // namespace kerneltest
