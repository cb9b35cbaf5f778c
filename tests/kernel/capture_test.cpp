// Capture processing on a bare device context: where captured samples land, how the paired
// playback request is sized, block boundaries, statistics and flags.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "driver.h"
#include "standin/kernel/machine.h"

namespace {

// Sample (frame, channel) as the test's device sends it: a bit pattern naming its position.
uint32_t Pattern(uint32_t frame, uint32_t channel) {
    return (frame << 4) | channel | 0x40000000u;
}

class CaptureTest : public ::testing::Test {
  protected:
    std::shared_ptr<standin::Clock> clock = standin::makeManualClock(7 * standin::kUnitsPerSecond);
    std::unique_ptr<DeviceContext> ctx = std::make_unique<DeviceContext>();
    std::unique_ptr<vq36::AsioInfo> info = std::make_unique<vq36::AsioInfo>();
    std::vector<UCHAR> pool = std::vector<UCHAR>(vq36::kCapturePoolBytes);
    std::vector<UCHAR> planes = std::vector<UCHAR>(vq36::kCapturePlanesBytes);
    std::vector<UCHAR> ring = std::vector<UCHAR>(vq36::kPlaybackRegionBytes);
    KEVENT clientEvents[3];
    uint32_t nextFrame = 0;  // the device's frame counter

    void SetUp() override {
        standin::kernel::resetMachine(clock);
        resetContext();
        for (auto& e : clientEvents) KeInitializeEvent(&e, NotificationEvent, FALSE);
    }

    void resetContext() {
        std::memset(ctx.get(), 0, sizeof(DeviceContext));
        std::memset(info.get(), 0, sizeof(vq36::AsioInfo));
        ctx->infoRecord = info.get();
        ctx->capturePool = pool.data();
        ctx->capturePlanesView = planes.data();
        ctx->playbackClippedView = ring.data();
    }

    void setBlock(ULONG s) {
        ctx->currentBlockFrames = s;
        ctx->blockBytesPerChannel = 4 * s;
        ComputeBufferGeometry(ctx.get());
    }

    void addClient(ULONG slot, PUCHAR priorityField = nullptr) {
        ClientEntry& c = ctx->clientTable[ctx->clientCount++];
        c.clientId = slot;
        c.clientSlot = slot;
        c.bufferReadyEvent = &clientEvents[slot];
        c.threadPriorityField = priorityField;
    }

    _URB_ISOCH_TRANSFER* captureUrb(ULONG slot = 0) {
        return &reinterpret_cast<PURB>(ctx->captureUrbs[slot])->UrbIsochronousTransfer;
    }
    _URB_ISOCH_TRANSFER* playbackUrb(ULONG slot = 0) {
        return &reinterpret_cast<PURB>(ctx->playbackUrbs[slot])->UrbIsochronousTransfer;
    }

    // Fills capture slot 0 with packets of the given lengths, whole frames numbered on.
    void fillCapture(const std::vector<ULONG>& lengths, ULONG startFrame = 1000) {
        auto* urb = captureUrb();
        urb->NumberOfPackets = static_cast<ULONG>(lengths.size());
        urb->StartFrame = startFrame;
        for (size_t i = 0; i < lengths.size(); ++i) {
            urb->IsoPacket[i].Offset = static_cast<ULONG>(336 * i);
            urb->IsoPacket[i].Length = lengths[i];
            UCHAR* packet = pool.data() + 336 * i;
            for (ULONG f = 0; f < 7; ++f) {
                for (ULONG c = 0; c < 12; ++c) {
                    const uint32_t v = Pattern(nextFrame + f, c);
                    std::memcpy(packet + 48 * f + 4 * c, &v, 4);
                }
            }
            nextFrame += std::min<ULONG>(lengths[i], 336) / 48;
        }
    }

    uint32_t planeSample(ULONG channel, ULONG half, ULONG position) {
        const ULONG s = ctx->currentBlockFrames;
        uint32_t v;
        std::memcpy(&v, planes.data() + vq36::CapturePlaneOffset(channel, half, s) + 4 * position,
                    4);
        return v;
    }

    ULONG flags() { return vq36::Load32(&info->statistics.genericFlags); }
    ULONGLONG count() { return vq36::Load64(&info->asioBlockCount); }
    UCHAR process(UCHAR advance = 1) { return ProcessCapturePacket(ctx.get(), 0, advance); }
};

TEST_F(CaptureTest, FirstShortBlockFillsHalfOneAndReachesOneBoundaryAtTheLastPacket) {
    setBlock(48);
    addClient(0);
    fillCapture(std::vector<ULONG>(8, 288));
    EXPECT_EQ(process(), 1);
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(ctx->blockPosition, 0u);
    // planeOffset 4 x 48: half 1 of every plane, sample p at position p.
    for (ULONG c = 0; c < 12; ++c) {
        for (ULONG p = 0; p < 48; ++p) ASSERT_EQ(planeSample(c, 1, p), Pattern(p, c)) << c << p;
    }
    // The paired playback request starts at ring block 1 plus the lead.
    EXPECT_EQ(playbackUrb()->TransferBuffer, ring.data() + 1920 + 13440);
    EXPECT_EQ(playbackUrb()->TransferBufferLength, 8u * 240);
    EXPECT_EQ(playbackUrb()->IsoPacket[3].Offset, 720u);
    EXPECT_EQ(playbackUrb()->IsoPacket[3].Length, 240u);
    EXPECT_EQ(playbackUrb()->StartFrame, 1000u + 7);
    EXPECT_EQ(vq36::Load32(&info->statistics.kernOver), 0u);
    EXPECT_EQ(vq36::Load32(&info->statistics.kernUnder), 0u);
    EXPECT_TRUE(KeReadStateEvent(&clientEvents[0]));
    EXPECT_EQ(vq36::Load64(&info->lastBlockTime), KeQueryInterruptTime());
    EXPECT_EQ(vq36::Load32(&info->statistics.estSampleRate), 48000u);
}

TEST_F(CaptureTest, BoundaryPositionInsideALongerRequest) {
    setBlock(96);
    fillCapture(std::vector<ULONG>(16, 288));
    process();
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(flags() & vq36::kFlagSecondBoundaryInCompletion, 0u);
    EXPECT_EQ(vq36::Load32(&info->statistics.kernOver), 0u);  // boundary at packet 15

    // From position 48 the boundary falls in packet 7: 16 - 7 = 9 packets to go.
    CaptureTest::SetUp();
    setBlock(96);
    ctx->blockPosition = 48;
    nextFrame = 48;
    fillCapture(std::vector<ULONG>(16, 288));
    process();
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(vq36::Load32(&info->statistics.kernOver), 1u);
    EXPECT_EQ(ctx->blockPosition, 48u);
    // The second block's first half landed in half 0 (the count is 1 now).
    EXPECT_EQ(planeSample(5, 0, 0), Pattern(96, 5));
}

TEST_F(CaptureTest, TwoBoundariesInOneCompletionAreFlaggedAndEachWakesTheClients) {
    setBlock(96);
    addClient(0);
    fillCapture(std::vector<ULONG>(32, 288));  // 4 ms = 192 frames
    process();
    EXPECT_EQ(count(), 2u);
    EXPECT_NE(flags() & vq36::kFlagSecondBoundaryInCompletion, 0u);
}

TEST_F(CaptureTest, OddPacketLengthsAreCutToWholeFramesAndKeepTheClockRunning) {
    setBlock(96);
    std::vector<ULONG> lengths(8, 288);
    lengths[1] = 290;  // not whole frames
    lengths[2] = 400;  // longer than a packet
    lengths[3] = 0;    // empty
    fillCapture(lengths);
    process();
    EXPECT_NE(flags() & vq36::kFlagPacketNotWholeFrames, 0u);
    EXPECT_NE(flags() & vq36::kFlagPacketTooLong, 0u);
    EXPECT_NE(flags() & vq36::kFlagEmptyPacket, 0u);
    EXPECT_EQ(ctx->blockPosition, 48u);  // every packet counted as 6 frames
    EXPECT_EQ(playbackUrb()->IsoPacket[1].Length, 240u);
    EXPECT_EQ(playbackUrb()->IsoPacket[2].Length, 240u);
    EXPECT_EQ(playbackUrb()->IsoPacket[3].Length, 240u);
    // An empty packet keeps the completion out of the rate estimate.
    EXPECT_EQ(ctx->millisecsCapturedTotal, 0u);
    EXPECT_EQ(vq36::Load32(&info->statistics.estSampleRate), 0u);
    EXPECT_EQ(vq36::Load32(&info->statistics.kernUnder), 1u);
}

TEST_F(CaptureTest, EraseZeroesTheRingBlockFiveAheadAndClosesTheBlocksMixingLap) {
    setBlock(48);
    vq36::Store64(&info->asioBlockCount, 11);
    vq36::Store8(&info->eraseBuffers, 1);
    std::memset(ring.data(), 0x77, 15 * 48 * 40);
    vq36::Store32(&info->blockDeliveryCount[12], 2);
    fillCapture(std::vector<ULONG>(8, 288));
    process();
    EXPECT_EQ(count(), 12u);
    for (ULONG i = 0; i < 48 * 40; ++i) ASSERT_EQ(ring[1 * 48 * 40 + i], 0) << i;
    EXPECT_EQ(ring[0], 0x77);
    EXPECT_EQ(ring[2 * 48 * 40], 0x77);
    EXPECT_EQ(vq36::Load32(&info->blockDeliveryCount[12]), 2u | vq36::kDeliveryLapClosed);
}

TEST_F(CaptureTest, AJoinedLapClosedWithoutCompletionHasItsSumClearedWhenTheBlockIsOpenedAgain) {
    // Ring blocks 12, 13, 14 close their laps at the boundaries to counts 12, 13, 14: block 12
    // with one of two deliveries, block 13 completed before its close, block 14 completed by a
    // client that finished after its close. The close clears nothing (a late client may still
    // be completing); block b is opened for its next lap at the boundary to count b + 12, and
    // only block 12 has its sum cleared there.
    std::vector<UCHAR> accumulator(vq36::kPlaybackRegionBytes, 0x55);
    ctx->playbackUnclippedView = accumulator.data();
    setBlock(48);
    const ULONG blockBytes = 48 * 40;
    vq36::Store64(&info->asioBlockCount, 11);
    vq36::Store32(&info->blockDeliveryCount[12], 1);
    auto boundary = [&] {
        fillCapture(std::vector<ULONG>(8, 288));
        process();
    };
    boundary();
    EXPECT_EQ(vq36::Load32(&info->blockDeliveryCount[12]), 1u | vq36::kDeliveryLapClosed);
    EXPECT_EQ(accumulator[12 * blockBytes], 0x55);
    boundary();
    vq36::Store32(&info->blockDeliveryCount[14], 2);  // both delivered, completing
    boundary();
    vq36::Store32(&info->blockDeliveryCount[14], 0);  // the completion's end, after the close
    EXPECT_EQ(vq36::Load32(&info->blockDeliveryCount[13]), vq36::kDeliveryLapClosed);
    while (count() < 23) boundary();
    EXPECT_EQ(accumulator[12 * blockBytes], 0x55);  // opened at the boundary to 24
    EXPECT_NE(vq36::Load32(&info->blockDeliveryCount[12]), 0u);
    boundary();
    EXPECT_EQ(vq36::Load32(&info->blockDeliveryCount[12]), 0u);
    for (ULONG i = 0; i < blockBytes; ++i) ASSERT_EQ(accumulator[12 * blockBytes + i], 0) << i;
    EXPECT_EQ(accumulator[12 * blockBytes - 1], 0x55);  // the blocks around it are kept
    while (count() < 26) boundary();
    for (ULONG block : {13u, 14u}) {
        EXPECT_EQ(vq36::Load32(&info->blockDeliveryCount[block]), 0u) << block;
        EXPECT_EQ(accumulator[block * blockBytes], 0x55) << block;
        EXPECT_EQ(accumulator[(block + 1) * blockBytes - 1], 0x55) << block;
    }

    // A restart of the count opens every lap, the first block's (ring block 3) included, which
    // the boundaries would not open until its next lap: with only bare closes the accumulator
    // is kept; a lap closed without completion has the whole accumulator cleared.
    for (const ULONG partialLap : {0u, 1u}) {
        for (ULONG b = 0; b < vq36::kMaxRingBlocks; ++b)
            vq36::Store32(&info->blockDeliveryCount[b], vq36::kDeliveryLapClosed);
        vq36::Store32(&info->blockDeliveryCount[7], partialLap | vq36::kDeliveryLapClosed);
        std::fill(accumulator.begin(), accumulator.end(), 0x55);
        ResetBlockCounters(ctx.get());
        for (ULONG b = 0; b < vq36::kMaxRingBlocks; ++b)
            EXPECT_EQ(vq36::Load32(&info->blockDeliveryCount[b]), 0u) << b;
        EXPECT_EQ(accumulator[3 * blockBytes], partialLap ? 0 : 0x55);
        EXPECT_EQ(accumulator.back(), partialLap ? 0 : 0x55);
    }
}

TEST_F(CaptureTest, OnlyClientsWithADeadlineAheadAreRaised) {
    setBlock(48);
    UCHAR threadA[1024] = {}, threadB[1024] = {};
    addClient(0, threadA + 100);
    addClient(1, threadB + 100);
    const ULONGLONG now = KeQueryInterruptTime();
    vq36::Store64(&info->clientDeadline[0], now + 10 * standin::kUnitsPerMs);
    vq36::Store64(&info->clientDeadline[1], now - 1);
    fillCapture(std::vector<ULONG>(8, 288));
    process();
    EXPECT_EQ(threadA[100], 31);
    EXPECT_EQ(threadB[100], 0);
    EXPECT_TRUE(KeReadStateEvent(&clientEvents[0]));
    EXPECT_TRUE(KeReadStateEvent(&clientEvents[1]));

    threadA[100] = 8;
    vq36::Store8(&info->disablePriorityBoost, 1);
    fillCapture(std::vector<ULONG>(8, 288));
    process();
    EXPECT_EQ(threadA[100], 8);
}

TEST_F(CaptureTest, DeadlineIsReadFromTheSlotTheClientWasGiven) {
    setBlock(48);
    UCHAR thread[1024] = {};
    // The only client sits at table position 0 but holds deadline slot 2.
    ctx->clientTable[0].clientId = 9;
    ctx->clientTable[0].clientSlot = 2;
    ctx->clientTable[0].bufferReadyEvent = &clientEvents[2];
    ctx->clientTable[0].threadPriorityField = thread + 10;
    ctx->clientCount = 1;
    vq36::Store64(&info->clientDeadline[2], KeQueryInterruptTime() + standin::kUnitsPerSecond);
    fillCapture(std::vector<ULONG>(8, 288));
    process();
    EXPECT_EQ(thread[10], 31);
}

TEST_F(CaptureTest, WithoutClientsTheCountAdvancesButTheBoundaryTimeStays) {
    setBlock(48);
    vq36::Store64(&info->lastBlockTime, 555);
    vq36::Store32(&info->pendingUserSlips, 3);
    fillCapture(std::vector<ULONG>(8, 288));
    process();
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(vq36::Load64(&info->lastBlockTime), 555u);
    EXPECT_EQ(vq36::Load32(&info->statistics.userSlips), 3u);
    EXPECT_EQ(vq36::Load32(&info->pendingUserSlips), 0u);
}

TEST_F(CaptureTest, TransferRunningPastTheRingEndPublishesTheOverhang) {
    setBlock(48);                              // ring 28,800 bytes, lead 13,440
    vq36::Store64(&info->asioBlockCount, 14);  // block (14 + 1) mod 15 = 0
    ctx->blockPosition = 0;
    // The transfer starts at ring block 0 plus the lead (13,440) and carries 10 ms of
    // playback (19,200 bytes): it ends 3,840 bytes past the ring.
    fillCapture(std::vector<ULONG>(80, 288));
    process();
    EXPECT_EQ(vq36::Load32(&info->tailBytes), 32640 - 28800);
    EXPECT_EQ(flags() & vq36::kFlagTailBytesOverwritten, 0u);
    // The user side has not taken it yet when the next one lands.
    vq36::Store64(&info->asioBlockCount, 14);
    ctx->blockPosition = 0;
    fillCapture(std::vector<ULONG>(80, 288));
    process();
    EXPECT_NE(flags() & vq36::kFlagTailBytesOverwritten, 0u);
}

TEST_F(CaptureTest, LoopbackSendsTheFirstTenSamplesOfEachFrameAndKeepsThePlanesExact) {
    setBlock(96);
    vq36::Store8(&info->kernelLoopback, 1);
    fillCapture(std::vector<ULONG>(8, 288));
    process();
    EXPECT_EQ(playbackUrb()->TransferBuffer, pool.data());
    for (ULONG f = 0; f < 48; ++f) {
        for (ULONG ch = 0; ch < 10; ++ch) {
            uint32_t v;
            std::memcpy(&v, pool.data() + 40 * f + 4 * ch, 4);
            ASSERT_EQ(v, Pattern(f, ch)) << f << " " << ch;
        }
        for (ULONG c = 0; c < 12; ++c) ASSERT_EQ(planeSample(c, 1, f), Pattern(f, c));
    }
}

TEST_F(CaptureTest, RestartPendingStopsThePlanesAndTheClock) {
    setBlock(48);
    ctx->restartPending = 1;
    fillCapture(std::vector<ULONG>(8, 288));
    process(0);
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(ctx->blockPosition, 0u);
    EXPECT_EQ(planeSample(0, 1, 0), 0u);
}

TEST_F(CaptureTest, TinyBlocksNeverWriteOutsideTheirPlanes) {
    setBlock(5);  // shorter than one packet of 7 frames
    std::memset(planes.data(), 0xAB, planes.size());
    std::vector<ULONG> lengths(8, 336);
    fillCapture(lengths);
    process();
    // Every plane holds 2 x 5 samples; the bytes after the twelfth plane are untouched.
    EXPECT_EQ(planes[12 * 8 * 5], 0xAB);
    EXPECT_EQ(count(), 56u / 5);
    EXPECT_EQ(ctx->blockPosition, 56u % 5);
}

// The rate estimate and the playback request's place in the ring come out as their divisions
// give them, whatever the record held before (the quotient, one either side of it, anything)
// and however far the block count has grown.
TEST_F(CaptureTest, RateEstimateAndRingBlockMatchTheirDivisions) {
    std::mt19937_64 rng(20);
    const ULONG blockSizes[] = {48, 96, 100, 1000};
    for (int round = 0; round < 1500; ++round) {
        resetContext();
        const ULONG s = blockSizes[rng() % std::size(blockSizes)];
        setBlock(s);
        const ULONG n = ctx->ringBlockCount;
        const ULONGLONG counts[] = {rng() % 1000, 0xFFFFFFFFull - 2 + rng() % 4, rng()};
        const ULONGLONG k = counts[round % 3];
        vq36::Store64(&info->asioBlockCount, k);
        const ULONG ms = 1 + static_cast<ULONG>(rng() % 15);
        fillCapture(std::vector<ULONG>(8 * ms, 288));
        const ULONG m = static_cast<ULONG>(round % 2 ? rng() % 100 : rng() % 0xFFFF0000u);
        const ULONGLONG f = rng() % 2 ? 48ull * m : rng() % (1ull << 44);
        ctx->millisecsCapturedTotal = m;
        ctx->framesCapturedTotal = f;
        const ULONGLONG rate = (f + 48 * ms) * 1000 / (m + ms);
        const ULONG held[] = {static_cast<ULONG>(rate), static_cast<ULONG>(rate - 1),
                              static_cast<ULONG>(rate + 1), static_cast<ULONG>(rng())};
        vq36::Store32(&info->statistics.estSampleRate, held[rng() % 4]);
        process();
        ASSERT_EQ(vq36::Load32(&info->statistics.estSampleRate), static_cast<ULONG>(rate)) << round;
        const ULONG ringBytes = n * s * 40;
        const ULONG offset =
            static_cast<ULONG>((40ull * s * ((k + 1) % n) + ctx->leadBytes) % ringBytes);
        ASSERT_EQ(playbackUrb()->TransferBuffer, ring.data() + offset) << round;
    }
}

// Random completions against a model that moves one sample at a time: packets of every length
// class, blocks that wrap the planes several times per packet, every start position, loopback,
// restarts and a busy playback request; with 512-, 256- and 128-bit moves.
TEST_F(CaptureTest, RandomCompletionsMatchASampleBySampleModel) {
    std::mt19937 rng(36);
    auto pick = [&](ULONG below) { return static_cast<ULONG>(rng() % below); };
    const ULONG blockSizes[] = {1, 5, 7, 17, 23, 24, 25, 48, 50, 96, 100, 127, 192};
    const ULONG oddLengths[] = {0, 1, 47, 48, 96, 240, 287, 289, 335, 336, 337, 400, 4000};
    for (int round = 0; round < 600; ++round) {
        gCaptureMoveBits = 128u << (round % 3);
        resetContext();
        const ULONG s = blockSizes[pick(std::size(blockSizes))];
        setBlock(s);
        const ULONG n = ctx->ringBlockCount;
        const ULONGLONG k = pick(1000);
        ULONG position = pick(s);
        vq36::Store64(&info->asioBlockCount, k);
        ctx->blockPosition = position;
        const bool loopback = pick(8) == 0;
        vq36::Store8(&info->kernelLoopback, loopback);
        ctx->restartPending = pick(10) == 0;
        const UCHAR advance = ctx->restartPending || pick(10) == 0 ? 0 : 1;
        ctx->playbackBusy[0] = pick(8) == 0;

        const ULONG packets = pick(pick(2) ? 17 : 131);
        auto* urb = captureUrb();
        urb->NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            urb->IsoPacket[i].Length = pick(4) ? 288 : oddLengths[pick(std::size(oddLengths))];
        }
        for (ULONG i = 0; i < packets * 336; ++i) pool[i] = static_cast<UCHAR>(rng());
        for (size_t i = 0; i < planes.size(); ++i) planes[i] = static_cast<UCHAR>(i * 13 + 5);
        for (ULONG i = 0; i < packets; ++i) playbackUrb()->IsoPacket[i] = {7, 7, 7};
        auto& frameRing = info->statistics.uframeSamples;
        for (ULONG k = 0; k < sizeof frameRing.values / sizeof frameRing.values[0]; ++k)
            vq36::Store32(&frameRing.values[k], pick(8));
        vq36::Store32(&frameRing.next, pick(12));  // 10 and 11: what a careless reader left
        vq36::StatisticsRing expectRing;
        std::memcpy(&expectRing, &frameRing, sizeof expectRing);

        // The model.
        std::vector<UCHAR> buffer(pool.begin(), pool.begin() + packets * 336);
        std::vector<UCHAR> expectPlanes = planes;
        const ULONG planeBytes = 8 * s;
        ULONG planeOffset = (4 * s * static_cast<ULONG>((k + 1) % 2) + 4 * position) % planeBytes;
        const bool fill = !ctx->restartPending && ctx->leadBytes < n * s * 40;
        ULONG expectFlags = flags();  // what setting the block size raised
        ULONG cursor = 0, boundaries = 0, over = 0;
        std::vector<std::pair<ULONG, ULONG>> expectIso;
        for (ULONG i = 0; i < packets; ++i) {
            ULONG d = urb->IsoPacket[i].Length;
            if (d == 0) expectFlags |= vq36::kFlagEmptyPacket;
            if (d == 0 || d > 336) {
                if (d > 336) expectFlags |= vq36::kFlagPacketTooLong;
                d = 288;
            }
            if (d % 48 != 0) expectFlags |= vq36::kFlagPacketNotWholeFrames;
            const ULONG frames = d / 48;
            expectIso.push_back({cursor, 40 * frames});
            // The ring keeps the frames of the last ten packets, oldest first.
            if (packets - i <= 10) vq36::StatisticsRingPush(&expectRing, frames);
            for (ULONG j = 0; j < frames && fill; ++j) {
                for (ULONG c = 0; c < 12; ++c) {
                    for (ULONG b = 0; b < 4; ++b) {
                        expectPlanes[c * planeBytes + planeOffset + b] =
                            buffer[336 * i + 48 * j + 4 * c + b];
                    }
                }
                planeOffset = (planeOffset + 4) % planeBytes;
            }
            for (ULONG j = 0; j < frames && loopback; ++j) {
                std::memmove(&buffer[cursor + 40 * j], &buffer[336 * i + 48 * j], 40);
            }
            cursor += 40 * frames;
            for (position += advance ? frames : 0; position >= s; position -= s) {
                if (++boundaries > 1) expectFlags |= vq36::kFlagSecondBoundaryInCompletion;
                if (!ctx->shortBlockMode && packets - i > 8) ++over;
            }
        }

        process(advance);
        ASSERT_EQ(planes, expectPlanes) << "round " << round << " s " << s;
        ASSERT_EQ(ctx->blockPosition, position) << round;
        ASSERT_EQ(count(), k + boundaries) << round;
        ASSERT_EQ(flags(), expectFlags) << round;
        ASSERT_EQ(vq36::Load32(&info->statistics.kernOver), over) << round;
        ASSERT_EQ(std::memcmp(&frameRing, &expectRing, sizeof expectRing), 0) << round;
        if (!ctx->playbackBusy[0]) {
            ASSERT_EQ(playbackUrb()->TransferBufferLength, cursor) << round;
        }
        if (loopback) {
            ASSERT_TRUE(std::equal(buffer.begin(), buffer.end(), pool.begin())) << round;
        }
        for (ULONG i = 0; i < packets; ++i) {
            const auto& p = playbackUrb()->IsoPacket[i];
            const auto expect = ctx->playbackBusy[0] ? std::pair<ULONG, ULONG>{7, 7} : expectIso[i];
            ASSERT_EQ(std::make_pair(p.Offset, p.Length), expect) << round << " packet " << i;
            ASSERT_EQ(p.Status, 7u);
        }
    }
    gCaptureMoveBits = 512;
}

}  // namespace
