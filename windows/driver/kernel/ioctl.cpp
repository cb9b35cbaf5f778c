// The I/O-control protocol: client ids, the client table, buffer-ready and MIDI events, the
// thread-priority probe and the mapping of the shared regions into client processes.

#include "driver.h"

#include <cstring>

namespace {

constexpr ULONG kProbeLastOffset = 768;  // offsets up to 769 are compared
constexpr CCHAR kNoIncrement = 0;

bool RunsInCallerContext(ULONG code) {
    switch (code) {
        case vq36::kIoCtlNegotiatePriority:
        case vq36::kIoCtlInitBuffers:
        case vq36::kIoCtlSavePriorityOffset:
        case vq36::kIoCtlGetAsioInfo:
        case vq36::kIoCtlDisposeOfBuffers:
        case vq36::kIoCtlSetupMidiEvent:
            return true;
        default:
            return false;
    }
}

PVOID MapIntoCaller(PMDL mdl) {
    if (mdl == nullptr) return nullptr;
    return MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE,
                                        NormalPagePriority);
}

// Takes an event out of the MIDI event list; later entries move down. State lock held.
void UnlistMidiEvent(DeviceContext* ctx, PKEVENT event) {
    for (ULONG i = 0; i < ctx->midiEventCount; ++i) {
        if (ctx->midiEvents[i] != event) continue;
        for (ULONG j = i + 1; j < ctx->midiEventCount; ++j) {
            ctx->midiEvents[j - 1] = ctx->midiEvents[j];
        }
        ctx->midiEventCount -= 1;
        return;
    }
}

// Deadline slot for a new client: its table position, unless a remaining client still holds
// that slot (an earlier client left and the table moved up); then the lowest slot no client
// holds. So no two streaming clients ever share a slot. State lock held.
ULONG ChooseDeadlineSlot(DeviceContext* ctx) {
    bool used[vq36::kMaxClients] = {};
    for (ULONG i = 0; i < ctx->clientCount; ++i) used[ctx->clientTable[i].clientSlot] = true;
    if (!used[ctx->clientCount]) return ctx->clientCount;
    for (ULONG slot = 0; slot < vq36::kMaxClients; ++slot) {
        if (!used[slot]) return slot;
    }
    return ctx->clientCount;  // unreachable: fewer than 100 clients hold fewer than 100 slots
}

NTSTATUS NegotiatePriority(DeviceContext* ctx, WDFREQUEST request, FileContext* file,
                           ULONG_PTR* information) {
    if (ctx->singleInterfaceMode) return STATUS_INVALID_DEVICE_REQUEST;
    PULONG input = nullptr;
    PULONG output = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 8, reinterpret_cast<PVOID*>(&input),
                                                    nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = WdfRequestRetrieveOutputBuffer(request, 8, reinterpret_cast<PVOID*>(&output), nullptr);
    if (!NT_SUCCESS(status)) return status;
    const ULONG isLastRound = input[1];  // one buffer: read before the reply is written

    output[0] = 0;  // restartNeeded
    PKTHREAD thread = KeGetCurrentThread();
    const UCHAR priority = static_cast<UCHAR>(KeQueryPriorityThread(thread));
    const UCHAR* threadBytes = reinterpret_cast<const UCHAR*>(thread);
    bool found = false;
    for (;;) {
        const ULONG probe = file->priorityProbe;
        if (threadBytes[probe] == priority) {
            found = true;
            break;
        }
        if (probe > kProbeLastOffset) break;
        file->priorityProbe = probe + 1;
        output[0] = 1;
    }
    output[1] = file->priorityProbe;
    if (!found) return STATUS_UNSUCCESSFUL;
    *information = 8;
    if (isLastRound) {
        WdfSpinLockAcquire(ctx->stateLock);
        ctx->priorityOffset = file->priorityProbe;
        vq36::Store8(&ctx->infoRecord->priorityOffsetKnown, 1);
        WdfSpinLockRelease(ctx->stateLock);
    }
    return STATUS_SUCCESS;
}

NTSTATUS InitBuffers(DeviceContext* ctx, WDFREQUEST request, FileContext* file,
                     ULONG_PTR* information) {
    if (!NT_SUCCESS(AllocateStreamBuffers(ctx))) return STATUS_INVALID_DEVICE_REQUEST;
    // A handle that holds any view of the regions has initialised buffers (or failed half way
    // through doing so): it must dispose of them first, so that no view is mapped twice.
    if (file->clippedView != nullptr || file->unclippedView != nullptr ||
        file->captureView != nullptr || ctx->singleInterfaceMode) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    WdfSpinLockAcquire(ctx->stateLock);
    ApplyPendingBlockSize(ctx);
    const bool wasStreaming = ctx->isStreaming != 0;
    const bool full = ctx->clientCount >= vq36::kMaxClients;
    WdfSpinLockRelease(ctx->stateLock);
    if (full) return STATUS_INVALID_DEVICE_REQUEST;

    PULONG input = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 8, reinterpret_cast<PVOID*>(&input),
                                                    nullptr);
    if (!NT_SUCCESS(status)) return status;
    const HANDLE eventHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(input[0]));

    // Map in the order the clients expect; the views made so far stay with the handle when a
    // later one fails.
    const ULONG processId = HandleToULong(PsGetCurrentProcessId());
    file->viewProcessId = processId;
    file->unclippedView = MapIntoCaller(ctx->playbackUnclippedMdl);
    if (file->unclippedView == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    file->clippedView = MapIntoCaller(ctx->playbackClippedMdl);
    if (file->clippedView == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    file->captureView = MapIntoCaller(ctx->capturePlanesMdl);
    if (file->captureView == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (file->asioInfoView == nullptr) {
        file->asioInfoView = MapIntoCaller(ctx->asioInfoMdl);
        if (file->asioInfoView == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }

    vq36::InitBuffersResult* result = nullptr;
    status = WdfRequestRetrieveOutputBuffer(request, sizeof(vq36::InitBuffersResult),
                                            reinterpret_cast<PVOID*>(&result), nullptr);
    if (!NT_SUCCESS(status)) return status;

    PKEVENT event = nullptr;
    status = ObReferenceObjectByHandle(eventHandle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                       reinterpret_cast<PVOID*>(&event), nullptr);
    if (!NT_SUCCESS(status)) return status;

    WdfSpinLockAcquire(ctx->stateLock);
    if (ctx->clientCount >= vq36::kMaxClients) {
        // Another request took the last place meanwhile.
        WdfSpinLockRelease(ctx->stateLock);
        ObDereferenceObject(event);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    file->bufferReadyEvent = event;
    ClientEntry& client = ctx->clientTable[ctx->clientCount];
    client.clientId = file->clientId;
    client.threadPriorityField = nullptr;
    client.registeredThread = nullptr;
    client.bufferReadyEvent = event;
    client.streamingStarted = 0;
    client.clientSlot = ChooseDeadlineSlot(ctx);
    const ULONG slot = client.clientSlot;
    ctx->clientCount += 1;
    WdfSpinLockRelease(ctx->stateLock);

    result->captureBuffers = reinterpret_cast<ULONG_PTR>(file->captureView);
    result->fSharedJoinedPlaybackBuffersClipped = reinterpret_cast<ULONG_PTR>(file->clippedView);
    result->fSharedJoinedPlaybackBuffersUnclipped =
        reinterpret_cast<ULONG_PTR>(file->unclippedView);
    result->asioInfo = reinterpret_cast<ULONG_PTR>(file->asioInfoView);
    result->clientSlot = slot;
    *information = sizeof(vq36::InitBuffersResult);

    WdfSpinLockAcquire(ctx->stateLock);
    // A device that is being released while this request ran is not streamed again: its pipes
    // are about to go. The client learns of it from the record's gone mark.
    const bool removed = ctx->isRemoved != 0;
    if (!removed && (!wasStreaming || ctx->clientCount == 1)) SetStreamingEnabled(ctx, TRUE);
    WdfSpinLockRelease(ctx->stateLock);
    if (!removed) WdfTimerStart(ctx->streamTimer, WDF_REL_TIMEOUT_IN_MS(3));
    return STATUS_SUCCESS;
}

NTSTATUS SavePriorityOffset(DeviceContext* ctx, FileContext* file) {
    PKTHREAD thread = KeGetCurrentThread();
    WdfSpinLockAcquire(ctx->stateLock);
    if (ctx->priorityOffset == 0) {
        WdfSpinLockRelease(ctx->stateLock);
        return STATUS_INVALID_PARAMETER;
    }
    ClientEntry* client = FindClient(ctx, file->clientId);
    PVOID released = nullptr;
    if (client != nullptr) {
        // The thread object is referenced for as long as the client points into it, so a
        // streaming thread that ends never leaves the boundary writing into freed memory.
        released = client->registeredThread;
        ObReferenceObject(thread);
        client->registeredThread = thread;
        client->threadPriorityField = reinterpret_cast<PUCHAR>(thread) + ctx->priorityOffset;
    }
    WdfSpinLockRelease(ctx->stateLock);
    if (released != nullptr) ObDereferenceObject(released);
    return STATUS_SUCCESS;
}

NTSTATUS SendMessage(DeviceContext* ctx, WDFREQUEST request, FileContext* file,
                     ULONG_PTR* information) {
    PVOID input = nullptr;
    PVOID output = nullptr;
    NTSTATUS status =
        WdfRequestRetrieveInputBuffer(request, sizeof(vq36::DeviceMessage), &input, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = WdfRequestRetrieveOutputBuffer(request, vq36::kDeviceMessageReplyBytes, &output,
                                            nullptr);
    if (!NT_SUCCESS(status)) return status;
    *information = vq36::kDeviceMessageReplyBytes;
    vq36::DeviceMessage message;
    std::memcpy(&message, input, sizeof(message));
    return HandleDeviceMessage(ctx, &message, static_cast<UCHAR*>(output), file)
               ? STATUS_SUCCESS
               : STATUS_INTERNAL_ERROR;
}

NTSTATUS GetAsioInfo(DeviceContext* ctx, WDFREQUEST request, FileContext* file,
                     ULONG_PTR* information) {
    ULONGLONG* output = nullptr;
    NTSTATUS status =
        WdfRequestRetrieveOutputBuffer(request, 8, reinterpret_cast<PVOID*>(&output), nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (file->asioInfoView == nullptr) {
        file->viewProcessId = HandleToULong(PsGetCurrentProcessId());
        file->asioInfoView = MapIntoCaller(ctx->asioInfoMdl);
        if (file->asioInfoView == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The whole address (word 0 with word 1 above it).
    *output = reinterpret_cast<ULONG_PTR>(file->asioInfoView);
    *information = 8;
    return STATUS_SUCCESS;
}

NTSTATUS SetupMidiEvent(DeviceContext* ctx, WDFREQUEST request, FileContext* file) {
    PULONG input = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 4, reinterpret_cast<PVOID*>(&input),
                                                    nullptr);
    if (!NT_SUCCESS(status)) return status;
    const HANDLE eventHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(input[0]));
    PKEVENT event = nullptr;
    status = ObReferenceObjectByHandle(eventHandle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                       reinterpret_cast<PVOID*>(&event), nullptr);
    if (!NT_SUCCESS(status)) return status;

    PKEVENT replaced = nullptr;
    WdfSpinLockAcquire(ctx->stateLock);
    // A second registration through one handle replaces the handle's older event: it leaves
    // the list and its reference is dropped, so no event stays listed that nothing releases.
    if (file->midiEvent != nullptr) {
        UnlistMidiEvent(ctx, file->midiEvent);
        replaced = file->midiEvent;
        file->midiEvent = nullptr;
    }
    // The list holds 100 events; a 101st registration is refused and its reference dropped.
    const bool full = ctx->midiEventCount >= vq36::kMaxMidiEvents;
    if (!full) {
        ctx->midiEvents[ctx->midiEventCount] = event;
        ctx->midiEventCount += 1;
        file->midiEvent = event;
    }
    WdfSpinLockRelease(ctx->stateLock);
    if (replaced != nullptr) ObDereferenceObject(replaced);
    if (full) {
        ObDereferenceObject(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

}  // namespace

ClientEntry* FindClient(DeviceContext* ctx, ULONG clientId) {
    for (ULONG i = 0; i < ctx->clientCount; ++i) {
        if (ctx->clientTable[i].clientId == clientId) return &ctx->clientTable[i];
    }
    return nullptr;
}

void EvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT fileObject) {
    DeviceContext* ctx = GetDeviceContext(device);
    FileContext* file = GetFileContext(fileObject);
    RtlZeroMemory(file, sizeof(*file));
    WdfSpinLockAcquire(ctx->stateLock);
    file->clientId = ctx->nextClientId;
    ctx->nextClientId += 1;
    WdfSpinLockRelease(ctx->stateLock);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

void EvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    DeviceContext* ctx = GetDeviceContext(device);
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(request, &params);
    if (params.Type == WdfRequestTypeDeviceControl) {
        const ULONG code = params.Parameters.DeviceIoControl.IoControlCode;
        if (RunsInCallerContext(code)) {
            EvtIoDeviceControl(ctx->defaultQueue, request,
                               params.Parameters.DeviceIoControl.OutputBufferLength,
                               params.Parameters.DeviceIoControl.InputBufferLength, code);
            return;
        }
    }
    // After removal the queue takes nothing more; every code fails the same way as the
    // dispatcher fails it.
    if (__atomic_load_n(&ctx->isRemoved, __ATOMIC_ACQUIRE)) {
        WdfRequestCompleteWithInformation(request, STATUS_INVALID_HANDLE, 0);
        return;
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
    if (!NT_SUCCESS(status)) WdfRequestComplete(request, status);
}

void EvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength,
                        size_t inputBufferLength, ULONG ioControlCode) {
    UNREFERENCED_PARAMETER(outputBufferLength);
    UNREFERENCED_PARAMETER(inputBufferLength);
    DeviceContext* ctx = GetDeviceContext(WdfIoQueueGetDevice(queue));
    if (__atomic_load_n(&ctx->isRemoved, __ATOMIC_ACQUIRE)) {
        WdfRequestCompleteWithInformation(request, STATUS_INVALID_HANDLE, 0);
        return;
    }
    FileContext* file = GetFileContext(WdfRequestGetFileObject(request));
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (ioControlCode) {
        case vq36::kIoCtlNegotiatePriority:
            status = NegotiatePriority(ctx, request, file, &information);
            break;
        case vq36::kIoCtlGetClientId: {
            PULONG output = nullptr;
            status = WdfRequestRetrieveOutputBuffer(request, 4,
                                                    reinterpret_cast<PVOID*>(&output), nullptr);
            if (NT_SUCCESS(status)) {
                output[0] = file->clientId;
                information = 4;
            }
            break;
        }
        case vq36::kIoCtlInitBuffers:
            status = InitBuffers(ctx, request, file, &information);
            break;
        case vq36::kIoCtlSavePriorityOffset:
            status = SavePriorityOffset(ctx, file);
            break;
        case vq36::kIoCtlSendMessage:
            status = SendMessage(ctx, request, file, &information);
            break;
        case vq36::kIoCtlGetAsioInfo:
            status = GetAsioInfo(ctx, request, file, &information);
            break;
        case vq36::kIoCtlDisposeOfBuffers:
            RemoveClient(ctx, file);
            status = STATUS_SUCCESS;
            break;
        case vq36::kIoCtlSetupMidiEvent:
            status = SetupMidiEvent(ctx, request, file);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    if (!NT_SUCCESS(status) && status != STATUS_INTERNAL_ERROR) information = 0;
    WdfRequestCompleteWithInformation(request, status, information);
}

void EvtFileCleanup(WDFFILEOBJECT fileObject) {
    DeviceContext* ctx = GetDeviceContext(WdfFileObjectGetDevice(fileObject));
    RemoveClient(ctx, GetFileContext(fileObject));
}

void RemoveClient(DeviceContext* ctx, FileContext* file) {
    WdfSpinLockAcquire(ctx->stateLock);
    PVOID captureView = file->captureView;
    PVOID unclippedView = file->unclippedView;
    PVOID clippedView = file->clippedView;
    PVOID asioInfoView = file->asioInfoView;
    const ULONG viewProcessId = file->viewProcessId;
    file->captureView = nullptr;
    file->unclippedView = nullptr;
    file->clippedView = nullptr;
    file->asioInfoView = nullptr;

    PVOID releasedThread = nullptr;
    PKEVENT releasedBufferEvent = nullptr;
    if (file->bufferReadyEvent != nullptr) {
        for (ULONG i = 0; i < ctx->clientCount; ++i) {
            if (ctx->clientTable[i].clientId != file->clientId) continue;
            KeSetEvent(file->bufferReadyEvent, kNoIncrement, FALSE);
            releasedBufferEvent = file->bufferReadyEvent;
            releasedThread = ctx->clientTable[i].registeredThread;
            file->bufferReadyEvent = nullptr;
            for (ULONG j = i + 1; j < ctx->clientCount; ++j) {
                ctx->clientTable[j - 1] = ctx->clientTable[j];
            }
            ctx->clientCount -= 1;
            RtlZeroMemory(&ctx->clientTable[ctx->clientCount], sizeof(ClientEntry));
            if (ctx->clientCount == 0) SetStreamingEnabled(ctx, FALSE);
            CountJoinedClients(ctx);
            break;
        }
    }
    PKEVENT releasedMidiEvent = nullptr;
    if (file->midiEvent != nullptr) {
        KeSetEvent(file->midiEvent, kNoIncrement, FALSE);
        UnlistMidiEvent(ctx, file->midiEvent);
        releasedMidiEvent = file->midiEvent;
        file->midiEvent = nullptr;
    }
    WdfSpinLockRelease(ctx->stateLock);

    if (releasedBufferEvent != nullptr) ObDereferenceObject(releasedBufferEvent);
    if (releasedThread != nullptr) ObDereferenceObject(releasedThread);
    if (releasedMidiEvent != nullptr) ObDereferenceObject(releasedMidiEvent);

    // Views live in the process that made them. A handle whose last close happens in another
    // process leaves them to that process: they go with its address space.
    if (viewProcessId != HandleToULong(PsGetCurrentProcessId())) return;
    if (unclippedView != nullptr) MmUnmapLockedPages(unclippedView, ctx->playbackUnclippedMdl);
    if (clippedView != nullptr) MmUnmapLockedPages(clippedView, ctx->playbackClippedMdl);
    if (captureView != nullptr) MmUnmapLockedPages(captureView, ctx->capturePlanesMdl);
    if (asioInfoView != nullptr) MmUnmapLockedPages(asioInfoView, ctx->asioInfoMdl);
}
