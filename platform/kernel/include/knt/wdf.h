#pragma once
// The kernel-mode driver framework: objects with typed contexts and parents, the driver and
// device objects, file objects, I/O queues and requests, memory objects, I/O targets, timers,
// work items and spin locks.

#include "knt/nt_kernel.h"

// ---------------------------------------------------------------------------------------------
// Handles. Every framework handle is an opaque value; WDFOBJECT accepts any of them.
typedef HANDLE WDFOBJECT;
typedef WDFOBJECT* PWDFOBJECT;

#define KNT_DECLARE_WDF_HANDLE(name) \
    struct name##__;                 \
    typedef struct name##__* name
KNT_DECLARE_WDF_HANDLE(WDFDRIVER);
KNT_DECLARE_WDF_HANDLE(WDFDEVICE);
KNT_DECLARE_WDF_HANDLE(WDFQUEUE);
KNT_DECLARE_WDF_HANDLE(WDFREQUEST);
KNT_DECLARE_WDF_HANDLE(WDFFILEOBJECT);
KNT_DECLARE_WDF_HANDLE(WDFMEMORY);
KNT_DECLARE_WDF_HANDLE(WDFTIMER);
KNT_DECLARE_WDF_HANDLE(WDFWORKITEM);
KNT_DECLARE_WDF_HANDLE(WDFSPINLOCK);
KNT_DECLARE_WDF_HANDLE(WDFIOTARGET);
KNT_DECLARE_WDF_HANDLE(WDFCMRESLIST);
#undef KNT_DECLARE_WDF_HANDLE

typedef PVOID WDFCONTEXT;

struct WDFDEVICE_INIT;
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;

#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_HANDLE nullptr
#define WDF_NO_EVENT_CALLBACK nullptr
#define WDF_NO_CONTEXT nullptr
#define WDF_NO_SEND_OPTIONS nullptr

typedef enum _WDF_TRI_STATE { WdfFalse = FALSE, WdfTrue = TRUE, WdfUseDefault = 2 } WDF_TRI_STATE;

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone
} WDF_SYNCHRONIZATION_SCOPE;

// ---------------------------------------------------------------------------------------------
// Object attributes and typed contexts.
typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(void);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    const CHAR* ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WdfContextTypeInfo_##_contexttype
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                               \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

extern "C" PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                      PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                    \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {    \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),            \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), nullptr};                                  \
    inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                 \
        return static_cast<_contexttype*>(                                                    \
            WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype))); \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, _contexttype)          \
    (static_cast<_contexttype*>(WdfObjectGetTypedContextWorker( \
        (WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(_contexttype))))

extern "C" VOID NTAPI WdfObjectDelete(WDFOBJECT Object);

// ---------------------------------------------------------------------------------------------
// Driver object.
typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config,
                                        PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

extern "C" NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject,
                                          PCUNICODE_STRING RegistryPath,
                                          PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                          PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);

// ---------------------------------------------------------------------------------------------
// Device initialisation: Plug and Play and power callbacks.
typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum
} WDF_POWER_DEVICE_STATE;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

extern "C" VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);

// In-caller-context processing of requests.
typedef VOID EVT_WDF_IO_IN_CALLER_CONTEXT(WDFDEVICE Device, WDFREQUEST Request);
typedef EVT_WDF_IO_IN_CALLER_CONTEXT* PFN_WDF_IO_IN_CALLER_CONTEXT;

extern "C" VOID NTAPI WdfDeviceInitSetIoInCallerContextCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext);

// File objects.
typedef VOID EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request,
                                        WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000
} WDF_FILEOBJECT_CLASS;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            PFN_WDF_FILE_CLOSE EvtFileClose,
                                            PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    RtlZeroMemory(FileEventCallbacks, sizeof(WDF_FILEOBJECT_CONFIG));
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

extern "C" VOID NTAPI WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                                       PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                       PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
extern "C" WDFDEVICE NTAPI WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);

// I/O type of read and write requests.
typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
    WdfDeviceIoBufferedOrDirect = 4,
    WdfDeviceIoMaximum
} WDF_DEVICE_IO_TYPE;

extern "C" VOID NTAPI WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);

// ---------------------------------------------------------------------------------------------
// Device object.
extern "C" NTSTATUS NTAPI WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                          PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                          WDFDEVICE* Device);
extern "C" NTSTATUS NTAPI WdfDeviceCreateDeviceInterface(WDFDEVICE Device,
                                                         const GUID* InterfaceClassGUID,
                                                         PCUNICODE_STRING ReferenceString);

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = static_cast<ULONG>(-1);
    Caps->UINumber = static_cast<ULONG>(-1);
}

extern "C" VOID NTAPI WdfDeviceSetPnpCapabilities(WDFDEVICE Device,
                                                  PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
extern "C" WDFIOTARGET NTAPI WdfDeviceGetIoTarget(WDFDEVICE Device);
extern "C" NTSTATUS NTAPI WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request);
extern "C" WDFQUEUE NTAPI WdfDeviceGetDefaultQueue(WDFDEVICE Device);

// ---------------------------------------------------------------------------------------------
// I/O queues.
typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                size_t OutputBufferLength, size_t InputBufferLength,
                                                ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config,
                                          WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
}

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                        WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

extern "C" NTSTATUS NTAPI WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                           PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
extern "C" WDFDEVICE NTAPI WdfIoQueueGetDevice(WDFQUEUE Queue);

// ---------------------------------------------------------------------------------------------
// Requests.
typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeDeviceControlInternal = 0xF,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeOther = 0x1C,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

FORCEINLINE VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

extern "C" VOID NTAPI WdfRequestGetParameters(WDFREQUEST Request,
                                              PWDF_REQUEST_PARAMETERS Parameters);
extern "C" WDFFILEOBJECT NTAPI WdfRequestGetFileObject(WDFREQUEST Request);
extern "C" NTSTATUS NTAPI WdfRequestRetrieveInputBuffer(WDFREQUEST Request,
                                                        size_t MinimumRequiredLength, PVOID* Buffer,
                                                        size_t* Length);
extern "C" NTSTATUS NTAPI WdfRequestRetrieveOutputBuffer(WDFREQUEST Request,
                                                         size_t MinimumRequiredSize, PVOID* Buffer,
                                                         size_t* Length);
extern "C" VOID NTAPI WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
extern "C" VOID NTAPI WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                        ULONG_PTR Information);
extern "C" VOID NTAPI WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
extern "C" NTSTATUS NTAPI WdfRequestGetStatus(WDFREQUEST Request);

// Driver-created requests.
extern "C" NTSTATUS NTAPI WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes,
                                           WDFIOTARGET IoTarget, WDFREQUEST* Request);

typedef enum _WDF_REQUEST_REUSE_FLAGS {
    WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
    WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PVOID NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

FORCEINLINE VOID WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags,
                                               NTSTATUS Status) {
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_REUSE_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    Params->Flags = Flags;
    Params->Status = Status;
}

extern "C" NTSTATUS NTAPI WdfRequestReuse(WDFREQUEST Request,
                                          PWDF_REQUEST_REUSE_PARAMS ReuseParams);

struct _WDF_USB_REQUEST_COMPLETION_PARAMS;
typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS* PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
        struct {
            PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

typedef VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

extern "C" VOID NTAPI WdfRequestSetCompletionRoutine(
    WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
    WDFCONTEXT CompletionContext);

// Sending.
typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options,
                                                      LONGLONG Timeout) {
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)

FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return static_cast<LONGLONG>(Time) * -1 * WDF_TIMEOUT_TO_SEC;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) {
    return static_cast<LONGLONG>(Time) * -1 * WDF_TIMEOUT_TO_MS;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) {
    return static_cast<LONGLONG>(Time) * -1 * WDF_TIMEOUT_TO_US;
}

// True when the request went to the target; false when the framework refused it (its status
// then tells why).
extern "C" BOOLEAN NTAPI WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target,
                                        PWDF_REQUEST_SEND_OPTIONS Options);
extern "C" BOOLEAN NTAPI WdfRequestCancelSentRequest(WDFREQUEST Request);

// ---------------------------------------------------------------------------------------------
// Memory objects.
extern "C" NTSTATUS NTAPI WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType,
                                          ULONG PoolTag, size_t BufferSize, WDFMEMORY* Memory,
                                          PVOID* Buffer);
extern "C" NTSTATUS NTAPI WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes,
                                                      PVOID Buffer, size_t BufferSize,
                                                      WDFMEMORY* Memory);
extern "C" PVOID NTAPI WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer,
                                                   ULONG BufferLength) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR Descriptor,
                                                   WDFMEMORY Memory, PWDFMEMORY_OFFSET Offsets) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeHandle;
    Descriptor->u.HandleType.Memory = Memory;
    Descriptor->u.HandleType.Offsets = Offsets;
}

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_MDL(PWDF_MEMORY_DESCRIPTOR Descriptor, PMDL Mdl,
                                                ULONG BufferLength) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeMdl;
    Descriptor->u.MdlType.Mdl = Mdl;
    Descriptor->u.MdlType.BufferLength = BufferLength;
}

// ---------------------------------------------------------------------------------------------
// I/O targets.
typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending
} WDF_IO_TARGET_SENT_IO_ACTION;

extern "C" NTSTATUS NTAPI WdfIoTargetStart(WDFIOTARGET IoTarget);
extern "C" VOID NTAPI WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
extern "C" WDFDEVICE NTAPI WdfIoTargetGetDevice(WDFIOTARGET IoTarget);

// ---------------------------------------------------------------------------------------------
// Timers.
typedef VOID EVT_WDF_TIMER(WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;  // ms; 0 = one-shot
    BOOLEAN AutomaticSerialization;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc) {
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
}

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config,
                                                PFN_WDF_TIMER EvtTimerFunc, LONG Period) {
    WDF_TIMER_CONFIG_INIT(Config, EvtTimerFunc);
    Config->Period = static_cast<ULONG>(Period);
}

extern "C" NTSTATUS NTAPI WdfTimerCreate(PWDF_TIMER_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
// DueTime: negative relative, positive absolute system time, in 100 ns units. Returns TRUE
// when the timer was already waiting in the timer queue (it is re-armed).
extern "C" BOOLEAN NTAPI WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
extern "C" BOOLEAN NTAPI WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
extern "C" WDFOBJECT NTAPI WdfTimerGetParentObject(WDFTIMER Timer);

// ---------------------------------------------------------------------------------------------
// Work items.
typedef VOID EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

FORCEINLINE VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config,
                                          PFN_WDF_WORKITEM EvtWorkItemFunc) {
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

extern "C" NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config,
                                            PWDF_OBJECT_ATTRIBUTES Attributes,
                                            WDFWORKITEM* WorkItem);
extern "C" VOID NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
extern "C" WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);

// ---------------------------------------------------------------------------------------------
// Spin locks.
extern "C" NTSTATUS NTAPI WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes,
                                            WDFSPINLOCK* SpinLock);
extern "C" VOID NTAPI WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
extern "C" VOID NTAPI WdfSpinLockRelease(WDFSPINLOCK SpinLock);
