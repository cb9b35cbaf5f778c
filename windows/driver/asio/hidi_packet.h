#pragma once
// Control packets: the packet that carries MIDI-style messages between the library and the
// device's control surface, the reader that walks the messages of a received packet, the writer
// that builds an outgoing one, and the dispatchers that hand received items to the callbacks of
// an open handle.

#include <cstdint>
#include <initializer_list>

#include "win32/windows.h"

struct AudioDeviceInterfaceWrapper;

// ---- The packet ------------------------------------------------------------------------------

inline constexpr DWORD kHidiPacketMaxData = 58;

// A length byte and up to 58 bytes of messages, back to back. The same 59 bytes travel in the
// payload of device message 32, in the entries of the shared record's incoming ring and in the
// argument of VQ36_send_hidimsg. Bytes beyond `length` carry no meaning.
struct HidiPacket {
    BYTE length;
    BYTE data[kHidiPacketMaxData];
};
static_assert(sizeof(HidiPacket) == 59);

// Status bytes the library writes and recognises (channel nibble 0 only).
inline constexpr BYTE kHidiNoteOff = 0x80;
inline constexpr BYTE kHidiNoteOn = 0x90;
inline constexpr BYTE kHidiControlChange = 0xB0;
inline constexpr BYTE kHidiSysEx = 0xF0;
inline constexpr BYTE kHidiSysExEnd = 0xF7;
inline constexpr BYTE kHidiSysExDevice = 0x17;
// The device's system-exclusive commands.
inline constexpr BYTE kHidiSysExAllControls = 0x04;
inline constexpr BYTE kHidiSysExControlPoint = 0x52;

// The scan's answer when no status byte is left.
inline constexpr DWORD kHidiNoStatus = 255;

// ---- Reading a received packet -------------------------------------------------------------

// A cursor over one received packet. A status byte is reported only when at least two bytes
// follow it inside the packet's length; data bytes that follow no status byte are stepped over
// one by one; there is no running status. Results: 0 success, 1 failure.
class HidiParser {
  public:
    HidiParser() = default;

    // Starts reading `packet` at position 0 with no status. A length above 58 is logged and the
    // packet's length byte is set to 58; an empty packet is logged and yields no status. Returns
    // 0 when there is something to read, 1 for a null or empty packet.
    int attach(HidiPacket* packet);

    // The next status byte from the current position, kept as `status`; kHidiNoStatus when
    // there is none.
    DWORD nextStatus();

    // Steps over the current byte (a status byte the consumer does not handle).
    void skip();

    // B0 controller value.
    int extractControlChange(DWORD* controller, BYTE* value);
    // 90 note velocity / 80 note velocity; the velocity is consumed and not returned.
    int extractNoteOn(DWORD* note);
    int extractNoteOff(DWORD* note);
    // F0 17 command value.
    int extractSysEx(DWORD* command, BYTE* value);

    // The common step: finds the next status byte; when it is `requested`, moves past it (and
    // past the device byte of a system-exclusive message) and takes the next two bytes.
    int extract(DWORD requested, BYTE* first, BYTE* second);

    HidiPacket* packet = nullptr;  // not owned
    DWORD status = kHidiNoStatus;  // found and not yet consumed
    DWORD position = 0;            // index into packet->data

  private:
    // Scans from `position` for a status byte; its index, or -1.
    long scan();
    // The packet's length as it may be read now: never more than the data bytes there are.
    DWORD readableLength() const;
    void logExtractFailure(DWORD requested, int isValid);
};

// ---- Building an outgoing packet -----------------------------------------------------------

// One packet under construction (the layout of HidiPacket). Results: 0 success, 9 no room
// (nothing written), 10 empty.
struct HidiPacketBuilder {
    BYTE length;
    BYTE data[kHidiPacketMaxData];

    void clear() { length = 0; }
    int addControlChange(int controller, int value);
    int addNoteOn(int note, int velocity);
    int addNoteOff(int note);
    int addSysExCommand(int command);
    // Copies all 59 bytes; 10 when the packet is empty (the copy is still made).
    int copyTo(HidiPacket* packet) const;

  private:
    int append(std::initializer_list<BYTE> bytes);
};
static_assert(sizeof(HidiPacketBuilder) == sizeof(HidiPacket));

// ---- Dispatchers -----------------------------------------------------------------------------

// Each calls the wrapper's callback of its kind with `item` when that callback is set. The
// status monitor applies them to every open wrapper through uForEachOpenWrapper.
void uCallHidiMessageCallback(AudioDeviceInterfaceWrapper* wrapper, void* entry);
void uCallUsbPortStatusCallback(AudioDeviceInterfaceWrapper* wrapper, void* status);
void uCallMidiChannelsCallback(AudioDeviceInterfaceWrapper* wrapper, void* pair);
