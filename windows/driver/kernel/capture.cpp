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

// Moves four captured frames (12 samples each, rows r0 to r3) into the 12 planes at byte
// `position`: a 4 x 4 transpose per four channels. The samples are only moved, never converted,
// so every bit pattern arrives as captured.
inline void CopyFourFrames(const float* r0, const float* r1, const float* r2, const float* r3,
                           PUCHAR planes, ULONG planeBytes, ULONG position) {
    for (ULONG g = 0; g < 3; ++g) {
        __m128 a = _mm_loadu_ps(r0 + 4 * g);
        __m128 b = _mm_loadu_ps(r1 + 4 * g);
        __m128 c = _mm_loadu_ps(r2 + 4 * g);
        __m128 d = _mm_loadu_ps(r3 + 4 * g);
        _MM_TRANSPOSE4_PS(a, b, c, d);
        PUCHAR base = planes + 4 * g * planeBytes + position;
        _mm_storeu_ps(reinterpret_cast<float*>(base), a);
        _mm_storeu_ps(reinterpret_cast<float*>(base + planeBytes), b);
        _mm_storeu_ps(reinterpret_cast<float*>(base + 2 * planeBytes), c);
        _mm_storeu_ps(reinterpret_cast<float*>(base + 3 * planeBytes), d);
    }
}

// Copies the frames of a completion's packets into the planes, frame after frame from byte
// `position` of every plane, wrapping at the plane's end. Frames go four at a time, also across
// the ends of packets (a packet of 6 frames leaves two for the next one's first two).
class PlaneWriter {
  public:
    PlaneWriter(PUCHAR planes, ULONG planeBytes, ULONG position)
        : planes_(planes), planeBytes_(planeBytes), position_(position) {}

    void add(const UCHAR* packet, ULONG frames) {
        const auto* f = reinterpret_cast<const float*>(packet);
        ULONG j = 0;
        while (have_ != 0 && j < frames) push(f + 12 * j++);
        for (; frames - j >= 4 && position_ + 16 <= planeBytes_; j += 4) {
            CopyFourFrames(f + 12 * j, f + 12 * (j + 1), f + 12 * (j + 2), f + 12 * (j + 3),
                           planes_, planeBytes_, position_);
            advance(16);
        }
        while (j < frames) push(f + 12 * j++);
    }

    // Writes the frames still held.
    void finish() {
        for (ULONG k = 0; k < have_; ++k) single(rows_[k]);
        have_ = 0;
    }

  private:
    void push(const float* row) {
        rows_[have_++] = row;
        if (have_ < 4) return;
        have_ = 0;
        if (position_ + 16 <= planeBytes_) {
            CopyFourFrames(rows_[0], rows_[1], rows_[2], rows_[3], planes_, planeBytes_, position_);
            advance(16);
        } else {
            for (const float* r : rows_) single(r);
        }
    }

    void single(const float* row) {
        PUCHAR destination = planes_ + position_;
        for (ULONG c = 0; c < vq36::kCaptureChannels; ++c) {
            std::memcpy(destination + c * planeBytes_, row + c, 4);
        }
        advance(4);
    }

    void advance(ULONG bytes) {
        position_ += bytes;
        if (position_ == planeBytes_) position_ = 0;
    }

    PUCHAR planes_;
    ULONG planeBytes_;
    ULONG position_;
    const float* rows_[4] = {};
    ULONG have_ = 0;
};

// The frames a packet counts for: empty and over-long packets count as a nominal packet.
inline ULONG CountedFrames(ULONG length) {
    if (length == 0 || length > vq36::kMaxCapturePacketBytes) {
        return vq36::kNominalCapturePacketBytes / vq36::kCaptureFrameBytes;
    }
    return length / vq36::kCaptureFrameBytes;
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
    PUCHAR planes = static_cast<PUCHAR>(ctx->capturePlanesView);

    ULONG cursor = 0;
    ULONG capturedBytes = 0;
    bool sawEmpty = false;
    bool boundaryReached = false;
    const bool erase = vq36::Load8(&info->eraseBuffers) != 0;
    const bool noBoost = vq36::Load8(&info->disablePriorityBoost) != 0;

    // The planes receive every packet's frames as captured before any boundary of this
    // completion wakes a client (and, in loopback mode, before the packing below rewrites the
    // capture buffer in place). While a restart is pending they are not written.
    if (!ctx->restartPending) {
        PlaneWriter writer(planes, planeBytes, planeOffset);
        for (ULONG i = 0; i < packets; ++i) {
            writer.add(captureBuffer + vq36::kMaxCapturePacketBytes * i,
                       CountedFrames(capture->IsoPacket[i].Length));
        }
        writer.finish();
    }

    for (ULONG i = 0; i < packets; ++i) {
        const ULONG length = capture->IsoPacket[i].Length;
        ULONG d = length;
        ULONG e;
        if (length != 0 && length <= vq36::kMaxCapturePacketBytes &&
            length % vq36::kCaptureFrameBytes == 0) {
            e = length / vq36::kCaptureFrameBytes * vq36::kPlaybackFrameBytes;
        } else {
            e = d * 10 / 12;
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
            if (d % vq36::kCaptureFrameBytes != 0) {
                OrFlags(stats, vq36::kFlagPacketNotWholeFrames);
                d -= d % vq36::kCaptureFrameBytes;
                e -= e % vq36::kPlaybackFrameBytes;
            }
        }
        const ULONG frames = d / vq36::kCaptureFrameBytes;
        if (writePlayback) {
            playback->IsoPacket[i].Offset = cursor;
            playback->IsoPacket[i].Length = e;
        }
        const ULONG packetCursor = cursor;
        cursor += e;
        capturedBytes += d;

        if (loopback) {
            const UCHAR* packet = captureBuffer + vq36::kMaxCapturePacketBytes * i;
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
            vq36::Store32(&stats.estSampleRate, static_cast<ULONG>(ctx->framesCapturedTotal * 1000 /
                                                                   ctx->millisecsCapturedTotal));
        }
    }
    // The frames of each packet go into the uframeSamples ring; only its last ten entries
    // survive a completion, so only those are stored.
    const ULONG kept = packets < 10 ? packets : 10;
    for (ULONG k = packets - kept; k < packets; ++k) {
        vq36::StatisticsRingPush(&stats.uframeSamples, CountedFrames(capture->IsoPacket[k].Length));
    }
    vq36::StatisticsRingPush(&stats.usbLeftoverRdBuf, position);
    vq36::StatisticsRingPush(&stats.readReqSamples, capturedBytes / vq36::kCaptureFrameBytes);
    if (!ctx->shortBlockMode && !boundaryReached) Bump(&stats.kernUnder);
    vq36::Store32(&stats.unusedUsbRdBuf, position);
    vq36::Store32(&stats.pendingRdFrames, ctx->millisecsInFlight);
    ctx->blockPosition = position;
    return boundaryReached ? 1 : 0;
}
