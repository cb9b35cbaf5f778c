#pragma once
// The driver framework's USB objects: the USB target device, its interfaces and their
// alternate settings, configuration selection, pipes (each one an I/O target), request blocks
// sent through pipes, synchronous pipe writes and resets, and the continuous reader.

#include "knt/usb.h"
#include "knt/wdf.h"

struct WDFUSBDEVICE__;
typedef struct WDFUSBDEVICE__* WDFUSBDEVICE;
struct WDFUSBINTERFACE__;
typedef struct WDFUSBINTERFACE__* WDFUSBINTERFACE;
struct WDFUSBPIPE__;
typedef struct WDFUSBPIPE__* WDFUSBPIPE;

// ---------------------------------------------------------------------------------------------
// The USB target device.
extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceCreate(WDFDEVICE Device,
                                                   PWDF_OBJECT_ATTRIBUTES Attributes,
                                                   WDFUSBDEVICE* UsbDevice);
extern "C" VOID NTAPI WdfUsbTargetDeviceGetDeviceDescriptor(
    WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
// The whole configuration descriptor set. With a null buffer (or one too short) the answer is
// STATUS_BUFFER_TOO_SMALL and *ConfigDescriptorLength receives the length needed.
extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveConfigDescriptor(
    WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor, PUSHORT ConfigDescriptorLength);
extern "C" UCHAR NTAPI WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
// Null when there is no interface at that index.
extern "C" WDFUSBINTERFACE NTAPI WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice,
                                                                UCHAR InterfaceIndex);
extern "C" WDFIOTARGET NTAPI WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);
// Passive level only. The device leaves the bus and arrives again as a new device.
extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceCyclePortSynchronously(WDFUSBDEVICE UsbDevice);
extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveCurrentFrameNumber(WDFUSBDEVICE UsbDevice,
                                                                       PULONG CurrentFrameNumber);

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef enum _WDF_USB_DEVICE_TRAITS {
    WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001,
    WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002,
    WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004
} WDF_USB_DEVICE_TRAITS;

typedef struct _WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

FORCEINLINE VOID WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Udi) {
    RtlZeroMemory(Udi, sizeof(WDF_USB_DEVICE_INFORMATION));
    Udi->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveInformation(
    WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information);

// ---------------------------------------------------------------------------------------------
// Configuration selection.
typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            UCHAR NumberConfiguredPipes;             // out
            WDFUSBINTERFACE ConfiguredUsbInterface;  // out
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;  // out
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

// Setting 0 of the device's only interface.
FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

// Without pairs: setting 0 of every interface. With pairs: each listed interface's setting (by
// index among its settings); interfaces not listed get setting 0.
FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces,
    PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    if (NumberInterfaces == 0 && SettingPairs == nullptr) {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    } else {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
        Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
        Params->Types.MultiInterface.Pairs = SettingPairs;
    }
}

FORCEINLINE VOID
WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

// Passive level only. Pipe objects of the previous selection are deleted; new ones are made
// for the selected settings (with PipeAttributes, whose parent is always the interface).
extern "C" NTSTATUS NTAPI
WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                               PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);

// ---------------------------------------------------------------------------------------------
// Interfaces.
extern "C" UCHAR NTAPI WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface);
extern "C" UCHAR NTAPI WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface);
// The interface descriptor of a setting (by index); nothing is written for an index out of
// range.
extern "C" VOID NTAPI WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                                   PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor);
extern "C" UCHAR NTAPI WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);

typedef enum _WdfUsbInterfaceSelectSettingType {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11
} WdfUsbInterfaceSelectSettingType;

typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbInterfaceSelectSettingType Type;
    union {
        struct {
            UCHAR SettingIndex;
        } Interface;
    } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;

FORCEINLINE VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, UCHAR SettingIndex) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    Params->Types.Interface.SettingIndex = SettingIndex;
}

// Passive level only; the device must be configured. The interface's pipe objects are
// deleted and made anew for the setting.
extern "C" NTSTATUS NTAPI
WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                             PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params);

// ---------------------------------------------------------------------------------------------
// Pipes.
typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

FORCEINLINE VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
    RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

// The configured pipe at PipeIndex of the interface's selected setting, or null when there is
// none; PipeInfo (optional) receives its information.
extern "C" WDFUSBPIPE NTAPI WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface,
                                                             UCHAR PipeIndex,
                                                             PWDF_USB_PIPE_INFORMATION PipeInfo);
extern "C" WDFIOTARGET NTAPI WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);
extern "C" USBD_PIPE_HANDLE NTAPI WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe);

// Passive level only. Request is optional (null: the framework uses a request of its own).
extern "C" NTSTATUS NTAPI WdfUsbTargetPipeResetSynchronously(
    WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions);
// Passive level only; the pipe must be a bulk or interrupt OUT pipe. Returns the request's
// status (STATUS_IO_TIMEOUT when the options' time-out passes first).
extern "C" NTSTATUS NTAPI WdfUsbTargetPipeWriteSynchronously(
    WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
    PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten);

// Formats a request for the request block in UrbMemory (at the optional offset). The request
// may then be sent to the pipe's target, the USB target device's target or the device's
// default target: the block's PipeHandle names the pipe.
extern "C" NTSTATUS NTAPI WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE PIPE, WDFREQUEST Request,
                                                              WDFMEMORY UrbMemory,
                                                              PWDFMEMORY_OFFSET UrbMemoryOffset);

// What a USB request's completion reports in Parameters.Usb.Completion.
typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb
} WDF_USB_REQUEST_TYPE;

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS;

// ---------------------------------------------------------------------------------------------
// The continuous reader.
typedef VOID EVT_WDF_USB_READER_COMPLETION_ROUTINE(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                                   size_t NumBytesTransferred, WDFCONTEXT Context);
typedef EVT_WDF_USB_READER_COMPLETION_ROUTINE* PFN_WDF_USB_READER_COMPLETION_ROUTINE;
typedef BOOLEAN EVT_WDF_USB_READERS_FAILED(WDFUSBPIPE Pipe, NTSTATUS Status,
                                           USBD_STATUS UsbdStatus);
typedef EVT_WDF_USB_READERS_FAILED* PFN_WDF_USB_READERS_FAILED;

typedef struct _WDF_USB_CONTINUOUS_READER_CONFIG {
    ULONG Size;
    size_t TransferLength;
    size_t HeaderLength;
    size_t TrailerLength;
    UCHAR NumPendingReads;  // 0: the framework's default
    PWDF_OBJECT_ATTRIBUTES BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
} WDF_USB_CONTINUOUS_READER_CONFIG, *PWDF_USB_CONTINUOUS_READER_CONFIG;

FORCEINLINE VOID WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
    PWDF_USB_CONTINUOUS_READER_CONFIG Config,
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext, size_t TransferLength) {
    RtlZeroMemory(Config, sizeof(WDF_USB_CONTINUOUS_READER_CONFIG));
    Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
    Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
    Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
    Config->TransferLength = TransferLength;
}

// Configures a reader on a bulk or interrupt IN pipe. The reads run while the pipe's I/O target
// is started: the pipe's target stops here, WdfIoTargetStart starts the reads and
// WdfIoTargetStop cancels them. Each read completes into a memory object of its own, which the
// framework deletes when the completion routine returns. When reads fail, the framework
// cancels the others and, once none is left, calls EvtUsbTargetPipeReadersFailed at passive
// level; unless it returns FALSE (or there is none), it resets the pipe and restarts the
// reads. A reader whose device is gone stops.
extern "C" NTSTATUS NTAPI
WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config);
