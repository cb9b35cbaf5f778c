// Device messages: the requests of kIoCtlSendMessage, answered from the driver's state,
// changing the streaming set-up, or turned into one device command.

#include "driver.h"

#include <cstring>

namespace {

constexpr ULONG kFlashReplyBytes = 59;
constexpr ULONG kFirmwareVersionBytes = 6;
constexpr UCHAR kFlashReplyOffsetByte = 0xE0;

void PutU32(UCHAR* reply, ULONG value) { std::memcpy(reply, &value, sizeof(value)); }

ULONG GetU32(const UCHAR* payload) {
    ULONG value;
    std::memcpy(&value, payload, sizeof(value));
    return value;
}

BOOLEAN GetMessage(DeviceContext* ctx, ULONG message, const UCHAR* payload, UCHAR* reply,
                   FileContext* file, ULONG start) {
    switch (message) {
        case vq36::kDeviceMsgStreaming: {
            WdfSpinLockAcquire(ctx->stateLock);
            ClientEntry* client = FindClient(ctx, file->clientId);
            if (client != nullptr) reply[0] = client->streamingStarted ? 1 : 0;
            WdfSpinLockRelease(ctx->stateLock);
            return client != nullptr;
        }
        case vq36::kDeviceMsgDeviceWord:
            SendDeviceCommandNoData(ctx, vq36::kDeviceCmdDeviceWord);
            return WaitDeviceReply2(ctx, vq36::kDeviceCmdDeviceWord, reply, start);
        case vq36::kDeviceMsgBootDevice: {
            // Requests run side by side on several processors: the cache is read and written
            // whole, its value before its validity.
            if (__atomic_load_n(&ctx->cachedBootFlagValid, __ATOMIC_ACQUIRE)) {
                reply[0] = __atomic_load_n(&ctx->cachedIsBootDevice, __ATOMIC_RELAXED) ? 1 : 0;
                return TRUE;
            }
            SendDeviceCommandNoData(ctx, vq36::kDeviceCmdBootFlag);
            UCHAR flag = 0;
            if (!WaitDeviceReply(ctx, vq36::kDeviceCmdBootFlag, &flag, 1, start)) return FALSE;
            const UCHAR isBoot = flag != 0 ? 1 : 0;
            __atomic_store_n(&ctx->cachedIsBootDevice, isBoot, __ATOMIC_RELAXED);
            __atomic_store_n(&ctx->cachedBootFlagValid, UCHAR{1}, __ATOMIC_RELEASE);
            // Value before validity, so a reader that sees the flag valid sees its value.
            vq36::Store8(&ctx->infoRecord->isBootDevice, isBoot);
            vq36::Store8(&ctx->infoRecord->bootFlagValid, 1);
            reply[0] = flag;
            return TRUE;
        }
        case vq36::kDeviceMsgFlash:
            SendDeviceCommand(ctx, vq36::kDeviceCmdFlashRead, payload);
            return WaitDeviceReply(ctx, vq36::kDeviceCmdFlashRead, reply, kFlashReplyBytes, start);
        case vq36::kDeviceMsgProductId:
            WdfUsbTargetDeviceGetDeviceDescriptor(ctx->usbDevice, &ctx->deviceDescriptor);
            PutU32(reply, ctx->deviceDescriptor.idProduct);
            return TRUE;
        case vq36::kDeviceMsgVendorId:
            PutU32(reply, ctx->deviceDescriptor.idVendor);
            return TRUE;
        case vq36::kDeviceMsgDriverVersion:
            PutU32(reply, vq36::kDriverVersion);
            return TRUE;
        case vq36::kDeviceMsgUsbSpeed:
            PutU32(reply, ctx->isHighSpeed ? 2 : 1);
            return TRUE;
        case vq36::kDeviceMsgFirmwareVersion:
            SendDeviceCommand(ctx, vq36::kDeviceCmdFirmwareVersion, payload);
            return WaitDeviceReply(ctx, vq36::kDeviceCmdFirmwareVersion, reply,
                                   kFirmwareVersionBytes, start);
        default:
            return FALSE;
    }
}

BOOLEAN SetMessage(DeviceContext* ctx, ULONG message, const UCHAR* payload, UCHAR* reply,
                   FileContext* file, ULONG start) {
    switch (message) {
        case vq36::kDeviceMsgStreaming: {
            WdfSpinLockAcquire(ctx->stateLock);
            ClientEntry* client = FindClient(ctx, file->clientId);
            if (client != nullptr) client->streamingStarted = payload[0] != 0 ? 1 : 0;
            WdfSpinLockRelease(ctx->stateLock);
            return TRUE;
        }
        case vq36::kDeviceMsgHidiPacket:
            SendDeviceCommand(ctx, vq36::kDeviceCmdHidiPacket, payload);
            return TRUE;
        case vq36::kDeviceMsgDirectHidiPacket:
            SendDeviceCommand(ctx, vq36::kDeviceCmdDirectHidiPacket, payload);
            return WaitDeviceReply2Dropped(ctx, vq36::kDeviceCmdDirectHidiPacket, start);
        case vq36::kDeviceMsgBootDevice:
            SendDeviceCommandNoData(ctx, vq36::kDeviceCmdEnterBootLoader);
            __atomic_store_n(&ctx->cachedBootFlagValid, UCHAR{0}, __ATOMIC_RELEASE);
            vq36::Store8(&ctx->infoRecord->bootFlagValid, 0);
            return TRUE;
        case vq36::kDeviceMsgFlash:
            SendDeviceCommand(ctx, vq36::kDeviceCmdFlashWrite, payload);
            if (payload[3] != kFlashReplyOffsetByte) return TRUE;
            return WaitDeviceReply(ctx, vq36::kDeviceCmdFlashWrite, reply, kFlashReplyBytes,
                                   start);
        case vq36::kDeviceMsgFirmwareUpdateDone:
            SendDeviceCommandNoData(ctx, vq36::kDeviceCmdUpdateFinished);
            return TRUE;
        case vq36::kDeviceMsgAltProductId: {
            const UCHAR command =
                payload[0] != 0 ? vq36::kDeviceCmdProductIdB : vq36::kDeviceCmdProductIdA;
            SendDeviceCommandNoData(ctx, command);
            (void)WaitDeviceReply2Dropped(ctx, command, start);
            return TRUE;
        }
        case vq36::kDeviceMsgBufferSamples: {
            const ULONG frames = GetU32(payload);
            // The regions hold blocks of at most 3000 samples (a ring of 15 such blocks plus
            // the overhang of the longest playback transfer fits region B only up to there).
            // A larger block size is refused and never reaches the engine.
            if (frames > vq36::kMaxBlockFrames) return FALSE;
            WdfSpinLockAcquire(ctx->stateLock);
            ctx->pendingBlockFrames = frames;
            ApplyPendingBlockSize(ctx);
            ComputeBufferGeometry(ctx);
            WdfSpinLockRelease(ctx->stateLock);
            return TRUE;
        }
        case vq36::kDeviceMsgBufferRemainder: {
            const ULONG delay = GetU32(payload);
            if (delay >= 3) return TRUE;
            WdfSpinLockAcquire(ctx->stateLock);
            if (delay != ctx->playbackDelayMillisecs) {
                ctx->playbackDelayMillisecs = delay;
                ctx->restartPending = 1;
            }
            WdfSpinLockRelease(ctx->stateLock);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

BOOLEAN HandleDeviceMessage(DeviceContext* ctx, const vq36::DeviceMessage* message,
                            UCHAR* reply, FileContext* file) {
    const ULONG start = SampleReplyCount(ctx);
    // The request and the reply share one buffer: take the request before any reply byte is
    // written.
    const ULONG number = message->message;
    const ULONG op = message->op;
    UCHAR payload[sizeof(message->payload)];
    std::memcpy(payload, message->payload, sizeof(payload));

    if (op == vq36::kDeviceMsgGet) return GetMessage(ctx, number, payload, reply, file, start);
    if (op == vq36::kDeviceMsgSet) return SetMessage(ctx, number, payload, reply, file, start);
    return FALSE;
}
