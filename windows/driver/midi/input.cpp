// Input from the control surface: control packets become short MIDI input messages on the
// input port's channel, delivered to every open input port.

#include "midi_driver.h"

void CALLBACK OnHidiMessageFromDevice(vq36::HidiInEntry* entry) {
    if (entry == nullptr) return;
    const BYTE* packet = entry->data;
    const int length = packet[0];
    if (length == 0 || length > static_cast<int>(kHidiPacketMaxData)) return;
    bool locked = false;
    for (int k = 1; k + 2 <= length; ++k) {
        const BYTE status = packet[k];
        const BYTE kind = status & 0xF0;
        if (kind != 0x80 && kind != 0x90 && kind != 0xB0) continue;
        if ((status & 0x0F) == 1) continue;  // the device's channel 2 is not forwarded
        const std::int32_t channel = gMidiInPortChannel.load(std::memory_order_relaxed);
        // 0 is off. A setting outside 1 to 16 (the registry holds what it was given) is off as
        // well: folded into the status byte it would turn one kind of message into another.
        if (channel < 1 || channel > 16) continue;
        const DWORD word = kind | static_cast<DWORD>(channel - 1) |
                           (static_cast<DWORD>(packet[k + 1]) << 8) |
                           (static_cast<DWORD>(packet[k + 2]) << 16);
        if (!locked) {
            EnterCriticalSection(&gMidiLock);
            locked = true;
        }
        BroadcastMidiInData(word);
    }
    if (locked) LeaveCriticalSection(&gMidiLock);
}

void BroadcastMidiInData(DWORD message) {
    // The count is read at each step: a port that an application's callback closes (which it
    // should not do from a callback) shortens the walk instead of leading it astray.
    for (int i = 0; i < gMidiInstanceCount; ++i) {
        MidiInstance* port = gMidiInstances[i];
        if (port == nullptr || !port->isInput || port->callback == 0) continue;
        const DWORD stamp = GetTickCount() - port->startTick.load(std::memory_order_relaxed);
        DriverCallback(port->callback, HIWORD(port->openFlags),
                       reinterpret_cast<HDRVR>(port->handle), MIM_DATA, port->callbackInstance,
                       message, stamp);
    }
}

void CALLBACK OnMidiChannelsChanged(MidiChannelPair* pair) {
    if (pair == nullptr) return;
    gMidiOutPortChannel.store(pair->midiInChannel, std::memory_order_relaxed);
    gMidiInPortChannel.store(pair->midiOutChannel, std::memory_order_relaxed);
}
