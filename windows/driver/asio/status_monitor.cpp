// The status monitor thread: one per process that has registered device wrappers. It keeps a
// private wrapper of its own, watches the device's shared record and turns what it sees into
// callbacks on every registered wrapper (control packets, port status, MIDI channels). It also
// pushes the buffer length to the kernel driver, restarts streaming after a long gap in its own
// passes (the machine slept), flushes the outgoing queue, and once per process applies the
// diagnostic marker files.

#include <cstdio>
#include <cstring>

#include "control_exports.h"
#include "device_link.h"
#include "hidi_queue.h"
#include "library.h"
#include "ui/afx.h"

std::atomic<BYTE> gFirmwareUpdateInProgress{0};
std::atomic<BYTE> gMonitorCloseRequest{0};
std::atomic<BYTE> gMonitorNoDevice{1};
std::atomic<LONG> gMonitorRestartCount{0};
std::atomic<BYTE> gMarkerFilesApplied{0};

namespace {

constexpr DWORD kHeartbeatGapMs = 5000;
constexpr DWORD kIdlePassMs = 1000;
constexpr DWORD kNormalPassMs = 100;

constexpr const char* kSchedulingParamsFlag = "c:\\temp\\VexaOverrideSchedulingParams.flag";
constexpr const char* kKernelLoopbackFlag = "c:\\temp\\VexaKernelLoopback.flag";
constexpr const char* kEraseBuffersFlag = "c:\\temp\\VexaEraseBuffers.flag";
constexpr const char* kNotifyTimingFlag = "c:\\temp\\VexaAsioNotifyTiming.flag";
constexpr const char* kAutoLaunchFlag = "c:\\temp\\VexaAutoLaunchLog.flag";
constexpr const char* kDebugLogFlag = "c:\\temp\\VexaEnableDebugLog.flag";
constexpr const char* kMonitorBatch = "c:\\temp\\monitor\\monitor.bat";
constexpr const char* kMonitorFolder = "c:\\temp\\monitor";

struct Settings {
    DWORD milliseconds = 0;
    DWORD sampleRate = 0;
    std::int32_t blockSamples = 0;
    bool operator==(const Settings&) const = default;
};

// The thread's locals that live across passes.
struct MonitorState {
    AudioDeviceInterfaceWrapper* wrapper = nullptr;  // private, not in the open list
    HANDLE midiEvent = nullptr;
    // The monitor wrapper at the same point of the previous pass, by its creation number (0:
    // none), so that a new wrapper at a released one's address still counts as a change.
    std::uint64_t previousWrapper = 0;
    std::int32_t lastHidiCount = 0;
    DWORD lastPortCount = 0;
    bool portSnapshot[2] = {false, false};
    MidiChannelPair lastChannels = {-1, -1};
    Settings lastSettings;
    DWORD lastPassTick = 0;
    DWORD ownId = 0;
};

bool fileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

Settings currentSettings() {
    Settings s;
    s.milliseconds = getBufferSizeMillisecs();
    s.sampleRate = uDeviceSampleRate(nullptr);
    s.blockSamples =
        uBufferMillisecsToAsioSamples(static_cast<std::int32_t>(s.milliseconds), s.sampleRate);
    return s;
}

std::uint64_t serialOf(const AudioDeviceInterfaceWrapper* w) {
    return w != nullptr ? w->serial : 0;
}

bool shuttingDown() {
    auto* app = static_cast<ADllApp*>(AfxGetApp());
    return app != nullptr && app->IsShuttingDown();
}

void closeMonitorWrapper(MonitorState& s) {
    uCloseVexaAudioDevice(s.wrapper);
    s.wrapper = nullptr;
}

// The event the kernel driver sets for every control packet: "VexaVq36MidiDataReady" and the
// process id, manual reset, not signalled, usable by anybody (a null DACL), not inherited.
HANDLE createMidiEvent() {
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    char name[64];
    std::snprintf(name, sizeof name, "VexaVq36MidiDataReady%lu",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    return CreateEventA(&attributes, TRUE, FALSE, name);
}

void openMonitorWrapper(MonitorState& s) {
    s.wrapper = uCreateVexaAudioDeviceInterfaceWrapper(0);
    if (s.wrapper == nullptr) {
        DebugLog(2, "Failed to create device handle for driver status monitor");
        return;
    }
    DebugLog(2, "Created device handle for driver status monitor");
    if (s.midiEvent != nullptr) CloseHandle(s.midiEvent);
    s.midiEvent = createMidiEvent();
    if (s.midiEvent == nullptr) DebugLog(1, "Failed to create kernel-initiated MIDI event");
    DebugLog(2, "Invoking kIoCtlSetupMidiEvent");
    // The handle goes to the driver as a 32-bit word.
    DWORD word = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(s.midiEvent));
    if (!uWrappedDeviceIoControl(s.wrapper, vq36::kIoCtlSetupMidiEvent, &word, sizeof word, nullptr,
                                 0)) {
        DebugLog(1, "Error setting up MIDI event");
    }
}

void deliverPortStatus(std::int32_t status[kPortStatusWords]) {
    uForEachOpenWrapper(uCallUsbPortStatusCallback, status);
}

// Control packets that arrived since the last delivery, oldest first; each goes to every
// wrapper before the next.
void deliverControlPackets(MonitorState& s, vq36::AsioInfo* info) {
    const DWORD count = vq36::Load32(&info->hidiInCount);
    if (static_cast<std::int32_t>(count) == s.lastHidiCount) return;
    DebugLogFragment(2, "(h)");
    DWORD first = static_cast<DWORD>(s.lastHidiCount);
    // A count below the last one (a record that started afresh) delivers nothing.
    std::int32_t pending = static_cast<std::int32_t>(count - first);
    if (pending > static_cast<std::int32_t>(vq36::kHidiInRingEntries)) {
        DebugLog(1, "Lost %d HIDI messages!",
                 pending - static_cast<std::int32_t>(vq36::kHidiInRingEntries));
        first = count - vq36::kHidiInRingEntries;
        pending = static_cast<std::int32_t>(vq36::kHidiInRingEntries);
    }
    for (std::int32_t k = 0; k < pending; ++k) {
        const DWORD index = (first + static_cast<DWORD>(k)) % vq36::kHidiInRingEntries;
        uForEachOpenWrapper(uCallHidiMessageCallback, &info->hidiInRing[index]);
    }
    s.lastHidiCount = static_cast<std::int32_t>(count);
}

// Step of the port states; false when the record went away meanwhile.
bool deliverPortChanges(MonitorState& s, vq36::AsioInfo* info) {
    if (vq36::Load32(&info->portStatusChangeCount) == s.lastPortCount) return true;
    DebugLogFragment(2, "(c)");
    bool changed = false;
    for (int i = 0; i < 2; ++i) {
        const bool on = vq36::Load8(&info->portStatusFlags[i]) != 0;
        if (on != s.portSnapshot[i]) changed = true;
        s.portSnapshot[i] = on;
    }
    if (changed) {
        std::int32_t status[kPortStatusWords] = {0, 0};
        if (VQ36_get_usb_port_status(s.wrapper, status) == kVq36Ok) deliverPortStatus(status);
    }
    info = uGetAsioInfo(s.wrapper);
    if (info == nullptr) {
        Sleep(100);
        return false;
    }
    s.lastPortCount = vq36::Load32(&info->portStatusChangeCount);
    return true;
}

void deliverMidiChannels(MonitorState& s) {
    MidiChannelPair pair{};
    if (VQ36_get_midi_channels(s.wrapper, &pair) != kVq36Ok) return;
    if (pair.midiInChannel == s.lastChannels.midiInChannel &&
        pair.midiOutChannel == s.lastChannels.midiOutChannel)
        return;
    uForEachOpenWrapper(uCallMidiChannelsCallback, &pair);
    s.lastChannels = pair;
}

// The diagnostic marker files, once per process.
void applyMarkerFiles(MonitorState& s, vq36::AsioInfo* info) {
    if (gMarkerFilesApplied.exchange(1) != 0) return;

    if (fileExists(kSchedulingParamsFlag)) {
        // Up to 12 bytes over the three override words (one block); a shorter file leaves the
        // rest as it was. The buffer length is then nudged so that the kernel driver recomputes
        // its geometry with them. A file that cannot be read is left alone.
        if (FILE* file = _fsopen(kSchedulingParamsFlag, "rb", _SH_DENYNO)) {
            std::uint32_t words[3] = {vq36::Load32(&info->overrideMaxReadsInFlight),
                                      vq36::Load32(&info->overrideLeadMillisecs),
                                      vq36::Load32(&info->overrideLeadFrames)};
            BYTE bytes[12];
            std::memcpy(bytes, words, sizeof bytes);
            const std::size_t read = std::fread(bytes, 1, sizeof bytes, file);
            std::fclose(file);
            std::memcpy(words, bytes, sizeof words);
            if (read > 0) {
                vq36::Store32(&info->overrideMaxReadsInFlight, words[0]);
                vq36::Store32(&info->overrideLeadMillisecs, words[1]);
                vq36::Store32(&info->overrideLeadFrames, words[2]);
            }
            DeleteFileA(kSchedulingParamsFlag);
            std::int32_t milliseconds = 0;
            if (VQ36_get_buffer_millisecs(s.wrapper, &milliseconds) != kVq36Ok) milliseconds = 0;
            VQ36_set_buffer_millisecs(s.wrapper, milliseconds + 1);
            VQ36_set_buffer_millisecs(s.wrapper, milliseconds);
        }
    }

    vq36::Store8(&info->kernelLoopback, fileExists(kKernelLoopbackFlag) ? 1 : 0);
    vq36::Store8(&info->eraseBuffers, fileExists(kEraseBuffersFlag) ? 1 : 0);
    vq36::Store8(&info->asioNotifyTiming, fileExists(kNotifyTimingFlag) ? 1 : 0);

    if (fileExists(kAutoLaunchFlag))
        ShellExecuteA(nullptr, nullptr, kMonitorBatch, DebugLogFileName(), kMonitorFolder,
                      SW_SHOWNORMAL);

    if (!fileExists(kDebugLogFlag)) gLogLevel.store(0);
}

// One pass of the loop; false to leave the loop.
bool pass(MonitorState& s) {
    // 1. Leave when the library goes or nobody is registered any more.
    if (shuttingDown() || uGetOpenWrapperCount() == 0) return false;

    // 2. A firmware update owns the device: idle.
    if (gFirmwareUpdateInProgress.load() != 0) {
        Sleep(1000);
        DebugLog(2, "(blocked by fw u-d)");
        return true;
    }

    // 3. Heartbeat: a long gap since the previous pass means the machine slept; restart
    // streaming by setting the buffer length to another value and back.
    const DWORD now = GetTickCount();
    if (now - s.lastPassTick > kHeartbeatGapMs) {
        Sleep(1000);
        const auto milliseconds = static_cast<std::int32_t>(getBufferSizeMillisecs());
        VQ36_set_buffer_millisecs(s.wrapper, milliseconds == 50 ? 47 : milliseconds + 3);
        VQ36_set_buffer_millisecs(s.wrapper, milliseconds);
        gMonitorRestartCount.fetch_add(1);
        s.lastPassTick = GetTickCount();
        DebugLog(2,
                 "Restarting streaming, because heartbeat not seen for too long (usually restore "
                 "from sleep).");
    } else {
        s.lastPassTick = now;
    }

    // 4. Pace: a queued packet ends the wait early.
    bool boot = false;
    std::int32_t bootFlag = 0;
    if (RH_is_boot_device(s.wrapper, &bootFlag) == kVq36Ok) boot = bootFlag != 0;
    const DWORD wait = (s.wrapper == nullptr || boot) ? kIdlePassMs : kNormalPassMs;
    if (HANDLE flushEvent = gHidiOutputQueue.flushEvent.load()) {
        WaitForSingleObject(flushEvent, wait);
        ResetEvent(flushEvent);
    } else {
        Sleep(wait);
    }

    // 5. Close request of the setup dialog.
    if (gMonitorCloseRequest.load() != 0) {
        closeMonitorWrapper(s);
        gMonitorCloseRequest.store(0);
    }

    // 6, 7. Open when the pass starts without a wrapper.
    gMonitorNoDevice.store(s.wrapper == nullptr ? 1 : 0);
    const bool fresh = s.wrapper == nullptr;
    if (fresh) openMonitorWrapper(s);

    // 8, 9. The record; none, or one of a removed device, is a disconnect.
    vq36::AsioInfo* info = uGetAsioInfo(s.wrapper);
    bool disconnect = false;
    if (info == nullptr) {
        DebugLog(1, "asioInfo is null!");
        disconnect = true;
    } else {
        if (fresh) {
            // Only what arrives from now on is delivered.
            s.lastHidiCount = static_cast<std::int32_t>(vq36::Load32(&info->hidiInCount));
            s.lastPortCount = vq36::Load32(&info->portStatusChangeCount);
            for (int i = 0; i < 2; ++i)
                s.portSnapshot[i] = vq36::Load8(&info->portStatusFlags[i]) != 0;
        }
        disconnect = vq36::Load8(&info->deviceGone) != 0;
    }
    if (disconnect) {
        gMonitorNoDevice.store(1);
        DebugLog(1, "Detected driver disconnect, closing monitor thread device handle");
        closeMonitorWrapper(s);
        info = nullptr;
    }

    // 10. The monitor's handle was opened, re-opened or closed.
    if (serialOf(s.wrapper) != s.previousWrapper) {
        DebugLog(2, "[D]");
        std::int32_t status[kPortStatusWords] = {0, 0};
        if (s.wrapper != nullptr) {
            DebugLog(2, "Notifying of port status change ([re-]opened device)");
            VQ36_get_usb_port_status(s.wrapper, status);
        }
        deliverPortStatus(status);
    }
    s.previousWrapper = serialOf(s.wrapper);

    // 11. No deliveries for a boot loader or without a record.
    if (boot || info == nullptr) return true;

    // 12. Settings: push the buffer length to a record that has not had it yet.
    const Settings current = currentSettings();
    info = uGetAsioInfo(s.wrapper);
    if (info == nullptr) {
        Sleep(1000);
        return true;
    }
    if (vq36::Load8(&info->settingsInitialized) == 0) {
        const bool ok = VQ36_set_buffer_millisecs(
                            s.wrapper, static_cast<std::int32_t>(current.milliseconds)) == kVq36Ok;
        info = uGetAsioInfo(s.wrapper);
        if (info == nullptr) {
            Sleep(1000);
            return true;
        }
        vq36::Store8(&info->settingsInitialized, ok ? 1 : 0);
        DebugLog(1, "Initializing settings to buf msecs %d, sample rate %d, block samples %d",
                 static_cast<int>(current.milliseconds), static_cast<int>(current.sampleRate),
                 static_cast<int>(current.blockSamples));
    }

    // 13. Settings changed (by any process): publish them and push them at the next pass.
    if (!(current == s.lastSettings)) {
        vq36::Store32(&info->blockFrames, static_cast<std::uint32_t>(current.blockSamples));
        vq36::Store32(&info->sampleRate, current.sampleRate);
        vq36::Store8(&info->settingsInitialized, 0);
        s.lastSettings = current;
        DebugLog(2, "Settings changed, re-looping");
        return true;
    }

    // 14. Deliveries.
    deliverControlPackets(s, info);
    if (!deliverPortChanges(s, info)) return true;
    deliverMidiChannels(s);
    uFlushHidiOutputQueueIfPending(s.wrapper);

    // 15. Marker files.
    info = uGetAsioInfo(s.wrapper);
    if (info == nullptr) {
        Sleep(100);
        return true;
    }
    applyMarkerFiles(s, info);
    return true;
}

}  // namespace

DWORD WINAPI uAsioEventNotificationThread(LPVOID /*unused*/) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    DebugLog(2, "Begin ASIO event notification thread");

    MonitorState s;
    s.lastSettings = currentSettings();
    uCreateHidiOutputQueueLock();
    s.lastPassTick = GetTickCount();
    s.ownId = GetCurrentThreadId();

    // The creator stores the id while it holds the lock: reading it under the lock sees it.
    EnterCriticalSection(&gOpenWrapperLock);
    const bool mine = gMonitorThreadId.load() == s.ownId;
    LeaveCriticalSection(&gOpenWrapperLock);
    if (mine) {
        while (pass(s) && gMonitorThreadId.load() == s.ownId) {
        }
    }

    closeMonitorWrapper(s);
    if (s.midiEvent != nullptr) CloseHandle(s.midiEvent);
    DebugLog(2, "End ASIO event notification thread");
    return 0;
}
