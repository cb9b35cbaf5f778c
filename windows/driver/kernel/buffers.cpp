// The shared regions and the streaming geometry derived from the block size.

#include "driver.h"

NTSTATUS AllocateSharedArea(SIZE_T bytes, PMDL* mdlOut, PVOID* viewOut) {
    PHYSICAL_ADDRESS lowest;
    PHYSICAL_ADDRESS highest;
    PHYSICAL_ADDRESS skip;
    lowest.QuadPart = 0;
    highest.QuadPart = 0xFFFFFFFF;
    skip.QuadPart = 0;
    PMDL mdl = MmAllocatePagesForMdl(lowest, highest, skip, bytes);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (MmGetMdlByteCount(mdl) < bytes) {
        // A short list is of no use; give its pages back at once.
        MmFreePagesFromMdl(mdl);
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID view;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        view = mdl->MappedSystemVa;
    } else {
        view = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                            NormalPagePriority);
    }
    if (view == nullptr) {
        MmFreePagesFromMdl(mdl);
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(view, bytes);
    *mdlOut = mdl;
    *viewOut = view;
    return STATUS_SUCCESS;
}

void FreeSharedArea(PMDL* mdl, PVOID* view) {
    if (*mdl == nullptr) return;
    if (*view != nullptr) MmUnmapLockedPages(*view, *mdl);
    MmFreePagesFromMdl(*mdl);
    IoFreeMdl(*mdl);
    *mdl = nullptr;
    *view = nullptr;
}

// Makes sure the capture pool and regions A, B and C exist. Each missing area is obtained on
// its own, so that a call after a partial failure completes what is missing and never reports
// success while an area is absent. Areas are installed under the state lock, so two first
// buffer initialisations at once cannot both install (the loser gives its copy back).
NTSTATUS AllocateStreamBuffers(DeviceContext* ctx) {
    WdfSpinLockAcquire(ctx->stateLock);
    const bool complete = ctx->capturePool != nullptr && ctx->capturePlanesView != nullptr &&
                          ctx->playbackClippedView != nullptr &&
                          ctx->playbackUnclippedView != nullptr;
    const bool needPool = ctx->capturePool == nullptr;
    const bool needA = ctx->capturePlanesView == nullptr;
    const bool needB = ctx->playbackClippedView == nullptr;
    const bool needC = ctx->playbackUnclippedView == nullptr;
    WdfSpinLockRelease(ctx->stateLock);
    if (complete) return STATUS_SUCCESS;

    PUCHAR pool = nullptr;
    PMDL mdlA = nullptr, mdlB = nullptr, mdlC = nullptr;
    PVOID viewA = nullptr, viewB = nullptr, viewC = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (needPool) {
        pool = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, vq36::kCapturePoolBytes, VQ36_POOL_TAG));
        if (pool == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(pool, vq36::kCapturePoolZeroedBytes);
        }
    }
    if (NT_SUCCESS(status) && needA)
        status = AllocateSharedArea(vq36::kCapturePlanesBytes, &mdlA, &viewA);
    if (NT_SUCCESS(status) && needB)
        status = AllocateSharedArea(vq36::kPlaybackRegionBytes, &mdlB, &viewB);
    if (NT_SUCCESS(status) && needC)
        status = AllocateSharedArea(vq36::kPlaybackRegionBytes, &mdlC, &viewC);

    // Install what was obtained (areas obtained before a failure stay with the device).
    WdfSpinLockAcquire(ctx->stateLock);
    if (pool != nullptr && ctx->capturePool == nullptr) {
        ctx->capturePool = pool;
        pool = nullptr;
    }
    if (mdlA != nullptr && ctx->capturePlanesView == nullptr) {
        ctx->capturePlanesMdl = mdlA;
        ctx->capturePlanesView = viewA;
        mdlA = nullptr;
    }
    if (mdlB != nullptr && ctx->playbackClippedView == nullptr) {
        ctx->playbackClippedMdl = mdlB;
        ctx->playbackClippedView = viewB;
        mdlB = nullptr;
    }
    if (mdlC != nullptr && ctx->playbackUnclippedView == nullptr) {
        ctx->playbackUnclippedMdl = mdlC;
        ctx->playbackUnclippedView = viewC;
        mdlC = nullptr;
    }
    WdfSpinLockRelease(ctx->stateLock);

    // Copies another initialisation installed first.
    if (pool != nullptr) ExFreePoolWithTag(pool, VQ36_POOL_TAG);
    FreeSharedArea(&mdlA, &viewA);
    FreeSharedArea(&mdlB, &viewB);
    FreeSharedArea(&mdlC, &viewC);
    return status;
}

void ComputeBufferGeometry(DeviceContext* ctx) {
    const ULONG s = ctx->currentBlockFrames;
    const ULONG bytesPerChannel = ctx->blockBytesPerChannel;
    if (s == 0 || bytesPerChannel == 0) return;
    vq36::AsioInfo* info = ctx->infoRecord;

    ctx->shortBlockMode = (s / 48 < 2) ? 1 : 0;

    ULONG n = 132000 / bytesPerChannel;
    if (n < 10) n = 10;
    if (n > vq36::kMaxRingBlocks) n = vq36::kMaxRingBlocks;
    ctx->ringBlockCount = n;
    vq36::Store32(&info->ringBlocks, n);

    const ULONG ringBytes = n * bytesPerChannel * 10;
    if (ringBytes > vq36::kMaxRingBytes) {
        vq36::Store32(&info->statistics.genericFlags,
                      vq36::Load32(&info->statistics.genericFlags) | vq36::kFlagRingTooLarge);
    }

    const ULONG overrideLeadMs = vq36::Load32(&info->overrideLeadMillisecs);
    const ULONG overrideLeadFrames = vq36::Load32(&info->overrideLeadFrames);
    const ULONG overrideReads = vq36::Load32(&info->overrideMaxReadsInFlight);
    ctx->leadMillisecs = overrideLeadMs != 0 ? overrideLeadMs : (n * s * 1000 / 48000) / 2;
    ctx->leadFrames =
        overrideLeadFrames != 0 ? overrideLeadFrames : ctx->leadMillisecs * 48000 / 1000;
    ctx->leadBytes = ctx->leadFrames * vq36::kPlaybackFrameBytes;
    if (ctx->leadBytes >= ringBytes / 2) {
        vq36::Store32(&info->statistics.genericFlags,
                      vq36::Load32(&info->statistics.genericFlags) | vq36::kFlagLeadHalfRing);
    }
    ctx->maxReadsInFlight = overrideReads != 0 ? overrideReads : 4;
}

void ResetBlockCounters(DeviceContext* ctx) {
    SignalAllClients(ctx);
    vq36::AsioInfo* info = ctx->infoRecord;
    vq36::Store64(&info->asioBlockCount, 0);
    vq36::Store32(&info->pendingUserSlips, 0);
    // Every mixing lap is opened again (vq36::kDeliveryLapClosed): the boundaries open a block
    // three ahead of the count, so the first block after the count starts again at 0 would
    // otherwise still carry the close of a lap from before, and every joined client would be
    // left out of it. A lap closed without completion left its sum in the accumulator, laid
    // out by the ring of before: then the whole accumulator is cleared.
    bool partial = false;
    for (ULONG b = 0; b < vq36::kMaxRingBlocks; ++b) {
        const ULONG left = vq36::Load32(&info->blockDeliveryCount[b]);
        if (left != 0 && left != vq36::kDeliveryLapClosed) partial = true;
        if (left != 0) vq36::Store32(&info->blockDeliveryCount[b], 0);
    }
    if (partial && ctx->playbackUnclippedView != nullptr)
        RtlZeroMemory(ctx->playbackUnclippedView, vq36::kPlaybackRegionBytes);
    ctx->nextStartFrame = 0;
    ctx->blockPosition = 0;
}
