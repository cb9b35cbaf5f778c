// The shared record's layout and accessors, and the streaming geometry derived from the block
// size, on a bare device context (no framework objects needed).

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver.h"
#include "standin/kernel/machine.h"

namespace {

struct BareContext {
    std::unique_ptr<DeviceContext> ctx = std::make_unique<DeviceContext>();
    std::unique_ptr<vq36::AsioInfo> info = std::make_unique<vq36::AsioInfo>();

    BareContext() {
        std::memset(ctx.get(), 0, sizeof(DeviceContext));
        std::memset(info.get(), 0, sizeof(vq36::AsioInfo));
        ctx->infoRecord = info.get();
    }
    void setBlock(ULONG s) {
        ctx->currentBlockFrames = s;
        ctx->blockBytesPerChannel = 4 * s;
        ComputeBufferGeometry(ctx.get());
    }
    ULONG flags() const { return vq36::Load32(&info->statistics.genericFlags); }
};

TEST(SharedRecord, FieldsSitAtTheirOffsetsAndSixtyFourBitValuesSplitLowWordFirst) {
    auto info = std::make_unique<vq36::AsioInfo>();
    std::memset(info.get(), 0, sizeof(*info));
    auto* bytes = reinterpret_cast<unsigned char*>(info.get());
    vq36::Store64(&info->asioBlockCount, 0x1122334455667788ull);
    EXPECT_EQ(bytes[0x335], 0x88);
    EXPECT_EQ(bytes[0x335 + 4], 0x44);
    EXPECT_EQ(vq36::Load64(&info->asioBlockCount), 0x1122334455667788ull);
    vq36::Store32(&info->statistics.readReqSamples.values[9], 0xA1B2C3D4u);
    EXPECT_EQ(bytes[vq36::kAsioInfoBytes - 1], 0xA1);  // statistics end at the last byte
    vq36::Store32(&info->hidiInRing[999].receiveTimeMs, 0x01020304u);
    EXPECT_EQ(bytes[909 + 63 * 999 + 59], 0x04);
    EXPECT_EQ(vq36::AtomicAdd32(&info->blockDeliveryCount[3], 2), 0u);
    EXPECT_EQ(vq36::AtomicExchange32(&info->blockDeliveryCount[3], 0), 2u);
    EXPECT_EQ(bytes[0x33D + 12], 0);
}

TEST(SharedRecord, StatisticsRingWrapsAfterTenAndSurvivesAGarbledIndex) {
    auto info = std::make_unique<vq36::AsioInfo>();
    std::memset(info.get(), 0, sizeof(*info));
    auto& ring = info->statistics.usbRdFrames;
    for (ULONG v = 1; v <= 12; ++v) vq36::StatisticsRingPush(&ring, v);
    EXPECT_EQ(vq36::Load32(&ring.next), 2u);
    EXPECT_EQ(vq36::Load32(&ring.values[0]), 11u);
    EXPECT_EQ(vq36::Load32(&ring.values[1]), 12u);
    EXPECT_EQ(vq36::Load32(&ring.values[2]), 3u);
    vq36::Store32(&ring.next, 0xFFFFFFFF);  // a reader may scribble here
    vq36::StatisticsRingPush(&ring, 77);
    EXPECT_EQ(vq36::Load32(&ring.values[0]), 77u);
    EXPECT_EQ(vq36::Load32(&ring.next), 1u);
}

struct GeometryRow {
    ULONG s;
    ULONG shortBlock;
    ULONG ringBlocks;
    ULONG ringBytes;
    ULONG leadMs;
    ULONG leadFrames;
    ULONG leadBytes;
    bool halfRingFlag;
};

TEST(Geometry, DefaultsForTheBlockSizesInUse) {
    const GeometryRow rows[] = {
        {48, 1, 15, 28800, 7, 336, 13440, false},
        {96, 0, 15, 57600, 15, 720, 28800, true},
        {144, 0, 15, 86400, 22, 1056, 42240, false},
        {384, 0, 15, 230400, 60, 2880, 115200, true},
        {768, 0, 15, 460800, 120, 5760, 230400, true},
        {3000, 0, 11, 1320000, 343, 16464, 658560, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.s);
        BareContext b;
        b.setBlock(row.s);
        EXPECT_EQ(b.ctx->shortBlockMode, row.shortBlock);
        EXPECT_EQ(b.ctx->ringBlockCount, row.ringBlocks);
        EXPECT_EQ(vq36::Load32(&b.info->ringBlocks), row.ringBlocks);
        EXPECT_EQ(row.ringBlocks * row.s * 40, row.ringBytes);
        EXPECT_EQ(b.ctx->leadMillisecs, row.leadMs);
        EXPECT_EQ(b.ctx->leadFrames, row.leadFrames);
        EXPECT_EQ(b.ctx->leadBytes, row.leadBytes);
        EXPECT_EQ((b.flags() & vq36::kFlagLeadHalfRing) != 0, row.halfRingFlag);
        EXPECT_EQ(b.flags() & vq36::kFlagRingTooLarge, 0u);
        EXPECT_EQ(b.ctx->maxReadsInFlight, 4u);
    }
}

TEST(Geometry, OverrideWordsReplaceTheDefaults) {
    BareContext a;
    vq36::Store32(&a.info->overrideLeadMillisecs, 10);
    a.setBlock(96);
    EXPECT_EQ(a.ctx->leadMillisecs, 10u);
    EXPECT_EQ(a.ctx->leadFrames, 480u);

    BareContext b;
    vq36::Store32(&b.info->overrideLeadFrames, 100);
    vq36::Store32(&b.info->overrideLeadMillisecs, 33);
    b.setBlock(384);
    EXPECT_EQ(b.ctx->leadBytes, 4000u);

    BareContext c;
    vq36::Store32(&c.info->overrideMaxReadsInFlight, 2);
    c.setBlock(96);
    EXPECT_EQ(c.ctx->maxReadsInFlight, 2u);
}

TEST(Geometry, NoBlockSizeChangesNothing) {
    BareContext b;
    ComputeBufferGeometry(b.ctx.get());
    EXPECT_EQ(b.ctx->shortBlockMode, 0u);
    EXPECT_EQ(b.ctx->maxReadsInFlight, 0u);
    EXPECT_EQ(b.ctx->leadBytes, 0u);
    EXPECT_EQ(vq36::Load32(&b.info->ringBlocks), 0u);
}

TEST(Geometry, ResetWithNoClientsZeroesTheCountersAndKeepsTheRest) {
    BareContext b;
    vq36::Store64(&b.info->asioBlockCount, 0x100000005ull);
    vq36::Store32(&b.info->pendingUserSlips, 3);
    vq36::Store64(&b.info->lastBlockTime, 1234);
    b.ctx->nextStartFrame = 99;
    b.ctx->blockPosition = 17;
    b.ctx->readsInFlight = 2;
    ResetBlockCounters(b.ctx.get());
    EXPECT_EQ(vq36::Load64(&b.info->asioBlockCount), 0u);
    EXPECT_EQ(vq36::Load32(&b.info->pendingUserSlips), 0u);
    EXPECT_EQ(b.ctx->nextStartFrame, 0u);
    EXPECT_EQ(b.ctx->blockPosition, 0u);
    EXPECT_EQ(b.ctx->readsInFlight, 2u);
    EXPECT_EQ(vq36::Load64(&b.info->lastBlockTime), 1234u);
}

}  // namespace
