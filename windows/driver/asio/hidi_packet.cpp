// Control packets: reading a received packet, building an outgoing one, and the dispatchers of
// received items.

#include <cstdio>
#include <initializer_list>

#include "device_link.h"
#include "hidi_packet.h"
#include "library.h"

// ---- HidiParser ----------------------------------------------------------------------------

int HidiParser::attach(HidiPacket* p) {
    packet = p;
    position = 0;
    status = kHidiNoStatus;
    if (p == nullptr) return 1;
    if (p->length > kHidiPacketMaxData) {
        DebugLog(1, "Unexpected HIDI packet length: %d > %d", p->length,
                 static_cast<int>(kHidiPacketMaxData));
        p->length = kHidiPacketMaxData;
    } else if (p->length == 0) {
        DebugLog(1, "Unexpected empty HIDI packet length");
        return 1;
    }
    return 0;
}

DWORD HidiParser::readableLength() const {
    if (packet == nullptr) return 0;
    // Read once per scan: a received packet lives in memory the kernel may rewrite, and no
    // length it writes may take the reader past the packet's data.
    DWORD n = *static_cast<volatile const BYTE*>(&packet->length);
    return n > kHidiPacketMaxData ? kHidiPacketMaxData : n;
}

long HidiParser::scan() {
    const DWORD n = readableLength();
    DWORD p = position;
    while (p < n && n - p >= 3) {
        if (packet->data[p] & 0x80) {
            position = p;
            return static_cast<long>(p);
        }
        ++p;
        position = p;
    }
    return -1;
}

DWORD HidiParser::nextStatus() {
    const long at = scan();
    status = at < 0 ? kHidiNoStatus : packet->data[at];
    return status;
}

void HidiParser::skip() {
    if (position < kHidiPacketMaxData) ++position;
    status = kHidiNoStatus;
}

void HidiParser::logExtractFailure(DWORD requested, int isValid) {
    if (gLogLevel.load(std::memory_order_relaxed) < 1) return;
    char line[512];
    int used = std::snprintf(line, sizeof line,
                             "Failed to extract expected note Id and velocity at index %d.  "
                             "(isValid=%d, cmd=%d, req=%d)  Packet: ",
                             static_cast<int>(position), isValid, static_cast<int>(status),
                             static_cast<int>(requested));
    const DWORD n = readableLength();
    for (DWORD i = 0; i < n && used > 0 && static_cast<std::size_t>(used) + 4 < sizeof line; ++i)
        used += std::snprintf(line + used, sizeof line - used, "%02x,", packet->data[i]);
    DebugLog(1, "%s", line);
}

int HidiParser::extract(DWORD requested, BYTE* first, BYTE* second) {
    const long at = scan();
    if (at < 0) {
        status = kHidiNoStatus;
        logExtractFailure(requested, 0);
        return 1;
    }
    status = packet->data[at];
    if (status != requested) {
        logExtractFailure(requested, 1);
        return 1;
    }
    DWORD p = static_cast<DWORD>(at) + 1;
    if (requested == kHidiSysEx) {
        // The device byte is skipped whatever its value. The value byte must still lie inside
        // the packet: a system-exclusive message needs four bytes where the scan guarantees
        // three.
        if (p + 3 > readableLength()) {
            DebugLog(1, "Out of space parsing sysex");
            return 1;
        }
        ++p;
    }
    if (first != nullptr) *first = packet->data[p];
    if (second != nullptr) *second = packet->data[p + 1];
    position = p + 2;
    status = kHidiNoStatus;
    return 0;
}

int HidiParser::extractControlChange(DWORD* controller, BYTE* value) {
    if (controller != nullptr) *controller = 0;
    BYTE c = 0, v = 0;
    if (extract(kHidiControlChange, &c, &v) != 0) return 1;
    if (controller != nullptr) *controller = c;
    if (value != nullptr) *value = v;
    return 0;
}

int HidiParser::extractNoteOn(DWORD* note) {
    if (note != nullptr) *note = 0;
    BYTE n = 0, velocity = 0;
    if (extract(kHidiNoteOn, &n, &velocity) != 0) return 1;
    if (note != nullptr) *note = n;
    return 0;
}

int HidiParser::extractNoteOff(DWORD* note) {
    if (note != nullptr) *note = 0;
    BYTE n = 0, velocity = 0;
    if (extract(kHidiNoteOff, &n, &velocity) != 0) return 1;
    if (note != nullptr) *note = n;
    return 0;
}

int HidiParser::extractSysEx(DWORD* command, BYTE* value) {
    if (command != nullptr) *command = 0;
    // Status, device byte, command and value.
    if (position + 4 > readableLength()) {
        DebugLog(1, "Out of space parsing sysex");
        return 1;
    }
    BYTE c = 0, v = 0;
    if (extract(kHidiSysEx, &c, &v) != 0) return 1;
    if (command != nullptr) *command = c;
    if (value != nullptr) *value = v;
    return 0;
}

// ---- HidiPacketBuilder ---------------------------------------------------------------------

int HidiPacketBuilder::append(std::initializer_list<BYTE> bytes) {
    if (length > kHidiPacketMaxData || bytes.size() > kHidiPacketMaxData - length)
        return kVq36PacketFull;
    for (BYTE b : bytes) data[length++] = b;
    return kVq36Ok;
}

int HidiPacketBuilder::addControlChange(int controller, int value) {
    return append({kHidiControlChange, static_cast<BYTE>(controller), static_cast<BYTE>(value)});
}

int HidiPacketBuilder::addNoteOn(int note, int velocity) {
    return append({kHidiNoteOn, static_cast<BYTE>(note), static_cast<BYTE>(velocity)});
}

int HidiPacketBuilder::addNoteOff(int note) {
    return append({kHidiNoteOff, static_cast<BYTE>(note), 0});
}

int HidiPacketBuilder::addSysExCommand(int command) {
    return append({kHidiSysEx, kHidiSysExDevice, static_cast<BYTE>(command), kHidiSysExEnd});
}

int HidiPacketBuilder::copyTo(HidiPacket* packet) const {
    if (packet == nullptr) return kVq36BadParameter;
    packet->length = length;
    for (DWORD i = 0; i < kHidiPacketMaxData; ++i) packet->data[i] = data[i];
    return length == 0 ? kVq36PacketEmpty : kVq36Ok;
}

// ---- Dispatchers -----------------------------------------------------------------------------

void uCallHidiMessageCallback(AudioDeviceInterfaceWrapper* wrapper, void* entry) {
    if (HidiMessageCallback callback = wrapper->hidiMessageCallback.load())
        callback(static_cast<vq36::HidiInEntry*>(entry));
}

void uCallUsbPortStatusCallback(AudioDeviceInterfaceWrapper* wrapper, void* status) {
    if (UsbPortStatusCallback callback = wrapper->usbPortStatusCallback.load())
        callback(static_cast<std::int32_t*>(status));
}

void uCallMidiChannelsCallback(AudioDeviceInterfaceWrapper* wrapper, void* pair) {
    if (MidiChannelsCallback callback = wrapper->midiChannelsCallback.load())
        callback(static_cast<MidiChannelPair*>(pair));
}
