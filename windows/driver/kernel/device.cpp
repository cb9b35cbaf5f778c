// Device set-up: driver entry, device creation, USB configuration, power transitions,
// release and destruction.

#include "driver.h"

namespace {

// {5B1D8E42-93A7-4C6F-B2E1-7D0A6C39F814}
const GUID kVq36InterfaceGuid = {
    vq36::kInterfaceGuidData1,
    vq36::kInterfaceGuidData2,
    vq36::kInterfaceGuidData3,
    {0xB2, 0xE1, 0x7D, 0x0A, 0x6C, 0x39, 0xF8, 0x14}};

constexpr ULONG kMaxRemovalWaits = 50;         // 50 x 20 ms = 1,000 ms
constexpr LONGLONG kRemovalWaitUnits = -200000;  // 20 ms, relative

WDFUSBPIPE ConfiguredPipe(WDFUSBINTERFACE usbInterface, UCHAR index,
                          WDF_USB_PIPE_INFORMATION* info) {
    if (usbInterface == nullptr) return nullptr;
    WDF_USB_PIPE_INFORMATION_INIT(info);
    return WdfUsbInterfaceGetConfiguredPipe(usbInterface, index, info);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

NTSTATUS EvtDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit) {
    UNREFERENCED_PARAMETER(driver);

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPower);
    pnpPower.EvtDevicePrepareHardware = EvtDevicePrepareHardware;
    pnpPower.EvtDeviceReleaseHardware = EvtDeviceReleaseHardware;
    pnpPower.EvtDeviceD0Entry = EvtDeviceD0Entry;
    pnpPower.EvtDeviceD0Exit = EvtDeviceD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(deviceInit, &pnpPower);

    WdfDeviceInitSetIoInCallerContextCallback(deviceInit, EvtIoInCallerContext);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, WDF_NO_EVENT_CALLBACK,
                               EvtFileCleanup);
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FileContext);
    WdfDeviceInitSetFileObjectConfig(deviceInit, &fileConfig, &fileAttributes);

    WdfDeviceInitSetIoType(deviceInit, WdfDeviceIoDirect);

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DeviceContext);
    deviceAttributes.EvtDestroyCallback = EvtDeviceContextDestroy;
    deviceAttributes.ExecutionLevel = WdfExecutionLevelDispatch;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&deviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status)) return status;

    DeviceContext* ctx = GetDeviceContext(device);
    RtlZeroMemory(ctx, sizeof(*ctx));
    ctx->device = device;
    KeInitializeEvent(&ctx->replyArrived, NotificationEvent, FALSE);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = EvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &ctx->defaultQueue);
    if (!NT_SUCCESS(status)) return status;

    status = WdfDeviceCreateDeviceInterface(device, &kVq36InterfaceGuid, nullptr);
    if (!NT_SUCCESS(status)) return status;

    WDF_TIMER_CONFIG timerConfig;
    WDF_TIMER_CONFIG_INIT(&timerConfig, EvtStreamTimer);
    timerConfig.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES timerAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&timerAttributes);
    timerAttributes.ParentObject = device;
    status = WdfTimerCreate(&timerConfig, &timerAttributes, &ctx->streamTimer);
    if (!NT_SUCCESS(status)) return status;

    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = device;
    status = WdfSpinLockCreate(&lockAttributes, &ctx->stateLock);
    if (!NT_SUCCESS(status)) return status;
    status = WdfSpinLockCreate(&lockAttributes, &ctx->replyRingLock);
    if (!NT_SUCCESS(status)) return status;

    status = AllocateSharedArea(vq36::kAsioInfoBytes, &ctx->asioInfoMdl, &ctx->asioInfoView);
    if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
    ctx->infoRecord = static_cast<vq36::AsioInfo*>(ctx->asioInfoView);

    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST resources,
                                  WDFCMRESLIST resourcesTranslated) {
    UNREFERENCED_PARAMETER(resources);
    UNREFERENCED_PARAMETER(resourcesTranslated);
    DeviceContext* ctx = GetDeviceContext(device);
    NTSTATUS status;

    if (ctx->usbDevice == nullptr) {
        status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &ctx->usbDevice);
        if (!NT_SUCCESS(status)) return status;
    }
    WdfUsbTargetDeviceGetDeviceDescriptor(ctx->usbDevice, &ctx->deviceDescriptor);

    USHORT configBytes = 0;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(ctx->usbDevice, nullptr, &configBytes);
    if (status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;

    // A repeated prepare replaces the descriptor copy of the previous one.
    if (ctx->configDescriptorMemory != nullptr) {
        WdfObjectDelete(ctx->configDescriptorMemory);
        ctx->configDescriptorMemory = nullptr;
        ctx->configDescriptor = nullptr;
    }
    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
    memoryAttributes.ParentObject = ctx->usbDevice;
    PVOID configBuffer = nullptr;
    status = WdfMemoryCreate(&memoryAttributes, NonPagedPool, VQ36_POOL_TAG, configBytes,
                             &ctx->configDescriptorMemory, &configBuffer);
    if (!NT_SUCCESS(status)) {
        ctx->configDescriptorMemory = nullptr;
        return status;
    }
    ctx->configDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configBuffer);
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(ctx->usbDevice, ctx->configDescriptor,
                                                        &configBytes);
    if (!NT_SUCCESS(status)) return status;

    NTSTATUS selectStatus = SelectUsbConfiguration(device);
    ctx->lowerTarget = WdfDeviceGetIoTarget(device);
    if (!NT_SUCCESS(selectStatus)) return selectStatus;

    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    status = WdfUsbTargetDeviceRetrieveInformation(ctx->usbDevice, &info);
    ctx->isHighSpeed =
        (NT_SUCCESS(status) && (info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED)) ? 1 : 0;
    if (!ctx->isHighSpeed) return STATUS_INVALID_DEVICE_STATE;
    return STATUS_SUCCESS;
}

NTSTATUS SelectUsbConfiguration(WDFDEVICE device) {
    DeviceContext* ctx = GetDeviceContext(device);
    const UCHAR interfaceCount = WdfUsbTargetDeviceGetNumInterfaces(ctx->usbDevice);
    ctx->singleInterfaceMode = (interfaceCount == 1) ? 1 : 0;

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    if (ctx->singleInterfaceMode) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
        NTSTATUS status =
            WdfUsbTargetDeviceSelectConfig(ctx->usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS settingParams;
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&settingParams, 1);
        WDFUSBINTERFACE only = WdfUsbTargetDeviceGetInterface(ctx->usbDevice, 0);
        if (only != nullptr) {
            (void)WdfUsbInterfaceSelectSetting(only, WDF_NO_OBJECT_ATTRIBUTES, &settingParams);
        }
        return status;
    }

    // A repeated prepare replaces the previous array and forgets the previous pipes.
    if (ctx->interfaceSettings != nullptr) {
        ExFreePoolWithTag(ctx->interfaceSettings, VQ36_POOL_TAG);
        ctx->interfaceSettings = nullptr;
    }
    ctx->interfaceSettings = static_cast<WDF_USB_INTERFACE_SETTING_PAIR*>(ExAllocatePoolWithTag(
        PagedPool, sizeof(WDF_USB_INTERFACE_SETTING_PAIR) * interfaceCount, VQ36_POOL_TAG));
    if (ctx->interfaceSettings == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ctx->captureInterface = nullptr;
    ctx->playbackInterface = nullptr;
    ctx->messageInterface = nullptr;
    ctx->capturePipe = nullptr;
    ctx->playbackPipe = nullptr;
    ctx->messageInPipe = nullptr;
    ctx->messageOutPipe = nullptr;

    for (UCHAR i = 0; i < interfaceCount; ++i) {
        WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(ctx->usbDevice, i);
        USB_INTERFACE_DESCRIPTOR descriptor;
        RtlZeroMemory(&descriptor, sizeof(descriptor));
        descriptor.bInterfaceNumber = 0xFF;
        if (usbInterface != nullptr) WdfUsbInterfaceGetDescriptor(usbInterface, 0, &descriptor);
        UCHAR setting = 0;
        switch (descriptor.bInterfaceNumber) {
            case 2:
                setting = 1;
                ctx->captureInterface = usbInterface;
                break;
            case 1:
                setting = 1;
                ctx->playbackInterface = usbInterface;
                break;
            case 3:
                ctx->messageInterface = usbInterface;
                break;
            default:
                break;
        }
        ctx->interfaceSettings[i].UsbInterface = usbInterface;
        ctx->interfaceSettings[i].SettingIndex = setting;
    }

    // A failed selection shows as missing pipes below.
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, interfaceCount,
                                                                 ctx->interfaceSettings);
    (void)WdfUsbTargetDeviceSelectConfig(ctx->usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);

    ctx->capturePipe = ConfiguredPipe(ctx->captureInterface, 0, &ctx->capturePipeInfo);
    ctx->playbackPipe = ConfiguredPipe(ctx->playbackInterface, 0, &ctx->playbackPipeInfo);
    ctx->messageInPipe = ConfiguredPipe(ctx->messageInterface, 0, &ctx->messageInPipeInfo);
    ctx->messageOutPipe = ConfiguredPipe(ctx->messageInterface, 1, &ctx->messageOutPipeInfo);
    if (ctx->playbackInterface == nullptr || ctx->captureInterface == nullptr ||
        ctx->capturePipe == nullptr || ctx->playbackPipe == nullptr ||
        ctx->messageInPipe == nullptr || ctx->messageOutPipe == nullptr) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    WDF_USB_CONTINUOUS_READER_CONFIG readerConfig;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&readerConfig, EvtMessageReadComplete, ctx,
                                          kMessagePacketBytes);
    readerConfig.NumPendingReads = 15;
    return WdfUsbTargetPipeConfigContinuousReader(ctx->messageInPipe, &readerConfig);
}

NTSTATUS EvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previousState) {
    UNREFERENCED_PARAMETER(previousState);
    DeviceContext* ctx = GetDeviceContext(device);
    if (ctx->singleInterfaceMode) return STATUS_SUCCESS;

    (void)WdfUsbTargetPipeResetSynchronously(ctx->capturePipe, WDF_NO_HANDLE, nullptr);
    (void)WdfUsbTargetPipeResetSynchronously(ctx->playbackPipe, WDF_NO_HANDLE, nullptr);
    NTSTATUS status = CreateIsoRequests(ctx);
    if (!NT_SUCCESS(status)) return status;
    ExSetTimerResolution(10000, TRUE);

    status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(ctx->messageInPipe));
    ctx->readerStarted = NT_SUCCESS(status) ? 1 : 0;
    SendDeviceCommandByte(ctx, vq36::kDeviceCmdPowerUp, 1);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE targetState) {
    UNREFERENCED_PARAMETER(targetState);
    DeviceContext* ctx = GetDeviceContext(device);
    if (ctx->readerStarted) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(ctx->messageInPipe), WdfIoTargetCancelSentIo);
        ctx->readerStarted = 0;
    }
    if (!ctx->singleInterfaceMode) {
        WdfSpinLockAcquire(ctx->stateLock);
        SetStreamingEnabled(ctx, FALSE);
        WdfSpinLockRelease(ctx->stateLock);
        ExSetTimerResolution(0, FALSE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST resourcesTranslated) {
    UNREFERENCED_PARAMETER(resourcesTranslated);
    DeviceContext* ctx = GetDeviceContext(device);
    if (ctx->usbDevice == nullptr) return STATUS_SUCCESS;

    WdfSpinLockAcquire(ctx->stateLock);
    SetStreamingEnabled(ctx, FALSE);
    // Marked removed in the same step: a buffer initialisation running now cannot switch
    // streaming on again (or start the timer's scheduling) after the timer is stopped below.
    if (!ctx->singleInterfaceMode) __atomic_store_n(&ctx->isRemoved, 1, __ATOMIC_RELEASE);
    WdfSpinLockRelease(ctx->stateLock);
    // With streaming off the stream timer re-arms no more; a pass that is running finishes
    // before the device's objects (its spin locks among them) can go.
    WdfTimerStop(ctx->streamTimer, TRUE);

    if (!ctx->singleInterfaceMode) {
        // The record stays invalid for ever: an arriving device gets a new device object.
        WdfSpinLockAcquire(ctx->stateLock);
        if (ctx->infoRecord != nullptr) vq36::Store8(&ctx->infoRecord->deviceGone, 1);
        __atomic_store_n(&ctx->isRemoved, 1, __ATOMIC_RELEASE);
        WdfSpinLockRelease(ctx->stateLock);

        KeInitializeTimer(&ctx->removalWaitTimer);
        for (ULONG wait = 0; wait < kMaxRemovalWaits; ++wait) {
            WdfSpinLockAcquire(ctx->stateLock);
            const ULONG outstanding = ctx->outstandingWorkItems;
            WdfSpinLockRelease(ctx->stateLock);
            if (outstanding == 0) break;
            LARGE_INTEGER due;
            due.QuadPart = kRemovalWaitUnits;
            KeSetTimer(&ctx->removalWaitTimer, due, nullptr);
            (void)KeWaitForSingleObject(&ctx->removalWaitTimer, Executive, KernelMode, FALSE,
                                        &due);
        }
    }

    WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(ctx->usbDevice), WdfIoTargetCancelSentIo);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
    return WdfUsbTargetDeviceSelectConfig(ctx->usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
}

void EvtDeviceContextDestroy(WDFOBJECT object) {
    DeviceContext* ctx = GetDeviceContext(object);
    // Nothing else reaches the device any more: no lock.
    SetStreamingEnabled(ctx, FALSE);
    FreeSharedArea(&ctx->capturePlanesMdl, &ctx->capturePlanesView);
    ctx->infoRecord = nullptr;
    FreeSharedArea(&ctx->asioInfoMdl, &ctx->asioInfoView);
    if (ctx->capturePool != nullptr) {
        ExFreePoolWithTag(ctx->capturePool, VQ36_POOL_TAG);
        ctx->capturePool = nullptr;
    }
    FreeSharedArea(&ctx->playbackClippedMdl, &ctx->playbackClippedView);
    FreeSharedArea(&ctx->playbackUnclippedMdl, &ctx->playbackUnclippedView);
    if (ctx->interfaceSettings != nullptr) {
        ExFreePoolWithTag(ctx->interfaceSettings, VQ36_POOL_TAG);
        ctx->interfaceSettings = nullptr;
    }
}
