#pragma once
// Vq36Kernel: the kernel-mode driver of the VQ36. Per-device, per-handle and per-client
// records, and the routines the driver's parts call on each other.

#include "knt/knt.h"
#include "public/vq36_shared.h"

// Pool tag of every allocation the driver makes itself: the bytes read "qvdk" in memory.
#define VQ36_POOL_TAG 'kdvq'

inline constexpr ULONG kRequestSlots = 15;
inline constexpr ULONG kUrbStorageBytes = 4896;  // 96 + 12 x 400 packets
inline constexpr ULONG kReplyRingEntries = 500;
inline constexpr ULONG kMessagePacketBytes = 64;

// One streaming client (a handle that initialised buffers).
struct ClientEntry {
    ULONG clientId;
    PUCHAR threadPriorityField;  // registered streaming thread's priority byte, or null
    PVOID registeredThread;      // that thread's object, referenced while registered
    PKEVENT bufferReadyEvent;
    UCHAR streamingStarted;
    // The deadline slot the client was given at registration (see kIoCtlInitBuffers).
    ULONG clientSlot;
};

struct DeviceContext {
    WDFDEVICE device;
    WDFUSBDEVICE usbDevice;
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR configDescriptor;
    WDFMEMORY configDescriptorMemory;  // the framework memory holding configDescriptor
    UCHAR isHighSpeed;
    WDF_USB_INTERFACE_SETTING_PAIR* interfaceSettings;  // one pair per interface
    UCHAR singleInterfaceMode;
    WDFUSBINTERFACE captureInterface;
    WDFIOTARGET lowerTarget;
    WDFUSBPIPE capturePipe;
    WDF_USB_PIPE_INFORMATION capturePipeInfo;
    WDFTIMER streamTimer;
    WDFUSBINTERFACE playbackInterface;
    WDFUSBPIPE playbackPipe;
    WDF_USB_PIPE_INFORMATION playbackPipeInfo;
    WDFUSBINTERFACE messageInterface;
    WDFUSBPIPE messageInPipe;
    WDF_USB_PIPE_INFORMATION messageInPipeInfo;
    WDFUSBPIPE messageOutPipe;
    WDF_USB_PIPE_INFORMATION messageOutPipeInfo;
    UCHAR readerStarted;

    // Replies and messages from the device.
    KEVENT replyArrived;
    ULONG replyCount;
    UCHAR replyRing[kReplyRingEntries][kMessagePacketBytes];
    WDFSPINLOCK stateLock;
    WDFSPINLOCK replyRingLock;

    // Streaming engine: request slots.
    ULONG nextStartFrame;
    WDFREQUEST captureRequests[kRequestSlots];
    WDFREQUEST playbackRequests[kRequestSlots];
    UCHAR captureBusy[kRequestSlots];
    UCHAR playbackBusy[kRequestSlots];
    alignas(8) UCHAR captureUrbs[kRequestSlots][kUrbStorageBytes];
    alignas(8) UCHAR playbackUrbs[kRequestSlots][kUrbStorageBytes];
    WDFMEMORY captureUrbMemory[kRequestSlots];
    WDFMEMORY playbackUrbMemory[kRequestSlots];
    UCHAR isStreaming;
    ULONG captureFailures;
    UCHAR schedulingActive;
    UCHAR restartPending;
    ULONG lastCaptureStartFrame;
    ULONG lastSentSlot;

    // Shared regions: capture planes and the record.
    PVOID capturePlanesView;
    PMDL capturePlanesMdl;
    PVOID asioInfoView;
    PMDL asioInfoMdl;

    // Geometry and in-flight bookkeeping.
    ULONG maxReadsInFlight;
    ULONG readsInFlight;
    ULONG millisecsInFlight;
    ULONG leadFrames;
    ULONG leadBytes;
    ULONG leadMillisecs;
    ULONG lastCompletedSlot;
    ULONG shortBlockMode;

    // The record every kernel routine uses (null until it exists).
    vq36::AsioInfo* infoRecord;

    // Clients and MIDI events.
    ULONG priorityOffset;
    PKEVENT midiEvents[vq36::kMaxMidiEvents];
    ULONG midiEventCount;
    ClientEntry clientTable[vq36::kMaxClients];
    ULONG nextClientId;
    ULONG clientCount;

    ULONG currentBlockFrames;
    ULONG blockBytesPerChannel;
    ULONG ringBlockCount;
    PUCHAR capturePool;
    PVOID playbackClippedView;
    PMDL playbackClippedMdl;
    PVOID playbackUnclippedView;
    PMDL playbackUnclippedMdl;

    ULONG blockPosition;
    ULONG pendingBlockFrames;
    ULONG playbackDelayMillisecs;
    UCHAR isRemoved;
    KTIMER removalWaitTimer;
    WDFQUEUE defaultQueue;
    ULONG outstandingWorkItems;
    ULONGLONG framesCapturedTotal;
    ULONG millisecsCapturedTotal;

    // Device messages: the device's last answer to the boot-flag command.
    UCHAR cachedBootFlagValid;
    UCHAR cachedIsBootDevice;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext)

struct FileContext {
    PVOID captureView;
    PVOID unclippedView;
    PVOID clippedView;
    PVOID asioInfoView;
    ULONG clientId;
    ULONG priorityProbe;
    PKEVENT bufferReadyEvent;
    PKEVENT midiEvent;
    // The process that owns the handle's views, referenced while the handle holds any. Views
    // are made and unmapped in its context only.
    PEPROCESS viewProcess;
    // Under stateLock: a request of the handle is changing its views or its client entry (from
    // before the view check until the entry is in the table); the handle has been cleaned up.
    ULONG busy;
    ULONG cleanedUp;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FileContext, GetFileContext)

struct RequestSlotContext {
    ULONG slot;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(RequestSlotContext, GetRequestSlotContext)

struct WorkItemContext {
    DeviceContext* deviceContext;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WorkItemContext, GetWorkItemContext)

// Device set-up, power and configuration.
extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD EvtDeviceAdd;
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_OBJECT_CONTEXT_DESTROY EvtDeviceContextDestroy;
NTSTATUS SelectUsbConfiguration(WDFDEVICE device);

// Shared record and regions.
NTSTATUS AllocateStreamBuffers(DeviceContext* ctx);
void ComputeBufferGeometry(DeviceContext* ctx);
void ResetBlockCounters(DeviceContext* ctx);
// Obtains `bytes` of zeroed pages below 4 GB with a cached system view.
NTSTATUS AllocateSharedArea(SIZE_T bytes, PMDL* mdl, PVOID* view);
void FreeSharedArea(PMDL* mdl, PVOID* view);

// Command transport and incoming packets.
// replyCount as a reply wait's start index (sampled before the command is sent).
ULONG SampleReplyCount(const DeviceContext* ctx);
void SendDeviceCommand(DeviceContext* ctx, UCHAR command, const UCHAR data[59]);
void SendDeviceCommandByte(DeviceContext* ctx, UCHAR command, UCHAR byte0);
void SendDeviceCommandNoData(DeviceContext* ctx, UCHAR command);
BOOLEAN WaitDeviceReply(DeviceContext* ctx, UCHAR command, PVOID destination, ULONG length,
                        ULONG startIndex);
BOOLEAN WaitDeviceReply2(DeviceContext* ctx, UCHAR command, PVOID destination, ULONG startIndex);
BOOLEAN WaitDeviceReply2Dropped(DeviceContext* ctx, UCHAR command, ULONG startIndex);
EVT_WDF_USB_READER_COMPLETION_ROUTINE EvtMessageReadComplete;
void RouteDevicePacket(DeviceContext* ctx, const UCHAR* packet, ULONG receiveTimeMs);

// Device messages.
BOOLEAN HandleDeviceMessage(DeviceContext* ctx, const vq36::DeviceMessage* message, UCHAR* reply,
                            FileContext* file);

// Streaming engine.
NTSTATUS CreateIsoRequests(DeviceContext* ctx);
NTSTATUS BuildIsoUrb(DeviceContext* ctx, ULONG slot, ULONG capture, ULONG millisecs);
NTSTATUS GetCurrentFrameNumber(DeviceContext* ctx, ULONG* frame);
NTSTATUS SendCaptureRequest(DeviceContext* ctx, ULONG slot);
// Counts the started clients into the record's joinedClientCount and returns the count.
// stateLock held (or the context being torn down).
ULONG CountJoinedClients(DeviceContext* ctx);
ULONG ScheduleCaptureRequests(DeviceContext* ctx);
EVT_WDF_REQUEST_COMPLETION_ROUTINE EvtCaptureUrbComplete;
EVT_WDF_REQUEST_COMPLETION_ROUTINE EvtPlaybackUrbComplete;
EVT_WDF_TIMER EvtStreamTimer;
void SetStreamingEnabled(DeviceContext* ctx, UCHAR on);
void ApplyPendingBlockSize(DeviceContext* ctx);
NTSTATUS QueueBlockSizeWorkItem(DeviceContext* ctx);
EVT_WDF_WORKITEM EvtBlockSizeWorkItem;
UCHAR ProcessCapturePacket(DeviceContext* ctx, ULONG slot, UCHAR advanceBlocks);
// The widest moves, in bits, that capture processing may use to fill the planes where the
// processor has them: 512 (the default), 256 or 128. Every width leaves the same bytes.
extern ULONG gCaptureMoveBits;

// I/O controls and clients.
EVT_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext;
EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP EvtFileCleanup;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
// Removes the handle's client, events and views. The caller holds the handle's busy state.
void RemoveClient(DeviceContext* ctx, FileContext* file);
// The client entry of a handle's client id, or null. State lock held.
ClientEntry* FindClient(DeviceContext* ctx, ULONG clientId);
// Sets every client's buffer-ready event with increment 0 (state lock held).
void SignalAllClients(DeviceContext* ctx);
