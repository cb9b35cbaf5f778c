#pragma once
// The outgoing control-packet queue: one per process. Control functions put packets in; they
// leave one by one as device message 32, at once in the caller's thread when the queue must
// make room, or from the status monitor thread, which the flush event wakes.

#include <atomic>

#include "hidi_packet.h"
#include "win32/windows.h"

struct AudioDeviceInterfaceWrapper;

inline constexpr DWORD kHidiOutputQueueSlots = 256;

// Every member is touched only under `lock` (re-entrant: an enqueue flushes while it holds it),
// except the existence flag and the event handle, which the status monitor reads on its own.
struct HidiOutputQueue {
    CRITICAL_SECTION lock;
    std::atomic<bool> lockExists{false};  // created by the status monitor at its start
    HidiPacket ring[kHidiOutputQueueSlots];
    DWORD writeCount = 0;       // packets ever put into the ring
    DWORD readCount = 0;        // packets ever taken out; pending = writeCount - readCount
    HidiPacket splicePacket{};  // one packet queued with splicing allowed; empty at length 0
    std::atomic<HANDLE> flushEvent{nullptr};  // manual reset; created by the first enqueue
};

extern HidiOutputQueue gHidiOutputQueue;

// Results of uEnqueueHidiPacketToDevice: 0 queued; 1 a flush that had to come first failed (the
// packet is not queued); 5 no lock yet (no status monitor has started in the process); 8 bad
// packet. noSplice non-zero puts the packet into the ring as its own entry, 0 into the splice
// slot.
int uEnqueueHidiPacketToDevice(AudioDeviceInterfaceWrapper* wrapper, const HidiPacket* packet,
                               int noSplice);
// Sends through `wrapper` whatever any caller queued: 0 all sent, 1 a send failed.
int uFlushHidiOutputQueue(AudioDeviceInterfaceWrapper* wrapper);
// One packet as device message 32: 0 sent (or empty), 1 the message failed.
int uSendHidiPacket(AudioDeviceInterfaceWrapper* wrapper, HidiPacket packet);

// The status monitor's side: creates the lock once; the flush of one pass (under the lock, only
// when something is waiting).
void uCreateHidiOutputQueueLock();
void uFlushHidiOutputQueueIfPending(AudioDeviceInterfaceWrapper* wrapper);

// At unload: deletes the lock and closes the event.
void uDestroyHidiOutputQueue();
