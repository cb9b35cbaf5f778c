// The isochronous streaming engine: capture requests kept in flight on the capture pipe, each
// good capture completion paired with a playback request of the same duration, and the drain
// and restart when the block size or the playback delay changes.

#include "driver.h"

namespace {

constexpr LONGLONG kRequestTimeoutMs = 500;
constexpr ULONG kFramesPerMs = 48;
constexpr ULONG kPacketsPerMs = 8;
constexpr ULONG kStartFrameLead = 50;
constexpr ULONG kFailuresBeforeFreshStart = 20;
constexpr ULONG kFailuresBeforeStop = 100;

// Thread-safe read of a flag that is written under the state lock.
UCHAR PeekFlag(const UCHAR* flag) { return __atomic_load_n(flag, __ATOMIC_RELAXED); }

DeviceContext* ContextOfTarget(WDFIOTARGET target) {
    return GetDeviceContext(WdfIoTargetGetDevice(target));
}

bool SendWithTimeout(WDFREQUEST request, WDFIOTARGET target) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(kRequestTimeoutMs));
    return WdfRequestSend(request, target, &options) != FALSE;
}

void StartStreamTimer(DeviceContext* ctx, LONGLONG ms) {
    WdfTimerStart(ctx->streamTimer, WDF_REL_TIMEOUT_IN_MS(ms));
}

NTSTATUS CreateIsoRequest(ULONG slot, DeviceContext* ctx, PUCHAR urbStorage, WDFREQUEST* request,
                          WDFMEMORY* memory, BOOLEAN capture) {
    UNREFERENCED_PARAMETER(capture);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, RequestSlotContext);
    requestAttributes.ParentObject = ctx->usbDevice;
    NTSTATUS status = WdfRequestCreate(&requestAttributes,
                                       WdfUsbTargetDeviceGetIoTarget(ctx->usbDevice), request);
    if (!NT_SUCCESS(status)) {
        *request = nullptr;
        return status;
    }
    GetRequestSlotContext(*request)->slot = slot;

    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
    memoryAttributes.ParentObject = *request;
    status = WdfMemoryCreatePreallocated(&memoryAttributes, urbStorage, kUrbStorageBytes, memory);
    if (!NT_SUCCESS(status)) *memory = nullptr;
    return status;
}

}  // namespace

NTSTATUS CreateIsoRequests(DeviceContext* ctx) {
    // Only missing requests are made, so a later power-up also replaces a slot whose request
    // was lost when formatting it failed.
    for (ULONG r = 0; r < kRequestSlots; ++r) {
        if (ctx->captureRequests[r] == nullptr || ctx->captureUrbMemory[r] == nullptr) {
            NTSTATUS status = CreateIsoRequest(r, ctx, ctx->captureUrbs[r], &ctx->captureRequests[r],
                                               &ctx->captureUrbMemory[r], TRUE);
            if (!NT_SUCCESS(status)) return status;
        }
        if (ctx->playbackRequests[r] == nullptr || ctx->playbackUrbMemory[r] == nullptr) {
            NTSTATUS status =
                CreateIsoRequest(r, ctx, ctx->playbackUrbs[r], &ctx->playbackRequests[r],
                                 &ctx->playbackUrbMemory[r], FALSE);
            if (!NT_SUCCESS(status)) return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS BuildIsoUrb(DeviceContext* ctx, ULONG slot, ULONG capture, ULONG millisecs) {
    WDFREQUEST* request = capture ? &ctx->captureRequests[slot] : &ctx->playbackRequests[slot];
    WDFMEMORY* memory = capture ? &ctx->captureUrbMemory[slot] : &ctx->playbackUrbMemory[slot];
    PUCHAR storage = capture ? ctx->captureUrbs[slot] : ctx->playbackUrbs[slot];
    WDFUSBPIPE pipe = capture ? ctx->capturePipe : ctx->playbackPipe;

    // A slot whose request was lost to a failed format is given a new request here, at its
    // next use.
    if (*request == nullptr || *memory == nullptr) {
        if (*request != nullptr) WdfObjectDelete(*request);
        *request = nullptr;
        *memory = nullptr;
        NTSTATUS status = CreateIsoRequest(slot, ctx, storage, request, memory, capture != 0);
        if (!NT_SUCCESS(status)) {
            if (*request != nullptr) WdfObjectDelete(*request);
            *request = nullptr;
            *memory = nullptr;
            return status;
        }
    }

    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    (void)WdfRequestReuse(*request, &reuse);

    const ULONG packets = kPacketsPerMs * millisecs;
    const ULONG urbBytes = GET_ISO_URB_SIZE(packets);
    RtlZeroMemory(storage, urbBytes);
    _URB_ISOCH_TRANSFER* urb = &reinterpret_cast<PURB>(storage)->UrbIsochronousTransfer;
    urb->Hdr.Length = static_cast<USHORT>(urbBytes);
    urb->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb->NumberOfPackets = packets;
    urb->PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(pipe);
    if (capture) {
        urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        urb->TransferBuffer = ctx->capturePool + slot * vq36::kCaptureSlotBytes;
        urb->TransferBufferLength = packets * vq36::kMaxCapturePacketBytes;
        for (ULONG k = 0; k < packets; ++k) {
            urb->IsoPacket[k].Offset = vq36::kMaxCapturePacketBytes * k;
            urb->IsoPacket[k].Length = vq36::kMaxCapturePacketBytes;
        }
    } else {
        urb->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    }

    NTSTATUS status = WdfUsbTargetPipeFormatRequestForUrb(pipe, *request, *memory, nullptr);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(*request);
        *request = nullptr;
        *memory = nullptr;
        return status;
    }
    WdfRequestSetCompletionRoutine(*request,
                                   capture ? EvtCaptureUrbComplete : EvtPlaybackUrbComplete,
                                   WDF_NO_CONTEXT);
    return STATUS_SUCCESS;
}

NTSTATUS GetCurrentFrameNumber(DeviceContext* ctx, ULONG* frame) {
    return WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->usbDevice, frame);
}

NTSTATUS SendCaptureRequest(DeviceContext* ctx, ULONG slot) {
    WdfSpinLockAcquire(ctx->stateLock);
    ULONG start = ctx->nextStartFrame;
    if (start == 0 || ctx->captureFailures > kFailuresBeforeFreshStart) {
        WdfSpinLockRelease(ctx->stateLock);
        ULONG frame = 0;
        NTSTATUS frameStatus = GetCurrentFrameNumber(ctx, &frame);
        WdfSpinLockAcquire(ctx->stateLock);
        if (NT_SUCCESS(frameStatus)) start = frame + kStartFrameLead;
    }

    ULONG ms;
    const ULONG s = ctx->currentBlockFrames;
    if (ctx->shortBlockMode || s == 0) {
        ms = 1;
    } else {
        // Frames from the block position to the first block boundary beyond everything in
        // flight, rounded up to whole milliseconds.
        const ULONG inFlight = ctx->millisecsInFlight;
        const ULONG position = ctx->blockPosition;
        const ULONG frames = s * ((inFlight * kFramesPerMs + position) / s + 1) - position;
        const ULONG total = (frames + kFramesPerMs + 1) / kFramesPerMs;
        ms = total > inFlight ? total - inFlight : 1;
        if (ms > s / kFramesPerMs + 5) ms = s / kFramesPerMs;
        if (ms > 50) ms = 50;
        if (ms == 0) ms = 1;
    }

    NTSTATUS status = BuildIsoUrb(ctx, slot, 1, ms);
    if (!NT_SUCCESS(status)) {
        // No request to send in this slot: release it.
        ctx->captureBusy[slot] = 0;
        WdfSpinLockRelease(ctx->stateLock);
        return status;
    }
    WDFREQUEST request = ctx->captureRequests[slot];
    reinterpret_cast<PURB>(ctx->captureUrbs[slot])->UrbIsochronousTransfer.StartFrame = start;
    ctx->millisecsInFlight += ms;
    if (start != 0) ctx->nextStartFrame = start + ms;
    ctx->readsInFlight += 1;
    ctx->lastSentSlot = slot;
    WdfSpinLockRelease(ctx->stateLock);

    vq36::StatisticsRingPush(&ctx->infoRecord->statistics.usbRdFrames, ms);

    if (!SendWithTimeout(request, ctx->lowerTarget)) {
        status = WdfRequestGetStatus(request);
        WdfSpinLockAcquire(ctx->stateLock);
        ctx->readsInFlight -= 1;
        ctx->captureBusy[slot] = 0;
        ctx->millisecsInFlight -= ms;
        WdfSpinLockRelease(ctx->stateLock);
        return status;
    }
    return STATUS_SUCCESS;
}

ULONG CountJoinedClients(DeviceContext* ctx) {
    ULONG joined = 0;
    for (ULONG i = 0; i < ctx->clientCount; ++i) {
        if (ctx->clientTable[i].streamingStarted) ++joined;
    }
    if (ctx->infoRecord != nullptr) vq36::Store32(&ctx->infoRecord->joinedClientCount, joined);
    return joined;
}

ULONG ScheduleCaptureRequests(DeviceContext* ctx) {
    if (ctx->schedulingActive || ctx->restartPending) return 0;

    const ULONG joined = CountJoinedClients(ctx);

    if (!ctx->isStreaming) {
        SignalAllClients(ctx);
        return 0;
    }
    if (joined == 0) return 0;

    ctx->schedulingActive = 1;
    ULONG sent = 0;
    for (ULONG i = ctx->lastSentSlot + 1; i < ctx->lastSentSlot + kRequestSlots + 1; ++i) {
        if (ctx->readsInFlight >= ctx->maxReadsInFlight) break;
        const ULONG slot = i % kRequestSlots;
        if (ctx->captureBusy[slot]) break;
        ctx->captureBusy[slot] = 1;
        ++sent;
        WdfSpinLockRelease(ctx->stateLock);
        (void)SendCaptureRequest(ctx, slot);
        WdfSpinLockAcquire(ctx->stateLock);
    }
    ctx->schedulingActive = 0;
    return sent;
}

void EvtCaptureUrbComplete(WDFREQUEST request, WDFIOTARGET target,
                           PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(context);
    DeviceContext* ctx = ContextOfTarget(target);
    const ULONG slot = GetRequestSlotContext(request)->slot;
    _URB_ISOCH_TRANSFER* urb =
        &reinterpret_cast<PURB>(ctx->captureUrbs[slot])->UrbIsochronousTransfer;
    const NTSTATUS requestStatus = params->IoStatus.Status;
    const USBD_STATUS urbStatus = urb->Hdr.Status;
    const bool good = NT_SUCCESS(requestStatus) && USBD_SUCCESS(urbStatus);
    UCHAR restartNoted = PeekFlag(&ctx->restartPending);
    vq36::AsioInfoStatistics& stats = ctx->infoRecord->statistics;

    WdfSpinLockAcquire(ctx->stateLock);
    if (ctx->lastCompletedSlot == slot + 1) {
        vq36::Store32(&stats.genericFlags,
                      vq36::Load32(&stats.genericFlags) | vq36::kFlagSlotBelowPrevious);
    }
    ctx->lastCompletedSlot = slot;
    ctx->readsInFlight -= 1;
    ctx->lastCaptureStartFrame = urb->StartFrame;
    ctx->millisecsInFlight -= urb->NumberOfPackets / kPacketsPerMs;
    bool streaming = ctx->isStreaming != 0;

    bool playbackInFlight = false;
    bool playbackBuilt = false;
    bool processed = false;
    if (good) {
        bool sawEmpty = false;
        for (ULONG k = 0; k < urb->NumberOfPackets; ++k) {
            if (urb->IsoPacket[k].Length != 0) continue;
            if (!sawEmpty) {
                vq36::Store32(&stats.rdUframeErrorIdxs, 0);
                sawEmpty = true;
            }
            vq36::Store32(&stats.readZeroLengthPackets,
                          vq36::Load32(&stats.readZeroLengthPackets) + 1);
            vq36::Store32(&stats.rdUframeError, urb->IsoPacket[k].Status);
            vq36::Store32(&stats.rdUframeErrorIdxs,
                          vq36::Load32(&stats.rdUframeErrorIdxs) | (1u << (k % 32)));
        }
        if (streaming) {
            playbackInFlight = ctx->playbackBusy[slot] != 0;
            if (!playbackInFlight) {
                playbackBuilt = NT_SUCCESS(
                    BuildIsoUrb(ctx, slot, 0, urb->NumberOfPackets / kPacketsPerMs));
            }
            (void)ProcessCapturePacket(ctx, slot, ctx->isStreaming && !ctx->restartPending);
            processed = true;
        }
    } else {
        if (urbStatus == USBD_STATUS_BAD_START_FRAME) ctx->nextStartFrame = 0;
        if (streaming) {
            vq36::Store32(&stats.rdReqError, static_cast<ULONG>(requestStatus));
            vq36::Store32(&stats.rdUrbError, static_cast<ULONG>(urbStatus));
            vq36::Store32(&stats.rdUframeError,
                          urb->NumberOfPackets ? urb->IsoPacket[0].Status : 0);
        }
    }
    if (!processed) {
        // A failed completion, or a good one that arrived while the engine is not streaming.
        ctx->captureFailures += 1;
        if (ctx->captureFailures > kFailuresBeforeStop) {
            ctx->isStreaming = 0;
            streaming = false;
        }
    }

    ctx->captureBusy[slot] = 0;
    // The slot's playback request is marked in flight only when one is about to be sent; a
    // request still in flight from before stays marked until its own completion.
    const bool sendPlayback = good && streaming && !playbackInFlight && playbackBuilt;
    if (sendPlayback) ctx->playbackBusy[slot] = 1;

    if (good) {
        vq36::Store32(&stats.readsOk, vq36::Load32(&stats.readsOk) + 1);
    } else {
        vq36::Store32(&stats.readsFailed, vq36::Load32(&stats.readsFailed) + 1);
    }
    const bool schedulingWasActive = ctx->schedulingActive != 0;
    WdfSpinLockRelease(ctx->stateLock);

    if (!streaming) return;

    if (sendPlayback && !SendWithTimeout(ctx->playbackRequests[slot], ctx->lowerTarget)) {
        WdfSpinLockAcquire(ctx->stateLock);
        ctx->playbackBusy[slot] = 0;
        WdfSpinLockRelease(ctx->stateLock);
    }

    ULONG sent = 0;
    if (!schedulingWasActive) {
        WdfSpinLockAcquire(ctx->stateLock);
        restartNoted = ctx->restartPending;
        ApplyPendingBlockSize(ctx);
        if (!ctx->schedulingActive && !restartNoted) sent = ScheduleCaptureRequests(ctx);
        WdfSpinLockRelease(ctx->stateLock);
    }
    if (restartNoted || (!good && sent == 0)) StartStreamTimer(ctx, 3);
}

void EvtPlaybackUrbComplete(WDFREQUEST request, WDFIOTARGET target,
                            PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(context);
    DeviceContext* ctx = ContextOfTarget(target);
    const ULONG slot = GetRequestSlotContext(request)->slot;
    _URB_ISOCH_TRANSFER* urb =
        &reinterpret_cast<PURB>(ctx->playbackUrbs[slot])->UrbIsochronousTransfer;
    const NTSTATUS requestStatus = params->IoStatus.Status;
    const USBD_STATUS urbStatus = urb->Hdr.Status;
    const bool good = NT_SUCCESS(requestStatus) && USBD_SUCCESS(urbStatus);
    vq36::AsioInfoStatistics& stats = ctx->infoRecord->statistics;

    // The statistics are written under the state lock like every other engine field, so
    // completions on several processors do not lose counts.
    WdfSpinLockAcquire(ctx->stateLock);
    if (good) {
        for (ULONG k = 0; k < urb->NumberOfPackets; ++k) {
            const USBD_STATUS packetStatus = urb->IsoPacket[k].Status;
            if (static_cast<LONG>(packetStatus) < 0 || urb->IsoPacket[k].Length == 0) {
                vq36::Store32(&stats.writePacketErrors,
                              vq36::Load32(&stats.writePacketErrors) + 1);
                vq36::Store32(&stats.wrUframeError, packetStatus);
            }
        }
        vq36::Store32(&stats.writesOk, vq36::Load32(&stats.writesOk) + 1);
    } else {
        vq36::Store32(&stats.wrReqError, static_cast<ULONG>(requestStatus));
        vq36::Store32(&stats.wrUrbError, static_cast<ULONG>(urbStatus));
        vq36::Store32(&stats.wrUframeError, urb->NumberOfPackets ? urb->IsoPacket[0].Status : 0);
        vq36::Store32(&stats.writesFailed, vq36::Load32(&stats.writesFailed) + 1);
    }
    ctx->playbackBusy[slot] = 0;
    WdfSpinLockRelease(ctx->stateLock);
}

void EvtStreamTimer(WDFTIMER timer) {
    DeviceContext* ctx = GetDeviceContext(WdfTimerGetParentObject(timer));
    WdfSpinLockAcquire(ctx->stateLock);
    // A timer started by a request that raced the device's release sends nothing to its pipes.
    if (ctx->isStreaming && ctx->readsInFlight == 0 && !ctx->isRemoved) {
        ApplyPendingBlockSize(ctx);
        if (!ctx->restartPending) (void)ScheduleCaptureRequests(ctx);
    }
    const ULONG failures = (ctx->isStreaming && ctx->readsInFlight == 0 && !ctx->restartPending)
                               ? ctx->captureFailures
                               : 0;
    const bool streaming = ctx->isStreaming != 0;
    const bool removed = ctx->isRemoved != 0;
    const ULONG inFlight = ctx->readsInFlight;
    WdfSpinLockRelease(ctx->stateLock);
    if (streaming && !removed) StartStreamTimer(ctx, (failures != 0 || inFlight == 0) ? 3 : 100);
}

void SignalAllClients(DeviceContext* ctx) {
    for (ULONG i = 0; i < ctx->clientCount; ++i) {
        if (ctx->clientTable[i].bufferReadyEvent != nullptr) {
            KeSetEvent(ctx->clientTable[i].bufferReadyEvent, IO_NO_INCREMENT, FALSE);
        }
    }
}

void SetStreamingEnabled(DeviceContext* ctx, UCHAR on) {
    ctx->isStreaming = on ? 1 : 0;
    if (ctx->infoRecord == nullptr) return;
    vq36::Store32(&ctx->infoRecord->isStreamingEnabled, on ? 1 : 0);
    // Output delivery chooses between the single-client path and mixing by the joined count:
    // it follows the table when streaming stops too, not only at the next scheduling pass.
    CountJoinedClients(ctx);
    if (!on) SignalAllClients(ctx);
}

void ApplyPendingBlockSize(DeviceContext* ctx) {
    const ULONG pending = ctx->pendingBlockFrames;
    if (pending == 0) return;
    vq36::Store32(&ctx->infoRecord->blockFrames, pending);
    vq36::Store32(&ctx->infoRecord->sampleRate, vq36::kSampleRate);
    if (pending == ctx->currentBlockFrames && ctx->readsInFlight != 0) return;
    if (ctx->readsInFlight != 0) {
        ctx->restartPending = 1;  // drain first
        return;
    }
    WdfSpinLockRelease(ctx->stateLock);
    (void)QueueBlockSizeWorkItem(ctx);
    WdfSpinLockAcquire(ctx->stateLock);
}

NTSTATUS QueueBlockSizeWorkItem(DeviceContext* ctx) {
    if (PeekFlag(&ctx->isRemoved)) return STATUS_DEVICE_REMOVED;
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, EvtBlockSizeWorkItem);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WorkItemContext);
    attributes.ParentObject = ctx->device;
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) return status;
    GetWorkItemContext(workItem)->deviceContext = ctx;
    WdfSpinLockAcquire(ctx->stateLock);
    ctx->outstandingWorkItems += 1;
    WdfSpinLockRelease(ctx->stateLock);
    WdfWorkItemEnqueue(workItem);
    return STATUS_SUCCESS;
}

void EvtBlockSizeWorkItem(WDFWORKITEM workItem) {
    DeviceContext* ctx = GetWorkItemContext(workItem)->deviceContext;
    WdfSpinLockAcquire(ctx->stateLock);
    if (ctx->readsInFlight == 0 && !ctx->isRemoved) {
        ctx->currentBlockFrames = ctx->pendingBlockFrames;
        ctx->restartPending = 0;
        ctx->blockBytesPerChannel = 4 * ctx->currentBlockFrames;
        ComputeBufferGeometry(ctx);
        ResetBlockCounters(ctx);
        (void)ScheduleCaptureRequests(ctx);
        WdfSpinLockRelease(ctx->stateLock);
        StartStreamTimer(ctx, 3);
    } else {
        // Requests are in flight (a later completion queues a new work item) or the device
        // is gone.
        WdfSpinLockRelease(ctx->stateLock);
    }
    WdfObjectDelete(workItem);
    WdfSpinLockAcquire(ctx->stateLock);
    ctx->outstandingWorkItems -= 1;
    WdfSpinLockRelease(ctx->stateLock);
}
