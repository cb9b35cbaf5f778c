// Device commands and the packets that come back on the message pipe: the reply ring, reply
// matching and the routing of unsolicited packets into the shared record.

#include "driver.h"

#include <cstring>

namespace {

constexpr LONGLONG kCommandWriteTimeoutUnits = -1000000;  // 100 ms, relative
constexpr LONGLONG kReplyWaitUnits = -500000;             // 50 ms, relative
constexpr ULONG kReplyTries = 4;
constexpr CCHAR kMessageIncrement = 8;

const UCHAR kMagic[4] = {0x13, 0xB7, 0x00, 0x2E};

// replyCount is written under replyRingLock after the entry is complete, and read without a
// lock by waiters.
ULONG LoadReplyCount(const DeviceContext* ctx) {
    return __atomic_load_n(&ctx->replyCount, __ATOMIC_ACQUIRE);
}

}  // namespace

ULONG SampleReplyCount(const DeviceContext* ctx) { return LoadReplyCount(ctx); }

void SendDeviceCommand(DeviceContext* ctx, UCHAR command, const UCHAR data[59]) {
    if (ctx->singleInterfaceMode || ctx->messageOutPipe == nullptr) return;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = ctx->device;
    WDFMEMORY memory;
    PVOID buffer = nullptr;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, VQ36_POOL_TAG,
                                      kMessagePacketBytes, &memory, &buffer);
    if (!NT_SUCCESS(status)) return;

    PUCHAR packet = static_cast<PUCHAR>(buffer);
    RtlZeroMemory(packet, kMessagePacketBytes);
    packet[0] = command;
    std::memcpy(packet + 1, kMagic, sizeof(kMagic));
    std::memcpy(packet + 5, data, vq36::kPacketDataBytes);

    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&descriptor, memory, nullptr);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, kCommandWriteTimeoutUnits);
    ULONG written = 0;
    status = WdfUsbTargetPipeWriteSynchronously(ctx->messageOutPipe, WDF_NO_HANDLE, &options,
                                                &descriptor, &written);
    if (!NT_SUCCESS(status) || written != kMessagePacketBytes) {
        if (status == STATUS_NO_SUCH_DEVICE) {
            if (ctx->infoRecord != nullptr) vq36::Store8(&ctx->infoRecord->deviceGone, 1);
        } else if (status == STATUS_INVALID_PARAMETER) {
            WdfIoTargetStop(ctx->lowerTarget, WdfIoTargetCancelSentIo);
            (void)WdfUsbTargetDeviceCyclePortSynchronously(ctx->usbDevice);
        }
    }
    WdfObjectDelete(memory);
}

void SendDeviceCommandByte(DeviceContext* ctx, UCHAR command, UCHAR byte0) {
    UCHAR data[vq36::kPacketDataBytes] = {};
    data[0] = byte0;
    SendDeviceCommand(ctx, command, data);
}

void SendDeviceCommandNoData(DeviceContext* ctx, UCHAR command) {
    const UCHAR data[vq36::kPacketDataBytes] = {};
    SendDeviceCommand(ctx, command, data);
}

BOOLEAN WaitDeviceReply(DeviceContext* ctx, UCHAR command, PVOID destination, ULONG length,
                        ULONG startIndex) {
    ULONG index = startIndex;
    for (ULONG tries = 0; tries < kReplyTries; ++tries, ++index) {
        if (LoadReplyCount(ctx) <= index) {
            KeClearEvent(&ctx->replyArrived);
            if (LoadReplyCount(ctx) <= index) {
                LARGE_INTEGER timeout;
                timeout.QuadPart = kReplyWaitUnits;
                (void)KeWaitForSingleObject(&ctx->replyArrived, Executive, KernelMode, FALSE,
                                            &timeout);
                KeClearEvent(&ctx->replyArrived);
                // Whether the wait timed out or not, an entry that is still missing is never
                // read: the slot would hold a packet 500 places older.
                if (LoadReplyCount(ctx) <= index) return FALSE;
            }
        }
        const UCHAR* entry = ctx->replyRing[index % kReplyRingEntries];
        if (entry[0] == command && std::memcmp(entry + 1, kMagic, sizeof(kMagic)) == 0) {
            if (destination != nullptr) {
                if (length + 5 > kMessagePacketBytes) return FALSE;
                std::memcpy(destination, entry + 5, length);
            }
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN WaitDeviceReply2(DeviceContext* ctx, UCHAR command, PVOID destination,
                         ULONG startIndex) {
    return WaitDeviceReply(ctx, command, destination, 2, startIndex);
}

BOOLEAN WaitDeviceReply2Dropped(DeviceContext* ctx, UCHAR command, ULONG startIndex) {
    USHORT scratch = 0;
    return WaitDeviceReply(ctx, command, &scratch, 2, startIndex);
}

void EvtMessageReadComplete(WDFUSBPIPE pipe, WDFMEMORY buffer, size_t numBytesTransferred,
                            WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(pipe);
    const ULONG receiveTimeMs = static_cast<ULONG>(KeQueryInterruptTime() / 10000);
    if (numBytesTransferred != kMessagePacketBytes) return;
    DeviceContext* ctx = static_cast<DeviceContext*>(context);
    size_t bufferBytes = 0;
    const UCHAR* data = static_cast<const UCHAR*>(WdfMemoryGetBuffer(buffer, &bufferBytes));
    if (data == nullptr || bufferBytes < kMessagePacketBytes) return;

    UCHAR packet[kMessagePacketBytes];
    WdfSpinLockAcquire(ctx->replyRingLock);
    const ULONG count = ctx->replyCount;
    std::memcpy(ctx->replyRing[count % kReplyRingEntries], data, kMessagePacketBytes);
    std::memcpy(packet, data, kMessagePacketBytes);
    __atomic_store_n(&ctx->replyCount, count + 1, __ATOMIC_RELEASE);
    WdfSpinLockRelease(ctx->replyRingLock);

    RouteDevicePacket(ctx, packet, receiveTimeMs);
    KeSetEvent(&ctx->replyArrived, kMessageIncrement, FALSE);
}

void RouteDevicePacket(DeviceContext* ctx, const UCHAR* packet, ULONG receiveTimeMs) {
    vq36::AsioInfo* info = ctx->infoRecord;
    if (info == nullptr) return;
    switch (packet[0]) {
        case vq36::kDevicePacketHidi: {
            WdfSpinLockAcquire(ctx->stateLock);
            const ULONG count = vq36::Load32(&info->hidiInCount);
            vq36::HidiInEntry* entry = &info->hidiInRing[count % vq36::kHidiInRingEntries];
            std::memcpy(entry->data, packet + 5, vq36::kPacketDataBytes);
            vq36::Store32(&entry->receiveTimeMs, receiveTimeMs);
            vq36::Store32(&info->hidiInCount, count + 1);
            vq36::Store32(&info->statistics.hidiPackets,
                          vq36::Load32(&info->statistics.hidiPackets) + 1);
            for (ULONG i = 0; i < ctx->midiEventCount; ++i) {
                KeSetEvent(ctx->midiEvents[i], kMessageIncrement, FALSE);
            }
            WdfSpinLockRelease(ctx->stateLock);
            break;
        }
        case vq36::kDevicePacketAux: {
            WdfSpinLockAcquire(ctx->stateLock);
            const ULONG count = vq36::Load32(&info->auxInCount);
            std::memcpy(info->auxInRing[count % vq36::kAuxInRingEntries], packet + 5,
                        vq36::kPacketDataBytes);
            vq36::Store32(&info->auxInCount, count + 1);
            WdfSpinLockRelease(ctx->stateLock);
            break;
        }
        case vq36::kDevicePacketPortSet:
        case vq36::kDevicePacketPortClear: {
            WdfSpinLockAcquire(ctx->stateLock);
            vq36::Store8(&info->portStatusFlags[packet[4] & 1],
                         packet[0] == vq36::kDevicePacketPortSet ? 1 : 0);
            vq36::Store32(&info->portStatusChangeCount,
                          vq36::Load32(&info->portStatusChangeCount) + 1);
            WdfSpinLockRelease(ctx->stateLock);
            break;
        }
        case vq36::kDevicePacketOtherPortControl: {
            LARGE_INTEGER ticks;
            KeQueryTickCount(&ticks);
            const ULONGLONG ms =
                static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000;
            vq36::Store32(&info->lastOtherPortControlStatus, static_cast<ULONG>(ms));
            break;
        }
        default:
            break;  // a command reply: it lives in the reply ring only
    }
}
