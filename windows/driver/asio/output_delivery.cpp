// Output delivery and multi-client mixing (see output_delivery.h).

#include "output_delivery.h"

#include <cpuid.h>
#include <immintrin.h>

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

// Frames [from, to) of all 10 channels into consecutive interleaved frames at `out`, four frames
// a step: each group of four channels is turned from four frames of a channel into four frames
// of the group, and channels 8 and 9 are paired frame by frame. Only moves words.
void interleaveAll(const Sources& src, std::uint32_t* out, std::uint32_t from, std::uint32_t to) {
    const float* ch[kChannels];
    for (std::uint32_t c = 0; c < kChannels; ++c)
        ch[c] = reinterpret_cast<const float*>(src.channel[c]);
    auto* o = reinterpret_cast<float*>(out);
    std::uint32_t f = from;
    for (; f + 4 <= to; f += 4, o += 4 * kChannels) {
        __m128 a0 = _mm_loadu_ps(ch[0] + f), a1 = _mm_loadu_ps(ch[1] + f);
        __m128 a2 = _mm_loadu_ps(ch[2] + f), a3 = _mm_loadu_ps(ch[3] + f);
        __m128 b0 = _mm_loadu_ps(ch[4] + f), b1 = _mm_loadu_ps(ch[5] + f);
        __m128 b2 = _mm_loadu_ps(ch[6] + f), b3 = _mm_loadu_ps(ch[7] + f);
        const __m128 c8 = _mm_loadu_ps(ch[8] + f), c9 = _mm_loadu_ps(ch[9] + f);
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
        const __m128 p01 = _mm_unpacklo_ps(c8, c9);  // frames 0 and 1 of channels 8, 9
        const __m128 p23 = _mm_unpackhi_ps(c8, c9);  // frames 2 and 3
        _mm_storeu_ps(o, a0);
        _mm_storeu_ps(o + 4, b0);
        _mm_storel_pi(reinterpret_cast<__m64*>(o + 8), p01);
        _mm_storeu_ps(o + 10, a1);
        _mm_storeu_ps(o + 14, b1);
        _mm_storeh_pi(reinterpret_cast<__m64*>(o + 18), p01);
        _mm_storeu_ps(o + 20, a2);
        _mm_storeu_ps(o + 24, b2);
        _mm_storel_pi(reinterpret_cast<__m64*>(o + 28), p23);
        _mm_storeu_ps(o + 30, a3);
        _mm_storeu_ps(o + 34, b3);
        _mm_storeh_pi(reinterpret_cast<__m64*>(o + 38), p23);
    }
    auto* w = reinterpret_cast<std::uint32_t*>(o);
    for (; f < to; ++f, w += kChannels) {
        for (std::uint32_t c = 0; c < kChannels; ++c) w[c] = src.channel[c][f];
    }
}

// Frames [from, to) of the active channels into consecutive interleaved frames at `out`, as
// 32-bit words; inactive channels' slots keep what they hold.
void interleave(const Sources& src, std::uint32_t* out, std::uint32_t from, std::uint32_t to) {
    if (src.activeCount == kChannels) {
        interleaveAll(src, out, from, to);
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

// Whether the processor has the 16-byte compare-exchange, asked once when the library loads.
bool hasCompareExchange16() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_CMPXCHG16B) != 0;
}
const bool kQuadSteps = hasCompareExchange16();

// Compare-exchange of 16 bytes (16-byte aligned): when they hold `seen` they take `next` and
// the call returns true; otherwise `seen` becomes what they hold.
inline bool compareExchange16(float* at, std::uint64_t (&seen)[2], const std::uint64_t (&next)[2]) {
    bool done;
    __asm__ __volatile__("lock cmpxchg16b %1"
                         : "=@ccz"(done), "+m"(*reinterpret_cast<volatile unsigned __int128*>(at)),
                           "+a"(seen[0]), "+d"(seen[1])
                         : "b"(next[0]), "c"(next[1])
                         : "memory");
    return done;
}

// Adds four addends to four neighbouring shared samples (16-byte aligned) in one 16-byte
// compare-exchange. Lanes whose bit is set in `keep` (all ones) are written back as they were
// read, unchanged to the bit; the others get the single-precision sum of their value and their
// addend, the same sum as the one-sample step gives, each still made in one atomic step.
inline void addQuad(float* at, __m128 addends, __m128 keep) {
    const auto* words = reinterpret_cast<const std::uint64_t*>(at);
    std::uint64_t seen[2] = {
        std::atomic_ref<const std::uint64_t>(words[0]).load(std::memory_order_relaxed),
        std::atomic_ref<const std::uint64_t>(words[1]).load(std::memory_order_relaxed)};
    for (;;) {
        // The two halves need not come from one moment: the exchange only succeeds on the
        // 16 bytes it compared whole.
        const __m128 old = _mm_castsi128_ps(
            _mm_set_epi64x(static_cast<long long>(seen[1]), static_cast<long long>(seen[0])));
        const __m128 sum = _mm_add_ps(old, addends);
        const __m128i next =
            _mm_castps_si128(_mm_or_ps(_mm_and_ps(keep, old), _mm_andnot_ps(keep, sum)));
        const std::uint64_t want[2] = {
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(next)),
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(next, next)))};
        if (compareExchange16(at, seen, want)) return;
    }
}

constexpr std::uint32_t kLineBytes = 64;
constexpr std::uint32_t kQuadsPerPeriod = 5;  // 20 words: two frames make five 16-byte quads

// The accumulator block seen as 10 s words: `head` words up to its first 16-byte boundary, then
// `quads` quads of four words, then the words left after them. The quads repeat their make-up
// every two frames: lane l of quad j is word head + 4 j + l, whose sample is that of entry j % 5,
// lane l, moved on by 2 (j / 5) frames.
struct QuadPlan {
    struct Entry {
        const float* source[4];  // per lane, channel's samples at the entry's frame offset
        __m128 keep;             // all ones in the lanes of inactive channels
        bool any;                // some lane is active
    };
    Entry entry[kQuadsPerPeriod];
    std::uint32_t head;
    std::uint32_t quads;

    QuadPlan(const Sources& src, std::uint32_t head, std::uint32_t words)
        : head(head), quads((words - head) / 4) {
        for (std::uint32_t q = 0; q < kQuadsPerPeriod; ++q) {
            Entry& e = entry[q];
            alignas(16) std::uint32_t keepBits[4];
            const float* anyActive = nullptr;
            for (std::uint32_t l = 0; l < 4; ++l) {
                const std::uint32_t word = head + 4 * q + l;
                const std::uint32_t c = word % kChannels;
                const auto* base = reinterpret_cast<const float*>(src.channel[c]);
                e.source[l] = base != nullptr ? base + word / kChannels : nullptr;
                keepBits[l] = base != nullptr ? 0 : ~0u;
                if (base != nullptr) anyActive = e.source[l];
            }
            // Inactive lanes read an active lane's sample (their sum is discarded).
            for (auto& p : e.source)
                if (p == nullptr) p = anyActive;
            e.keep = _mm_castsi128_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(keepBits)));
            e.any = anyActive != nullptr;
        }
    }
};

// Adds quads [from, to) of the block.
void addQuads(const QuadPlan& plan, float* quads, std::uint32_t from, std::uint32_t to) {
    std::uint32_t q = from % kQuadsPerPeriod;
    std::size_t frame = static_cast<std::size_t>(from / kQuadsPerPeriod) * 2;
    float* at = quads + 4 * static_cast<std::size_t>(from);
    float* const end = quads + 4 * static_cast<std::size_t>(to);
    for (; at != end; at += 4) {
        const QuadPlan::Entry& e = plan.entry[q];
        if (e.any) {
            const __m128 addends = _mm_setr_ps(e.source[0][frame], e.source[1][frame],
                                               e.source[2][frame], e.source[3][frame]);
            addQuad(at, addends, e.keep);
        }
        if (++q == kQuadsPerPeriod) {
            q = 0;
            frame += 2;
        }
    }
}

// Adds words [from, to) of the block one by one (the ends that no quad holds).
void addWords(const Sources& src, float* block, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) {
        const std::uint32_t* channel = src.channel[i % kChannels];
        if (channel != nullptr) addSample(block + i, channel[i / kChannels]);
    }
}

// Adds the client's active samples into the accumulator block. Clients that deliver the same
// block at the same time start on different cache lines (by their lane) and walk round the
// block from there, so that each works on lines of its own instead of all of them fighting over
// the same ones; the sums do not depend on it.
void accumulate(const Sources& src, float* block, std::uint32_t s, std::uint32_t lane,
                std::uint32_t lanes) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    if (!kQuadSteps || address % 4 != 0) {
        // Pairs and single words, frame after frame, from the lane's own frame.
        std::uint32_t start = 0;
        if (lanes > 1) start = static_cast<std::uint32_t>(std::uint64_t{lane % lanes} * s / lanes);
        const bool wide = address % 8 == 0;
        accumulateFrames(src, block, start, s, wide);
        accumulateFrames(src, block, 0, start, wide);
        return;
    }
    const std::uint32_t words = s * kChannels;
    const QuadPlan plan(src, static_cast<std::uint32_t>((16 - address % 16) % 16 / 4), words);
    float* quads = block + plan.head;
    // The quads that begin a cache line, and the lane's first of them.
    const auto firstLine = static_cast<std::uint32_t>(
        (kLineBytes - reinterpret_cast<std::uintptr_t>(quads) % kLineBytes) % kLineBytes / 16);
    const std::uint32_t lines = plan.quads > firstLine ? (plan.quads - firstLine + 3) / 4 : 0;
    std::uint32_t start = 0;
    if (lanes > 1 && lines != 0) {
        start =
            firstLine + 4 * static_cast<std::uint32_t>(std::uint64_t{lane % lanes} * lines / lanes);
    }
    addQuads(plan, quads, start, plan.quads);
    addWords(src, block, plan.head + 4 * plan.quads, words);
    addWords(src, block, 0, plan.head);
    addQuads(plan, quads, 0, start);
}

inline float clip(float v) {
    if (v > 1.0f) return 1.0f;
    if (v < -1.0f) return -1.0f;
    return v;  // a NaN passes unchanged
}

// Frames [from, to) of the accumulator block, every channel clipped, into consecutive
// interleaved frames at `out`. The accumulator is read as whole words (four at a time where it
// allows 8-byte words); a NaN passes unchanged: each bound returns the sample itself when the
// comparison with it fails.
void clipFrames(const float* block, float* out, std::uint32_t from, std::uint32_t to) {
    std::uint32_t i = from * kChannels;
    const std::uint32_t end = to * kChannels;
    if (reinterpret_cast<std::uintptr_t>(block + i) % 8 == 0) {
        const __m128 low = _mm_set1_ps(-1.0f);
        const __m128 high = _mm_set1_ps(1.0f);
        for (; i + 4 <= end; i += 4, out += 4) {
            const auto* words = reinterpret_cast<const std::uint64_t*>(block + i);
            const auto first =
                std::atomic_ref<const std::uint64_t>(words[0]).load(std::memory_order_relaxed);
            const auto second =
                std::atomic_ref<const std::uint64_t>(words[1]).load(std::memory_order_relaxed);
            const __m128 v = _mm_castsi128_ps(
                _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first)));
            _mm_storeu_ps(out, _mm_min_ps(high, _mm_max_ps(low, v)));
        }
    }
    for (; i < end; ++i, ++out) {
        *out = clip(std::atomic_ref<const float>(block[i]).load(std::memory_order_relaxed));
    }
}

// Zeroes the accumulator block (s frames), word by word.
void clearBlock(float* block, std::uint32_t s) {
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

// The completing client: the clipped sum of every channel into the ring, then the accumulator
// block is cleared for the ring's next lap.
void complete(float* block, const Destination& d, std::uint32_t s) {
    if (d.overhangFrames != 0) clipFrames(block, d.overhang, 0, d.overhangFrames);
    clipFrames(block, d.ringFrames, d.overhangFrames, s);
    clearBlock(block, s);
}

// The kernel closes the mixing lap of ring block (blockCounter + 3) mod n at the boundary that
// makes its count blockCounter + 3 (vq36::kDeliveryLapClosed): by then the device has played the
// block, unless a playback delay holds it back a little longer.
constexpr std::uint64_t kClearedBlocks = 3;

// How far the kernel's count is past the client's block (0 when it is not, or was reset).
inline std::uint64_t blocksPast(const vq36::AsioInfo* info, std::uint64_t blockCounter) {
    const std::uint64_t k = vq36::Load64(&info->asioBlockCount);
    return k > blockCounter ? k - blockCounter : 0;
}

// A block whose output did not reach the device: the kernel moves the count into its
// statistics at the next boundary. Other clients may count at the same time.
inline void countSlip(vq36::AsioInfo* info) {
    vq36::AtomicAdd32(&info->pendingUserSlips, 1);
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
    // A block whose lap the kernel has closed is not mixed any more: the client was too late
    // for it, which counts as a slip (the ring block plays what it held).
    if (blocksPast(info, b.blockCounter) >= kClearedBlocks) {
        countSlip(info);
        return;
    }
    accumulate(src, block, s, b.lane, joined);
    const std::uint32_t before = vq36::AtomicAdd32(&info->blockDeliveryCount[pos], 1);
    if ((before & vq36::kDeliveryLapClosed) != 0) {
        // The kernel closed the lap between this client's check of the count and its add (a
        // window that a held processor can stretch): the lap ended without it. The client
        // neither completes the block (the device has played it) nor clears it (a client
        // counted before the close may still be completing it); the kernel clears what is left
        // when it opens the block for its next lap. A client counted before the close gets the
        // same count as if there were none.
        countSlip(info);
        return;
    }
    if (before != vq36::Load32(&info->joinedClientCount) - 1) return;
    const Destination d = applyOverhangRule(info, b.ring, pos, s, blockBytes, ringBytes);
    complete(block, d, s);
    // The cleared block is out before the count says the block may be mixed again: the
    // processor keeps stores in their order, and this keeps the compiler from moving them.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    vq36::Store32(&info->blockDeliveryCount[pos], 0);
}
