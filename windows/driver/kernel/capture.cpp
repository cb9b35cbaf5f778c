// Capture processing: de-interleaving every good capture completion into the capture planes,
// sizing the paired playback request into the playback ring at a fixed lead, and the block
// boundaries that advance the block count and wake the clients.

#include "driver.h"

#include <cstring>

#include <immintrin.h>

namespace {

constexpr UCHAR kRaisedPriority = 31;
constexpr CCHAR kBoundaryIncrement = 8;

void OrFlags(vq36::AsioInfoStatistics& stats, ULONG bits) {
    vq36::Store32(&stats.genericFlags, vq36::Load32(&stats.genericFlags) | bits);
}

void Bump(volatile vq36::UnalignedU32* counter) {
    vq36::Store32(counter, vq36::Load32(counter) + 1);
}

// Copies `frames` captured frames (12 samples each) into the 12 planes, one sample to each,
// starting at byte `position` of every plane and wrapping at the plane's end. Groups of four
// (or two) frames go through a 4 x 4 (or 2 x 4) transpose per four channels; the samples are
// only moved, never converted, so every bit pattern arrives as captured.
inline ULONG CopyFramesToPlanes(const UCHAR* source, ULONG frames, PUCHAR planes,
                                ULONG planeBytes, ULONG position) {
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

}  // namespace

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
    ULONGLONG count = vq36::Load64(&info->asioBlockCount);
    ULONG position = ctx->blockPosition;

    ULONG planeOffset =
        (4 * s * static_cast<ULONG>((count + 1) % 2) + 4 * position) % planeBytes;
    const ULONG ringBlock = static_cast<ULONG>((count + 1) % n);
    const ULONG playbackOffset =
        (vq36::kPlaybackFrameBytes * s * ringBlock + vq36::kPlaybackFrameBytes * position +
         ctx->leadBytes) %
        ringBytes;
    const bool loopback = vq36::Load8(&info->kernelLoopback) != 0;
    ctx->captureFailures = 0;
    if (ctx->leadBytes >= ringBytes) ctx->restartPending = 1;

    PUCHAR captureBuffer = ctx->capturePool + slot * vq36::kCaptureSlotBytes;
    PUCHAR playbackBuffer =
        loopback ? captureBuffer : static_cast<PUCHAR>(ctx->playbackClippedView) + playbackOffset;
    if (writePlayback) playback->TransferBuffer = playbackBuffer;
    PUCHAR planes = static_cast<PUCHAR>(ctx->capturePlanesView);

    ULONG cursor = 0;
    ULONG capturedBytes = 0;
    bool sawEmpty = false;
    bool boundaryReached = false;
    const bool erase = vq36::Load8(&info->eraseBuffers) != 0;
    const bool noBoost = vq36::Load8(&info->disablePriorityBoost) != 0;

    ULONG recentFrames[10];
    for (ULONG i = 0; i < packets; ++i) {
        const UCHAR* packet = captureBuffer + vq36::kMaxCapturePacketBytes * i;
        ULONG d = capture->IsoPacket[i].Length;
        ULONG e = d * 10 / 12;
        if (d == 0) {
            OrFlags(stats, vq36::kFlagEmptyPacket);
            d = vq36::kNominalCapturePacketBytes;
            e = 240;
            sawEmpty = true;
        }
        if (d > vq36::kMaxCapturePacketBytes) {
            OrFlags(stats, vq36::kFlagPacketTooLong);
            d = vq36::kNominalCapturePacketBytes;
            e = 240;
        }
        const ULONG frames = d / vq36::kCaptureFrameBytes;
        // The frames of each packet go into the uframeSamples ring; only its last ten
        // entries survive a completion, so they are kept here and stored once at the end.
        recentFrames[i % 10] = frames;
        if (d % vq36::kCaptureFrameBytes != 0) {
            OrFlags(stats, vq36::kFlagPacketNotWholeFrames);
            d -= d % vq36::kCaptureFrameBytes;
            e -= e % vq36::kPlaybackFrameBytes;
        }
        if (writePlayback) {
            playback->IsoPacket[i].Offset = cursor;
            playback->IsoPacket[i].Length = e;
        }
        const ULONG packetCursor = cursor;
        cursor += e;
        capturedBytes += d;

        // The planes receive the frames as captured. In loopback mode they are copied before
        // the packing below rewrites the capture buffer in place.
        if (!ctx->restartPending) {
            planeOffset = CopyFramesToPlanes(packet, frames, planes, planeBytes, planeOffset);
        } else {
            planeOffset = (planeOffset + 4 * frames) % planeBytes;
        }
        if (loopback) {
            // The first 10 samples of every frame go back out; the destination never lies
            // beyond the frame being read, so a forward move is safe.
            for (ULONG j = 0; j < frames; ++j) {
                std::memmove(playbackBuffer + packetCursor + vq36::kPlaybackFrameBytes * j,
                             packet + vq36::kCaptureFrameBytes * j, vq36::kPlaybackFrameBytes);
            }
        }

        if (!advanceBlocks) continue;
        position += frames;
        while (position >= s) {
            // Block boundary; `count` is the count before it.
            if (boundaryReached) OrFlags(stats, vq36::kFlagSecondBoundaryInCompletion);
            boundaryReached = true;
            position -= s;
            const ULONG slips = vq36::AtomicExchange32(&info->pendingUserSlips, 0);
            vq36::Store32(&stats.userSlips, vq36::Load32(&stats.userSlips) + slips);
            if (!ctx->shortBlockMode && packets - i > 8) Bump(&stats.kernOver);
            if (erase) {
                const ULONG block = static_cast<ULONG>((count + 5) % n);
                RtlZeroMemory(static_cast<PUCHAR>(ctx->playbackClippedView) +
                                  vq36::kPlaybackFrameBytes * s * block,
                              vq36::kPlaybackFrameBytes * s);
            }
            // A joined block that one of the clients never delivered (it was catching up)
            // leaves its partial sum behind; the accumulator block is cleared with its delivery
            // count so that the next lap does not add the stale sum to its own. A completed
            // block (count 0) was cleared by the client that completed it.
            const ULONG stale = static_cast<ULONG>((count + 1) % n);
            if (ctx->playbackUnclippedView != nullptr &&
                vq36::Load32(&info->blockDeliveryCount[stale]) != 0) {
                RtlZeroMemory(static_cast<PUCHAR>(ctx->playbackUnclippedView) +
                                  vq36::kPlaybackFrameBytes * s * stale,
                              vq36::kPlaybackFrameBytes * s);
            }
            vq36::Store32(&info->blockDeliveryCount[stale], 0);
            count += 1;
            vq36::Store64(&info->asioBlockCount, count);
            if (ctx->clientCount != 0) {
                const ULONGLONG now = KeQueryInterruptTime();
                for (ULONG c = 0; c < ctx->clientCount; ++c) {
                    ClientEntry& client = ctx->clientTable[c];
                    if (!noBoost && client.threadPriorityField != nullptr &&
                        now < vq36::Load64(&info->clientDeadline[client.clientSlot])) {
                        *reinterpret_cast<volatile UCHAR*>(client.threadPriorityField) =
                            kRaisedPriority;
                    }
                    KeSetEvent(client.bufferReadyEvent, kBoundaryIncrement, FALSE);
                }
                vq36::Store64(&info->lastBlockTime, now);
            }
        }
    }

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
    if (!sawEmpty) {
        ctx->framesCapturedTotal += capturedBytes / vq36::kCaptureFrameBytes;
        ctx->millisecsCapturedTotal += packets / 8;
        if (ctx->millisecsCapturedTotal != 0) {
            vq36::Store32(&stats.estSampleRate,
                          static_cast<ULONG>(ctx->framesCapturedTotal * 1000 /
                                             ctx->millisecsCapturedTotal));
        }
    }
    const ULONG kept = packets < 10 ? packets : 10;
    for (ULONG k = packets - kept; k < packets; ++k) {
        vq36::StatisticsRingPush(&stats.uframeSamples, recentFrames[k % 10]);
    }
    vq36::StatisticsRingPush(&stats.usbLeftoverRdBuf, position);
    vq36::StatisticsRingPush(&stats.readReqSamples, capturedBytes / vq36::kCaptureFrameBytes);
    if (!ctx->shortBlockMode && !boundaryReached) Bump(&stats.kernUnder);
    vq36::Store32(&stats.unusedUsbRdBuf, position);
    vq36::Store32(&stats.pendingRdFrames, ctx->millisecsInFlight);
    ctx->blockPosition = position;
    return boundaryReached ? 1 : 0;
}
