// The setup dialog's poll thread: keeps the dialog's view of the device current, asks the device
// for all its controls until it answers, requests repaints and runs firmware updates (the one
// the user starts, and the automatic one when the device comes up in its boot loader); and the
// dialog's firmware progress and port status callbacks.

#include <mutex>

#include "device_link.h"
#include "firmware_update.h"
#include "library.h"
#include "setup_dialog.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The hand-over between a closing dialog and its poll thread. Every use of the dialog object by
// the poll thread and the callbacks happens under this lock while activeDialog is set; the
// closing dialog clears activeDialog under it.
std::mutex gDialogLock;
bool gPollThreadEnded = false;     // the served dialog's thread has ended
bool gPollThreadDetached = false;  // its dialog went first: the thread owns the device handle
HANDLE gDetachedPollThread = nullptr;

void InvalidateDialog(AAsioSetupDialog* dialog, void*) {
    dialog->Invalidate(TRUE);
}

void Repaint() {
    WithActiveDialog(InvalidateDialog, nullptr);
}

}  // namespace

bool WithActiveDialog(void (*use)(AAsioSetupDialog* dialog, void* context), void* context) {
    std::lock_guard lock(gDialogLock);
    AAsioSetupDialog* dialog = activeDialog.load();
    if (dialog == nullptr) return false;
    use(dialog, context);
    return true;
}

bool DetachSetupDialogPollThread(AAsioSetupDialog* dialog, HANDLE thread) {
    std::lock_guard lock(gDialogLock);
    if (activeDialog.load() == dialog) activeDialog.store(nullptr);
    if (gPollThreadEnded) return true;
    gPollThreadDetached = true;
    gDetachedPollThread = thread;
    DebugLog(2, "Setup dialog closed during an update; the update goes on");
    return false;
}

void WaitForDetachedSetupPollThread() {
    HANDLE thread = nullptr;
    {
        std::lock_guard lock(gDialogLock);
        thread = gDetachedPollThread;
        gDetachedPollThread = nullptr;
    }
    if (thread == nullptr) return;
    // An update ends by itself (every device message has its time-out).
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

DWORD SetupDialogWait(DWORD ms) {
    // Test-only: the firmware update's test setting (VQ36_TEST_FIRMWARE_WAIT_DIVISOR) shortens
    // these waits as it shortens the update's own; without it they are exact.
    return uFirmwareFixedWait(ms);
}

void CALLBACK OnFirmwareUpdateProgress(BYTE* percent) {
    if (activeDialog.load() == nullptr || percent == nullptr) return;
    if (*percent == updateProgress.load(relaxed)) return;
    updateProgress.store(*percent, relaxed);
    Repaint();
}

void CALLBACK OnUsbPortStatus(std::int32_t* /*status*/) {
    if (activeDialog.load() == nullptr) return;
    AudioDeviceInterfaceWrapper* handle = nullptr;
    WithActiveDialog(
        [](AAsioSetupDialog* dialog, void* out) {
            dialog->Invalidate(TRUE);
            *static_cast<AudioDeviceInterfaceWrapper**>(out) = dialog->deviceHandle.load();
        },
        &handle);
    // Maps the record anew when the cached one is marked as gone.
    if (controlPoint.load(relaxed) != 2 && handle != nullptr) uGetAsioInfo(handle);
}

DWORD WINAPI SetupDialogPollThread(LPVOID parameter) {
    auto* dialog = static_cast<AAsioSetupDialog*>(parameter);
    {
        std::lock_guard lock(gDialogLock);
        gPollThreadEnded = false;
        gPollThreadDetached = false;
        // A dialog that was closed before its thread got here is not served.
        if (stopPollThread.load() == 0) activeDialog.store(dialog);
    }

    AudioDeviceInterfaceWrapper* handle = nullptr;
    DWORD lastTick = 0;
    bool requestedAll = false;
    bool bootSeen = false;

    while (stopPollThread.load() == 0) {
        // 1. The device handle: the dialog's, or a new one when it has none yet.
        if (handle == nullptr) {
            AudioDeviceInterfaceWrapper* current = nullptr;
            WithActiveDialog(
                [](AAsioSetupDialog* d, void* out) {
                    *static_cast<AudioDeviceInterfaceWrapper**>(out) = d->deviceHandle.load();
                },
                &current);
            if (current == nullptr) {
                current = RH_open();
                // Not under the lock: the open takes the link's lock. Only this thread writes
                // the dialog's handle after its construction.
                WithActiveDialog(
                    [](AAsioSetupDialog* d, void* in) {
                        d->deviceHandle.store(static_cast<AudioDeviceInterfaceWrapper*>(in));
                    },
                    current);
            }
            handle = current;
            if (handle != nullptr) {
                VQ36_set_hidimsg_callback(handle, AAsioSetupDialog::OnDeviceHidiMessage);
                VQ36_set_usb_port_status_callback(handle, OnUsbPortStatus);
            }
        }

        // 2. This pass.
        bool otherPortActive = false;
        bool updateRecently = true;
        bool versionsDue = false;
        DWORD now = GetTickCount();
        bool tickDue = now - lastTick > 500;
        std::int32_t isBoot = 0;

        // 3. The 500 ms step.
        if (tickDue) {
            lastTick = now;
            searchLedIndex.store((searchLedIndex.load(relaxed) + 1) % 14, relaxed);
            isConnected.store(gMonitorNoDevice.load() == 0 ? 1 : 0, relaxed);
            bool stepDone = isConnected.load(relaxed) == 0;
            if (stepDone) requestedAll = false;
            if (!stepDone && RH_is_boot_device(handle, &isBoot) != 0) {
                isConnected.store(0, relaxed);
                requestedAll = false;
                stepDone = true;
            }
            if (!stepDone) {
                if (isBoot == 0) uGetAsioInfo(handle);
                if (vq36::AsioInfo* record = uGetAsioInfo(handle)) {
                    const DWORD other = vq36::Load32(&record->lastOtherPortControlStatus);
                    const DWORD fwUp = vq36::Load32(&record->lastFwUp);
                    DebugLog(2, "asioinfo lastotherportcontrolstatus: %d, last fwup: %d",
                             static_cast<int>(other), static_cast<int>(fwUp));
                    otherPortActive = other != 0 && now - other < 120000;
                    updateRecently = now - fwUp < 10000;
                    versionsDue = true;
                }
                if (isBoot == 0) {
                    if (bootSeen) {
                        // Back from the boot loader: the next I/O control re-opens the handle
                        // and maps the new device's record.
                        uDropDeviceHandle(handle);
                        Sleep(SetupDialogWait(3000));
                    }
                    bootSeen = false;
                } else if (!bootSeen) {
                    DWORD savedFwUp = 0, savedOther = 0;
                    if (vq36::AsioInfo* record = uGetAsioInfo(handle)) {
                        savedFwUp = vq36::Load32(&record->lastFwUp);
                        savedOther = vq36::Load32(&record->lastOtherPortControlStatus);
                    }
                    bootSeen = true;
                    uDropDeviceHandle(handle);
                    Sleep(SetupDialogWait(5000));
                    // Re-opens the device and maps the boot loader's record.
                    vq36::AsioInfo* record = uGetAsioInfo(handle);
                    if (record != nullptr &&
                        vq36::Load32(&record->lastOtherPortControlStatus) == 0) {
                        vq36::Store32(&record->lastFwUp, savedFwUp);
                        vq36::Store32(&record->lastOtherPortControlStatus, savedOther);
                    }
                    continue;  // the next pass at once
                } else if (uGetAsioInfo(handle) != nullptr && !otherPortActive && !updateRecently) {
                    isUpdating.store(1, relaxed);  // the automatic update
                }
                if (versionsDue) {
                    VersionRecord version = deviceFirmwareVersion.load();
                    RH_get_firmware_version(handle, &version);
                    deviceFirmwareVersion.store(version);
                    VersionRecord builtIn = embeddedFirmwareVersion.load();
                    RH_get_firmware_embedded_version(handle, &builtIn);
                    embeddedFirmwareVersion.store(builtIn);
                    // The boot loader offers the update unless another port has the device;
                    // otherwise the versions decide.
                    const bool newer =
                        (isBoot == 1 && !otherPortActive) ||
                        static_cast<std::int32_t>(version.major * 100 + version.minor) <
                            static_cast<std::int32_t>(builtIn.major * 100 + builtIn.minor);
                    isNewerFirmwareAvailable.store(newer ? 1 : 0, relaxed);
                }
            }
        }

        // 4. The request of all controls, repeated every 2 s until a control change arrives.
        const DWORD requestTick = allControlsRequestTick.load(relaxed);
        const bool stale = requestTick != 0 && now - requestTick > 2000;
        if (isConnected.load(relaxed) != 0 && (!requestedAll || stale)) {
            DebugLog(2, "Requesting all controls");
            if (VQ36_get_all_controls(handle) == 0) {
                requestedAll = true;
                allControlsRequestTick.store(now, relaxed);
            } else {
                DebugLog(1, "Failed to request all controls");
            }
            tickDue = true;
        }

        // 5. Repaint decision.
        const auto sincePending = static_cast<std::int32_t>(now - repaintPendingTick.load(relaxed));
        if (repaintPending.load(relaxed) != 0 && (sincePending > 200 || sincePending < -200)) {
            repaintPendingTick.store(now, relaxed);
            repaintPending.store(0, relaxed);
            Repaint();
        } else if (!tickDue && isConnected.load(relaxed) == 1 && isUpdating.load(relaxed) == 0) {
            Sleep(200);
            continue;
        } else {
            Repaint();
        }

        // 6. The update, the user's or the automatic one, on this thread.
        if (isUpdating.load(relaxed) != 0) {
            const std::int32_t r =
                VQ36_set_update_firmware_from_embedded(handle, OnFirmwareUpdateProgress);
            isUpdating.store(0, relaxed);
            if (r != 0) Sleep(1000);
            requestedAll = false;
            gMonitorCloseRequest.store(1);
        }

        // 7.
        Sleep(200);
    }

    VQ36_set_hidimsg_callback(handle, nullptr);
    VQ36_set_usb_port_status_callback(handle, nullptr);
    bool ownsHandle = false;
    {
        std::lock_guard lock(gDialogLock);
        if (activeDialog.load() == dialog) activeDialog.store(nullptr);
        gPollThreadEnded = true;
        ownsHandle = gPollThreadDetached;
    }
    // The dialog went first and left its handle to this thread.
    if (ownsHandle && handle != nullptr) VQ36_close(handle);
    return 0;
}
