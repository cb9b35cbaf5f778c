// The driver's entry points: DriverProc, modMessage, midMessage, the messages both directions
// share, the capability records and DllMain.

#include <algorithm>
#include <cstring>

#include "midi_driver.h"

namespace {

const char* driverMessageName(UINT msg) {
    switch (msg) {
        case DRV_LOAD:
            return "DRV_LOAD";
        case DRV_ENABLE:
            return "DRV_ENABLE";
        case DRV_OPEN:
            return "DRV_OPEN";
        case DRV_CLOSE:
            return "DRV_CLOSE";
        case DRV_DISABLE:
            return "DRV_DISABLE";
        case DRV_FREE:
            return "DRV_FREE";
        case DRV_CONFIGURE:
            return "DRV_CONFIGURE";
        case DRV_QUERYCONFIGURE:
            return "DRV_QUERYCONFIGURE";
        case DRV_INSTALL:
            return "DRV_INSTALL";
        default:
            return "DRV_????";
    }
}

// MODM_LONGDATA: each note off, note on or control change whose two data bytes lie inside the
// buffer goes through the output filter; the header is then marked done and returned.
DWORD longData(MidiInstance* port, MIDIHDR* header) {
    if (header == nullptr || (header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(header->lpData);
    const DWORD length = bytes != nullptr ? header->dwBufferLength : 0;
    for (DWORD i = 0; i < length; ++i) {
        const BYTE kind = bytes[i] & 0xF0;
        if ((kind == 0x80 || kind == 0x90 || kind == 0xB0) && length - i > 2) {
            SendMidiShortMessage(bytes[i] | (static_cast<DWORD>(bytes[i + 1]) << 8) |
                                 (static_cast<DWORD>(bytes[i + 2]) << 16));
        }
    }
    header->dwFlags |= MHDR_DONE;
    DoDriverCallback(port, MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0);
    return MMSYSERR_NOERROR;
}

}  // namespace

LRESULT CALLBACK DriverProc(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1,
                            LPARAM lParam2) {
    MidiLog("VexaMidi DriverProc: %s", driverMessageName(msg));
    switch (msg) {
        case DRV_LOAD:
        case DRV_ENABLE:
        case DRV_OPEN:
        case DRV_CLOSE:
        case DRV_DISABLE:
        case DRV_FREE:
            return 1;
        case DRV_CONFIGURE:
        case DRV_QUERYCONFIGURE:
            return 0;
        case DRV_INSTALL:
            return DRVCNF_RESTART;
        default:
            return DefDriverProc(dwDriverId, hdrvr, msg, lParam1, lParam2);
    }
}

DWORD APIENTRY modMessage(UINT /*uDeviceID*/, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                          DWORD_PTR dwParam2) {
    switch (uMsg) {
        case MODM_GETDEVCAPS:
            FillMidiOutCaps(reinterpret_cast<MIDIOUTCAPSW*>(dwParam1),
                            static_cast<DWORD>(dwParam2));
            return MMSYSERR_NOERROR;
        case MODM_DATA:
            SendMidiShortMessage(static_cast<DWORD>(dwParam1));
            return MMSYSERR_NOERROR;
        case MODM_LONGDATA:
            return longData(reinterpret_cast<MidiInstance*>(dwUser),
                            reinterpret_cast<MIDIHDR*>(dwParam1));
        case MODM_GETVOLUME:
        case MODM_SETVOLUME:
        case MODM_CACHEPATCHES:
        case MODM_CACHEDRUMPATCHES:
            return MMSYSERR_NOTSUPPORTED;
        default:
            return HandleCommonMidiMessage(uMsg, dwUser, dwParam1, dwParam2);
    }
}

DWORD APIENTRY midMessage(UINT /*uDeviceID*/, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                          DWORD_PTR dwParam2) {
    switch (uMsg) {
        case MIDM_GETDEVCAPS:
            FillMidiInCaps(reinterpret_cast<MIDIINCAPSW*>(dwParam1), static_cast<DWORD>(dwParam2));
            return MMSYSERR_NOERROR;
        case MIDM_ADDBUFFER:  // the input port delivers short messages only
        case MIDM_STOP:       // input keeps flowing
            return MMSYSERR_NOERROR;
        case MIDM_START:
            if (auto* port = reinterpret_cast<MidiInstance*>(dwUser))
                port->startTick.store(GetTickCount(), std::memory_order_relaxed);
            return MMSYSERR_NOERROR;
        default:
            return HandleCommonMidiMessage(uMsg, dwUser, dwParam1, dwParam2);
    }
}

DWORD HandleCommonMidiMessage(UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    switch (uMsg) {
        case MODM_GETNUMDEVS:
        case MIDM_GETNUMDEVS:
            return 1;
        case MODM_OPEN:
        case MIDM_OPEN: {
            const auto* desc = reinterpret_cast<const MIDIOPENDESC*>(dwParam1);
            auto* user = reinterpret_cast<DWORD_PTR*>(dwUser);
            if (desc == nullptr || user == nullptr) return MMSYSERR_INVALPARAM;
            const BYTE isInput = uMsg == MIDM_OPEN ? 1 : 0;
            // A full port list: MMSYSERR_ALLOCATED, the platform's answer for a device that
            // cannot be opened once more. No record is kept and no open callback is made.
            if (!AddMidiInstance(user, isInput, desc->dwCallback, desc->dwInstance, desc->hMidi,
                                 static_cast<DWORD>(dwParam2))) {
                return MMSYSERR_ALLOCATED;
            }
            DoDriverCallback(reinterpret_cast<MidiInstance*>(*user), isInput ? MIM_OPEN : MOM_OPEN,
                             0, 0);
            return MMSYSERR_NOERROR;
        }
        case MODM_CLOSE:
        case MIDM_CLOSE: {
            auto* port = reinterpret_cast<MidiInstance*>(dwUser);
            DoDriverCallback(port, uMsg == MIDM_CLOSE ? MIM_CLOSE : MOM_CLOSE, 0, 0);
            RemoveMidiInstance(port);
            return MMSYSERR_NOERROR;
        }
        case MODM_RESET:
        case MIDM_RESET:
            return MMSYSERR_NOERROR;
        default:  // MODM_PREPARE, MODM_UNPREPARE, MIDM_PREPARE, MIDM_UNPREPARE among them
            return MMSYSERR_NOTSUPPORTED;
    }
}

// The records are filled whole and copied into the caller's record as far as its size allows:
// a smaller record gets its first bytes and nothing beyond.
void FillMidiOutCaps(MIDIOUTCAPSW* caps, DWORD size) {
    if (caps == nullptr) return;
    MIDIOUTCAPSW c = {};
    c.wMid = 0x00FF;
    c.wPid = 1;
    c.vDriverVersion = 0x0100;
    std::wcsncpy(c.szPname, kMidiPortName, MAXPNAMELEN - 1);
    c.wTechnology = MOD_MIDIPORT;
    c.wVoices = 0;
    c.wNotes = 0;
    c.wChannelMask = 0xFFFF;
    c.dwSupport = 0;
    std::memcpy(caps, &c, std::min<std::size_t>(size, sizeof c));
}

void FillMidiInCaps(MIDIINCAPSW* caps, DWORD size) {
    if (caps == nullptr) return;
    MIDIINCAPSW c = {};
    c.wMid = 0x00FF;
    c.wPid = 1;
    c.vDriverVersion = 0x0100;
    std::wcsncpy(c.szPname, kMidiPortName, MAXPNAMELEN - 1);
    c.dwSupport = 0;
    std::memcpy(caps, &c, std::min<std::size_t>(size, sizeof c));
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            MidiLog("VexaMidi DllMain: attach");
            DisableThreadLibraryCalls(hInstance);
            InitializeCriticalSection(&gMidiLock);
            InitializeCriticalSection(&gDeviceLock);
            break;
        case DLL_PROCESS_DETACH:
            // Open ports and the device are left as they are.
            MidiLog("VexaMidi DllMain: detach");
            DeleteCriticalSection(&gDeviceLock);
            DeleteCriticalSection(&gMidiLock);
            CloseMidiDebugLog();
            break;
        default:
            MidiLog("VexaMidi DllMain: (unknown reason)");
            break;
    }
    return TRUE;
}
