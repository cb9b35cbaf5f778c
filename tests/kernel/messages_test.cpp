// Device messages through kIoCtlSendMessage: every get and set row, the boot-flag cache, the
// block-size and playback-delay rows, and the failures.

#include "kernel_fixture.h"

namespace kerneltest {
namespace {

using Reply = std::array<UCHAR, 64>;
using standin::vq36::ReceivedCommand;

ULONG Word(const Reply& r) {
    ULONG v;
    std::memcpy(&v, r.data(), 4);
    return v;
}

class MessageTest : public KernelTest {
protected:
    FileId file = 0;

    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
        file = open();
        model->clearCommands();
    }

    std::vector<ReceivedCommand> commands(UCHAR command) {
        std::vector<ReceivedCommand> out;
        for (auto& c : model->commands()) {
            if (c.valid() && c.command() == command) out.push_back(c);
        }
        return out;
    }
};

TEST_F(MessageTest, DriverFactsAnswerFromTheDriversOwnState) {
    Reply r{};
    EXPECT_EQ(message(file, vq36::kDeviceMsgVendorId, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(Word(r), 0xB713u);
    EXPECT_EQ(message(file, vq36::kDeviceMsgProductId, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(Word(r), 0x2E00u);
    EXPECT_EQ(message(file, vq36::kDeviceMsgDriverVersion, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(Word(r), 0x01020000u);
    IoResult speed = message(file, vq36::kDeviceMsgUsbSpeed, 0, {}, &r);
    EXPECT_EQ(speed.status, STATUS_SUCCESS);
    EXPECT_EQ(speed.information, 64u);
    EXPECT_EQ(Word(r), 2u);
    EXPECT_TRUE(model->commands().empty());
}

TEST_F(MessageTest, UnwrittenReplyBytesKeepTheRequestsBytes) {
    Reply r{};
    std::vector<UCHAR> payload(64, 0xEE);
    ASSERT_EQ(message(file, vq36::kDeviceMsgUsbSpeed, 0, payload, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r[4], 0);     // op word, byte 0 (get)
    EXPECT_EQ(r[8], 0xEE);  // payload byte 0
}

TEST_F(MessageTest, CommandMessagesSendTheirCommandAndPassTheReplyThrough) {
    Reply r{};
    ASSERT_EQ(message(file, vq36::kDeviceMsgFirmwareVersion, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r[0], 1);  // major
    EXPECT_EQ(r[1], 2);  // minor
    EXPECT_EQ(commands(vq36::kDeviceCmdFirmwareVersion).size(), 1u);

    ASSERT_EQ(message(file, vq36::kDeviceMsgDeviceWord, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(commands(vq36::kDeviceCmdDeviceWord).size(), 1u);

    std::vector<UCHAR> read = {0, 0, 0x40, 0x00, 16};  // offset 0x4000, 16 bytes
    ASSERT_EQ(message(file, vq36::kDeviceMsgFlash, 0, read, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r[2], 0x40);  // the offset is echoed
    EXPECT_EQ(r[4], 16);
    auto flash = model->readFlash(0x4000, 16);
    EXPECT_EQ(std::memcmp(r.data() + 5, flash.data(), 16), 0);
    ASSERT_EQ(commands(vq36::kDeviceCmdFlashRead).size(), 1u);
    EXPECT_EQ(commands(vq36::kDeviceCmdFlashRead)[0].data(2), 0x40);

    std::vector<UCHAR> hidi = {3, 0xB0, 5, 77};
    EXPECT_EQ(message(file, vq36::kDeviceMsgHidiPacket, 1, hidi).status, STATUS_SUCCESS);
    settle();
    EXPECT_EQ(model->controlValue(5), 77);
    EXPECT_EQ(message(file, vq36::kDeviceMsgDirectHidiPacket, 1, hidi).status, STATUS_SUCCESS);
    EXPECT_EQ(message(file, vq36::kDeviceMsgFirmwareUpdateDone, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(commands(vq36::kDeviceCmdUpdateFinished).size(), 1u);
}

TEST_F(MessageTest, BootFlagIsCachedUntilTheBootLoaderIsAskedFor) {
    Reply r{};
    ASSERT_EQ(message(file, vq36::kDeviceMsgBootDevice, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(commands(vq36::kDeviceCmdBootFlag).size(), 1u);
    EXPECT_EQ(info()->bootFlagValid, 1);
    EXPECT_EQ(info()->isBootDevice, 0);

    ASSERT_EQ(message(file, vq36::kDeviceMsgBootDevice, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(commands(vq36::kDeviceCmdBootFlag).size(), 1u);  // from the cache

    // The set reports success whether or not the device took the command (here its write
    // fails, so the device stays where it is) and forgets the cached flag.
    model->failCommandWrites(1, static_cast<standin::usb::NtStatus>(STATUS_UNSUCCESSFUL));
    ASSERT_EQ(message(file, vq36::kDeviceMsgBootDevice, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(info()->bootFlagValid, 0);
    EXPECT_FALSE(ctx()->cachedBootFlagValid);
    ASSERT_EQ(message(file, vq36::kDeviceMsgBootDevice, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(commands(vq36::kDeviceCmdBootFlag).size(), 2u);
    EXPECT_EQ(info()->bootFlagValid, 1);
}

TEST_F(MessageTest, FlashWriteWaitsOnlyForTheLastChunkOfARow) {
    model->setUnanswered(vq36::kDeviceCmdFlashWrite, true);
    std::vector<UCHAR> chunk(4 + 32, 0x11);
    chunk[0] = 0, chunk[1] = 0, chunk[2] = 0x50, chunk[3] = 0x20;
    auto before = clock->now();
    EXPECT_EQ(message(file, vq36::kDeviceMsgFlash, 1, chunk).status, STATUS_SUCCESS);
    EXPECT_LT(clock->now() - before, 20 * standin::kUnitsPerMs);
    chunk[3] = 0xE0;  // the row's last chunk: its reply is awaited
    EXPECT_EQ(message(file, vq36::kDeviceMsgFlash, 1, chunk).status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(commands(vq36::kDeviceCmdFlashWrite).size(), 2u);
}

TEST_F(MessageTest, AltProductIdSucceedsEvenWithoutAnAnswer) {
    model->setAllUnanswered(true);
    EXPECT_EQ(message(file, vq36::kDeviceMsgAltProductId, 1, {1}).status, STATUS_SUCCESS);
    EXPECT_EQ(message(file, vq36::kDeviceMsgAltProductId, 1, {0}).status, STATUS_SUCCESS);
    EXPECT_EQ(commands(vq36::kDeviceCmdProductIdB).size(), 1u);
    EXPECT_EQ(commands(vq36::kDeviceCmdProductIdA).size(), 1u);
    // A waiting message fails when its reply does not come.
    EXPECT_EQ(message(file, vq36::kDeviceMsgDirectHidiPacket, 1, {3, 0xB0, 1, 1}).status,
              STATUS_INTERNAL_ERROR);
}

TEST_F(MessageTest, UnlistedNumbersOperationsAndOpTwoFail) {
    const ULONG getOnly[] = {34, 64, 65, 66, 67, 69};
    const ULONG setOnly[] = {32, 33, 37, 71, 72, 73};
    for (ULONG m : getOnly) EXPECT_EQ(message(file, m, 1).status, STATUS_INTERNAL_ERROR) << m;
    for (ULONG m : setOnly) EXPECT_EQ(message(file, m, 0).status, STATUS_INTERNAL_ERROR) << m;
    for (ULONG m : {8u, 32u, 35u, 36u, 64u, 66u, 72u, 73u, 9u, 0u, 0xFFFFFFFFu}) {
        IoResult r = message(file, m, 2);
        EXPECT_EQ(r.status, STATUS_INTERNAL_ERROR) << m;
        EXPECT_EQ(r.information, 64u);
    }
    EXPECT_TRUE(model->commands().empty());
}

TEST_F(MessageTest, StreamingFlagNeedsAClientEntry) {
    EXPECT_EQ(message(file, vq36::kDeviceMsgStreaming, 1, {1}).status, STATUS_SUCCESS);
    EXPECT_EQ(message(file, vq36::kDeviceMsgStreaming, 0).status, STATUS_INTERNAL_ERROR);
    ASSERT_EQ(initBuffers(file).status, STATUS_SUCCESS);
    Reply r{};
    ASSERT_EQ(message(file, vq36::kDeviceMsgStreaming, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r[0], 0);
    ASSERT_EQ(message(file, vq36::kDeviceMsgStreaming, 1, {5}).status, STATUS_SUCCESS);
    ASSERT_EQ(message(file, vq36::kDeviceMsgStreaming, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r[0], 1);
}

TEST_F(MessageTest, BlockSizeIsPublishedAndOversizedBlocksAreRefused) {
    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(96)).status, STATUS_SUCCESS);
    settle();
    EXPECT_EQ(vq36::Load32(&info()->blockFrames), 96u);
    EXPECT_EQ(vq36::Load32(&info()->sampleRate), 48000u);
    EXPECT_EQ(ctx()->pendingBlockFrames, 96u);
    EXPECT_EQ(ctx()->currentBlockFrames, 96u);  // nothing in flight: installed by the work item
    EXPECT_EQ(ctx()->ringBlockCount, 15u);

    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(3000)).status, STATUS_SUCCESS);
    settle();
    EXPECT_EQ(ctx()->currentBlockFrames, 3000u);
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(3001)).status,
              STATUS_INTERNAL_ERROR);
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(0xFFFFFFFF)).status,
              STATUS_INTERNAL_ERROR);
    settle();
    EXPECT_EQ(ctx()->pendingBlockFrames, 3000u);
    EXPECT_EQ(ctx()->currentBlockFrames, 3000u);
    EXPECT_EQ(vq36::Load32(&info()->blockFrames), 3000u);
}

TEST_F(MessageTest, PlaybackDelayRequestsARestartOnlyWhenItChanges) {
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferRemainder, 1, U32(2)).status, STATUS_SUCCESS);
    EXPECT_EQ(ctx()->playbackDelayMillisecs, 2u);
    EXPECT_TRUE(ctx()->restartPending);
    ctx()->restartPending = 0;
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferRemainder, 1, U32(2)).status, STATUS_SUCCESS);
    EXPECT_FALSE(ctx()->restartPending);
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferRemainder, 1, U32(3)).status, STATUS_SUCCESS);
    EXPECT_EQ(ctx()->playbackDelayMillisecs, 2u);
    EXPECT_FALSE(ctx()->restartPending);
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferRemainder, 1, U32(1)).status, STATUS_SUCCESS);
    EXPECT_EQ(ctx()->playbackDelayMillisecs, 1u);
    EXPECT_TRUE(ctx()->restartPending);
}

TEST_F(MessageTest, ProductIdReadsTheDescriptorAgain) {
    Reply r{};
    ctx()->deviceDescriptor.idProduct = 0x1111;  // a stale copy
    ASSERT_EQ(message(file, vq36::kDeviceMsgProductId, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(Word(r), 0x2E00u);
    ctx()->deviceDescriptor.idVendor = 0x2222;
    ASSERT_EQ(message(file, vq36::kDeviceMsgVendorId, 0, {}, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(Word(r), 0x2222u);  // from the descriptor as last read
}

class SingleInterfaceMessageTest : public KernelTest {};

TEST_F(SingleInterfaceMessageTest, WaitingMessagesFailWhileDriverFactsAnswer) {
    standin::vq36::DeviceConfig config;
    config.variant = standin::vq36::Variant::SingleInterface;
    ASSERT_EQ(plugAndStart(config), STATUS_SUCCESS);
    FileId file = open();
    for (ULONG m : {34u, 35u, 36u, 69u}) {
        const auto before = clock->now();
        EXPECT_EQ(message(file, m, 0).status, STATUS_INTERNAL_ERROR) << m;
        EXPECT_GE(clock->now() - before, 50 * standin::kUnitsPerMs) << m;
    }
    for (ULONG m : {64u, 65u, 66u, 67u}) EXPECT_EQ(message(file, m, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(model->commands().empty());
}

}  // namespace
}  // namespace kerneltest
