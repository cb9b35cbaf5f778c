// Output delivery on regions laid out as the kernel driver lays them out: the single client's
// copy, the joined clients' mixing, the ring position and half, and the overhang area.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "output_delivery.h"
#include "public/vq36_shared.h"

namespace {

constexpr std::uint32_t kChannels = 10;

// The shared record and the two playback regions, zeroed, with a ring of n blocks of s frames.
struct Regions {
    Regions(std::uint32_t s, std::uint32_t n, std::uint32_t clients) : s(s), n(n) {
        record = std::make_unique<unsigned char[]>(vq36::kAsioInfoBytes);
        std::memset(record.get(), 0, vq36::kAsioInfoBytes);
        ring.assign(vq36::kPlaybackRegionBytes / 4, 0.0f);
        accumulator.assign(vq36::kPlaybackRegionBytes / 4, 0.0f);
        vq36::Store32(&info()->ringBlocks, n);
        vq36::Store32(&info()->blockFrames, s);
        vq36::Store32(&info()->joinedClientCount, clients);
    }
    vq36::AsioInfo* info() { return reinterpret_cast<vq36::AsioInfo*>(record.get()); }
    float& ringSample(std::uint32_t block, std::uint32_t frame, std::uint32_t channel) {
        return ring[(static_cast<std::size_t>(block) * s + frame) * kChannels + channel];
    }
    // Overhang byte j stands for ring byte j; as samples: frame f, channel c of the area.
    float& overhangSample(std::uint32_t frame, std::uint32_t channel) {
        return ring[static_cast<std::size_t>(n) * s * kChannels + frame * kChannels + channel];
    }
    float& accumulatorSample(std::uint32_t block, std::uint32_t frame, std::uint32_t channel) {
        return accumulator[(static_cast<std::size_t>(block) * s + frame) * kChannels + channel];
    }

    std::uint32_t s;
    std::uint32_t n;
    std::unique_ptr<unsigned char[]> record;
    std::vector<float> ring;
    std::vector<float> accumulator;
};

// One client's output halves (10 channels x 2 halves x s samples).
struct Client {
    explicit Client(std::uint32_t s) : s(s), halves(kChannels * 2 * s, 0.0f) {}
    float& sample(std::uint32_t channel, std::uint32_t half, std::uint32_t frame) {
        return halves[(2 * channel + half) * s + frame];
    }
    void fill(std::uint32_t half, float (*value)(std::uint32_t channel, std::uint32_t frame)) {
        for (std::uint32_t c = 0; c < kChannels; ++c)
            for (std::uint32_t f = 0; f < s; ++f) sample(c, half, f) = value(c, f);
    }
    OutputBlock block(Regions& r, std::uint64_t counter, std::uint32_t mask = 0x3FF) {
        OutputBlock b;
        b.info = r.info();
        b.ring = r.ring.data();
        b.accumulator = r.accumulator.data();
        b.halves = halves.data();
        b.activeMask = mask;
        b.blockCounter = counter;
        b.blockSize = static_cast<std::int32_t>(s);
        return b;
    }
    std::uint32_t s;
    std::vector<float> halves;
};

float frameChannelValue(std::uint32_t c, std::uint32_t f) {
    return static_cast<float>(f) + static_cast<float>(c) / 16.0f;
}

TEST(OutputDelivery, SingleClientWritesOnlyActiveChannelsAtTheTargetBlockFromTheSwitchedHalf) {
    // blockCounter 12 with 10 ring blocks: ring block (12 + 3) mod 10 = 5, half 0.
    Regions r(48, 10, 1);
    for (float& v : r.ring) v = -7.0f;
    Client client(48);
    client.fill(0, frameChannelValue);
    client.fill(1, [](std::uint32_t, std::uint32_t) { return 99.0f; });
    deliverOutputBlock(client.block(r, 12, 0x3));
    for (std::uint32_t f = 0; f < 48; ++f) {
        EXPECT_EQ(r.ringSample(5, f, 0), frameChannelValue(0, f));
        EXPECT_EQ(r.ringSample(5, f, 1), frameChannelValue(1, f));
        for (std::uint32_t c = 2; c < kChannels; ++c) ASSERT_EQ(r.ringSample(5, f, c), -7.0f);
    }
    for (std::uint32_t block : {4u, 6u}) EXPECT_EQ(r.ringSample(block, 0, 0), -7.0f);
    // The single path never touches the accumulator or the delivery count.
    EXPECT_EQ(r.accumulatorSample(5, 0, 0), 0.0f);
    EXPECT_EQ(vq36::Load32(&r.info()->blockDeliveryCount[5]), 0u);
}

TEST(OutputDelivery, TwoJoinedClientsMixClipAndClearTheAccumulator) {
    Regions r(48, 10, 2);
    for (float& v : r.ring) v = -7.0f;
    Client a(48), b(48);
    for (std::uint32_t f = 0; f < 48; ++f) {
        a.sample(0, 1, f) = 0.75f;
        b.sample(0, 1, f) = 0.75f;
        a.sample(1, 1, f) = -0.25f;
        b.sample(1, 1, f) = 0.5f;
        a.sample(2, 1, f) = -0.75f;
        b.sample(2, 1, f) = -0.75f;
    }
    const std::uint64_t counter = 1;  // ring block 4, half 1
    deliverOutputBlock(a.block(r, counter, 0x7));
    // Half-way: the sum waits in the accumulator, the ring is untouched.
    EXPECT_EQ(vq36::Load32(&r.info()->blockDeliveryCount[4]), 1u);
    EXPECT_EQ(r.accumulatorSample(4, 0, 0), 0.75f);
    EXPECT_EQ(r.ringSample(4, 0, 0), -7.0f);
    deliverOutputBlock(b.block(r, counter, 0x7));
    for (std::uint32_t f = 0; f < 48; ++f) {
        ASSERT_EQ(r.ringSample(4, f, 0), 1.0f);
        ASSERT_EQ(r.ringSample(4, f, 1), 0.25f);
        ASSERT_EQ(r.ringSample(4, f, 2), -1.0f);
        // The completed block has every channel written: inactive ones are silent.
        for (std::uint32_t c = 3; c < kChannels; ++c) ASSERT_EQ(r.ringSample(4, f, c), 0.0f);
        for (std::uint32_t c = 0; c < kChannels; ++c) ASSERT_EQ(r.accumulatorSample(4, f, c), 0.0f);
    }
    EXPECT_EQ(vq36::Load32(&r.info()->blockDeliveryCount[4]), 0u);
}

// The kernel's boundary that makes its count k, in its steps: the lap of ring block k mod n is
// closed (marked, nothing cleared), ring block (k + 3) mod n is opened for its next lap (a sum
// left by a lap closed without completion is cleared, the count zeroed), the count moves on.
void closeLap(Regions& r, std::uint64_t k) {
    vq36::AtomicOr32(&r.info()->blockDeliveryCount[k % r.n], vq36::kDeliveryLapClosed);
}
void openLapAndCount(Regions& r, std::uint64_t k) {
    const auto open = static_cast<std::uint32_t>((k + 3) % r.n);
    const std::uint32_t left = vq36::Load32(&r.info()->blockDeliveryCount[open]);
    if (left != 0 && left != vq36::kDeliveryLapClosed) {
        for (std::uint32_t f = 0; f < r.s; ++f)
            for (std::uint32_t c = 0; c < kChannels; ++c) r.accumulatorSample(open, f, c) = 0.0f;
    }
    vq36::Store32(&r.info()->blockDeliveryCount[open], 0);
    vq36::Store64(&r.info()->asioBlockCount, k);
}
void kernelBoundary(Regions& r, std::uint64_t k) {
    closeLap(r, k);
    openLapAndCount(r, k);
}

// Two joined clients, a and b, and block q = 21 (ring block 4 of 10, half 1) on channel 0: the
// cases of a client late for its block.
struct LateBlock {
    static constexpr std::uint64_t q = 21;
    Regions r{48, 10, 2};
    Client a{48}, b{48};
    LateBlock() {
        for (float& v : r.ring) v = -7.0f;
        play(0.25f, 0.5f);
    }
    void play(float av, float bv) {
        for (std::uint32_t f = 0; f < 48; ++f) {
            a.sample(0, 1, f) = av;
            b.sample(0, 1, f) = bv;
        }
    }
    // The boundaries from count `from` on, and ring block 4's next lap with both in time: it
    // holds exactly a + b, and leaves the sum and the count clean.
    void expectExactNextLap(std::uint64_t from) {
        for (std::uint64_t k = from; k <= q + 11; ++k) kernelBoundary(r, k);
        play(0.125f, 0.375f);
        deliverOutputBlock(a.block(r, q + 10, 0x1));
        deliverOutputBlock(b.block(r, q + 10, 0x1));
        for (std::uint32_t f = 0; f < 48; ++f) ASSERT_EQ(r.ringSample(4, f, 0), 0.5f);
        EXPECT_EQ(vq36::Load32(&r.info()->blockDeliveryCount[4]), 0u);
        EXPECT_EQ(r.accumulatorSample(4, 0, 0), 0.0f);
    }
};

TEST(OutputDelivery, AJoinedClientPastTheKernelsClearingCountsASlipAndLeavesTheNextLapExact) {
    // Client a delivers block q in time; b only when the kernel's count is q + 2 (late, still
    // mixed) or q + 3 (the kernel has closed the block's lap: b's samples must neither reach
    // the ring nor stay for the next lap's sum, and b counts a slip).
    for (const std::uint64_t bLate : {2u, 3u}) {
        SCOPED_TRACE(bLate);
        LateBlock t;
        const std::uint64_t q = LateBlock::q;
        kernelBoundary(t.r, q + 1);
        deliverOutputBlock(t.a.block(t.r, q, 0x1));
        for (std::uint64_t k = q + 2; k <= q + bLate; ++k) kernelBoundary(t.r, k);
        deliverOutputBlock(t.b.block(t.r, q, 0x1));
        EXPECT_EQ(t.r.ringSample(4, 0, 0), bLate == 2 ? 0.75f : -7.0f);
        EXPECT_EQ(vq36::Load32(&t.r.info()->pendingUserSlips), bLate == 2 ? 0u : 1u);
        t.expectExactNextLap(q + bLate + 1);
    }
}

TEST(OutputDelivery, ClientsCountedAfterTheKernelsCloseLeaveNeitherAWrongBlockNorAStaleSum) {
    // Block q's lap ends at the boundary to q + 3. Client b, two blocks late, checked the count
    // (q + 2) just before that boundary and delivers between the kernel's close of the lap and
    // its new count; client a delivers before the close, in the same window, or after the new
    // count. b neither completes the block with a's samples missing or cleared nor leaves its
    // sum for the next lap: the ring block keeps its previous lap, every client left out counts
    // a slip, and the next lap is exactly both clients' sum.
    enum When { kBeforeClose, kInTheWindow, kAfterCount };
    for (const When aWhen : {kBeforeClose, kInTheWindow, kAfterCount}) {
        SCOPED_TRACE(aWhen);
        LateBlock t;
        const std::uint64_t q = LateBlock::q;
        kernelBoundary(t.r, q + 1);
        kernelBoundary(t.r, q + 2);
        if (aWhen == kBeforeClose) deliverOutputBlock(t.a.block(t.r, q, 0x1));
        closeLap(t.r, q + 3);
        if (aWhen == kInTheWindow) deliverOutputBlock(t.a.block(t.r, q, 0x1));
        deliverOutputBlock(t.b.block(t.r, q, 0x1));
        openLapAndCount(t.r, q + 3);
        if (aWhen == kAfterCount) deliverOutputBlock(t.a.block(t.r, q, 0x1));
        for (std::uint32_t f = 0; f < 48; ++f) ASSERT_EQ(t.r.ringSample(4, f, 0), -7.0f);
        EXPECT_EQ(vq36::Load32(&t.r.info()->pendingUserSlips), aWhen == kBeforeClose ? 1u : 2u);
        t.expectExactNextLap(q + 4);
    }
}

TEST(OutputDelivery, ClipPassesNaNAndBoundsBothEnds) {
    Regions r(8, 10, 2);
    Client a(8), b(8);
    a.sample(0, 0, 0) = std::numeric_limits<float>::quiet_NaN();
    a.sample(1, 0, 0) = -1.25f;
    b.sample(1, 0, 0) = -0.5f;
    a.sample(2, 0, 0) = 1.0f;
    deliverOutputBlock(a.block(r, 0));
    deliverOutputBlock(b.block(r, 0));
    EXPECT_TRUE(std::isnan(r.ringSample(3, 0, 0)));
    EXPECT_EQ(r.ringSample(3, 0, 1), -1.0f);
    EXPECT_EQ(r.ringSample(3, 0, 2), 1.0f);
}

TEST(OutputDelivery, ManyThreadsAddingAtOnceLoseNoSample) {
    // Eight clients on their own threads, each adding 1/8 on every channel of the same block:
    // every sample of the completed block is exactly 1.0, and exactly one thread completes it.
    constexpr std::uint32_t kClients = 8;
    Regions r(384, 3, kClients);
    std::vector<std::unique_ptr<Client>> clients;
    for (std::uint32_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>(384));
        clients.back()->fill(0, [](std::uint32_t, std::uint32_t) { return 0.125f; });
    }
    for (std::uint64_t counter = 0; counter < 40; counter += 2) {
        std::vector<std::thread> threads;
        for (auto& c : clients) {
            threads.emplace_back([&r, &c, counter] { deliverOutputBlock(c->block(r, counter)); });
        }
        for (auto& t : threads) t.join();
        const auto pos = targetRingBlock(counter, 3);
        for (std::uint32_t f = 0; f < 384; ++f)
            for (std::uint32_t ch = 0; ch < kChannels; ++ch)
                ASSERT_EQ(r.ringSample(pos, f, ch), 1.0f) << "block " << counter;
        ASSERT_EQ(vq36::Load32(&r.info()->blockDeliveryCount[pos]), 0u);
    }
}

TEST(OutputDelivery, ShortOverhangGoesToTheAreaAndTheRestToRingBlockZero) {
    // tailBytes = 3 frames when ring block 0 is written: frames 0..2 go to the first 120 bytes
    // of the overhang area, frames 3..s-1 to ring bytes 120 .. 40 s - 1.
    Regions r(48, 10, 1);
    for (float& v : r.ring) v = -7.0f;
    vq36::Store32(&r.info()->tailBytes, 3 * 40);
    Client client(48);
    client.fill(1, frameChannelValue);
    deliverOutputBlock(client.block(r, 7));  // (7 + 3) mod 10 = 0, half 1
    for (std::uint32_t f = 0; f < 3; ++f) {
        EXPECT_EQ(r.overhangSample(f, 4), frameChannelValue(4, f));
        EXPECT_EQ(r.ringSample(0, f, 4), -7.0f) << "frame " << f << " belongs to the area";
    }
    EXPECT_EQ(r.overhangSample(3, 0), -7.0f);
    // Frames 3.. sit in their own places of ring block 0.
    for (std::uint32_t f = 3; f < 48; ++f)
        ASSERT_EQ(r.ringSample(0, f, 9), frameChannelValue(9, f));
    EXPECT_EQ(vq36::Load32(&r.info()->tailBytes), 0);
    EXPECT_EQ(vq36::Load32(&r.info()->carryActive), 0u);
    EXPECT_EQ(vq36::Load32(&r.info()->carryBytes), 0u);
    EXPECT_EQ(vq36::Load32(&r.info()->carryOffset), 0u);
}

TEST(OutputDelivery, OverhangOfOneAndAHalfBlocksSpansTwoBlocks) {
    // tailBytes = 72 frames of s = 48: block 0 goes wholly to the area (bytes 0..1919), block 1
    // puts its first 24 frames at area bytes 1920..2879 and its last 24 at ring bytes
    // 2880..3839 (frames 24..47 of ring block 1); block 2 is written normally.
    Regions r(48, 10, 1);
    for (float& v : r.ring) v = -7.0f;
    vq36::Store32(&r.info()->tailBytes, 72 * 40);
    Client client(48);
    client.fill(0, [](std::uint32_t c, std::uint32_t f) { return 1000.0f + f + c / 16.0f; });
    client.fill(1, [](std::uint32_t c, std::uint32_t f) { return 2000.0f + f + c / 16.0f; });

    deliverOutputBlock(client.block(r, 7));  // ring block 0 from half 1
    for (std::uint32_t f = 0; f < 48; ++f) {
        ASSERT_EQ(r.overhangSample(f, 2), 2000.0f + f + 2 / 16.0f);
        ASSERT_EQ(r.ringSample(0, f, 2), -7.0f);
    }
    EXPECT_EQ(vq36::Load32(&r.info()->carryActive), 1u);
    EXPECT_EQ(vq36::Load32(&r.info()->carryBytes), 24u * 40);
    EXPECT_EQ(vq36::Load32(&r.info()->carryOffset), 48u * 40);

    deliverOutputBlock(client.block(r, 8));  // ring block 1 from half 0
    for (std::uint32_t f = 0; f < 24; ++f) {
        ASSERT_EQ(r.overhangSample(48 + f, 2), 1000.0f + f + 2 / 16.0f);
        ASSERT_EQ(r.ringSample(1, f, 2), -7.0f);
    }
    for (std::uint32_t f = 24; f < 48; ++f)
        ASSERT_EQ(r.ringSample(1, f, 2), 1000.0f + f + 2 / 16.0f);
    EXPECT_EQ(vq36::Load32(&r.info()->carryActive), 0u);
    EXPECT_EQ(vq36::Load32(&r.info()->carryBytes), 0u);
    EXPECT_EQ(vq36::Load32(&r.info()->carryOffset), 0u);

    deliverOutputBlock(client.block(r, 9));  // ring block 2 from half 1
    for (std::uint32_t f = 0; f < 48; ++f)
        ASSERT_EQ(r.ringSample(2, f, 2), 2000.0f + f + 2 / 16.0f);
    EXPECT_EQ(r.overhangSample(72, 2), -7.0f);
}

TEST(OutputDelivery, JoinedCompletionAlsoFillsTheOverhang) {
    Regions r(48, 10, 2);
    vq36::Store32(&r.info()->tailBytes, 2 * 40);
    Client a(48), b(48);
    a.fill(1, [](std::uint32_t, std::uint32_t) { return 0.25f; });
    b.fill(1, [](std::uint32_t, std::uint32_t) { return 0.5f; });
    deliverOutputBlock(a.block(r, 7));
    deliverOutputBlock(b.block(r, 7));
    EXPECT_EQ(r.overhangSample(0, 0), 0.75f);
    EXPECT_EQ(r.overhangSample(1, 9), 0.75f);
    EXPECT_EQ(r.ringSample(0, 1, 0), 0.0f);
    EXPECT_EQ(r.ringSample(0, 2, 0), 0.75f);
}

TEST(OutputDelivery, ARingLaidOutForAnotherBlockSizeIsLeftAlone) {
    // The kernel changed to 48-frame blocks in 15 ring blocks; a host still at 3000 frames
    // delivers its last block: 15 blocks of 3000 frames would pass the region's end, so nothing
    // is written. No ring at all (0 blocks) is left alone too.
    Regions r(3000, 15, 1);
    for (float& v : r.ring) v = -7.0f;
    Client client(3000);
    client.fill(0, frameChannelValue);
    for (std::uint64_t counter = 0; counter < 15; ++counter)
        deliverOutputBlock(client.block(r, counter));
    for (float v : r.ring) ASSERT_EQ(v, -7.0f);

    vq36::Store32(&r.info()->ringBlocks, 0);
    deliverOutputBlock(client.block(r, 1));
    for (float v : r.ring) ASSERT_EQ(v, -7.0f);
}

TEST(OutputDelivery, ADamagedOverhangReportIsCutAtTheRegionsEnd) {
    // A tail report far beyond the region must not write past it.
    Regions r(3000, 11, 1);  // ring of 1,320,000 bytes: 112,004 bytes of area are left
    vq36::Store32(&r.info()->tailBytes, 0x7FFFFFF0);
    Client client(3000);
    client.fill(0, frameChannelValue);
    deliverOutputBlock(client.block(r, 8));  // (8 + 3) mod 11 = 0, half 0
    // 2,800 frames fit in the area; the rest of the block goes to its place in the ring.
    EXPECT_EQ(r.overhangSample(2799, 1), frameChannelValue(1, 2799));
    EXPECT_EQ(r.ringSample(0, 2800, 1), frameChannelValue(1, 2800));
    EXPECT_EQ(vq36::Load32(&r.info()->carryActive), 0u);
    EXPECT_EQ(r.overhangSample(0, 1), frameChannelValue(1, 0));
}

TEST(OutputDelivery, JoinedClientsOnTheirOwnLanesAddEveryActiveSampleExactly) {
    // Three clients on threads, starting on different cache lines: one with every channel, one
    // with every other channel, one with channels 2-3. Each completed block holds the clipped
    // sum of exactly the active samples. At 45 frames every other block starts half-way into a
    // 16-byte word and blocks end on one, so the words that no 16-byte step holds are added too.
    const std::uint32_t masks[] = {0x3FF, 0x155, 0x00C};
    for (const std::uint32_t kS : {48u, 45u}) {
        Regions r(kS, 5, 3);
        std::vector<std::unique_ptr<Client>> clients;
        for (std::uint32_t k = 0; k < 3; ++k) {
            clients.push_back(std::make_unique<Client>(kS));
            for (std::uint32_t c = 0; c < kChannels; ++c)
                for (std::uint32_t f = 0; f < kS; ++f)
                    for (std::uint32_t h = 0; h < 2; ++h)
                        clients[k]->sample(c, h, f) =
                            static_cast<float>(static_cast<int>((f + 3 * c + 5 * k + h) % 9) - 4) /
                            8.0f;
        }
        for (std::uint64_t counter = 0; counter < 20; ++counter) {
            std::vector<std::thread> threads;
            for (std::uint32_t k = 0; k < 3; ++k) {
                threads.emplace_back([&, k] {
                    OutputBlock b = clients[k]->block(r, counter, masks[k]);
                    b.lane = k;
                    deliverOutputBlock(b);
                });
            }
            for (auto& t : threads) t.join();
            const auto pos = targetRingBlock(counter, 5);
            const auto half = static_cast<std::uint32_t>(counter & 1);
            for (std::uint32_t f = 0; f < kS; ++f) {
                for (std::uint32_t c = 0; c < kChannels; ++c) {
                    float sum = 0.0f;
                    for (std::uint32_t k = 0; k < 3; ++k)
                        if (masks[k] & (1u << c)) sum += clients[k]->sample(c, half, f);
                    ASSERT_EQ(r.ringSample(pos, f, c), std::fmax(-1.0f, std::fmin(1.0f, sum)))
                        << kS << " frames, block " << counter << " frame " << f << " channel " << c;
                    ASSERT_EQ(r.accumulatorSample(pos, f, c), 0.0f);
                }
            }
            ASSERT_EQ(vq36::Load32(&r.info()->blockDeliveryCount[pos]), 0u);
        }
        // A client with channel 0 alone leaves its neighbours' words as they were (a -0.0
        // keeps its sign: nothing is added to it), at the start and the end of a block.
        Regions q(kS, 5, 2);
        q.accumulatorSample(3, 0, 1) = -0.0f;
        q.accumulatorSample(3, kS - 1, 9) = -0.0f;
        deliverOutputBlock(clients[0]->block(q, 0, 0x1));
        EXPECT_TRUE(std::signbit(q.accumulatorSample(3, 0, 1)));
        EXPECT_TRUE(std::signbit(q.accumulatorSample(3, kS - 1, 9)));
        EXPECT_EQ(q.accumulatorSample(3, kS - 1, 0), clients[0]->sample(0, 0, kS - 1));
    }
}

TEST(OutputDelivery, SingleClientWithEveryChannelMovesEachWordUnchanged) {
    // All 10 channels, an odd block size and an overhang that splits the block at frame 7:
    // every word lands in its place as it was, NaN payloads and signed zeros included.
    constexpr std::uint32_t kS = 45;
    Regions r(kS, 10, 1);
    vq36::Store32(&r.info()->tailBytes, 7 * 40);
    Client client(kS);
    auto word = [](std::uint32_t c, std::uint32_t f) -> std::uint32_t {
        if (f % 11 == 3) return c % 2 == 0 ? 0x7F800001u : 0x80000000u;  // signalling NaN, -0
        return 0x3F000000u + (c << 16) + f;
    };
    for (std::uint32_t c = 0; c < kChannels; ++c)
        for (std::uint32_t f = 0; f < kS; ++f) {
            const std::uint32_t w = word(c, f);
            std::memcpy(&client.sample(c, 1, f), &w, 4);
        }
    deliverOutputBlock(client.block(r, 7));  // ring block 0 from half 1
    for (std::uint32_t f = 0; f < kS; ++f) {
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            std::uint32_t got = 0;
            std::memcpy(&got, f < 7 ? &r.overhangSample(f, c) : &r.ringSample(0, f, c), 4);
            ASSERT_EQ(got, word(c, f)) << "frame " << f << " channel " << c;
        }
    }
    EXPECT_EQ(r.ringSample(0, 6, 0), 0.0f);
    EXPECT_EQ(r.overhangSample(7, 0), 0.0f);
}

}  // namespace
