// The outgoing control-packet queue.

#include <cstdio>
#include <cstring>
#include <mutex>

#include "device_link.h"
#include "hidi_queue.h"
#include "library.h"

HidiOutputQueue gHidiOutputQueue;

namespace {

// Guards the creation and deletion of the queue's lock (the monitor thread of one start and an
// unload may meet).
std::mutex gQueueLifeMutex;

DWORD pendingInRing() {
    return gHidiOutputQueue.writeCount - gHidiOutputQueue.readCount;
}

bool spliceWaiting() {
    return gHidiOutputQueue.splicePacket.length != 0;
}

}  // namespace

void uCreateHidiOutputQueueLock() {
    std::lock_guard life(gQueueLifeMutex);
    if (gHidiOutputQueue.lockExists.load()) return;
    InitializeCriticalSection(&gHidiOutputQueue.lock);
    gHidiOutputQueue.lockExists.store(true);
}

void uDestroyHidiOutputQueue() {
    std::lock_guard life(gQueueLifeMutex);
    if (HANDLE event = gHidiOutputQueue.flushEvent.exchange(nullptr)) CloseHandle(event);
    if (gHidiOutputQueue.lockExists.exchange(false)) DeleteCriticalSection(&gHidiOutputQueue.lock);
}

int uEnqueueHidiPacketToDevice(AudioDeviceInterfaceWrapper* wrapper, const HidiPacket* packet,
                               int noSplice) {
    if (packet == nullptr || packet->length == 0 || packet->length > kHidiPacketMaxData) {
        DebugLog(1, "Invalid parameter to uEnqueueHidiPacketToDevice");
        return kVq36BadParameter;
    }
    if (!gHidiOutputQueue.lockExists.load()) {
        DebugLog(1, "Bad state in uEnqueueHidiPacketToDevice (no crit section)");
        return kVq36NoRecord;
    }
    HidiOutputQueue& q = gHidiOutputQueue;
    EnterCriticalSection(&q.lock);
    if (q.flushEvent.load() == nullptr) {
        DebugLog(1, "uEnqueueHidiPacketToDevice: Creating event");
        q.flushEvent.store(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    }
    int result = kVq36Ok;
    if (pendingInRing() >= kHidiOutputQueueSlots || spliceWaiting()) {
        // Making room: afterwards the ring and the splice slot are empty.
        if (uFlushHidiOutputQueue(wrapper) != 0) result = kVq36Failed;
    }
    if (result == kVq36Ok) {
        if (noSplice != 0) {
            const DWORD slot = q.writeCount % kHidiOutputQueueSlots;
            DebugLog(1, "uEnqueueHidiPacketToDevice: added new entry at %d",
                     static_cast<int>(slot));
            q.writeCount += 1;
            q.ring[slot].length = packet->length;
            std::memcpy(q.ring[slot].data, packet->data, packet->length);
        } else {
            HidiPacket& splice = q.splicePacket;
            // The splice slot is empty here (see above); the test keeps it inside its bytes all
            // the same.
            if (splice.length + packet->length <= kHidiPacketMaxData) {
                std::memcpy(splice.data + splice.length, packet->data, packet->length);
                splice.length = static_cast<BYTE>(splice.length + packet->length);
            }
            DebugLog(1, "uEnqueueHidiPacketToDevice: appended on partial");
        }
    }
    if (HANDLE event = q.flushEvent.load()) SetEvent(event);
    LeaveCriticalSection(&q.lock);
    return result;
}

int uFlushHidiOutputQueue(AudioDeviceInterfaceWrapper* wrapper) {
    if (!gHidiOutputQueue.lockExists.load()) return kVq36Failed;
    HidiOutputQueue& q = gHidiOutputQueue;
    EnterCriticalSection(&q.lock);
    DebugLog(1, "Begin flushing HIDI output queue");
    int result = kVq36Ok;
    while (pendingInRing() != 0) {
        const DWORD slot = q.readCount % kHidiOutputQueueSlots;
        DebugLog(1, "Send packet %d; length: %d", static_cast<int>(slot), q.ring[slot].length);
        if (uSendHidiPacket(wrapper, q.ring[slot]) != 0) {
            q.readCount = q.writeCount;  // the rest of the ring is dropped
            result = kVq36Failed;
            break;
        }
        q.readCount += 1;
    }
    if (result == kVq36Ok) {
        result = uSendHidiPacket(wrapper, q.splicePacket);
        if (result == kVq36Ok) q.splicePacket.length = 0;
    }
    DebugLog(1, "End flushing HIDI output queue");
    LeaveCriticalSection(&q.lock);
    return result;
}

void uFlushHidiOutputQueueIfPending(AudioDeviceInterfaceWrapper* wrapper) {
    if (!gHidiOutputQueue.lockExists.load()) return;
    EnterCriticalSection(&gHidiOutputQueue.lock);
    // Pending is the counters' difference (they wrap together), not their order.
    if (pendingInRing() != 0 || spliceWaiting()) uFlushHidiOutputQueue(wrapper);
    LeaveCriticalSection(&gHidiOutputQueue.lock);
}

int uSendHidiPacket(AudioDeviceInterfaceWrapper* wrapper, HidiPacket packet) {
    if (packet.length == 0) return kVq36Ok;
    if (packet.length > kHidiPacketMaxData) return kVq36Failed;  // never queued; never sent
    if (gLogLevel.load(std::memory_order_relaxed) >= 1) {
        DebugLog(1, "Send packet of length: %d", packet.length);
        char bytes[kHidiPacketMaxData * 3 + 1];
        int used = 0;
        for (DWORD i = 0; i < packet.length; ++i)
            used += std::snprintf(bytes + used, sizeof bytes - used, "%02x,", packet.data[i]);
        bytes[used] = '\0';
        DebugLog(1, "%s", bytes);
    }
    BYTE payload[64] = {};
    payload[0] = packet.length;
    std::memcpy(payload + 1, packet.data, packet.length);
    return SendDeviceMessage(wrapper, vq36::kDeviceMsgHidiPacket, vq36::kDeviceMsgSet, payload,
                             nullptr)
               ? kVq36Ok
               : kVq36Failed;
}
