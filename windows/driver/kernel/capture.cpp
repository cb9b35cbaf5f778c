// Capture processing: de-interleaving every good capture completion into the capture planes,
// sizing the paired playback request into the playback ring at a fixed lead, and the block
// boundaries that advance the block count and wake the clients.

#include "driver.h"

#include <cstring>

#include <immintrin.h>

namespace {

constexpr UCHAR kRaisedPriority = 31;
constexpr CCHAR kBoundaryIncrement = 8;

// A nominal packet carries 6 frames; four of them (24 frames, 96 bytes of every plane) are the
// unit of the fast de-interleaving below.
constexpr ULONG kNominalFrames = vq36::kNominalCapturePacketBytes / vq36::kCaptureFrameBytes;
constexpr ULONG kQuadPackets = 4;
constexpr ULONG kQuadFrames = kQuadPackets * kNominalFrames;
constexpr ULONG kQuadPlaneBytes = 4 * kQuadFrames;

void OrFlags(vq36::AsioInfoStatistics& stats, ULONG bits) {
    vq36::Store32(&stats.genericFlags, vq36::Load32(&stats.genericFlags) | bits);
}

void Bump(volatile vq36::UnalignedU32* counter) {
    vq36::Store32(counter, vq36::Load32(counter) + 1);
}

// The frames a packet of `length` returned bytes counts for: its whole frames, or a nominal
// packet's 6 when it came back empty or longer than a packet can be.
inline ULONG CapturedFrames(ULONG length) {
    if (length == 0 || length > vq36::kMaxCapturePacketBytes) return kNominalFrames;
    return length / vq36::kCaptureFrameBytes;
}

// Where frame f (0 to 23) of four consecutive nominal packets starts, from the first packet.
constexpr ULONG QuadFrameOffset(ULONG f) {
    return vq36::kMaxCapturePacketBytes * (f / kNominalFrames) +
           vq36::kCaptureFrameBytes * (f % kNominalFrames);
}

// Copies the 24 frames of four nominal packets into the 12 planes at `at` (the position in
// plane 0; plane c lies c x planeBytes further), 96 bytes to each plane, none of them wrapping.
// Eight frames at a time: each 256-bit row holds four channels of frame k in its low half and
// of frame k + 4 in its high half, and one 4 x 4 transpose per half leaves eight consecutive
// samples of one channel in each row.
__attribute__((target("avx2"))) void CopyQuadAvx2(const UCHAR* quad, PUCHAR at, ULONG planeBytes) {
#pragma GCC unroll 3
    for (ULONG step = 0; step < kQuadFrames; step += 8) {
#pragma GCC unroll 3
        for (ULONG g = 0; g < 3; ++g) {
            __m256 r[4];
#pragma GCC unroll 4
            for (ULONG k = 0; k < 4; ++k) {
                const float* low =
                    reinterpret_cast<const float*>(quad + QuadFrameOffset(step + k) + 16 * g);
                const float* high =
                    reinterpret_cast<const float*>(quad + QuadFrameOffset(step + k + 4) + 16 * g);
                r[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)),
                                            _mm_loadu_ps(high), 1);
            }
            const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
            const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
            const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
            const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
            PUCHAR base = at + 4 * g * planeBytes + 4 * step;
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
}

// The same with 128-bit rows, four frames at a time, for processors without AVX2; the samples
// are only moved, so both leave the same bytes.
void CopyQuadSse(const UCHAR* quad, PUCHAR at, ULONG planeBytes) {
#pragma GCC unroll 6
    for (ULONG step = 0; step < kQuadFrames; step += 4) {
#pragma GCC unroll 3
        for (ULONG g = 0; g < 3; ++g) {
            __m128 r0 =
                _mm_loadu_ps(reinterpret_cast<const float*>(quad + QuadFrameOffset(step) + 16 * g));
            __m128 r1 = _mm_loadu_ps(
                reinterpret_cast<const float*>(quad + QuadFrameOffset(step + 1) + 16 * g));
            __m128 r2 = _mm_loadu_ps(
                reinterpret_cast<const float*>(quad + QuadFrameOffset(step + 2) + 16 * g));
            __m128 r3 = _mm_loadu_ps(
                reinterpret_cast<const float*>(quad + QuadFrameOffset(step + 3) + 16 * g));
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            PUCHAR base = at + 4 * g * planeBytes + 4 * step;
            _mm_storeu_ps(reinterpret_cast<float*>(base), r0);
            _mm_storeu_ps(reinterpret_cast<float*>(base + planeBytes), r1);
            _mm_storeu_ps(reinterpret_cast<float*>(base + 2 * planeBytes), r2);
            _mm_storeu_ps(reinterpret_cast<float*>(base + 3 * planeBytes), r3);
        }
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
            const float* f = reinterpret_cast<const float*>(source + j * vq36::kCaptureFrameBytes);
            for (ULONG g = 0; g < 3; ++g) {
                __m128 r0 = _mm_loadu_ps(f + 0 * 12 + 4 * g);
                __m128 r1 = _mm_loadu_ps(f + 1 * 12 + 4 * g);
                __m128 r2 = _mm_loadu_ps(f + 2 * 12 + 4 * g);
                __m128 r3 = _mm_loadu_ps(f + 3 * 12 + 4 * g);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                PUCHAR base = planes + 4 * g * planeBytes + position;
                _mm_storeu_ps(reinterpret_cast<float*>(base), r0);
                _mm_storeu_ps(reinterpret_cast<float*>(base + planeBytes), r1);
                _mm_storeu_ps(reinterpret_cast<float*>(base + 2 * planeBytes), r2);
                _mm_storeu_ps(reinterpret_cast<float*>(base + 3 * planeBytes), r3);
            }
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

// Pushes the frames of the last ten packets (or of all, when fewer) into the uframeSamples ring,
// as one push per packet would leave it, reading and writing the ring's index once.
void PushRecentPacketFrames(vq36::AsioInfoStatistics& stats, const USBD_ISO_PACKET_DESCRIPTOR* iso,
                            ULONG packets) {
    ULONG next = vq36::Load32(&stats.uframeSamples.next);
    if (next >= 10) next = 0;  // a reader may have written anything here; never index outside
    for (ULONG k = packets < 10 ? 0 : packets - 10; k < packets; ++k) {
        vq36::Store32(&stats.uframeSamples.values[next], CapturedFrames(iso[k].Length));
        next = next == 9 ? 0 : next + 1;
    }
    if (packets != 0) vq36::Store32(&stats.uframeSamples.next, next);
}

// One block boundary: `count` is the count before it, `packetsLeft` the packets of the
// completion from the boundary's own on. Kept out of line, as it runs once a block.
__attribute__((noinline)) void RunBlockBoundary(DeviceContext* ctx, ULONGLONG count,
                                                ULONG packetsLeft, bool erase, bool noBoost) {
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
    if (erase) {
        const ULONG block = static_cast<ULONG>((count + 5) % n);
        RtlZeroMemory(
            static_cast<PUCHAR>(ctx->playbackClippedView) + vq36::kPlaybackFrameBytes * s * block,
            vq36::kPlaybackFrameBytes * s);
    }
    // A joined block that one of the clients never delivered (it was catching up)
    // leaves its partial sum behind; the accumulator block is cleared with its delivery
    // count so that the next lap does not add the stale sum to its own. A completed
    // block (count 0) was cleared by the client that completed it.
    const ULONG stale = static_cast<ULONG>((count + 1) % n);
    if (ctx->playbackUnclippedView != nullptr &&
        vq36::Load32(&info->blockDeliveryCount[stale]) != 0) {
        RtlZeroMemory(
            static_cast<PUCHAR>(ctx->playbackUnclippedView) + vq36::kPlaybackFrameBytes * s * stale,
            vq36::kPlaybackFrameBytes * s);
    }
    vq36::Store32(&info->blockDeliveryCount[stale], 0);
    vq36::Store64(&info->asioBlockCount, count + 1);
    if (ctx->clientCount != 0) {
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

// What one completion's processing carries from packet to packet.
struct Completion {
    DeviceContext* ctx;
    vq36::AsioInfoStatistics& stats;
    const USBD_ISO_PACKET_DESCRIPTOR* iso;  // the capture request's packets
    USBD_ISO_PACKET_DESCRIPTOR* playbackIso;
    const UCHAR* captureBuffer;
    PUCHAR playbackBuffer;
    PUCHAR planes;
    ULONG packets;
    ULONG s;
    ULONG planeBytes;
    bool writePlayback;  // the slot's playback request is not in flight
    bool fillPlanes;     // no restart is pending
    bool loopback;
    bool advanceBlocks;
    bool erase;
    bool noBoost;
    ULONG planeOffset;  // byte position in every plane
    ULONG position;     // frames into the block
    ULONGLONG count;
    ULONG capturedFrames = 0;
    bool sawEmpty = false;
    bool boundaryReached = false;
};

// Every block boundary that packet i completes.
void RunBoundariesAt(Completion& c, ULONG i) {
    while (c.position >= c.s) {
        if (c.boundaryReached) OrFlags(c.stats, vq36::kFlagSecondBoundaryInCompletion);
        c.boundaryReached = true;
        c.position -= c.s;
        RunBlockBoundary(c.ctx, c.count, c.packets - i, c.erase, c.noBoost);
        c.count += 1;
    }
}

// Packet i, whatever it holds: its playback part (40 bytes for every 48 captured, cut down to
// whole 40-byte frames, which is 40 for every frame it counts for), its frames into the planes,
// the loopback packing and the block clock.
__attribute__((noinline)) void ProcessOnePacket(Completion& c, ULONG i) {
    const ULONG length = c.iso[i].Length;
    const ULONG frames = CapturedFrames(length);
    if (length == 0) {
        OrFlags(c.stats, vq36::kFlagEmptyPacket);
        c.sawEmpty = true;
    } else if (length > vq36::kMaxCapturePacketBytes) {
        OrFlags(c.stats, vq36::kFlagPacketTooLong);
    } else if (length % vq36::kCaptureFrameBytes != 0) {
        OrFlags(c.stats, vq36::kFlagPacketNotWholeFrames);
    }
    const ULONG packetCursor = vq36::kPlaybackFrameBytes * c.capturedFrames;
    if (c.writePlayback) {
        c.playbackIso[i].Offset = packetCursor;
        c.playbackIso[i].Length = vq36::kPlaybackFrameBytes * frames;
    }
    c.capturedFrames += frames;
    const UCHAR* packet = c.captureBuffer + vq36::kMaxCapturePacketBytes * i;
    if (c.fillPlanes) {
        c.planeOffset = CopyFramesToPlanes(packet, frames, c.planes, c.planeBytes, c.planeOffset);
    }
    if (c.loopback) {
        // The planes have the frames as captured; now the first 10 samples of every frame go
        // back out, packed in place. The destination never lies beyond the frame being read, so
        // a forward move is safe.
        for (ULONG j = 0; j < frames; ++j) {
            std::memmove(c.playbackBuffer + packetCursor + vq36::kPlaybackFrameBytes * j,
                         packet + vq36::kCaptureFrameBytes * j, vq36::kPlaybackFrameBytes);
        }
    }
    if (!c.advanceBlocks) return;
    c.position += frames;
    RunBoundariesAt(c, i);
}

// Packets i to i + 3 when all four came back with the nominal 288 bytes, loopback is off and no
// block boundary falls before the last of them: what ProcessOnePacket would do to each, with
// the planes filled eight frames at a time where the processor allows.
inline void ProcessNominalQuad(Completion& c, ULONG i, bool avx2) {
    if (c.writePlayback) {
        const ULONG cursor = vq36::kPlaybackFrameBytes * c.capturedFrames;
        for (ULONG k = 0; k < kQuadPackets; ++k) {
            c.playbackIso[i + k].Offset = cursor + vq36::kPlaybackFrameBytes * kNominalFrames * k;
            c.playbackIso[i + k].Length = vq36::kPlaybackFrameBytes * kNominalFrames;
        }
    }
    c.capturedFrames += kQuadFrames;
    const UCHAR* quad = c.captureBuffer + vq36::kMaxCapturePacketBytes * i;
    if (c.fillPlanes) {
        if (c.planeOffset + kQuadPlaneBytes <= c.planeBytes) {
            if (avx2) {
                CopyQuadAvx2(quad, c.planes + c.planeOffset, c.planeBytes);
            } else {
                CopyQuadSse(quad, c.planes + c.planeOffset, c.planeBytes);
            }
            c.planeOffset += kQuadPlaneBytes;
            if (c.planeOffset == c.planeBytes) c.planeOffset = 0;
        } else {
            for (ULONG k = 0; k < kQuadPackets; ++k) {
                c.planeOffset =
                    CopyFramesToPlanes(quad + vq36::kMaxCapturePacketBytes * k, kNominalFrames,
                                       c.planes, c.planeBytes, c.planeOffset);
            }
        }
    }
    if (!c.advanceBlocks) return;
    c.position += kQuadFrames;
    RunBoundariesAt(c, i + kQuadPackets - 1);
}

}  // namespace

bool gCaptureWideMoves = true;

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

    const ULONG planeOffset =
        (4 * s * static_cast<ULONG>((count + 1) % 2) + 4 * position) % planeBytes;
    const ULONG ringBlock = static_cast<ULONG>((count + 1) % n);
    const ULONG playbackOffset = (vq36::kPlaybackFrameBytes * s * ringBlock +
                                  vq36::kPlaybackFrameBytes * position + ctx->leadBytes) %
                                 ringBytes;
    const bool loopback = vq36::Load8(&info->kernelLoopback) != 0;
    ctx->captureFailures = 0;
    if (ctx->leadBytes >= ringBytes) ctx->restartPending = 1;

    PUCHAR captureBuffer = ctx->capturePool + slot * vq36::kCaptureSlotBytes;
    PUCHAR playbackBuffer =
        loopback ? captureBuffer : static_cast<PUCHAR>(ctx->playbackClippedView) + playbackOffset;
    if (writePlayback) playback->TransferBuffer = playbackBuffer;

    Completion c{ctx,
                 stats,
                 capture->IsoPacket,
                 playback->IsoPacket,
                 captureBuffer,
                 playbackBuffer,
                 static_cast<PUCHAR>(ctx->capturePlanesView),
                 packets,
                 s,
                 planeBytes,
                 writePlayback,
                 !ctx->restartPending,
                 loopback,
                 advanceBlocks != 0,
                 vq36::Load8(&info->eraseBuffers) != 0,
                 vq36::Load8(&info->disablePriorityBoost) != 0,
                 planeOffset,
                 position,
                 count};
    // Nominal packets go four at a time, unless a block boundary falls before the fourth (the
    // boundary must find exactly the frames before it in the planes) or loopback is on.
    const bool avx2 = gCaptureWideMoves && __builtin_cpu_supports("avx2");
    const ULONG quadFramesBeforeLast = kQuadFrames - kNominalFrames;
    ULONG i = 0;
    while (i < packets) {
        if (packets - i >= kQuadPackets && !loopback &&
            (!c.advanceBlocks || c.position + quadFramesBeforeLast < s) &&
            ((c.iso[i].Length ^ vq36::kNominalCapturePacketBytes) |
             (c.iso[i + 1].Length ^ vq36::kNominalCapturePacketBytes) |
             (c.iso[i + 2].Length ^ vq36::kNominalCapturePacketBytes) |
             (c.iso[i + 3].Length ^ vq36::kNominalCapturePacketBytes)) == 0) {
            ProcessNominalQuad(c, i, avx2);
            i += kQuadPackets;
        } else {
            ProcessOnePacket(c, i);
            i += 1;
        }
    }

    const ULONG cursor = vq36::kPlaybackFrameBytes * c.capturedFrames;
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
        ctx->framesCapturedTotal += c.capturedFrames;
        ctx->millisecsCapturedTotal += packets / 8;
        if (ctx->millisecsCapturedTotal != 0) {
            vq36::Store32(&stats.estSampleRate, static_cast<ULONG>(ctx->framesCapturedTotal * 1000 /
                                                                   ctx->millisecsCapturedTotal));
        }
    }
    PushRecentPacketFrames(stats, capture->IsoPacket, packets);
    vq36::StatisticsRingPush(&stats.usbLeftoverRdBuf, c.position);
    vq36::StatisticsRingPush(&stats.readReqSamples, c.capturedFrames);
    if (!ctx->shortBlockMode && !c.boundaryReached) Bump(&stats.kernUnder);
    vq36::Store32(&stats.unusedUsbRdBuf, c.position);
    vq36::Store32(&stats.pendingRdFrames, ctx->millisecsInFlight);
    ctx->blockPosition = c.position;
    return c.boundaryReached ? 1 : 0;
}
