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

// Takes the handle for a request that changes its views or its client entry. While one such
// request runs, another on the same handle is refused with STATUS_DEVICE_BUSY; after the
// handle's cleanup every one is refused with STATUS_FILE_CLOSED. So the first request decides
// what the handle holds: no view or entry is made twice, and none that nothing would remove.
NTSTATUS BeginViewChange(DeviceContext* ctx, FileContext* file) {
    NTSTATUS status = STATUS_SUCCESS;
    WdfSpinLockAcquire(ctx->stateLock);
    if (file->cleanedUp) {
        status = STATUS_FILE_CLOSED;
    } else if (file->busy) {
        status = STATUS_DEVICE_BUSY;
    } else {
        file->busy = 1;
    }
    WdfSpinLockRelease(ctx->stateLock);
    return status;
}

// Gives the handle back. A cleanup that came meanwhile left the removal of the client to this
// request, which does it now, in its own process's context, and then fails with
// STATUS_FILE_CLOSED (what it made is gone); otherwise `status` stands.
NTSTATUS EndViewChange(DeviceContext* ctx, FileContext* file, NTSTATUS status) {
    WdfSpinLockAcquire(ctx->stateLock);
    const bool cleanedUp = file->cleanedUp != 0;
    if (!cleanedUp) file->busy = 0;
    WdfSpinLockRelease(ctx->stateLock);
    if (!cleanedUp) return status;
    RemoveClient(ctx, file);
    return STATUS_FILE_CLOSED;
}

// Maps a region into the calling process and records the view in `slot`; the handle's first
// view makes the calling process the owner of its views. Busy state held.
PVOID MapView(DeviceContext* ctx, FileContext* file, PEPROCESS process, PMDL mdl, PVOID* slot) {
    PVOID view = MapIntoCaller(mdl);
    if (view == nullptr) return nullptr;
    WdfSpinLockAcquire(ctx->stateLock);
    if (file->viewProcess == nullptr) {
        ObReferenceObject(process);
        file->viewProcess = process;
    }
    *slot = view;
    WdfSpinLockRelease(ctx->stateLock);
    return view;
}

// Unmaps views in the context of the process that owns them (attached to it when another
// process disposes of them or closes the handle last) and lets go of that process. A process
// that has ended took its views with it.
void UnmapViews(DeviceContext* ctx, PEPROCESS owner, PVOID unclippedView, PVOID clippedView,
                PVOID captureView, PVOID asioInfoView) {
    if (owner == nullptr) return;
    KAPC_STATE apcState;
    const bool attach = owner != PsGetCurrentProcess();
    if (attach) KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(owner), &apcState);
    if (PsGetProcessExitStatus(owner) == STATUS_PENDING) {
        if (unclippedView != nullptr) MmUnmapLockedPages(unclippedView, ctx->playbackUnclippedMdl);
        if (clippedView != nullptr) MmUnmapLockedPages(clippedView, ctx->playbackClippedMdl);
        if (captureView != nullptr) MmUnmapLockedPages(captureView, ctx->capturePlanesMdl);
        if (asioInfoView != nullptr) MmUnmapLockedPages(asioInfoView, ctx->asioInfoMdl);
    }
    if (attach) KeUnstackDetachProcess(&apcState);
    ObDereferenceObject(owner);
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
    NTSTATUS status =
        WdfRequestRetrieveInputBuffer(request, 8, reinterpret_cast<PVOID*>(&input), nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = WdfRequestRetrieveOutputBuffer(request, 8, reinterpret_cast<PVOID*>(&output), nullptr);
    if (!NT_SUCCESS(status)) return status;
    const ULONG isLastRound = input[1];  // one buffer: read before the reply is written

    output[0] = 0;  // restartNeeded
    PKTHREAD thread = KeGetCurrentThread();
    const UCHAR priority = static_cast<UCHAR>(KeQueryPriorityThread(thread));
    const UCHAR* threadBytes = reinterpret_cast<const UCHAR*>(thread);
    bool found = false;
    // The probe belongs to the handle; threads that probe through one handle at once each move
    // it on from where they find it.
    ULONG probe = __atomic_load_n(&file->priorityProbe, __ATOMIC_RELAXED);
    for (;;) {
        if (threadBytes[probe] == priority) {
            found = true;
            break;
        }
        if (probe > kProbeLastOffset) break;
        probe += 1;
        __atomic_store_n(&file->priorityProbe, probe, __ATOMIC_RELAXED);
        output[0] = 1;
    }
    output[1] = probe;
    if (!found) return STATUS_UNSUCCESSFUL;
    *information = 8;
    if (isLastRound) {
        WdfSpinLockAcquire(ctx->stateLock);
        ctx->priorityOffset = probe;
        vq36::Store8(&ctx->infoRecord->priorityOffsetKnown, 1);
        WdfSpinLockRelease(ctx->stateLock);
    }
    return STATUS_SUCCESS;
}

// Steps up to the client's entry in the table, with the handle's busy state held.
NTSTATUS AddStreamingClient(DeviceContext* ctx, WDFREQUEST request, FileContext* file,
                            vq36::InitBuffersResult* reply, vq36::InitBuffersResult** result,
                            bool* wasStreaming) {
    PEPROCESS process = PsGetCurrentProcess();
    WdfSpinLockAcquire(ctx->stateLock);
    // A handle that holds any view of the regions has initialised buffers (or failed half way
    // through doing so): it must dispose of them first, so that no view is mapped twice. Views
    // of a handle belong to one process: a record view made in another process is never
    // handed to this one.
    const bool initialised = file->clippedView != nullptr || file->unclippedView != nullptr ||
                             file->captureView != nullptr || ctx->singleInterfaceMode;
    const bool otherProcess = file->viewProcess != nullptr && file->viewProcess != process;
    bool full = false;
    if (!initialised && !otherProcess) {
        ApplyPendingBlockSize(ctx);
        *wasStreaming = ctx->isStreaming != 0;
        full = ctx->clientCount >= vq36::kMaxClients;
    }
    WdfSpinLockRelease(ctx->stateLock);
    if (initialised || full) return STATUS_INVALID_DEVICE_REQUEST;
    if (otherProcess) return STATUS_ACCESS_DENIED;

    PULONG input = nullptr;
    NTSTATUS status =
        WdfRequestRetrieveInputBuffer(request, 8, reinterpret_cast<PVOID*>(&input), nullptr);
    if (!NT_SUCCESS(status)) return status;
    const HANDLE eventHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(input[0]));

    // Map in the order the clients expect; the views made so far stay with the handle when a
    // later one fails.
    PVOID unclipped = MapView(ctx, file, process, ctx->playbackUnclippedMdl, &file->unclippedView);
    if (unclipped == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID clipped = MapView(ctx, file, process, ctx->playbackClippedMdl, &file->clippedView);
    if (clipped == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID capture = MapView(ctx, file, process, ctx->capturePlanesMdl, &file->captureView);
    if (capture == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    WdfSpinLockAcquire(ctx->stateLock);
    PVOID asioInfo = file->asioInfoView;
    WdfSpinLockRelease(ctx->stateLock);
    if (asioInfo == nullptr) {
        asioInfo = MapView(ctx, file, process, ctx->asioInfoMdl, &file->asioInfoView);
        if (asioInfo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = WdfRequestRetrieveOutputBuffer(request, sizeof(vq36::InitBuffersResult),
                                            reinterpret_cast<PVOID*>(result), nullptr);
    if (!NT_SUCCESS(status)) return status;

    PKEVENT event = nullptr;
    status = ObReferenceObjectByHandle(eventHandle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                       reinterpret_cast<PVOID*>(&event), nullptr);
    if (!NT_SUCCESS(status)) return status;

    WdfSpinLockAcquire(ctx->stateLock);
    if (ctx->clientCount >= vq36::kMaxClients) {
        // Another handle took the last place meanwhile.
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
    reply->clientSlot = client.clientSlot;
    ctx->clientCount += 1;
    WdfSpinLockRelease(ctx->stateLock);

    reply->captureBuffers = reinterpret_cast<ULONG_PTR>(capture);
    reply->fSharedJoinedPlaybackBuffersClipped = reinterpret_cast<ULONG_PTR>(clipped);
    reply->fSharedJoinedPlaybackBuffersUnclipped = reinterpret_cast<ULONG_PTR>(unclipped);
    reply->asioInfo = reinterpret_cast<ULONG_PTR>(asioInfo);
    return STATUS_SUCCESS;
}

NTSTATUS InitBuffers(DeviceContext* ctx, WDFREQUEST request, FileContext* file,
                     ULONG_PTR* information) {
    if (!NT_SUCCESS(AllocateStreamBuffers(ctx))) return STATUS_INVALID_DEVICE_REQUEST;
    // The busy state is taken before the view check and held until the entry is in the table.
    NTSTATUS status = BeginViewChange(ctx, file);
    if (!NT_SUCCESS(status)) return status;
    vq36::InitBuffersResult reply{};
    vq36::InitBuffersResult* result = nullptr;
    bool wasStreaming = false;
    status = AddStreamingClient(ctx, request, file, &reply, &result, &wasStreaming);
    status = EndViewChange(ctx, file, status);
    if (!NT_SUCCESS(status)) return status;

    *result = reply;
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
    status =
        WdfRequestRetrieveOutputBuffer(request, vq36::kDeviceMessageReplyBytes, &output, nullptr);
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
    PEPROCESS process = PsGetCurrentProcess();
    WdfSpinLockAcquire(ctx->stateLock);
    PVOID view = file->asioInfoView;
    PEPROCESS owner = file->viewProcess;
    WdfSpinLockRelease(ctx->stateLock);
    if (view == nullptr) {
        status = BeginViewChange(ctx, file);
        if (!NT_SUCCESS(status)) return status;
        WdfSpinLockAcquire(ctx->stateLock);
        view = file->asioInfoView;
        owner = file->viewProcess;
        WdfSpinLockRelease(ctx->stateLock);
        if (view == nullptr && (owner == nullptr || owner == process)) {
            view = MapView(ctx, file, process, ctx->asioInfoMdl, &file->asioInfoView);
            owner = process;
            if (view == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        }
        status = EndViewChange(ctx, file, status);
        if (!NT_SUCCESS(status)) return status;
    }
    // The record view of another process means nothing here.
    if (owner != process) return STATUS_ACCESS_DENIED;
    // The whole address (word 0 with word 1 above it).
    *output = reinterpret_cast<ULONG_PTR>(view);
    *information = 8;
    return STATUS_SUCCESS;
}

NTSTATUS SetupMidiEvent(DeviceContext* ctx, WDFREQUEST request, FileContext* file) {
    PULONG input = nullptr;
    NTSTATUS status =
        WdfRequestRetrieveInputBuffer(request, 4, reinterpret_cast<PVOID*>(&input), nullptr);
    if (!NT_SUCCESS(status)) return status;
    const HANDLE eventHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(input[0]));
    PKEVENT event = nullptr;
    status = ObReferenceObjectByHandle(eventHandle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                       reinterpret_cast<PVOID*>(&event), nullptr);
    if (!NT_SUCCESS(status)) return status;

    PKEVENT replaced = nullptr;
    WdfSpinLockAcquire(ctx->stateLock);
    if (file->cleanedUp) {
        // The close of the handle overtook this request: nothing would remove the event.
        WdfSpinLockRelease(ctx->stateLock);
        ObDereferenceObject(event);
        return STATUS_FILE_CLOSED;
    }
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
            status = WdfRequestRetrieveOutputBuffer(request, 4, reinterpret_cast<PVOID*>(&output),
                                                    nullptr);
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
            status = BeginViewChange(ctx, file);
            if (NT_SUCCESS(status)) {
                RemoveClient(ctx, file);
                // A cleanup meanwhile found nothing left to remove.
                EndViewChange(ctx, file, status);
                status = STATUS_SUCCESS;
            }
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
    FileContext* file = GetFileContext(fileObject);
    // Every later request that would change the handle is refused. One that is changing it now
    // removes the client itself when it ends (it holds the handle until then); otherwise the
    // cleanup does it here.
    WdfSpinLockAcquire(ctx->stateLock);
    file->cleanedUp = 1;
    const bool busy = file->busy != 0;
    file->busy = 1;
    WdfSpinLockRelease(ctx->stateLock);
    if (!busy) RemoveClient(ctx, file);
}

void RemoveClient(DeviceContext* ctx, FileContext* file) {
    WdfSpinLockAcquire(ctx->stateLock);
    PVOID captureView = file->captureView;
    PVOID unclippedView = file->unclippedView;
    PVOID clippedView = file->clippedView;
    PVOID asioInfoView = file->asioInfoView;
    PEPROCESS viewProcess = file->viewProcess;
    file->captureView = nullptr;
    file->unclippedView = nullptr;
    file->clippedView = nullptr;
    file->asioInfoView = nullptr;
    file->viewProcess = nullptr;

    PVOID releasedThread = nullptr;
    PKEVENT releasedBufferEvent = nullptr;
    if (file->bufferReadyEvent != nullptr) {
        for (ULONG i = 0; i < ctx->clientCount; ++i) {
            if (ctx->clientTable[i].clientId != file->clientId) continue;
            // The entry's own event: the reference its registration took.
            releasedBufferEvent = ctx->clientTable[i].bufferReadyEvent;
            KeSetEvent(releasedBufferEvent, kNoIncrement, FALSE);
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
    UnmapViews(ctx, viewProcess, unclippedView, clippedView, captureView, asioInfoView);
}
