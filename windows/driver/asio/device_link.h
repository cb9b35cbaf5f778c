#pragma once
// The device link: the library's only road to the kernel streaming driver. It wraps an open
// handle of the driver's device interface, keeps the process-wide list of registered wrappers
// (the handles of VQ36_open), starts the status monitor thread with the first of them and stops
// it with the last, and funnels every I/O control through one routine that retries and
// re-opens the handle when the device went away and came back.

#include <atomic>
#include <cstdint>

#include "control_exports.h"
#include "public/vq36_shared.h"
#include "win32/windows.h"

// One open (or re-openable) handle of the driver's device interface.
struct AudioDeviceInterfaceWrapper {
    // The open handle, or INVALID_HANDLE_VALUE when none is open.
    std::atomic<HANDLE> deviceHandle{INVALID_HANDLE_VALUE};
    // Held around each I/O-control attempt (and each replacement of the handle).
    CRITICAL_SECTION lock;
    // The record mapped through this handle; null until fetched and whenever the handle is
    // replaced (its mapping ends with the old handle).
    std::atomic<vq36::AsioInfo*> asioInfo{nullptr};
    std::atomic<BYTE> closing{0};
    std::atomic<BYTE> noReopen{0};
    // Set through the exported setters; called only by the status monitor thread.
    std::atomic<HidiMessageCallback> hidiMessageCallback{nullptr};
    std::atomic<UsbPortStatusCallback> usbPortStatusCallback{nullptr};
    std::atomic<MidiChannelsCallback> midiChannelsCallback{nullptr};

    // The link's own bookkeeping: a creation number that is never reused (so that a new wrapper
    // at the address of a released one is still told apart), and the calls in progress on the
    // wrapper (guarded by the link's table of live wrappers).
    std::uint64_t serial = 0;
    int users = 0;
    bool retired = false;
    // Counts the replacements of the device handle (each made under the wrapper's lock, except
    // uDropDeviceHandle's), so that a record fetched through a handle that has been replaced
    // since is never cached.
    std::atomic<std::uint64_t> handleGeneration{0};
};

inline constexpr DWORD kMaxOpenWrappers = 512;

// A call working on a wrapper: while one exists, the wrapper stays allocated (a close waits for
// it). False when the wrapper is not live: null, closed, or never made by the link.
class WrapperUse {
  public:
    explicit WrapperUse(AudioDeviceInterfaceWrapper* wrapper);
    ~WrapperUse();
    WrapperUse(const WrapperUse&) = delete;
    WrapperUse& operator=(const WrapperUse&) = delete;
    explicit operator bool() const { return wrapper_ != nullptr; }

  private:
    AudioDeviceInterfaceWrapper* wrapper_ = nullptr;
};

// The driver's device interface class {5B1D8E42-93A7-4C6F-B2E1-7D0A6C39F814}.
extern const GUID kVq36InterfaceClass;

// ---- Process-wide state (guarded by gOpenWrapperLock, see library.h) -------------------------
extern AudioDeviceInterfaceWrapper* gOpenWrappers[kMaxOpenWrappers];
extern std::atomic<DWORD> gOpenWrapperCount;
// The running status monitor thread: its id (0 when none; the thread leaves its loop when this
// stops being its own id) and its handle (INVALID_HANDLE_VALUE when none).
extern std::atomic<DWORD> gMonitorThreadId;
extern HANDLE gMonitorThreadHandle;

// ---- Wrappers ------------------------------------------------------------------------------
// registerInList 1: the wrapper joins the open list (and the first one starts the status
// monitor); 0: a private wrapper. Null when the list is full or memory runs out; a wrapper is
// returned even when no device opens (the link opens it later).
AudioDeviceInterfaceWrapper* uCreateVexaAudioDeviceInterfaceWrapper(int registerInList);
// Closes and releases a wrapper (see device_link.cpp for what becomes of a registered one); the
// close of the last registered wrapper stops the status monitor.
void uCloseVexaAudioDevice(AudioDeviceInterfaceWrapper* wrapper);

// ---- I/O controls and device messages -----------------------------------------------------
BYTE uWrappedDeviceIoControl(AudioDeviceInterfaceWrapper* wrapper, DWORD code, void* input,
                             DWORD inputSize, void* output, DWORD outputSize);
// Device message `message` with operation 0 (get) or 1 (set); payload and reply are 64 bytes.
BYTE SendDeviceMessage(AudioDeviceInterfaceWrapper* wrapper, DWORD message, DWORD operation,
                       const BYTE* payload, BYTE* reply);
// A device message whose payload is one 32-bit value; the reply's first word into *out.
BYTE uDeviceValue(AudioDeviceInterfaceWrapper* wrapper, DWORD message, DWORD operation, DWORD value,
                  DWORD* out);

// ---- The shared record and block sizes ------------------------------------------------------
vq36::AsioInfo* uGetAsioInfo(AudioDeviceInterfaceWrapper* wrapper);
// The block size in samples for a buffer length in milliseconds.
std::int32_t uBufferMillisecsToAsioSamples(std::int32_t milliseconds, DWORD sampleRate);

// ---- Odds and ends ---------------------------------------------------------------------------
AudioDeviceInterfaceWrapper* uSetNoReopen(AudioDeviceInterfaceWrapper* wrapper);
// Forgets the handle (the next I/O control re-opens); the result of closing the old one.
BOOL uDropDeviceHandle(AudioDeviceInterfaceWrapper* wrapper);
// Calls `function` with each listed wrapper in list order, under gOpenWrapperLock.
void uForEachOpenWrapper(void (*function)(AudioDeviceInterfaceWrapper*, void*), void* argument);
DWORD uGetOpenWrapperCount();
DWORD uGetMonitorThreadId();

// ---- Opening the device --------------------------------------------------------------------
HANDLE OpenUsbDevice(const GUID* interfaceClass);
HANDLE openDeviceInterface(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA interfaceData,
                           char* devicePath /* MAX_PATH characters */);

// ---- Unload -----------------------------------------------------------------------------------
// Called by the application object when the library leaves the process, before the global lock
// goes: stops the status monitor thread (waiting for it), releases the wrappers the program
// never closed and the outgoing queue's lock and event.
void uShutDownDeviceLink();

// ---- The status monitor thread -----------------------------------------------------------
DWORD WINAPI uAsioEventNotificationThread(LPVOID unused);

// Process-wide flags: while set, the status monitor only idles (set by the firmware update).
extern std::atomic<BYTE> gFirmwareUpdateInProgress;
// Set by the setup dialog: the status monitor closes its handle at its next pass, and clears it.
extern std::atomic<BYTE> gMonitorCloseRequest;
// 1 while the status monitor has no device handle (written at every pass).
extern std::atomic<BYTE> gMonitorNoDevice;
// Incremented at every heartbeat restart of streaming.
extern std::atomic<LONG> gMonitorRestartCount;
// The diagnostic marker files have been applied in this process.
extern std::atomic<BYTE> gMarkerFilesApplied;
