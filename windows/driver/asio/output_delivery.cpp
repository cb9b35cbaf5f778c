// Output delivery and multi-client mixing (see output_delivery.h).

#include "output_delivery.h"

#include <atomic>
#include <bit>
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
Destination applyOverhangRule(vq36::AsioInfo* info, float* ring, std::uint32_t pos, std::uint32_t s,
                              std::uint32_t blockBytes, std::uint32_t ringBytes) {
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
        const std::uint64_t room = start < vq36::kPlaybackRegionBytes
                                       ? (vq36::kPlaybackRegionBytes - start) / kFrameBytes
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
    d.ringFrames = reinterpret_cast<float*>(bytes + static_cast<std::size_t>(pos) * blockBytes +
                                            kFrameBytes * k);
    return d;
}

// The client's active channels: where each one's samples of the current half start. Pairs of
// neighbouring active channels (0-1, 2-3, ...) are kept apart from channels active alone, so
// that the joined path can add a pair in one 64-bit step.
struct Sources {
    const std::uint32_t* channel[kChannels];  // by channel; null when inactive
    std::uint32_t active[kChannels];          // the active channels, ascending
    std::uint32_t activeCount = 0;
    std::uint32_t pairs[kChannels / 2];  // even channel c of each active pair c, c + 1
    std::uint32_t pairCount = 0;
    std::uint32_t singles[kChannels];  // active channels whose pair partner is inactive
    std::uint32_t singleCount = 0;

    Sources(const OutputBlock& b, std::uint32_t s, std::uint32_t half) {
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            const bool on = (b.activeMask & (1u << c)) != 0;
            channel[c] = on ? reinterpret_cast<const std::uint32_t*>(
                                  b.halves + static_cast<std::size_t>(2 * c + half) * s)
                            : nullptr;
            if (on) active[activeCount++] = c;
        }
        for (std::uint32_t c = 0; c < kChannels; c += 2) {
            if (channel[c] != nullptr && channel[c + 1] != nullptr) {
                pairs[pairCount++] = c;
            } else if (channel[c] != nullptr) {
                singles[singleCount++] = c;
            } else if (channel[c + 1] != nullptr) {
                singles[singleCount++] = c + 1;
            }
        }
    }
};

// Frames [from, to) of the active channels into consecutive interleaved frames at `out`, as
// 32-bit words; inactive channels' slots keep what they hold.
void interleave(const Sources& src, std::uint32_t* out, std::uint32_t from, std::uint32_t to) {
    if (src.activeCount == kChannels) {
        for (std::uint32_t f = from; f < to; ++f, out += kChannels) {
            for (std::uint32_t c = 0; c < kChannels; ++c) out[c] = src.channel[c][f];
        }
        return;
    }
    for (std::uint32_t f = from; f < to; ++f, out += kChannels) {
        for (std::uint32_t i = 0; i < src.activeCount; ++i) {
            const std::uint32_t c = src.active[i];
            out[c] = src.channel[c][f];
        }
    }
}

// One client: its active channels' samples, copied as words, frame after frame; the other
// channels' slots keep what they held.
void deliverSingle(const Sources& src, const Destination& d, std::uint32_t s) {
    if (d.overhangFrames != 0) {
        interleave(src, reinterpret_cast<std::uint32_t*>(d.overhang), 0, d.overhangFrames);
    }
    interleave(src, reinterpret_cast<std::uint32_t*>(d.ringFrames), d.overhangFrames, s);
}

inline float asFloat(std::uint32_t w) {
    return std::bit_cast<float>(w);
}
inline std::uint32_t asWord(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

// Adds x to the shared sample: read its word, compute the single-precision sum, and
// compare-exchange it against the word read, again while another client got in between.
inline void addSample(float* sample, std::uint32_t x) {
    std::atomic_ref<std::uint32_t> word(*reinterpret_cast<std::uint32_t*>(sample));
    std::uint32_t seen = word.load(std::memory_order_relaxed);
    while (!word.compare_exchange_weak(seen, asWord(asFloat(seen) + asFloat(x)),
                                       std::memory_order_relaxed)) {
    }
}

// Adds x and y to two neighbouring shared samples (8-byte aligned) in one compare-exchange of
// both words. Each sample gets the same single-precision sum of its own value and its addend
// as the one-sample step gives, and its sum is still made in one atomic step.
inline void addPair(float* first, std::uint32_t x, std::uint32_t y) {
    std::atomic_ref<std::uint64_t> word(*reinterpret_cast<std::uint64_t*>(first));
    std::uint64_t seen = word.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t low = asWord(asFloat(static_cast<std::uint32_t>(seen)) + asFloat(x));
        const std::uint64_t high =
            asWord(asFloat(static_cast<std::uint32_t>(seen >> 32)) + asFloat(y));
        if (word.compare_exchange_weak(seen, low | (high << 32), std::memory_order_relaxed)) {
            return;
        }
    }
}

// Adds frames [from, to) of the client's active samples into the accumulator block.
void accumulateFrames(const Sources& src, float* block, std::uint32_t from, std::uint32_t to,
                      bool wide) {
    for (std::uint32_t f = from; f < to; ++f) {
        float* frame = block + static_cast<std::size_t>(f) * kChannels;
        for (std::uint32_t i = 0; i < src.pairCount; ++i) {
            const std::uint32_t c = src.pairs[i];
            if (wide) {
                addPair(frame + c, src.channel[c][f], src.channel[c + 1][f]);
            } else {
                addSample(frame + c, src.channel[c][f]);
                addSample(frame + c + 1, src.channel[c + 1][f]);
            }
        }
        for (std::uint32_t i = 0; i < src.singleCount; ++i) {
            const std::uint32_t c = src.singles[i];
            addSample(frame + c, src.channel[c][f]);
        }
    }
}

// Adds the client's active samples into the accumulator block. Clients that deliver the same
// block at the same time start at different frames (by their lane), so that each works on
// cache lines of its own instead of all of them fighting over the same ones; the sums do not
// depend on it.
void accumulate(const Sources& src, float* block, std::uint32_t s, std::uint32_t lane,
                std::uint32_t lanes) {
    std::uint32_t start = 0;
    if (lanes > 1) start = static_cast<std::uint32_t>(std::uint64_t{lane % lanes} * s / lanes);
    // Pairs go in one step where the accumulator allows 8-byte words (it always does when the
    // region starts on an 8-byte boundary: blocks and frames start at multiples of 40 bytes).
    const bool wide = reinterpret_cast<std::uintptr_t>(block) % 8 == 0;
    accumulateFrames(src, block, start, s, wide);
    accumulateFrames(src, block, 0, start, wide);
}

inline float clip(float v) {
    if (v > 1.0f) return 1.0f;
    if (v < -1.0f) return -1.0f;
    return v;  // a NaN passes unchanged
}

// Frames [from, to) of the accumulator block, every channel clipped, into consecutive
// interleaved frames at `out`.
void clipFrames(const float* block, float* out, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from * kChannels; i < to * kChannels; ++i, ++out) {
        *out = clip(std::atomic_ref<const float>(block[i]).load(std::memory_order_relaxed));
    }
}

// The completing client: the clipped sum of every channel into the ring, then the accumulator
// block is cleared for the ring's next lap.
void complete(float* block, const Destination& d, std::uint32_t s) {
    if (d.overhangFrames != 0) clipFrames(block, d.overhang, 0, d.overhangFrames);
    clipFrames(block, d.ringFrames, d.overhangFrames, s);
    if (reinterpret_cast<std::uintptr_t>(block) % 8 == 0) {
        auto* words = reinterpret_cast<std::uint64_t*>(block);
        for (std::uint32_t i = 0; i < s * kChannels / 2; ++i) {
            std::atomic_ref<std::uint64_t>(words[i]).store(0, std::memory_order_relaxed);
        }
        return;
    }
    auto* words = reinterpret_cast<std::uint32_t*>(block);
    for (std::uint32_t i = 0; i < s * kChannels; ++i) {
        std::atomic_ref<std::uint32_t>(words[i]).store(0, std::memory_order_relaxed);
    }
}

}  // namespace

void deliverOutputBlock(const OutputBlock& b) {
    vq36::AsioInfo* info = b.info;
    if (info == nullptr || b.ring == nullptr || b.blockSize < 1 || b.blockSize > kAsioMaxBufferSize)
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

    const Sources src(b, s, half);
    const std::uint32_t joined = vq36::Load32(&info->joinedClientCount);
    if (joined <= 1) {
        const Destination d = applyOverhangRule(info, b.ring, pos, s, blockBytes, ringBytes);
        deliverSingle(src, d, s);
        return;
    }

    if (b.accumulator == nullptr) return;
    float* block = b.accumulator + static_cast<std::size_t>(pos) * s * kChannels;
    accumulate(src, block, s, b.lane, joined);
    const std::uint32_t before = vq36::AtomicAdd32(&info->blockDeliveryCount[pos], 1);
    if (before != vq36::Load32(&info->joinedClientCount) - 1) return;
    const Destination d = applyOverhangRule(info, b.ring, pos, s, blockBytes, ringBytes);
    complete(block, d, s);
    vq36::Store32(&info->blockDeliveryCount[pos], 0);
}
