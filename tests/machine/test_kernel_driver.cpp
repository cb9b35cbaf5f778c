// VqTestKernel.sys: the machine tests' own kernel driver (see test_kernel_driver.h).

#include "test_kernel_driver.h"

#include <sched.h>

#include <cstring>

#include "knt/knt.h"

namespace {

const GUID kInterfaceClass = {
    0x5B1D8E42, 0x93A7, 0x4C6F, {0xB2, 0xE1, 0x7D, 0x0A, 0x6C, 0x39, 0xF8, 0x14}};

struct DeviceContext {
    WDFSPINLOCK lock;
    ULONG nextClientId;
    PMDL recordMdl;
    PVOID record;
    PVOID heldThread;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext)

struct FileContext {
    ULONG clientId;
    PVOID recordView;
    ULONG viewProcess;
    PKEVENT keptEvent;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FileContext, GetFileContext)

DeviceContext* ContextOf(WDFREQUEST request) {
    return GetDeviceContext(WdfFileObjectGetDevice(WdfRequestGetFileObject(request)));
}

NTSTATUS InputWord(WDFREQUEST request, ULONG* value) {
    PVOID in = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 4, &in, nullptr);
    if (NT_SUCCESS(status)) std::memcpy(value, in, 4);
    return status;
}

VOID EvtIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t outputLength, size_t inputLength,
                        ULONG code) {
    DeviceContext* ctx = ContextOf(request);
    FileContext* file = GetFileContext(WdfRequestGetFileObject(request));
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    switch (code) {
        case testdriver::kClientId: {
            PVOID out = nullptr;
            status = WdfRequestRetrieveOutputBuffer(request, 4, &out, nullptr);
            if (NT_SUCCESS(status)) {
                std::memcpy(out, &file->clientId, 4);
                information = 4;
            }
            break;
        }
        case testdriver::kMapRecord: {
            PVOID out = nullptr;
            status = WdfRequestRetrieveOutputBuffer(request, 8, &out, nullptr);
            if (!NT_SUCCESS(status)) break;
            if (file->recordView == nullptr) {
                file->viewProcess = HandleToULong(PsGetCurrentProcessId());
                file->recordView = MmMapLockedPagesSpecifyCache(ctx->recordMdl, UserMode, MmCached,
                                                                nullptr, FALSE, NormalPagePriority);
            }
            if (file->recordView == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ULONG64 address = reinterpret_cast<ULONG_PTR>(file->recordView);
            std::memcpy(out, &address, 8);
            information = 8;
            break;
        }
        case testdriver::kUnmapRecord:
            if (file->recordView != nullptr) MmUnmapLockedPages(file->recordView, ctx->recordMdl);
            file->recordView = nullptr;
            status = STATUS_SUCCESS;
            break;
        case testdriver::kSetEvent:
        case testdriver::kKeepEvent: {
            ULONG handle = 0;
            status = InputWord(request, &handle);
            if (!NT_SUCCESS(status)) break;
            PKEVENT event = nullptr;
            status =
                ObReferenceObjectByHandle(ULongToHandle(handle), SYNCHRONIZE, *ExEventObjectType,
                                          UserMode, reinterpret_cast<PVOID*>(&event), nullptr);
            if (!NT_SUCCESS(status)) break;
            if (code == testdriver::kSetEvent) {
                KeSetEvent(event, 0, FALSE);
                ObDereferenceObject(event);
            } else {
                if (file->keptEvent != nullptr) ObDereferenceObject(file->keptEvent);
                file->keptEvent = event;
            }
            break;
        }
        case testdriver::kThread: {
            PVOID out = nullptr;
            status = WdfRequestRetrieveOutputBuffer(request, 16, &out, nullptr);
            if (!NT_SUCCESS(status)) break;
            PKTHREAD thread = KeGetCurrentThread();
            ULONG words[4] = {static_cast<ULONG>(KeQueryPriorityThread(thread)),
                              static_cast<ULONG>(sched_getscheduler(0)), 0, 0};
            ULONG64 address = reinterpret_cast<ULONG_PTR>(thread);
            std::memcpy(&words[2], &address, 8);
            std::memcpy(out, words, 16);
            information = 16;
            break;
        }
        case testdriver::kHoldThread: {
            PKTHREAD thread = KeGetCurrentThread();
            ObReferenceObject(thread);
            WdfSpinLockAcquire(ctx->lock);
            PVOID previous = ctx->heldThread;
            ctx->heldThread = thread;
            WdfSpinLockRelease(ctx->lock);
            if (previous != nullptr) ObDereferenceObject(previous);
            status = STATUS_SUCCESS;
            break;
        }
        case testdriver::kPokeHeldThread: {
            ULONG priority = 0;
            status = InputWord(request, &priority);
            if (!NT_SUCCESS(status)) break;
            WdfSpinLockAcquire(ctx->lock);
            if (ctx->heldThread == nullptr) {
                status = STATUS_INVALID_DEVICE_STATE;
            } else {
                // The byte the priority probe finds; the driver is told where it is.
                volatile UCHAR* field = static_cast<UCHAR*>(ctx->heldThread) + 0x1D3;
                *field = static_cast<UCHAR>(priority);
            }
            WdfSpinLockRelease(ctx->lock);
            break;
        }
        case testdriver::kWait: {
            ULONG ms = 0;
            status = InputWord(request, &ms);
            if (!NT_SUCCESS(status)) break;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
            status = STATUS_SUCCESS;
            break;
        }
        case testdriver::kEcho: {
            PVOID in = nullptr;
            PVOID out = nullptr;
            size_t n = inputLength < outputLength ? inputLength : outputLength;
            status = STATUS_SUCCESS;
            if (n > 0) {
                status = WdfRequestRetrieveInputBuffer(request, n, &in, nullptr);
                if (NT_SUCCESS(status))
                    status = WdfRequestRetrieveOutputBuffer(request, n, &out, nullptr);
                if (NT_SUCCESS(status)) std::memmove(out, in, n);
            }
            if (NT_SUCCESS(status)) information = n;
            break;
        }
        case testdriver::kWriteRecord: {
            PVOID in = nullptr;
            status = WdfRequestRetrieveInputBuffer(request, 8, &in, nullptr);
            if (!NT_SUCCESS(status)) break;
            ULONG words[2];
            std::memcpy(words, in, 8);
            if (words[0] > testdriver::kRecordBytes - 4) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            std::memcpy(static_cast<UCHAR*>(ctx->record) + words[0], &words[1], 4);
            break;
        }
        case testdriver::kComplete: {
            ULONG value = 0;
            status = InputWord(request, &value);
            if (NT_SUCCESS(status)) status = static_cast<NTSTATUS>(value);
            break;
        }
        default:
            break;
    }
    WdfRequestCompleteWithInformation(request, status, information);
}

VOID EvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(request, &params);
    if (params.Type == WdfRequestTypeDeviceControl) {
        switch (params.Parameters.DeviceIoControl.IoControlCode) {
            case testdriver::kMapRecord:
            case testdriver::kUnmapRecord:
            case testdriver::kSetEvent:
            case testdriver::kKeepEvent:
            case testdriver::kThread:
            case testdriver::kHoldThread: {
                WDFQUEUE queue = WdfDeviceGetDefaultQueue(device);
                EvtIoDeviceControl(queue, request,
                                   params.Parameters.DeviceIoControl.OutputBufferLength,
                                   params.Parameters.DeviceIoControl.InputBufferLength,
                                   params.Parameters.DeviceIoControl.IoControlCode);
                return;
            }
            default:
                break;
        }
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
    if (!NT_SUCCESS(status)) WdfRequestComplete(request, status);
}

VOID EvtFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT fileObject) {
    DeviceContext* ctx = GetDeviceContext(device);
    FileContext* file = GetFileContext(fileObject);
    RtlZeroMemory(file, sizeof *file);
    WdfSpinLockAcquire(ctx->lock);
    file->clientId = ctx->nextClientId++;
    WdfSpinLockRelease(ctx->lock);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID EvtFileCleanup(WDFFILEOBJECT fileObject) {
    DeviceContext* ctx = GetDeviceContext(WdfFileObjectGetDevice(fileObject));
    FileContext* file = GetFileContext(fileObject);
    if (file->keptEvent != nullptr) {
        KeSetEvent(file->keptEvent, 0, FALSE);
        ObDereferenceObject(file->keptEvent);
        file->keptEvent = nullptr;
    }
    WdfSpinLockAcquire(ctx->lock);
    PVOID held = ctx->heldThread;
    ctx->heldThread = nullptr;
    WdfSpinLockRelease(ctx->lock);
    if (held != nullptr) ObDereferenceObject(held);
    if (file->recordView != nullptr &&
        file->viewProcess == HandleToULong(PsGetCurrentProcessId())) {
        MmUnmapLockedPages(file->recordView, ctx->recordMdl);
    }
    file->recordView = nullptr;
}

VOID EvtDeviceDestroy(WDFOBJECT object) {
    DeviceContext* ctx = GetDeviceContext(object);
    if (ctx->heldThread != nullptr) ObDereferenceObject(ctx->heldThread);
    if (ctx->recordMdl != nullptr) {
        if (ctx->record != nullptr) MmUnmapLockedPages(ctx->record, ctx->recordMdl);
        MmFreePagesFromMdl(ctx->recordMdl);
        IoFreeMdl(ctx->recordMdl);
    }
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WdfDeviceInitSetIoInCallerContextCallback(init, EvtIoInCallerContext);
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtFileCreate, WDF_NO_EVENT_CALLBACK, EvtFileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FileContext);
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, &fileAttributes);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DeviceContext);
    attributes.EvtDestroyCallback = EvtDeviceDestroy;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    DeviceContext* ctx = GetDeviceContext(device);
    RtlZeroMemory(ctx, sizeof *ctx);

    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = device;
    status = WdfSpinLockCreate(&lockAttributes, &ctx->lock);
    if (!NT_SUCCESS(status)) return status;

    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = -1;
    skip.QuadPart = 0;
    ctx->recordMdl = MmAllocatePagesForMdl(low, high, skip, testdriver::kRecordBytes);
    if (ctx->recordMdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ctx->record = MmGetSystemAddressForMdlSafe(ctx->recordMdl, NormalPagePriority);
    if (ctx->record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(ctx->record, testdriver::kRecordBytes);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = EvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (!NT_SUCCESS(status)) return status;
    return WdfDeviceCreateDeviceInterface(device, &kInterfaceClass, nullptr);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// The record, for the machine's status.
extern "C" const void* Vq36KernelInfoRecord(WDFDEVICE device) {
    return GetDeviceContext(device)->record;
}
