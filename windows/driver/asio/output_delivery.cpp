// Output delivery and multi-client mixing (see output_delivery.h).

#include "output_delivery.h"

#include <atomic>
#include <cstring>

#include "asio_driver.h"

namespace {

constexpr std::uint32_t kChannels = vq36::kPlaybackChannels;
constexpr std::uint32_t kFrameBytes = vq36::kPlaybackFrameBytes;  // 40

// The accumulator and the ring are shared with other processes; their samples are read and
// written as whole words.
inline std::atomic_ref<float> sharedSample(float* sample) {
    return std::atomic_ref<float>(*sample);
}

// Where the frames of one block go: the first `overhangFrames` to the overhang area (at byte
// ringBytes + carryOffset of the ring), the rest to their own place in ring block pos.
struct Destination {
    float* overhang;  // first overhang frame, or null when none goes there
    std::uint32_t overhangFrames;
    float* ringFrames;  // frame `overhangFrames` of the block in the ring
};

// The overhang rule for one block of s frames to ring block pos. Updates the record's carry
// bookkeeping and tells where the frames go.
Destination applyOverhangRule(vq36::AsioInfo* info, float* ring, std::uint32_t pos,
                              std::uint32_t s, std::uint32_t blockBytes, std::uint32_t ringBytes) {
    bool took = false;
    if (pos == 0) {
        const std::int32_t tail = vq36::Load32(&info->tailBytes);
        if (tail != 0) {
            // The kernel's report of the last transfer that ran past the end of the ring is
            // consumed when ring block 0 is written.
            vq36::Store32(&info->carryBytes, static_cast<std::uint32_t>(tail));
            vq36::Store32(&info->carryOffset, 0);
            vq36::Store32(&info->tailBytes, 0);
            took = true;
        }
    }
    std::uint32_t k = 0;
    std::uint32_t offset = 0;
    if ((pos == 0 && took) || vq36::Load32(&info->carryActive) != 0) {
        std::uint32_t carryBytes = vq36::Load32(&info->carryBytes);
        offset = vq36::Load32(&info->carryOffset);
        k = carryBytes / kFrameBytes;
        if (k > s) k = s;
        // The overhang area ends with the region: a report that would reach past it (only a
        // damaged record could give one) is cut at the region's end.
        const std::uint64_t start = static_cast<std::uint64_t>(ringBytes) + offset;
        const std::uint64_t room =
            start < vq36::kPlaybackRegionBytes ? (vq36::kPlaybackRegionBytes - start) / kFrameBytes
                                               : 0;
        if (k > room) {
            k = static_cast<std::uint32_t>(room);
            carryBytes = k * kFrameBytes;  // nothing of the report is left after these frames
        }
        carryBytes -= kFrameBytes * k;
        vq36::Store32(&info->carryBytes, carryBytes);
        vq36::Store32(&info->carryOffset, offset + kFrameBytes * k);
        vq36::Store32(&info->carryActive, carryBytes != 0 ? 1 : 0);
    }
    if (vq36::Load32(&info->carryActive) == 0) {
        vq36::Store32(&info->carryBytes, 0);
        vq36::Store32(&info->carryOffset, 0);
    }
    auto* bytes = reinterpret_cast<unsigned char*>(ring);
    Destination d{};
    d.overhang = k != 0 ? reinterpret_cast<float*>(bytes + ringBytes + offset) : nullptr;
    d.overhangFrames = k;
    d.ringFrames =
        reinterpret_cast<float*>(bytes + static_cast<std::size_t>(pos) * blockBytes + kFrameBytes * k);
    return d;
}

// The frame f of a destination.
inline float* frameAt(const Destination& d, std::uint32_t f) {
    return f < d.overhangFrames ? d.overhang + static_cast<std::size_t>(f) * kChannels
                                : d.ringFrames + static_cast<std::size_t>(f - d.overhangFrames) *
                                                     kChannels;
}

// One client: its active channels' samples, copied as words; the other channels' slots keep
// what they held.
void deliverSingle(const OutputBlock& b, const Destination& d, std::uint32_t s,
                   std::uint32_t half) {
    for (std::uint32_t c = 0; c < kChannels; ++c) {
        if ((b.activeMask & (1u << c)) == 0) continue;
        const float* source = b.halves + static_cast<std::size_t>(2 * c + half) * s;
        for (std::uint32_t f = 0; f < s; ++f) {
            std::memcpy(frameAt(d, f) + c, source + f, sizeof(float));
        }
    }
}

// Adds the client's active samples into the accumulator block, each by compare-exchange.
void accumulate(const OutputBlock& b, float* block, std::uint32_t s, std::uint32_t half) {
    for (std::uint32_t c = 0; c < kChannels; ++c) {
        if ((b.activeMask & (1u << c)) == 0) continue;
        const float* source = b.halves + static_cast<std::size_t>(2 * c + half) * s;
        for (std::uint32_t f = 0; f < s; ++f) {
            auto sample = sharedSample(block + static_cast<std::size_t>(f) * kChannels + c);
            float seen = sample.load(std::memory_order_relaxed);
            while (!sample.compare_exchange_weak(seen, seen + source[f],
                                                 std::memory_order_relaxed)) {
            }
        }
    }
}

inline float clip(float v) {
    if (v > 1.0f) return 1.0f;
    if (v < -1.0f) return -1.0f;
    return v;  // a NaN passes unchanged
}

// The completing client: the clipped sum of every channel into the ring, then the accumulator
// block is cleared for the ring's next lap.
void complete(float* block, const Destination& d, std::uint32_t s) {
    for (std::uint32_t f = 0; f < s; ++f) {
        float* out = frameAt(d, f);
        float* in = block + static_cast<std::size_t>(f) * kChannels;
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            out[c] = clip(sharedSample(in + c).load(std::memory_order_relaxed));
        }
    }
    for (std::uint32_t i = 0; i < s * kChannels; ++i) {
        sharedSample(block + i).store(0.0f, std::memory_order_relaxed);
    }
}

}  // namespace

void deliverOutputBlock(const OutputBlock& b) {
    vq36::AsioInfo* info = b.info;
    if (info == nullptr || b.ring == nullptr || b.blockSize < 1 ||
        b.blockSize > kAsioMaxBufferSize)
        return;
    const auto s = static_cast<std::uint32_t>(b.blockSize);
    const std::uint32_t n = vq36::Load32(&info->ringBlocks);
    const std::uint32_t blockBytes = kFrameBytes * s;
    // No ring yet, or one laid out for another block size (the kernel changed it and the host
    // still delivers its last block at the old size): nothing may be written.
    if (n == 0 || n > vq36::kMaxRingBlocks ||
        static_cast<std::uint64_t>(n) * blockBytes > vq36::kMaxRingBytes)
        return;
    const std::uint32_t ringBytes = n * blockBytes;
    const std::uint32_t pos = targetRingBlock(b.blockCounter, n);
    const auto half = static_cast<std::uint32_t>(b.blockCounter & 1);

    if (vq36::Load32(&info->joinedClientCount) <= 1) {
        const Destination d = applyOverhangRule(info, b.ring, pos, s, blockBytes, ringBytes);
        deliverSingle(b, d, s, half);
        return;
    }

    if (b.accumulator == nullptr) return;
    float* block = b.accumulator + static_cast<std::size_t>(pos) * s * kChannels;
    accumulate(b, block, s, half);
    const std::uint32_t before = vq36::AtomicAdd32(&info->blockDeliveryCount[pos], 1);
    if (before != vq36::Load32(&info->joinedClientCount) - 1) return;
    const Destination d = applyOverhangRule(info, b.ring, pos, s, blockBytes, ringBytes);
    complete(block, d, s);
    vq36::Store32(&info->blockDeliveryCount[pos], 0);
}
