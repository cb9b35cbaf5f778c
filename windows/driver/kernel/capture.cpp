// Capture processing: de-interleaving every good capture completion into the capture planes,
// sizing the paired playback request into the playback ring at a fixed lead, and the block
// boundaries that advance the block count and wake the clients.

#include "driver.h"

#include <array>
#include <cstddef>
#include <cstring>

#include <immintrin.h>

namespace {

constexpr UCHAR kRaisedPriority = 31;
constexpr CCHAR kBoundaryIncrement = 8;

// A nominal packet carries 6 frames; runs of eight or four of them (48 or 24 frames) are the
// units of the fast de-interleaving below.
constexpr ULONG kNominalFrames = vq36::kNominalCapturePacketBytes / vq36::kCaptureFrameBytes;

void OrFlags(vq36::AsioInfoStatistics& stats, ULONG bits) {
    vq36::Store32(&stats.genericFlags, vq36::Load32(&stats.genericFlags) | bits);
}

void Bump(volatile vq36::UnalignedU32* counter) {
    vq36::Store32(counter, vq36::Load32(counter) + 1);
}

// x mod m; without a division in the usual case of x below 2 m.
inline ULONG Wrap(ULONG x, ULONG m) {
    if (x < m) return x;
    x -= m;
    return x < m ? x : x % m;
}

// The frames a packet of `length` returned bytes counts for: its whole frames, or a nominal
// packet's 6 when it came back empty or longer than a packet can be.
inline ULONG CapturedFrames(ULONG length) {
    if (length == 0 || length > vq36::kMaxCapturePacketBytes) return kNominalFrames;
    return length / vq36::kCaptureFrameBytes;
}

// Where frame f of consecutive nominal packets starts, from the first packet.
constexpr ULONG NominalFrameOffset(ULONG f) {
    return vq36::kMaxCapturePacketBytes * (f / kNominalFrames) +
           vq36::kCaptureFrameBytes * (f % kNominalFrames);
}

// The de-interleaving below copies the frames of a run of nominal packets into the 12 planes
// at `at` (the position in plane 0; plane c lies c x planeBytes further), 4 bytes a frame to
// each plane, none of them wrapping. A row holds four channels of one frame in each 128-bit
// lane, of frames k, k + 4, k + 8 ... in turn; one 4 x 4 transpose per lane of four such rows
// leaves 4, 8 or 16 consecutive samples of one channel in each row. A lane is filled by a
// broadcast load and a blend, which keeps the lane crossing out of the shuffle unit. The samples
// are only moved, never converted, so every width leaves the same bytes.

// Frames first to first + 7 of the run, with 256-bit rows.
__attribute__((target("avx2"), always_inline)) inline void CopyEightFramesAvx2(const UCHAR* run,
                                                                               ULONG first,
                                                                               PUCHAR at,
                                                                               ULONG planeBytes) {
#pragma GCC unroll 3
    for (ULONG g = 0; g < 3; ++g) {
        __m256 r[4];
#pragma GCC unroll 4
        for (ULONG k = 0; k < 4; ++k) {
            const UCHAR* low = run + NominalFrameOffset(first + k) + 16 * g;
            const UCHAR* high = run + NominalFrameOffset(first + k + 4) + 16 * g;
            r[k] = _mm256_blend_ps(
                _mm256_castps128_ps256(_mm_loadu_ps(reinterpret_cast<const float*>(low))),
                _mm256_broadcast_ps(reinterpret_cast<const __m128*>(high)), 0xF0);
        }
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
        const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
        const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
        PUCHAR base = at + 4 * g * planeBytes + 4 * first;
        _mm256_storeu_ps(reinterpret_cast<float*>(base),
                         _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0)));
        _mm256_storeu_ps(reinterpret_cast<float*>(base + planeBytes),
                         _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2)));
        _mm256_storeu_ps(reinterpret_cast<float*>(base + 2 * planeBytes),
                         _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0)));
        _mm256_storeu_ps(reinterpret_cast<float*>(base + 3 * planeBytes),
                         _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2)));
    }
}

// Frames first to first + 15 of the run, with 512-bit rows.
__attribute__((target("avx512f"), always_inline)) inline void CopySixteenFramesAvx512(
    const UCHAR* run, ULONG first, PUCHAR at, ULONG planeBytes) {
#pragma GCC unroll 3
    for (ULONG g = 0; g < 3; ++g) {
        __m512 r[4];
#pragma GCC unroll 4
        for (ULONG k = 0; k < 4; ++k) {
            const auto lane = [&](ULONG q) {
                return reinterpret_cast<const float*>(run + NominalFrameOffset(first + k + 4 * q) +
                                                      16 * g);
            };
            __m512 row = _mm512_castps128_ps512(_mm_loadu_ps(lane(0)));
            row = _mm512_mask_broadcast_f32x4(row, 0x00F0, _mm_loadu_ps(lane(1)));
            row = _mm512_mask_broadcast_f32x4(row, 0x0F00, _mm_loadu_ps(lane(2)));
            r[k] = _mm512_mask_broadcast_f32x4(row, 0xF000, _mm_loadu_ps(lane(3)));
        }
        // (The all-lanes masked forms: GCC 12's plain ones warn of an undefined source.)
        const __m512 t0 = _mm512_mask_unpacklo_ps(r[0], 0xFFFF, r[0], r[1]);
        const __m512 t1 = _mm512_mask_unpackhi_ps(r[0], 0xFFFF, r[0], r[1]);
        const __m512 t2 = _mm512_mask_unpacklo_ps(r[2], 0xFFFF, r[2], r[3]);
        const __m512 t3 = _mm512_mask_unpackhi_ps(r[2], 0xFFFF, r[2], r[3]);
        PUCHAR base = at + 4 * g * planeBytes + 4 * first;
        _mm512_storeu_ps(base, _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0)));
        _mm512_storeu_ps(base + planeBytes, _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2)));
        _mm512_storeu_ps(base + 2 * planeBytes, _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0)));
        _mm512_storeu_ps(base + 3 * planeBytes, _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2)));
    }
}

// Four frames, whose samples start at f0 to f3, with 128-bit rows; `base` is where the first of
// them goes in plane 0.
inline void CopyFourFramesSse(const UCHAR* f0, const UCHAR* f1, const UCHAR* f2, const UCHAR* f3,
                              PUCHAR base, ULONG planeBytes) {
#pragma GCC unroll 3
    for (ULONG g = 0; g < 3; ++g) {
        __m128 r0 = _mm_loadu_ps(reinterpret_cast<const float*>(f0 + 16 * g));
        __m128 r1 = _mm_loadu_ps(reinterpret_cast<const float*>(f1 + 16 * g));
        __m128 r2 = _mm_loadu_ps(reinterpret_cast<const float*>(f2 + 16 * g));
        __m128 r3 = _mm_loadu_ps(reinterpret_cast<const float*>(f3 + 16 * g));
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        PUCHAR out = base + 4 * g * planeBytes;
        _mm_storeu_ps(reinterpret_cast<float*>(out), r0);
        _mm_storeu_ps(reinterpret_cast<float*>(out + planeBytes), r1);
        _mm_storeu_ps(reinterpret_cast<float*>(out + 2 * planeBytes), r2);
        _mm_storeu_ps(reinterpret_cast<float*>(out + 3 * planeBytes), r3);
    }
}

// A whole run of `Packets` nominal packets (4 or 8: 24 or 48 frames) at each width.
template <ULONG Packets>
__attribute__((target("avx512f"))) void CopyRunAvx512(const UCHAR* run, PUCHAR at,
                                                      ULONG planeBytes) {
    constexpr ULONG frames = Packets * kNominalFrames;
#pragma GCC unroll 3
    for (ULONG f = 0; f + 16 <= frames; f += 16) CopySixteenFramesAvx512(run, f, at, planeBytes);
    if constexpr (frames % 16 != 0) CopyEightFramesAvx2(run, frames - 8, at, planeBytes);
}

template <ULONG Packets>
__attribute__((target("avx2"))) void CopyRunAvx2(const UCHAR* run, PUCHAR at, ULONG planeBytes) {
#pragma GCC unroll 6
    for (ULONG f = 0; f < Packets * kNominalFrames; f += 8) {
        CopyEightFramesAvx2(run, f, at, planeBytes);
    }
}

template <ULONG Packets>
void CopyRunSse(const UCHAR* run, PUCHAR at, ULONG planeBytes) {
#pragma GCC unroll 12
    for (ULONG f = 0; f < Packets * kNominalFrames; f += 4) {
        CopyFourFramesSse(run + NominalFrameOffset(f), run + NominalFrameOffset(f + 1),
                          run + NominalFrameOffset(f + 2), run + NominalFrameOffset(f + 3),
                          at + 4 * f, planeBytes);
    }
}

// Copies `frames` captured frames (12 samples each) into the 12 planes, one sample to each,
// starting at byte `position` of every plane and wrapping at the plane's end. Groups of four
// (or two) frames go through a 4 x 4 (or 2 x 4) transpose per four channels; the samples are
// only moved, never converted, so every bit pattern arrives as captured.
inline ULONG CopyFramesToPlanes(const UCHAR* source, ULONG frames, PUCHAR planes, ULONG planeBytes,
                                ULONG position) {
    ULONG j = 0;
    while (j < frames) {
        if (frames - j >= 4 && position + 16 <= planeBytes) {
            const UCHAR* f = source + j * vq36::kCaptureFrameBytes;
            CopyFourFramesSse(f, f + vq36::kCaptureFrameBytes, f + 2 * vq36::kCaptureFrameBytes,
                              f + 3 * vq36::kCaptureFrameBytes, planes + position, planeBytes);
            position += 16;
            j += 4;
        } else if (frames - j >= 2 && position + 8 <= planeBytes) {
            const float* f = reinterpret_cast<const float*>(source + j * vq36::kCaptureFrameBytes);
            for (ULONG g = 0; g < 3; ++g) {
                const __m128 r0 = _mm_loadu_ps(f + 4 * g);
                const __m128 r1 = _mm_loadu_ps(f + 12 + 4 * g);
                const __m128 low = _mm_unpacklo_ps(r0, r1);   // channel 4g, then 4g + 1
                const __m128 high = _mm_unpackhi_ps(r0, r1);  // channel 4g + 2, then 4g + 3
                PUCHAR base = planes + 4 * g * planeBytes + position;
                _mm_storel_pi(reinterpret_cast<__m64*>(base), low);
                _mm_storeh_pi(reinterpret_cast<__m64*>(base + planeBytes), low);
                _mm_storel_pi(reinterpret_cast<__m64*>(base + 2 * planeBytes), high);
                _mm_storeh_pi(reinterpret_cast<__m64*>(base + 3 * planeBytes), high);
            }
            position += 8;
            j += 2;
        } else {
            const UCHAR* frame = source + j * vq36::kCaptureFrameBytes;
            PUCHAR destination = planes + position;
            for (ULONG c = 0; c < vq36::kCaptureChannels; ++c) {
                std::memcpy(destination + c * planeBytes, frame + 4 * c, 4);
            }
            position += 4;
            j += 1;
        }
        if (position == planeBytes) position = 0;
    }
    return position;
}

// Nominal packets one by one, for a run that the planes' end splits. Out of line: it is rare, and
// inlined its loop-invariant plane offsets would be worked out on every completion.
__attribute__((noinline)) ULONG CopyPacketsToPlanes(const UCHAR* run, ULONG packets, PUCHAR planes,
                                                    ULONG planeBytes, ULONG position) {
    for (ULONG k = 0; k < packets; ++k) {
        position = CopyFramesToPlanes(run + vq36::kMaxCapturePacketBytes * k, kNominalFrames,
                                      planes, planeBytes, position);
    }
    return position;
}

using CopyRunFunction = void (*)(const UCHAR* run, PUCHAR at, ULONG planeBytes);

// The de-interleaving of runs of eight and of four packets.
struct CopyRuns {
    CopyRunFunction eight;
    CopyRunFunction four;
};

// The de-interleavings by width: 128, 256 and 512 bits.
constexpr CopyRuns kCopyRuns[] = {{CopyRunSse<8>, CopyRunSse<4>},
                                  {CopyRunAvx2<8>, CopyRunAvx2<4>},
                                  {CopyRunAvx512<8>, CopyRunAvx512<4>}};

// The widest of them that the processor has, found once.
const ULONG kWidestCopyRuns = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 2u;
    return __builtin_cpu_supports("avx2") ? 1u : 0u;
}();

// The widest de-interleaving that the processor and gCaptureMoveBits allow.
inline const CopyRuns& ChooseCopyRuns() {
    const ULONG allowed = gCaptureMoveBits >= 512 ? 2 : gCaptureMoveBits >= 256 ? 1 : 0;
    return kCopyRuns[allowed < kWidestCopyRuns ? allowed : kWidestCopyRuns];
}

// Leaves `value` in a record word, writing it only where the word holds something else (most of
// the time it already holds it, and the cache line stays clean for the readers).
inline void KeepValue(volatile vq36::UnalignedU32* word, ULONG value) {
    if (vq36::Load32(word) != value) vq36::Store32(word, value);
}

// Pushes the frames of the last ten packets (or of all, when fewer) into the uframeSamples ring,
// as one push per packet would leave it, reading and writing the ring's index once. When every
// packet of the completion was nominal (`allNominal`) each value is 6, and the lengths are not
// read again.
void PushRecentPacketFrames(vq36::StatisticsRing& ring, const USBD_ISO_PACKET_DESCRIPTOR* iso,
                            ULONG packets, bool allNominal) {
    const ULONG start = vq36::Load32(&ring.next);
    ULONG next = start < 10 ? start : 0;  // a reader may have written anything; never index outside
    const ULONG kept = packets < 10 ? packets : 10;
    if (allNominal) {
        // Every value is 6: the ten words are compared at once, and only those of the last
        // `kept` pushes (from `next` on, round the ring) that differ are written.
        const __m128i six = _mm_set1_epi32(static_cast<int>(kNominalFrames));
        VQ36_UNCHECKED_READ_BEGIN();
        const UCHAR* words = reinterpret_cast<const UCHAR*>(ring.values);
        const __m128i w0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
        const __m128i w4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 16));
        const __m128i w6 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 24));
        VQ36_UNCHECKED_READ_END();
        const ULONG same =
            static_cast<ULONG>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(w0, six)))) |
            static_cast<ULONG>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(w4, six)))) << 4 |
            (static_cast<ULONG>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(w6, six)))) >> 2)
                << 8;
        const ULONG pushed = ((1u << kept) - 1) << next;
        ULONG differ = (pushed | pushed >> 10) & ~same & 0x3FF;
        while (differ != 0) {
            vq36::Store32(&ring.values[__builtin_ctz(differ)], kNominalFrames);
            differ &= differ - 1;
        }
        next += kept;
        if (next >= 10) next -= 10;
    } else {
        const USBD_ISO_PACKET_DESCRIPTOR* last = iso + (packets - kept);
        for (ULONG k = 0; k < kept; ++k) {
            KeepValue(&ring.values[next], CapturedFrames(last[k].Length));
            if (++next == 10) next = 0;
        }
    }
    if (packets != 0 && next != start) vq36::Store32(&ring.next, next);
}

// x mod d for a divisor of at most kMaxRingBlocks, without a division: the remainder by direct
// computation from a 64-bit reciprocal (exact for every 32-bit x).
constexpr auto kRingModMagic = [] {
    std::array<ULONGLONG, vq36::kMaxRingBlocks + 1> magic{};
    for (ULONG d = 1; d <= vq36::kMaxRingBlocks; ++d) magic[d] = ~0ull / d + 1;
    return magic;
}();

inline ULONG RingMod(ULONGLONG x, ULONG d) {
    if (x > 0xFFFFFFFFu || d > vq36::kMaxRingBlocks) return static_cast<ULONG>(x % d);
    const ULONGLONG fraction = kRingModMagic[d] * x;
    return static_cast<ULONG>((static_cast<unsigned __int128>(fraction) * d) >> 64);
}

// One block boundary: `count` is the count before it, `next` is (count + 1) mod n, and
// `packetsLeft` the packets of the completion from the boundary's own on.
inline void RunBlockBoundary(DeviceContext* ctx, ULONGLONG count, ULONG next, ULONG packetsLeft) {
    vq36::AsioInfo* info = ctx->infoRecord;
    vq36::AsioInfoStatistics& stats = info->statistics;
    const ULONG s = ctx->currentBlockFrames;
    const ULONG n = ctx->ringBlockCount;
    // The user side only ever adds to the pending slips; with none pending there is nothing to
    // take, and the locked exchange (which waits for every store before it) is skipped.
    if (vq36::Load32(&info->pendingUserSlips) != 0) {
        const ULONG slips = vq36::AtomicExchange32(&info->pendingUserSlips, 0);
        vq36::Store32(&stats.userSlips, vq36::Load32(&stats.userSlips) + slips);
    }
    if (!ctx->shortBlockMode && packetsLeft > 8) Bump(&stats.kernOver);
    if (vq36::Load8(&info->eraseBuffers) != 0) {
        const ULONG block = Wrap(next + 4, n);  // (count + 5) mod n
        RtlZeroMemory(
            static_cast<PUCHAR>(ctx->playbackClippedView) + vq36::kPlaybackFrameBytes * s * block,
            vq36::kPlaybackFrameBytes * s);
    }
    // The joined clients' mixing laps (vq36::kDeliveryLapClosed). The lap of the ring block just
    // played, `next`, ends here. Zeroing its count here and clearing a partial sum with it (one
    // that a client behind never completed) would leave a window no client can see: a client
    // two blocks late (still in time while a playback delay holds the block back) whose check
    // of the count came just before this boundary could add after the clearing and count after
    // the zeroing (its sum then joins the next lap's), or complete the block with another
    // client's samples just cleared. So clearing a lap's sum is the kernel's alone, and comes
    // only once no client of the lap can still be at work:
    // - Here the lap is closed with one interlocked or of the marker bit, and nothing is
    //   cleared. A client whose add of the count came first was counted and may still be
    //   completing the block (its sum stays whole); one whose add comes after sees the bit and
    //   leaves the block alone. The kernel never waits for either.
    // - The block is opened for its next lap at the boundary that announces the block whose ring
    //   block it is, (count + 4) mod n: n - 3 boundaries after its close (n is at least 10), and
    //   before any client may deliver into it. A bare marker (the lap was completed before its
    //   close, or had no deliveries) and a count of 0 (its completing client finished after the
    //   close) leave a clean sum; any other count (deliveries without a completion, or after
    //   the close) has the sum cleared. Then the count is 0.
    vq36::AtomicOr32(&info->blockDeliveryCount[next], vq36::kDeliveryLapClosed);
    if (n > 3) {
        const ULONG open = Wrap(next + 3, n);
        const ULONG left = vq36::Load32(&info->blockDeliveryCount[open]);
        if (left != 0) {
            if (left != vq36::kDeliveryLapClosed && ctx->playbackUnclippedView != nullptr) {
                RtlZeroMemory(static_cast<PUCHAR>(ctx->playbackUnclippedView) +
                                  vq36::kPlaybackFrameBytes * s * open,
                              vq36::kPlaybackFrameBytes * s);
            }
            vq36::Store32(&info->blockDeliveryCount[open], 0);
        }
    }
    vq36::Store64(&info->asioBlockCount, count + 1);
    if (ctx->clientCount != 0) {
        const bool noBoost = vq36::Load8(&info->disablePriorityBoost) != 0;
        const ULONGLONG now = KeQueryInterruptTime();
        for (ULONG c = 0; c < ctx->clientCount; ++c) {
            ClientEntry& client = ctx->clientTable[c];
            if (!noBoost && client.threadPriorityField != nullptr &&
                now < vq36::Load64(&info->clientDeadline[client.clientSlot])) {
                *reinterpret_cast<volatile UCHAR*>(client.threadPriorityField) = kRaisedPriority;
            }
            KeSetEvent(client.bufferReadyEvent, kBoundaryIncrement, FALSE);
        }
        vq36::Store64(&info->lastBlockTime, now);
    }
}

// What one completion's processing carries from packet to packet. (Only what the packets need
// often: building it is part of every completion's cost.)
struct Completion {
    DeviceContext* ctx;
    const USBD_ISO_PACKET_DESCRIPTOR* iso;  // the capture request's packets
    USBD_ISO_PACKET_DESCRIPTOR* playbackIso;
    PUCHAR captureBuffer;  // with loopback on, the playback buffer too
    PUCHAR planes;
    ULONG packets;
    ULONG s;
    bool writePlayback;  // the slot's playback request is not in flight
    bool fillPlanes;     // no restart is pending
    bool loopback;
    bool advanceBlocks;
    ULONG planeOffset;  // byte position in every plane
    ULONG position;     // frames into the block
    ULONGLONG count;
    ULONG nextBlock;  // (count + 1) mod n
    ULONG capturedFrames = 0;
    bool sawEmpty = false;
    bool boundaryReached = false;
    bool allNominal = true;  // every packet so far came back with the nominal 288 bytes
};

inline vq36::AsioInfoStatistics& Statistics(const Completion& c) {
    return c.ctx->infoRecord->statistics;
}

// Every block boundary that packet i completes. Kept out of line, as it runs once a block.
__attribute__((noinline)) void RunBoundariesAt(Completion& c, ULONG i) {
    while (c.position >= c.s) {
        if (c.boundaryReached) OrFlags(Statistics(c), vq36::kFlagSecondBoundaryInCompletion);
        c.boundaryReached = true;
        c.position -= c.s;
        RunBlockBoundary(c.ctx, c.count, c.nextBlock, c.packets - i);
        c.count += 1;
        c.nextBlock = c.nextBlock + 1 == c.ctx->ringBlockCount ? 0 : c.nextBlock + 1;
    }
}

// Packet i, whatever it holds: its playback part (40 bytes for every 48 captured, cut down to
// whole 40-byte frames, which is 40 for every frame it counts for), its frames into the planes,
// the loopback packing and the block clock.
__attribute__((noinline)) void ProcessOnePacket(Completion& c, ULONG i) {
    const ULONG length = c.iso[i].Length;
    const ULONG frames = CapturedFrames(length);
    if (length != vq36::kNominalCapturePacketBytes) c.allNominal = false;
    if (length == 0) {
        OrFlags(Statistics(c), vq36::kFlagEmptyPacket);
        c.sawEmpty = true;
    } else if (length > vq36::kMaxCapturePacketBytes) {
        OrFlags(Statistics(c), vq36::kFlagPacketTooLong);
    } else if (length % vq36::kCaptureFrameBytes != 0) {
        OrFlags(Statistics(c), vq36::kFlagPacketNotWholeFrames);
    }
    const ULONG packetCursor = vq36::kPlaybackFrameBytes * c.capturedFrames;
    if (c.writePlayback) {
        c.playbackIso[i].Offset = packetCursor;
        c.playbackIso[i].Length = vq36::kPlaybackFrameBytes * frames;
    }
    c.capturedFrames += frames;
    const UCHAR* packet = c.captureBuffer + vq36::kMaxCapturePacketBytes * i;
    if (c.fillPlanes) {
        c.planeOffset = CopyFramesToPlanes(packet, frames, c.planes, 8 * c.s, c.planeOffset);
    }
    if (c.loopback) {
        // The planes have the frames as captured; now the first 10 samples of every frame go
        // back out, packed in place. The destination never lies beyond the frame being read, so
        // a forward move is safe.
        for (ULONG j = 0; j < frames; ++j) {
            std::memmove(c.captureBuffer + packetCursor + vq36::kPlaybackFrameBytes * j,
                         packet + vq36::kCaptureFrameBytes * j, vq36::kPlaybackFrameBytes);
        }
    }
    if (!c.advanceBlocks) return;
    c.position += frames;
    if (c.position >= c.s) RunBoundariesAt(c, i);
}

// A packet descriptor begins with Offset and Length, side by side.
static_assert(offsetof(USBD_ISO_PACKET_DESCRIPTOR, Offset) == 0 &&
              offsetof(USBD_ISO_PACKET_DESCRIPTOR, Length) == 4);

// Takes the packets from i on `Packets` (8 or 4) at a time, for as long as all of them came back
// with the nominal 288 bytes and no block boundary falls before the last of them (loopback
// off): what ProcessOnePacket would do to each, with the planes filled by `copyRun`. Returns the
// first packet that it left.
template <ULONG Packets>
ULONG ProcessNominalRuns(Completion& c, ULONG i, CopyRunFunction copyRun) {
    constexpr ULONG nominal = vq36::kNominalCapturePacketBytes;
    constexpr ULONG nominalPlayback = vq36::kPlaybackFrameBytes * kNominalFrames;
    constexpr ULONG runFrames = Packets * kNominalFrames;
    constexpr ULONG runPlaneBytes = 4 * runFrames;
    // What stays the same for the whole completion, in locals: the de-interleaving is called
    // through a pointer, after which every field of `c` would be read again.
    const ULONG packets = c.packets;
    const ULONG s = c.s;
    const ULONG planeBytes = 8 * s;
    const bool advanceBlocks = c.advanceBlocks;
    const bool writePlayback = c.writePlayback;
    const bool fillPlanes = c.fillPlanes;
    const USBD_ISO_PACKET_DESCRIPTOR* const iso = c.iso;
    USBD_ISO_PACKET_DESCRIPTOR* const playbackIso = c.playbackIso;
    const UCHAR* const captureBuffer = c.captureBuffer;
    const PUCHAR planes = c.planes;
    ULONG frames = c.capturedFrames;
    ULONG planeOffset = c.planeOffset;
    ULONG position = c.position;
    while (packets - i >= Packets) {
        const USBD_ISO_PACKET_DESCRIPTOR* in = iso + i;
        ULONG odd = 0;
#pragma GCC unroll 8
        for (ULONG k = 0; k < Packets; ++k) odd |= in[k].Length ^ nominal;
        if (odd != 0) break;
        if (advanceBlocks && position + runFrames - kNominalFrames >= s) break;
        if (writePlayback) {
            // Offset and Length side by side, in one 8-byte store (little-endian); the offsets
            // stay far below 2^32, so each packet's pair is the first one's plus 240.
            const ULONGLONG first =
                static_cast<ULONGLONG>(nominalPlayback) << 32 | vq36::kPlaybackFrameBytes * frames;
            USBD_ISO_PACKET_DESCRIPTOR* out = playbackIso + i;
#pragma GCC unroll 8
            for (ULONG k = 0; k < Packets; ++k) {
                const ULONGLONG placed = first + nominalPlayback * k;
                std::memcpy(&out[k], &placed, sizeof placed);
            }
        }
        frames += runFrames;
        const UCHAR* run = captureBuffer + vq36::kMaxCapturePacketBytes * i;
        if (fillPlanes) {
            if (planeOffset + runPlaneBytes <= planeBytes) {
                copyRun(run, planes + planeOffset, planeBytes);
                planeOffset += runPlaneBytes;
                if (planeOffset == planeBytes) planeOffset = 0;
            } else {
                planeOffset = CopyPacketsToPlanes(run, Packets, planes, planeBytes, planeOffset);
            }
        }
        i += Packets;
        if (advanceBlocks) {
            position += runFrames;
            if (position >= s) {
                c.position = position;
                RunBoundariesAt(c, i - 1);
                position = c.position;
            }
        }
    }
    c.capturedFrames = frames;
    c.planeOffset = planeOffset;
    c.position = position;
    return i;
}

}  // namespace

ULONG gCaptureMoveBits = 512;

UCHAR ProcessCapturePacket(DeviceContext* ctx, ULONG slot, UCHAR advanceBlocks) {
    vq36::AsioInfo* info = ctx->infoRecord;
    vq36::AsioInfoStatistics& stats = info->statistics;
    const ULONG s = ctx->currentBlockFrames;
    const ULONG n = ctx->ringBlockCount;
    if (s == 0 || n == 0) return 0;  // no block size installed: nothing to place

    _URB_ISOCH_TRANSFER* capture =
        &reinterpret_cast<PURB>(ctx->captureUrbs[slot])->UrbIsochronousTransfer;
    _URB_ISOCH_TRANSFER* playback =
        &reinterpret_cast<PURB>(ctx->playbackUrbs[slot])->UrbIsochronousTransfer;
    // While the slot's previous playback request is still in flight its URB is left alone;
    // the sizing below then only serves the overhang bookkeeping.
    const bool writePlayback = !ctx->playbackBusy[slot];
    const ULONG packets = capture->NumberOfPackets;

    const ULONG ringBytes = n * s * vq36::kPlaybackFrameBytes;
    const ULONG planeBytes = 8 * s;
    const ULONGLONG count = vq36::Load64(&info->asioBlockCount);
    const ULONG position = ctx->blockPosition;
    const ULONG leadBytes = ctx->leadBytes;

    const ULONG planeOffset =
        Wrap(4 * s * static_cast<ULONG>((count + 1) % 2) + 4 * position, planeBytes);
    const ULONG ringBlock = RingMod(count + 1, n);
    const ULONG playbackOffset = Wrap(vq36::kPlaybackFrameBytes * s * ringBlock +
                                          vq36::kPlaybackFrameBytes * position + leadBytes,
                                      ringBytes);
    const bool loopback = vq36::Load8(&info->kernelLoopback) != 0;
    ctx->captureFailures = 0;
    if (leadBytes >= ringBytes) ctx->restartPending = 1;

    PUCHAR captureBuffer = ctx->capturePool + slot * vq36::kCaptureSlotBytes;
    PUCHAR playbackBuffer =
        loopback ? captureBuffer : static_cast<PUCHAR>(ctx->playbackClippedView) + playbackOffset;
    if (writePlayback) playback->TransferBuffer = playbackBuffer;

    Completion c{ctx,
                 capture->IsoPacket,
                 playback->IsoPacket,
                 captureBuffer,
                 static_cast<PUCHAR>(ctx->capturePlanesView),
                 packets,
                 s,
                 writePlayback,
                 !ctx->restartPending,
                 loopback,
                 advanceBlocks != 0,
                 planeOffset,
                 position,
                 count,
                 ringBlock};
    // Nominal packets go eight or four at a time, unless a block boundary falls before the last
    // of them (the boundary must find exactly the frames before it in the planes) or loopback
    // is on.
    const CopyRuns& copyRuns = ChooseCopyRuns();
    ULONG i = 0;
    while (i < packets) {
        if (!loopback) {
            i = ProcessNominalRuns<8>(c, i, copyRuns.eight);
            if (packets - i >= 4) i = ProcessNominalRuns<4>(c, i, copyRuns.four);
        }
        if (i < packets) ProcessOnePacket(c, i++);
    }
    const ULONG captured = c.capturedFrames;
    const ULONG endPosition = c.position;

    const ULONG cursor = vq36::kPlaybackFrameBytes * captured;
    if (writePlayback) {
        playback->TransferBufferLength = cursor;
        playback->StartFrame =
            capture->StartFrame + ctx->leadMillisecs + ctx->playbackDelayMillisecs;
    }
    const ULONG playbackEnd = playbackOffset + cursor;
    if (advanceBlocks && playbackEnd >= ringBytes) {
        if (vq36::Load32(&info->tailBytes) != 0) OrFlags(stats, vq36::kFlagTailBytesOverwritten);
        vq36::Store32(&info->tailBytes, static_cast<LONG>(playbackEnd - ringBytes));
    }
    if (!c.sawEmpty) {
        const ULONGLONG totalFrames = ctx->framesCapturedTotal + captured;
        const ULONG totalMillisecs = ctx->millisecsCapturedTotal + packets / 8;
        ctx->framesCapturedTotal = totalFrames;
        ctx->millisecsCapturedTotal = totalMillisecs;
        if (totalMillisecs != 0) {
            // The estimate seldom moves: when the record already holds the quotient (q x m at
            // most the dividend, and less than m below it), a multiplication shows it and the
            // division is left out. The same value is stored either way.
            const ULONGLONG dividend = totalFrames * 1000;
            const ULONG held = vq36::Load32(&stats.estSampleRate);
            const ULONGLONG product = static_cast<ULONGLONG>(held) * totalMillisecs;
            const bool holds = product <= dividend && dividend - product < totalMillisecs;
            vq36::Store32(&stats.estSampleRate,
                          holds ? held : static_cast<ULONG>(dividend / totalMillisecs));
        }
    }
    PushRecentPacketFrames(stats.uframeSamples, capture->IsoPacket, packets, c.allNominal);
    vq36::StatisticsRingPush(&stats.usbLeftoverRdBuf, endPosition);
    vq36::StatisticsRingPush(&stats.readReqSamples, captured);
    if (!ctx->shortBlockMode && !c.boundaryReached) Bump(&stats.kernUnder);
    vq36::Store32(&stats.unusedUsbRdBuf, endPosition);
    vq36::Store32(&stats.pendingRdFrames, ctx->millisecsInFlight);
    ctx->blockPosition = endPosition;
    return c.boundaryReached ? 1 : 0;
}
