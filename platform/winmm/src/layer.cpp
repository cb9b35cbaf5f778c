// The multimedia layer's MIDI side: installed drivers and the application's MIDI calls.
//
// Drivers: at its first use in a process the layer reads the values "midi", "midi1" ...
// "midi9" of the Drivers32 key, loads each named library with LoadLibraryA (its DllMain runs),
// and sends DRV_LOAD, DRV_ENABLE and DRV_OPEN through its DriverProc; a driver that refuses one
// of them is freed again. The answer to DRV_OPEN is the driver id of the later messages. Each
// driver is then asked for its number of ports each way (MODM_GETNUMDEVS, MIDM_GETNUMDEVS).
//
// Device ids: the ports of all drivers counted in load order, outputs and inputs apart; device
// id n is the k-th port of the driver whose ports cover n (k counted from 0 in that driver).
//
// Handles: each open port is a handle value of its own kind (HMIDIOUT or HMIDIIN); a handle of
// the other kind, a closed one or a made-up one is MMSYSERR_INVALHANDLE. The handle is the
// hMidi of the open description, so the driver's callbacks name the application's handle. Calls
// on different handles run concurrently; the layer holds no lock while a driver runs.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/winmm/layer.h"
#include "winmm/mmddk.h"

namespace standin::winmm {
namespace {

struct Driver {
    std::string slot;
    std::string library;
    HMODULE module = nullptr;
    HDRVR hdrvr = nullptr;
    DRIVERPROC proc = nullptr;
    MIDIDRIVERMESSAGE mod = nullptr;
    MIDIDRIVERMESSAGE mid = nullptr;
    DWORD_PTR driverId = 0;
    UINT outputs = 0;
    UINT inputs = 0;
};

struct Port {
    bool input = false;
    std::shared_ptr<Driver> driver;
    UINT local = 0;      // the port's index inside its driver
    UINT global = 0;     // its device id
    DWORD_PTR user = 0;  // the driver's instance value
};

struct Layer {
    std::mutex mu;                // drivers, handles
    std::recursive_mutex loadMu;  // loading and unloading (DllMain and DriverProc run under it)
    bool loaded = false;
    std::vector<std::shared_ptr<Driver>> drivers;
    std::map<std::uintptr_t, std::shared_ptr<Port>> handles;
    std::uintptr_t nextHandle = 0x4D00;
};

Layer& layer() {
    static auto* l = new Layer();
    return *l;
}

std::atomic<std::uint32_t> gDriverHandles{0};

void loadLocked(Layer& l) {
    HKEY key = nullptr;
    std::vector<std::shared_ptr<Driver>> drivers;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32Key, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (int slot = 0; slot < kMidiDriverSlots; ++slot) {
            const std::string name = midiSlotName(slot);
            char value[MAX_PATH] = {};
            DWORD type = 0, size = sizeof value - 1;
            if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(value),
                                 &size) != ERROR_SUCCESS ||
                type != REG_SZ || value[0] == '\0') {
                continue;
            }
            auto d = std::make_shared<Driver>();
            d->slot = name;
            d->library = value;
            d->module = LoadLibraryA(value);
            if (d->module == nullptr) continue;
            d->proc = reinterpret_cast<DRIVERPROC>(GetProcAddress(d->module, "DriverProc"));
            if (d->proc == nullptr) {
                FreeLibrary(d->module);
                continue;
            }
            d->hdrvr = reinterpret_cast<HDRVR>(static_cast<std::uintptr_t>(++gDriverHandles));
            if (d->proc(0, d->hdrvr, DRV_LOAD, 0, 0) == 0) {
                FreeLibrary(d->module);
                continue;
            }
            if (d->proc(0, d->hdrvr, DRV_ENABLE, 0, 0) == 0) {
                d->proc(0, d->hdrvr, DRV_FREE, 0, 0);
                FreeLibrary(d->module);
                continue;
            }
            d->driverId = static_cast<DWORD_PTR>(d->proc(0, d->hdrvr, DRV_OPEN, 0, 0));
            if (d->driverId == 0) {
                d->proc(0, d->hdrvr, DRV_DISABLE, 0, 0);
                d->proc(0, d->hdrvr, DRV_FREE, 0, 0);
                FreeLibrary(d->module);
                continue;
            }
            d->mod = reinterpret_cast<MIDIDRIVERMESSAGE>(GetProcAddress(d->module, "modMessage"));
            d->mid = reinterpret_cast<MIDIDRIVERMESSAGE>(GetProcAddress(d->module, "midMessage"));
            if (d->mod != nullptr) d->outputs = d->mod(0, MODM_GETNUMDEVS, 0, 0, 0);
            if (d->mid != nullptr) d->inputs = d->mid(0, MIDM_GETNUMDEVS, 0, 0, 0);
            drivers.push_back(std::move(d));
        }
        RegCloseKey(key);
    }
    std::lock_guard lock(l.mu);
    l.drivers = std::move(drivers);
    l.loaded = true;
}

void ensureLoaded() {
    Layer& l = layer();
    {
        std::lock_guard lock(l.mu);
        if (l.loaded) return;
    }
    std::lock_guard load(l.loadMu);
    {
        std::lock_guard lock(l.mu);
        if (l.loaded) return;
    }
    loadLocked(l);
}

// The driver and local index of a device id, for outputs or inputs.
bool locate(bool input, UINT id, std::shared_ptr<Driver>* driver, UINT* local) {
    ensureLoaded();
    Layer& l = layer();
    std::lock_guard lock(l.mu);
    UINT first = 0;
    for (const auto& d : l.drivers) {
        const UINT count = input ? d->inputs : d->outputs;
        if (id >= first && id - first < count) {
            *driver = d;
            *local = id - first;
            return true;
        }
        first += count;
    }
    return false;
}

UINT countPorts(bool input) {
    ensureLoaded();
    Layer& l = layer();
    std::lock_guard lock(l.mu);
    UINT total = 0;
    for (const auto& d : l.drivers) total += input ? d->inputs : d->outputs;
    return total;
}

std::shared_ptr<Port> portOf(bool input, const void* handle) {
    Layer& l = layer();
    std::lock_guard lock(l.mu);
    auto it = l.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == l.handles.end() || it->second->input != input) return nullptr;
    return it->second;
}

DWORD send(const Port& p, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    MIDIDRIVERMESSAGE entry = p.input ? p.driver->mid : p.driver->mod;
    return entry(p.local, message, p.user, param1, param2);
}

MMRESULT checkCallback(DWORD_PTR callback, DWORD flags) {
    if ((flags & ~(CALLBACK_TYPEMASK | MIDI_IO_STATUS)) != 0) return MMSYSERR_INVALFLAG;
    switch (flags & CALLBACK_TYPEMASK) {
        case CALLBACK_NULL:
            return MMSYSERR_NOERROR;
        case CALLBACK_FUNCTION:
            return callback != 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
        case CALLBACK_EVENT:
            return callback != 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
        case CALLBACK_THREAD:  // a thread id; the thread makes its queue before it waits
            return callback != 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
        default:  // window callbacks (this machine has no windows to call back); unknown kinds
            return MMSYSERR_INVALFLAG;
    }
}

MMRESULT openPort(bool input, void** out, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                  DWORD flags) {
    if (out == nullptr) return MMSYSERR_INVALPARAM;
    *out = nullptr;
    if (MMRESULT r = checkCallback(callback, flags); r != MMSYSERR_NOERROR) return r;
    auto port = std::make_shared<Port>();
    port->input = input;
    port->global = id;
    if (!locate(input, id, &port->driver, &port->local)) return MMSYSERR_BADDEVICEID;
    if ((input ? port->driver->mid : port->driver->mod) == nullptr) return MMSYSERR_NODRIVER;
    Layer& l = layer();
    std::uintptr_t handle;
    {
        std::lock_guard lock(l.mu);
        handle = l.nextHandle++;
        l.handles[handle] = port;  // known during the open: its callbacks name the handle
    }
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(handle);
    desc.dwCallback = callback;
    desc.dwInstance = instance;
    DWORD_PTR user = 0;
    MIDIDRIVERMESSAGE entry = input ? port->driver->mid : port->driver->mod;
    const DWORD r =
        entry(port->local, input ? MIDM_OPEN : MODM_OPEN, reinterpret_cast<DWORD_PTR>(&user),
              reinterpret_cast<DWORD_PTR>(&desc), flags);
    std::lock_guard lock(l.mu);
    if (r != MMSYSERR_NOERROR) {
        l.handles.erase(handle);
        return r;
    }
    port->user = user;
    *out = reinterpret_cast<void*>(handle);
    return MMSYSERR_NOERROR;
}

MMRESULT closePort(bool input, const void* handle) {
    auto port = portOf(input, handle);
    if (!port) return MMSYSERR_INVALHANDLE;
    const DWORD r = send(*port, input ? MIDM_CLOSE : MODM_CLOSE, 0, 0);
    if (r != MMSYSERR_NOERROR) return r;
    Layer& l = layer();
    std::lock_guard lock(l.mu);
    l.handles.erase(reinterpret_cast<std::uintptr_t>(handle));
    return MMSYSERR_NOERROR;
}

bool headerUsable(LPMIDIHDR header, UINT size) {
    return header != nullptr && size >= sizeof(MIDIHDR) && header->lpData != nullptr;
}

MMRESULT prepare(bool input, const void* handle, LPMIDIHDR header, UINT size) {
    auto port = portOf(input, handle);
    if (!port) return MMSYSERR_INVALHANDLE;
    if (!headerUsable(header, size)) return MMSYSERR_INVALPARAM;
    const DWORD r =
        send(*port, input ? MIDM_PREPARE : MODM_PREPARE, reinterpret_cast<DWORD_PTR>(header), size);
    if (r != MMSYSERR_NOTSUPPORTED) return r;
    // The driver leaves it to the layer.
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT unprepare(bool input, const void* handle, LPMIDIHDR header, UINT size) {
    auto port = portOf(input, handle);
    if (!port) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if ((header->dwFlags & MHDR_PREPARED) == 0) return MMSYSERR_NOERROR;
    if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    const DWORD r = send(*port, input ? MIDM_UNPREPARE : MODM_UNPREPARE,
                         reinterpret_cast<DWORD_PTR>(header), size);
    if (r != MMSYSERR_NOTSUPPORTED) return r;
    header->dwFlags &= ~static_cast<DWORD>(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT plain(bool input, const void* handle, UINT message) {
    auto port = portOf(input, handle);
    if (!port) return MMSYSERR_INVALHANDLE;
    return send(*port, message, 0, 0);
}

MMRESULT devCaps(bool input, UINT_PTR idOrHandle, void* caps, UINT size) {
    if (caps == nullptr || size == 0) return MMSYSERR_INVALPARAM;
    std::shared_ptr<Driver> driver;
    UINT local = 0;
    if (auto port = portOf(input, reinterpret_cast<const void*>(idOrHandle))) {
        driver = port->driver;
        local = port->local;
    } else if (idOrHandle > 0xFFFFFFFFu ||
               !locate(input, static_cast<UINT>(idOrHandle), &driver, &local)) {
        return MMSYSERR_BADDEVICEID;
    }
    MIDIDRIVERMESSAGE entry = input ? driver->mid : driver->mod;
    return entry(local, input ? MIDM_GETDEVCAPS : MODM_GETDEVCAPS, 0,
                 reinterpret_cast<DWORD_PTR>(caps), size);
}

MMRESULT getId(bool input, const void* handle, LPUINT id) {
    auto port = portOf(input, handle);
    if (!port) return MMSYSERR_INVALHANDLE;
    if (id == nullptr) return MMSYSERR_INVALPARAM;
    *id = port->global;
    return MMSYSERR_NOERROR;
}

}  // namespace

std::string midiSlotName(int slot) {
    return slot == 0 ? std::string("midi") : "midi" + std::to_string(slot);
}

void unloadDrivers() {
    Layer& l = layer();
    std::lock_guard load(l.loadMu);
    std::map<std::uintptr_t, std::shared_ptr<Port>> handles;
    std::vector<std::shared_ptr<Driver>> drivers;
    {
        std::lock_guard lock(l.mu);
        handles.swap(l.handles);
        drivers.swap(l.drivers);
        l.loaded = false;
    }
    for (auto& [handle, port] : handles) send(*port, port->input ? MIDM_CLOSE : MODM_CLOSE, 0, 0);
    for (auto& d : drivers) {
        d->proc(d->driverId, d->hdrvr, DRV_CLOSE, 0, 0);
        d->proc(d->driverId, d->hdrvr, DRV_DISABLE, 0, 0);
        d->proc(d->driverId, d->hdrvr, DRV_FREE, 0, 0);
        FreeLibrary(d->module);
    }
}

void reloadDrivers() {
    Layer& l = layer();
    std::lock_guard load(l.loadMu);
    unloadDrivers();
    loadLocked(l);
}

std::vector<LoadedDriver> loadedDrivers() {
    ensureLoaded();
    Layer& l = layer();
    std::lock_guard lock(l.mu);
    std::vector<LoadedDriver> out;
    for (const auto& d : l.drivers) out.push_back({d->slot, d->library, d->outputs, d->inputs});
    return out;
}

}  // namespace standin::winmm

using namespace standin::winmm;

UINT WINAPI midiOutGetNumDevs() {
    return countPorts(false);
}
UINT WINAPI midiInGetNumDevs() {
    return countPorts(true);
}
MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc) {
    return devCaps(false, uDeviceID, pmoc, cbmoc);
}
MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic) {
    return devCaps(true, uDeviceID, pmic, cbmic);
}
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen) {
    return openPort(false, reinterpret_cast<void**>(phmo), uDeviceID, dwCallback, dwInstance,
                    fdwOpen);
}
MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen) {
    return openPort(true, reinterpret_cast<void**>(phmi), uDeviceID, dwCallback, dwInstance,
                    fdwOpen);
}
MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
    return closePort(false, hmo);
}
MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
    return closePort(true, hmi);
}
MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
    auto port = portOf(false, hmo);
    if (!port) return MMSYSERR_INVALHANDLE;
    return send(*port, MODM_DATA, dwMsg, 0);
}
MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return prepare(false, hmo, pmh, cbmh);
}
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return unprepare(false, hmo, pmh, cbmh);
}
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return prepare(true, hmi, pmh, cbmh);
}
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return unprepare(true, hmi, pmh, cbmh);
}
MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    auto port = portOf(false, hmo);
    if (!port) return MMSYSERR_INVALHANDLE;
    if (!headerUsable(pmh, cbmh)) return MMSYSERR_INVALPARAM;
    return send(*port, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}
MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    auto port = portOf(true, hmi);
    if (!port) return MMSYSERR_INVALHANDLE;
    if (!headerUsable(pmh, cbmh)) return MMSYSERR_INVALPARAM;
    if ((pmh->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
    if ((pmh->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    return send(*port, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}
MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
    return plain(false, hmo, MODM_RESET);
}
MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
    return plain(true, hmi, MIDM_START);
}
MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
    return plain(true, hmi, MIDM_STOP);
}
MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
    return plain(true, hmi, MIDM_RESET);
}
MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, LPUINT puDeviceID) {
    return getId(false, hmo, puDeviceID);
}
MMRESULT WINAPI midiInGetID(HMIDIIN hmi, LPUINT puDeviceID) {
    return getId(true, hmi, puDeviceID);
}
