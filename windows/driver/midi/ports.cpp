// The port list, the device handle the ports share, driver callbacks and the output path.

#include <cstring>
#include <new>

#include "midi_driver.h"

CRITICAL_SECTION gMidiLock;
CRITICAL_SECTION gDeviceLock;
MidiInstance* gMidiInstances[kMaxMidiInstances];
int gMidiInstanceCount = 0;
std::atomic<AudioDeviceInterfaceWrapper*> gMidiDevice{nullptr};
std::atomic<std::int32_t> gMidiOutPortChannel{0};
std::atomic<std::int32_t> gMidiInPortChannel{0};

BOOL AddMidiInstance(DWORD_PTR* userInstance, BYTE isInput, DWORD_PTR callback,
                     DWORD_PTR callbackInstance, HMIDI handle, DWORD openFlags) {
    auto* port = new (std::nothrow)
        MidiInstance{isInput, callback, callbackInstance, handle, openFlags, GetTickCount()};
    if (port == nullptr) return FALSE;

    EnterCriticalSection(&gDeviceLock);
    EnterCriticalSection(&gMidiLock);
    if (gMidiInstanceCount >= kMaxMidiInstances) {
        LeaveCriticalSection(&gMidiLock);
        LeaveCriticalSection(&gDeviceLock);
        delete port;
        return FALSE;
    }
    *userInstance = reinterpret_cast<DWORD_PTR>(port);
    gMidiInstances[gMidiInstanceCount++] = port;
    const bool openDevice = gMidiDevice.load() == nullptr;
    LeaveCriticalSection(&gMidiLock);

    // The device is opened outside the driver's lock (see midi_driver.h): a null handle is kept
    // as well, and the next open tries again.
    if (openDevice) {
        AudioDeviceInterfaceWrapper* device = VQ36_open();
        if (device != nullptr) {
            VQ36_set_hidimsg_callback(device, OnHidiMessageFromDevice);
            VQ36_set_midi_ch_callback(device, OnMidiChannelsChanged);
            MidiChannelPair pair = {};
            if (VQ36_get_midi_channels(device, &pair) == kVq36Ok) {
                gMidiOutPortChannel.store(pair.midiInChannel, std::memory_order_relaxed);
                gMidiInPortChannel.store(pair.midiOutChannel, std::memory_order_relaxed);
            }
        }
        gMidiDevice.store(device);
    }
    LeaveCriticalSection(&gDeviceLock);
    return TRUE;
}

void RemoveMidiInstance(MidiInstance* port) {
    EnterCriticalSection(&gDeviceLock);
    EnterCriticalSection(&gMidiLock);
    int index = 0;
    while (index < gMidiInstanceCount && gMidiInstances[index] != port) ++index;
    if (index == gMidiInstanceCount) {  // not ours: nothing changes
        LeaveCriticalSection(&gMidiLock);
        LeaveCriticalSection(&gDeviceLock);
        return;
    }
    for (int i = index; i + 1 < gMidiInstanceCount; ++i) gMidiInstances[i] = gMidiInstances[i + 1];
    gMidiInstances[--gMidiInstanceCount] = nullptr;
    AudioDeviceInterfaceWrapper* closing = nullptr;
    if (gMidiInstanceCount == 0) closing = gMidiDevice.exchange(nullptr);
    LeaveCriticalSection(&gMidiLock);

    // No fan-out can reach the record any more.
    delete port;
    // Closed outside the driver's lock: the last close waits for the status monitor thread,
    // which may be waiting for that lock in a callback.
    if (closing != nullptr) VQ36_close(closing);
    LeaveCriticalSection(&gDeviceLock);
}

void DoDriverCallback(MidiInstance* port, DWORD message, DWORD_PTR param1, DWORD_PTR param2) {
    if (port == nullptr || port->callback == 0) return;
    DriverCallback(port->callback, HIWORD(port->openFlags), reinterpret_cast<HDRVR>(port->handle),
                   message, port->callbackInstance, param1, param2);
}

// Sends note off, note on and control change on the output port's channel as a control packet
// on the device's channel 1; drops everything else. Allocates nothing.
void SendMidiShortMessage(DWORD message) {
    const BYTE status = static_cast<BYTE>(message & 0xFF);
    if (gMidiOutPortChannel.load(std::memory_order_relaxed) != (status & 0x0F) + 1) return;
    const BYTE kind = status & 0xF0;
    if (kind != 0x80 && kind != 0x90 && kind != 0xB0) return;
    HidiPacket packet = {};
    packet.length = 3;
    const DWORD word = message & ~static_cast<DWORD>(0x0F);
    for (int i = 0; i < 4; ++i) packet.data[i] = static_cast<BYTE>(word >> (8 * i));
    VQ36_send_hidimsg(gMidiDevice.load(std::memory_order_acquire), &packet);
}
