// The streaming engine on the manual clock with the device model: request sizing, start
// frames, scheduling passes, failures, and the drain and restart on block-size and
// playback-delay changes.

#include "kernel_fixture.h"

namespace kerneltest {
namespace {

class EngineTest : public KernelTest {
protected:
    FileId file = 0;

    // A started client streaming with block size s.
    void stream(ULONG s) {
        ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
        file = open();
        ASSERT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(s)).status, STATUS_SUCCESS);
        ASSERT_EQ(initBuffers(file).status, STATUS_SUCCESS);
        ASSERT_EQ(message(file, vq36::kDeviceMsgStreaming, 1, {1}).status, STATUS_SUCCESS);
    }

    _URB_ISOCH_TRANSFER* captureUrb(ULONG slot) {
        return &reinterpret_cast<PURB>(ctx()->captureUrbs[slot])->UrbIsochronousTransfer;
    }
    std::vector<ULONG> sentMillisecs() {
        const auto& ring = info()->statistics.usbRdFrames;
        std::vector<ULONG> v;
        for (ULONG i = 0; i < 10; ++i) v.push_back(vq36::Load32(&ring.values[i]));
        return v;
    }
    ULONG stat(volatile vq36::UnalignedU32* word) { return vq36::Load32(word); }
};

TEST_F(EngineTest, ShortBlocksAreCapturedOneMillisecondAtATime) {
    stream(48);
    settle(100);  // the first request starts 50 frames ahead
    EXPECT_TRUE(ctx()->isStreaming);
    EXPECT_EQ(ctx()->shortBlockMode, 1u);
    for (ULONG ms : sentMillisecs()) EXPECT_EQ(ms, 1u);
    EXPECT_GT(stat(&info()->statistics.readsOk), 10u);
    EXPECT_GT(vq36::Load64(&info()->asioBlockCount), 10u);
}

TEST_F(EngineTest, FirstRequestReachesTheFirstBoundaryAndStartsFiftyFramesAhead) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    file = open();
    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(480)).status, STATUS_SUCCESS);
    ASSERT_EQ(initBuffers(file).status, STATUS_SUCCESS);
    const ULONG frameBefore = bus->currentFrame();
    ASSERT_EQ(message(file, vq36::kDeviceMsgStreaming, 1, {1}).status, STATUS_SUCCESS);
    settle(4);  // the 3 ms timer sends the first requests
    // Nothing in flight, position 0: f = 480, (480 + 49) / 48 = 11 ms.
    EXPECT_EQ(vq36::Load32(&info()->statistics.usbRdFrames.values[0]), 11u);
    const ULONG first = captureUrb(1)->StartFrame;
    EXPECT_GE(first, frameBefore + 50);
    EXPECT_LE(first, frameBefore + 50 + 10);
    // The second request continues where the first one ends.
    EXPECT_EQ(captureUrb(2)->StartFrame, first + 11);
    EXPECT_EQ(ctx()->readsInFlight, 4u);
}

TEST_F(EngineTest, RequestSizeForALargeBlockWithRequestsInFlight) {
    stream(768);
    settle(2);
    WdfSpinLockAcquire(ctx()->stateLock);
    ctx()->readsInFlight = ctx()->maxReadsInFlight;  // keep the scheduler out
    ctx()->millisecsInFlight = 3;
    ctx()->blockPosition = 700;
    ctx()->captureBusy[7] = 1;
    WdfSpinLockRelease(ctx()->stateLock);
    // f = 768 x ((144 + 700) / 768 + 1) - 700 = 836; (836 + 49) / 48 - 3 = 15.
    EXPECT_EQ(SendCaptureRequest(ctx(), 7), STATUS_SUCCESS);
    EXPECT_EQ(captureUrb(7)->NumberOfPackets, 15u * 8);
}

TEST_F(EngineTest, AFullInFlightCountSendsNothingAndAPassEndsAfterSlotZero) {
    stream(96);
    settle(1);
    WdfSpinLockAcquire(ctx()->stateLock);
    const ULONG inFlight = ctx()->readsInFlight;
    ctx()->readsInFlight = ctx()->maxReadsInFlight;
    EXPECT_EQ(ScheduleCaptureRequests(ctx()), 0u);
    ctx()->readsInFlight = inFlight;
    WdfSpinLockRelease(ctx()->stateLock);

    // Let everything in flight complete, then start a pass from slot 13 with room for more.
    vq36::Store32(&info()->overrideMaxReadsInFlight, 0);
    WdfSpinLockAcquire(ctx()->stateLock);
    ctx()->isStreaming = 0;  // no new requests while draining
    WdfSpinLockRelease(ctx()->stateLock);
    settle(200);
    WdfSpinLockAcquire(ctx()->stateLock);
    ASSERT_EQ(ctx()->readsInFlight, 0u);
    ctx()->isStreaming = 1;
    ctx()->lastSentSlot = 12;
    ctx()->readsInFlight = 0;
    const ULONG sent = ScheduleCaptureRequests(ctx());
    const ULONG last = ctx()->lastSentSlot;
    const bool busy13 = ctx()->captureBusy[13], busy14 = ctx()->captureBusy[14],
               busy0 = ctx()->captureBusy[0], busy1 = ctx()->captureBusy[1];
    WdfSpinLockRelease(ctx()->stateLock);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(last, 0u);
    EXPECT_TRUE(busy13 && busy14 && busy0);
    EXPECT_FALSE(busy1);
}

TEST_F(EngineTest, ABadStartFrameDropsTheContinuation) {
    stream(96);
    settle(100);
    ASSERT_GT(stat(&info()->statistics.readsOk), 0u);
    // The next request is told to start in the past.
    WdfSpinLockAcquire(ctx()->stateLock);
    ctx()->nextStartFrame = bus->currentFrame() - 5;
    WdfSpinLockRelease(ctx()->stateLock);
    settle(100);
    EXPECT_GT(stat(&info()->statistics.readsFailed), 0u);
    EXPECT_EQ(stat(&info()->statistics.rdUrbError), USBD_STATUS_BAD_START_FRAME);
    // Streaming recovered from a fresh frame number.
    const ULONG ok = stat(&info()->statistics.readsOk);
    settle(100);
    EXPECT_GT(stat(&info()->statistics.readsOk), ok);
}

TEST_F(EngineTest, MoreThanAHundredFailuresStopTheEngineForGood) {
    stream(96);
    settle(100);
    model->unplug();  // every request now fails at once
    settle(2000);
    EXPECT_FALSE(ctx()->isStreaming);
    EXPECT_EQ(vq36::Load32(&info()->isStreamingEnabled), 1u);  // kept: no event, no flag
    EXPECT_GE(ctx()->captureFailures, 101u);  // the requests still in flight count too
    const ULONG failed = stat(&info()->statistics.readsFailed);
    settle(1000);
    EXPECT_EQ(stat(&info()->statistics.readsFailed), failed);  // the timer stayed stopped
}

TEST_F(EngineTest, SameBlockSizeChangesNothingANewOneDrainsAndRestarts) {
    stream(96);
    settle(100);
    ASSERT_GT(ctx()->readsInFlight, 0u);
    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(96)).status, STATUS_SUCCESS);
    EXPECT_FALSE(ctx()->restartPending);
    ASSERT_GT(vq36::Load64(&info()->asioBlockCount), 5u);

    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(192)).status, STATUS_SUCCESS);
    EXPECT_TRUE(ctx()->restartPending);
    EXPECT_EQ(ctx()->currentBlockFrames, 96u);
    // The engine drains, the work item installs the new size and resets the counters.
    bool restarted = false;
    for (int i = 0; i < 200 && !restarted; ++i) {
        settle(1);
        restarted = ctx()->currentBlockFrames == 192;
    }
    ASSERT_TRUE(restarted);
    EXPECT_FALSE(ctx()->restartPending);
    EXPECT_LT(vq36::Load64(&info()->asioBlockCount), 3u);
    settle(100);
    EXPECT_GT(vq36::Load64(&info()->asioBlockCount), 5u);  // streaming again
    EXPECT_EQ(ctx()->outstandingWorkItems, 0u);
}

TEST_F(EngineTest, PlaybackDelayTwoRestartsThreeIsIgnored) {
    stream(96);
    settle(100);
    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferRemainder, 1, U32(3)).status, STATUS_SUCCESS);
    EXPECT_FALSE(ctx()->restartPending);
    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferRemainder, 1, U32(2)).status, STATUS_SUCCESS);
    EXPECT_TRUE(ctx()->restartPending);
    settle(100);
    EXPECT_FALSE(ctx()->restartPending);
    EXPECT_EQ(ctx()->playbackDelayMillisecs, 2u);
    settle(100);
    // Playback now starts two frames later than the lead alone.
    const auto* playback =
        &reinterpret_cast<PURB>(ctx()->playbackUrbs[ctx()->lastCompletedSlot])
             ->UrbIsochronousTransfer;
    EXPECT_EQ(playback->StartFrame, ctx()->lastCaptureStartFrame + ctx()->leadMillisecs + 2);
}

TEST_F(EngineTest, AfterRemovalABlockSizeChangeQueuesNothing) {
    stream(96);
    settle(20);
    harness->surpriseRemoveDevice(device);  // the file stays open: the object lives
    EXPECT_EQ(QueueBlockSizeWorkItem(ctx()), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(ctx()->outstandingWorkItems, 0u);
    EXPECT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(192)).status,
              STATUS_INVALID_HANDLE);
}

TEST_F(EngineTest, NoClientStartedMeansNoRequests) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    file = open();
    ASSERT_EQ(message(file, vq36::kDeviceMsgBufferSamples, 1, U32(96)).status, STATUS_SUCCESS);
    ASSERT_EQ(initBuffers(file).status, STATUS_SUCCESS);
    settle(50);
    EXPECT_TRUE(ctx()->isStreaming);
    EXPECT_EQ(stat(&info()->statistics.readsOk), 0u);
    EXPECT_EQ(ctx()->readsInFlight, 0u);
    EXPECT_EQ(vq36::Load32(&info()->joinedClientCount), 0u);
}

}  // namespace
}  // namespace kerneltest
