#pragma once
// VexaMidiVq36.dll: the multimedia MIDI driver of the VQ36, one output and one input port named
// "Vexa VQ36 MIDI". The multimedia layer calls its three exports; it turns output messages into
// control packets for the ASIO driver library's control functions, and the control surface's
// packets (delivered on that library's status monitor thread) into MIDI input.
//
// Locks. Two locks of this driver, and the library's own open-list lock between them:
//   gDeviceLock  (this driver)  serialises the opening and closing of the shared device handle;
//   the library's open-list lock (taken inside VQ36_open, VQ36_close and the callback setters,
//                                 and held by the status monitor while it calls our callbacks);
//   gMidiLock    (this driver)  the port list, the device handle, the input fan-out.
// They are only ever taken in that order. No VQ36_ function is called with gMidiLock held:
// a port is added to or removed from the list under gMidiLock, and the device is opened or
// closed afterwards, under gDeviceLock alone. The status monitor (holding the library's lock)
// therefore never waits for a thread that waits for the library's lock, and a close that waits
// for the monitor thread to end holds nothing that thread needs.

#include <atomic>
#include <cstdint>

#include "control_exports.h"
#include "win32/windows.h"
#include "winmm/mmddk.h"

#define VEXAMIDI_EXPORT extern "C" __attribute__((visibility("default")))

inline constexpr int kMaxMidiInstances = 100;
inline constexpr const wchar_t* kMidiPortName = L"Vexa VQ36 MIDI";

// One open port; its address is the port's user instance value.
struct MidiInstance {
    BYTE isInput;                // 1 for an input port, 0 for the output port
    DWORD_PTR callback;          // dwCallback of the open description
    DWORD_PTR callbackInstance;  // dwInstance of the open description
    HMIDI handle;                // hMidi of the open description
    DWORD openFlags;             // the open's flags; the upper word is the callback kind
    // Tick count at MIDM_START; until the first MIDM_START, the tick count at the open, so that
    // input that arrives before the start is stamped from the open. Written by the application's
    // thread and read by the input fan-out without a common lock: a relaxed atomic word.
    std::atomic<DWORD> startTick;
};

// ---- Process-wide state ------------------------------------------------------------------------
extern CRITICAL_SECTION gMidiLock;
extern CRITICAL_SECTION gDeviceLock;
extern MidiInstance* gMidiInstances[kMaxMidiInstances];
extern int gMidiInstanceCount;
extern std::atomic<AudioDeviceInterfaceWrapper*> gMidiDevice;
// Word [0] and word [1] of the MIDI channel pair: 1 to 16, 0 = off.
extern std::atomic<std::int32_t> gMidiOutPortChannel;
extern std::atomic<std::int32_t> gMidiInPortChannel;

// ---- Exports -----------------------------------------------------------------------------------
VEXAMIDI_EXPORT LRESULT CALLBACK DriverProc(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg,
                                            LPARAM lParam1, LPARAM lParam2);
VEXAMIDI_EXPORT DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                          DWORD_PTR dwParam1, DWORD_PTR dwParam2);
VEXAMIDI_EXPORT DWORD APIENTRY midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                          DWORD_PTR dwParam1, DWORD_PTR dwParam2);
VEXAMIDI_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved);

// ---- Ports and output --------------------------------------------------------------------------
DWORD HandleCommonMidiMessage(UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
BOOL AddMidiInstance(DWORD_PTR* userInstance, BYTE isInput, DWORD_PTR callback,
                     DWORD_PTR callbackInstance, HMIDI handle, DWORD openFlags);
void RemoveMidiInstance(MidiInstance* port);
void DoDriverCallback(MidiInstance* port, DWORD message, DWORD_PTR param1, DWORD_PTR param2);
// The output filter and packet of one short message (MODM_DATA).
void SendMidiShortMessage(DWORD message);
void FillMidiOutCaps(MIDIOUTCAPSW* caps, DWORD size);
void FillMidiInCaps(MIDIINCAPSW* caps, DWORD size);

// ---- Input -------------------------------------------------------------------------------------
void CALLBACK OnHidiMessageFromDevice(vq36::HidiInEntry* entry);
void CALLBACK OnMidiChannelsChanged(MidiChannelPair* pair);
void BroadcastMidiInData(DWORD message);

// ---- Log ---------------------------------------------------------------------------------------
void OpenMidiDebugLog();
void FormatLogPath(char* buffer, std::size_t size, DWORD processId);
// One line of level 2 (the driver's constant level): "VQ36: ", the text, a newline.
void MidiLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Closes the stream when the driver is unloaded.
void CloseMidiDebugLog();
