// The device link: wrappers of the driver's device interface, the open list, the I/O-control
// funnel with its retries and re-opens, device messages, the shared record and block sizes.
//
// What becomes of a wrapper after uCloseVexaAudioDevice: it is released, registered or private
// alike, as soon as no call is working on it any more. The close takes it out of the link's
// table of live wrappers and sets `closing`; calls already working on it see `closing` and give
// up after their 100 ms waits, and the close waits for them before it deletes the wrapper's
// lock, closes its device handle (so that the kernel driver lets go of the handle's client and
// whatever was mapped through it) and frees it. Every entry of the link checks a wrapper against
// the table before touching it, so a call that comes after the close (an owner's thread that
// outlived the close) finds no live wrapper and fails as a closing wrapper does, without
// touching freed memory.

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "device_link.h"
#include "hidi_queue.h"
#include "library.h"

const GUID kVq36InterfaceClass = {
    vq36::kInterfaceGuidData1,
    vq36::kInterfaceGuidData2,
    vq36::kInterfaceGuidData3,
    {vq36::kInterfaceGuidData4[0], vq36::kInterfaceGuidData4[1], vq36::kInterfaceGuidData4[2],
     vq36::kInterfaceGuidData4[3], vq36::kInterfaceGuidData4[4], vq36::kInterfaceGuidData4[5],
     vq36::kInterfaceGuidData4[6], vq36::kInterfaceGuidData4[7]}};

AudioDeviceInterfaceWrapper* gOpenWrappers[kMaxOpenWrappers];
std::atomic<DWORD> gOpenWrapperCount{0};
std::atomic<DWORD> gMonitorThreadId{0};
HANDLE gMonitorThreadHandle = INVALID_HANDLE_VALUE;

namespace {

constexpr DWORD kAttempts = 4;
constexpr DWORD kAttemptPauseMs = 100;
constexpr DWORD kReopenPauseMs = 20;
constexpr DWORD kMonitorStopWaitMs = 5000;
// SetupAPI lists the present interfaces of a class; no machine has this many, so a set that
// keeps failing with something other than "no more items" is given up at this index.
constexpr DWORD kMaxInterfaceIndex = 4096;

// ---- Live wrappers ---------------------------------------------------------------------------
std::mutex gLiveMutex;
std::condition_variable gLiveDrained;
std::unordered_set<AudioDeviceInterfaceWrapper*> gLiveWrappers;
std::uint64_t gLastSerial = 0;  // under gOpenWrapperLock

// Monitor threads that were told to stop but not waited for (the close came from the thread
// itself, or the wait timed out); their handles are closed once they have ended. Under
// gOpenWrapperLock.
std::vector<HANDLE> gStoppingMonitorThreads;

bool enlist(AudioDeviceInterfaceWrapper* w) {
    try {
        std::lock_guard lock(gLiveMutex);
        gLiveWrappers.insert(w);
        return true;
    } catch (...) {  // no memory for the table
        return false;
    }
}

// Takes a wrapper out of the live table; false when it was not there (closed already, or not
// a wrapper of the link). Exactly one closer wins.
bool retire(AudioDeviceInterfaceWrapper* w) {
    if (w == nullptr) return false;
    std::lock_guard lock(gLiveMutex);
    if (gLiveWrappers.erase(w) == 0) return false;
    w->retired = true;
    return true;
}

// Waits for the calls still working on a retired wrapper, then releases it.
void release(AudioDeviceInterfaceWrapper* w) {
    {
        std::unique_lock lock(gLiveMutex);
        gLiveDrained.wait(lock, [w] { return w->users == 0; });
    }
    DeleteCriticalSection(&w->lock);
    HANDLE handle = w->deviceHandle.exchange(INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    delete w;
}

// A handle as the 32-bit value of the process's handle table, for log lines.
unsigned handleValue(HANDLE handle) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle));
}

// Closes the handles of stopped monitor threads that have ended. gOpenWrapperLock held.
void reapStoppedMonitorThreads() {
    auto ended = [](HANDLE thread) {
        if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) return false;
        CloseHandle(thread);
        return true;
    };
    gStoppingMonitorThreads.erase(
        std::remove_if(gStoppingMonitorThreads.begin(), gStoppingMonitorThreads.end(), ended),
        gStoppingMonitorThreads.end());
}

// Keeps the handle of a monitor thread that was told to stop, to be waited for later.
// gOpenWrapperLock held.
void keepStoppingMonitorThread(HANDLE thread) {
    try {
        gStoppingMonitorThreads.push_back(thread);
    } catch (...) {
        CloseHandle(thread);  // no memory to keep it: the thread ends on its own all the same
    }
}

// Waits for a stopped monitor thread and closes its handle (or keeps it for later when the
// thread does not end in time).
void awaitMonitorThread(HANDLE thread) {
    if (WaitForSingleObject(thread, kMonitorStopWaitMs) != WAIT_OBJECT_0) {
        DebugLog(1, "Failed to wait for status monitor thread (0x%x) to close.",
                 handleValue(thread));
        EnterCriticalSection(&gOpenWrapperLock);
        keepStoppingMonitorThread(thread);
        LeaveCriticalSection(&gOpenWrapperLock);
        return;
    }
    CloseHandle(thread);
}

// ---- I/O-control traces ----------------------------------------------------------------------
const char* failureName(DWORD code) {
    switch (code) {
        case vq36::kIoCtlGetClientId:
            return "get client id";
        case vq36::kIoCtlInitBuffers:
            return "init buffers";
        case vq36::kIoCtlSendMessage:
            return "message";
        case vq36::kIoCtlGetAsioInfo:
            return "get asio info";
        case vq36::kIoCtlDisposeOfBuffers:
            return "dispose of buffers";
        default:
            return "unknown";
    }
}

void traceIoControl(DWORD code, const void* input, DWORD inputSize) {
    switch (code) {
        case vq36::kIoCtlSendMessage: {
            DWORD message = 0, operation = 0;
            if (input != nullptr && inputSize >= 8) {
                std::memcpy(&message, input, 4);
                std::memcpy(&operation, static_cast<const BYTE*>(input) + 4, 4);
            }
            DebugLogFragment(2, "%s %d", operation != 0 ? "SET" : "GET", static_cast<int>(message));
            return;
        }
        case vq36::kIoCtlGetClientId:
            DebugLogFragment(2, "kIoCtlGetClientId");
            return;
        case vq36::kIoCtlInitBuffers:
            DebugLogFragment(2, "kIoCtlInitBuffers");
            return;
        case vq36::kIoCtlGetAsioInfo:
            DebugLogFragment(2, "kIoCtlGetAsioInfo");
            return;
        case vq36::kIoCtlDisposeOfBuffers:
            DebugLogFragment(2, "kIoCtlDisposeOfBuffers");
            return;
        case vq36::kIoCtlSetupMidiEvent:
            DebugLogFragment(2, "kIoCtlSetupMidiEvent");
            return;
        default:
            DebugLogFragment(2, "UnknownIoCtl");
            return;
    }
}

// Replaces the wrapper's handle by a new one of the interface class. The wrapper's lock held.
void reopen(AudioDeviceInterfaceWrapper* w) {
    DebugLog(1, "Device handle became invalid; trying to re-open.");
    w->asioInfo.store(nullptr);
    HANDLE old = w->deviceHandle.exchange(INVALID_HANDLE_VALUE);
    w->handleGeneration.fetch_add(1);
    if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
    HANDLE fresh = OpenUsbDevice(&kVq36InterfaceClass);
    w->deviceHandle.store(fresh);
    if (fresh == INVALID_HANDLE_VALUE) {
        DebugLog(2, "Failed to re-create device handle; pausing");
        Sleep(kReopenPauseMs);
    }
}

BYTE wrappedIoControl(AudioDeviceInterfaceWrapper* w, DWORD code, void* input, DWORD inputSize,
                      void* output, DWORD outputSize, std::uint64_t* generation);

// kIoCtlGetAsioInfo: the record's address in this process, or null; *generation is the
// generation of the handle that answered.
vq36::AsioInfo* fetchAsioInfo(AudioDeviceInterfaceWrapper* w, std::uint64_t* generation) {
    std::uint64_t reply = 0;  // word 0 the address (the whole address on this machine), word 1 0
    if (!wrappedIoControl(w, vq36::kIoCtlGetAsioInfo, nullptr, 0, &reply, sizeof reply, generation))
        return nullptr;
    return reinterpret_cast<vq36::AsioInfo*>(static_cast<std::uintptr_t>(reply));
}

bool recordGone(const vq36::AsioInfo* info) {
    return vq36::Load8(&info->deviceGone) != 0;
}

}  // namespace

// ---- Wrappers ------------------------------------------------------------------------------

WrapperUse::WrapperUse(AudioDeviceInterfaceWrapper* w) {
    if (w == nullptr) return;
    std::lock_guard lock(gLiveMutex);
    if (gLiveWrappers.count(w) == 0) return;
    ++w->users;
    wrapper_ = w;
}

WrapperUse::~WrapperUse() {
    if (wrapper_ == nullptr) return;
    std::lock_guard lock(gLiveMutex);
    if (--wrapper_->users == 0 && wrapper_->retired) gLiveDrained.notify_all();
}

AudioDeviceInterfaceWrapper* uCreateVexaAudioDeviceInterfaceWrapper(int registerInList) {
    DebugLog(1, "Creating device wrapper");
    EnterCriticalSection(&gOpenWrapperLock);
    if (gOpenWrapperCount.load() >= kMaxOpenWrappers) {
        LeaveCriticalSection(&gOpenWrapperLock);
        return nullptr;
    }
    auto* w = new (std::nothrow) AudioDeviceInterfaceWrapper();
    if (w == nullptr) {
        LeaveCriticalSection(&gOpenWrapperLock);
        return nullptr;
    }
    w->deviceHandle.store(OpenUsbDevice(&kVq36InterfaceClass));
    InitializeCriticalSection(&w->lock);
    w->serial = ++gLastSerial;
    if (!enlist(w)) {
        DeleteCriticalSection(&w->lock);
        HANDLE handle = w->deviceHandle.load();
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        delete w;
        LeaveCriticalSection(&gOpenWrapperLock);
        return nullptr;
    }
    if (registerInList == 1) {
        gOpenWrappers[gOpenWrapperCount.load()] = w;
        gOpenWrapperCount.fetch_add(1);
        if (gMonitorThreadId.load() == 0) {
            reapStoppedMonitorThreads();
            // The queue's lock, which the monitor thread makes at its start, is made here already:
            // a packet sent right after this open (as the MIDI driver sends the first message an
            // application gives it) would otherwise find no queue and be dropped while the new
            // thread has not yet run.
            uCreateHidiOutputQueueLock();
            DWORD id = 0;
            // The thread reads gMonitorThreadId under this lock before its loop, so it sees the
            // id stored here even when it starts running before CreateThread returns.
            HANDLE thread = CreateThread(nullptr, 0, uAsioEventNotificationThread, nullptr, 0, &id);
            if (thread != nullptr) {
                gMonitorThreadHandle = thread;
                gMonitorThreadId.store(id);
            }
        }
    }
    LeaveCriticalSection(&gOpenWrapperLock);
    return w;
}

void uCloseVexaAudioDevice(AudioDeviceInterfaceWrapper* w) {
    DebugLog(1, "Deleting device wrapper");
    EnterCriticalSection(&gOpenWrapperLock);
    if (!retire(w)) {  // null, closed already, or not a wrapper of the link
        LeaveCriticalSection(&gOpenWrapperLock);
        return;
    }
    w->closing.store(1);

    const DWORD count = gOpenWrapperCount.load();
    DWORD index = 0;
    while (index < count && gOpenWrappers[index] != w) ++index;
    if (index == count) {  // a private wrapper
        LeaveCriticalSection(&gOpenWrapperLock);
        release(w);
        return;
    }
    for (DWORD i = index; i + 1 < count; ++i) gOpenWrappers[i] = gOpenWrappers[i + 1];
    gOpenWrappers[count - 1] = nullptr;
    gOpenWrapperCount.store(count - 1);

    if (count - 1 == 0 && gMonitorThreadHandle != INVALID_HANDLE_VALUE) {
        HANDLE thread = gMonitorThreadHandle;
        const DWORD id = gMonitorThreadId.load();
        gMonitorThreadHandle = INVALID_HANDLE_VALUE;
        gMonitorThreadId.store(0);  // the monitor thread leaves its loop
        if (GetCurrentThreadId() == id) {
            // Closed from the monitor thread itself (a callback): it ends after this pass.
            keepStoppingMonitorThread(thread);
            LeaveCriticalSection(&gOpenWrapperLock);
            release(w);
            return;
        }
        LeaveCriticalSection(&gOpenWrapperLock);
        release(w);
        awaitMonitorThread(thread);
        return;
    }
    LeaveCriticalSection(&gOpenWrapperLock);
    release(w);
}

// ---- I/O controls ----------------------------------------------------------------------------

BYTE uWrappedDeviceIoControl(AudioDeviceInterfaceWrapper* w, DWORD code, void* input,
                             DWORD inputSize, void* output, DWORD outputSize) {
    return wrappedIoControl(w, code, input, inputSize, output, outputSize, nullptr);
}

namespace {

// uWrappedDeviceIoControl; on success *generation (when given) is the generation of the handle
// that answered, read before the wrapper's lock is let go.
BYTE wrappedIoControl(AudioDeviceInterfaceWrapper* w, DWORD code, void* input, DWORD inputSize,
                      void* output, DWORD outputSize, std::uint64_t* generation) {
    if (w == nullptr) {
        DebugLog(1, "No handle in wrapped device IOCTL");
        return FALSE;
    }
    WrapperUse use(w);
    for (DWORD attempt = 0; attempt < kAttempts; ++attempt) {
        if (use && w->closing.load() == 0) {
            EnterCriticalSection(&w->lock);
            traceIoControl(code, input, inputSize);
            HANDLE handle = w->deviceHandle.load();
            const bool invalid = handle == INVALID_HANDLE_VALUE;
            if (invalid) {
                DebugLog(2, "Short-circuited failure of IOCTL due to INVALID_HANDLE_VALUE");
            } else {
                DWORD returned = 0;
                if (DeviceIoControl(handle, code, input, inputSize, output, outputSize, &returned,
                                    nullptr)) {
                    if (generation != nullptr) *generation = w->handleGeneration.load();
                    LeaveCriticalSection(&w->lock);
                    return TRUE;
                }
            }
            const DWORD error = GetLastError();
            if (w->noReopen.load() == 0 &&
                (attempt == 2 || error == ERROR_BAD_COMMAND || error == ERROR_BUSY || invalid)) {
                reopen(w);
            } else {
                DebugLog(1, "IOCTL 0x%lx (%s) failed, last error 0x%lx",
                         static_cast<unsigned long>(code), failureName(code),
                         static_cast<unsigned long>(error));
            }
            LeaveCriticalSection(&w->lock);
        }
        Sleep(kAttemptPauseMs);
    }
    return FALSE;
}

}  // namespace

BYTE SendDeviceMessage(AudioDeviceInterfaceWrapper* w, DWORD message, DWORD operation,
                       const BYTE* payload, BYTE* reply) {
    vq36::DeviceMessage request{};
    request.message = message;
    request.op = operation;
    if (payload != nullptr) std::memcpy(request.payload, payload, sizeof request.payload);
    BYTE answer[vq36::kDeviceMessageReplyBytes] = {};
    if (!uWrappedDeviceIoControl(w, vq36::kIoCtlSendMessage, &request, sizeof request, answer,
                                 sizeof answer)) {
        DebugLog(1, "IOCTL failed in SendDeviceMessage\n");
        return FALSE;
    }
    if (reply != nullptr) std::memcpy(reply, answer, sizeof answer);
    return TRUE;
}

BYTE uDeviceValue(AudioDeviceInterfaceWrapper* w, DWORD message, DWORD operation, DWORD value,
                  DWORD* out) {
    BYTE payload[64] = {};
    std::memcpy(payload, &value, 4);
    BYTE reply[vq36::kDeviceMessageReplyBytes] = {};
    if (!SendDeviceMessage(w, message, operation, payload, reply)) {
        DebugLog(1, "Error: IOCTL failed to %s value %d", operation == 0 ? "get" : "set",
                 static_cast<int>(message));
        return FALSE;
    }
    if (out != nullptr) std::memcpy(out, reply, 4);
    return TRUE;
}

// ---- The shared record -----------------------------------------------------------------------

vq36::AsioInfo* uGetAsioInfo(AudioDeviceInterfaceWrapper* w) {
    WrapperUse use(w);
    if (!use) return nullptr;
    vq36::AsioInfo* cached = w->asioInfo.load();
    if (cached != nullptr && !recordGone(cached)) return cached;

    // The fetches run without the wrapper's lock (other threads' I/O controls go on during their
    // 100 ms waits). A record is cached, or its handle let go, only under the lock and only
    // while the handle that answered is still the wrapper's: a record mapped through a handle
    // that another thread has replaced meanwhile (its mapping went with the handle) is fetched
    // again instead. Each pass either ends or follows another thread's replacement of the
    // handle, so the passes are bounded.
    constexpr int kMaxPasses = 8;
    bool second = false;  // the record of a removed device was let go: take the next as it is
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        std::uint64_t generation = 0;
        vq36::AsioInfo* info = fetchAsioInfo(w, &generation);
        if (info == nullptr) break;
        EnterCriticalSection(&w->lock);
        if (w->handleGeneration.load() != generation) {
            LeaveCriticalSection(&w->lock);
            continue;
        }
        if (second || !recordGone(info)) {
            w->asioInfo.store(info);
            LeaveCriticalSection(&w->lock);
            return info;
        }
        // The record of a removed device: let its handle go; the next fetch re-opens.
        w->asioInfo.store(nullptr);
        HANDLE old = w->deviceHandle.exchange(INVALID_HANDLE_VALUE);
        w->handleGeneration.fetch_add(1);
        if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
        LeaveCriticalSection(&w->lock);
        second = true;
    }
    DebugLog(1, second ? "Second attempt -- bad result from get asio info IOCTL"
                       : "Bad result from get asio info IOCTL");
    return nullptr;
}

std::int32_t uBufferMillisecsToAsioSamples(std::int32_t milliseconds, DWORD sampleRate) {
    std::int32_t m = (milliseconds / 3) * 3;
    if (m <= 3) {
        m = 3;
    } else if (m > 50) {
        m = 48;
    }
    const float target = static_cast<float>(m);
    // The block whose duration at 16 samples a millisecond (0.062493 ms a sample, a hair under
    // 1/16) comes closest to the target: the error falls until the best block and rises after.
    float best = 999999.0f;
    std::int32_t bestSamples = 0;
    for (std::int32_t n = sampleRate == 48000 ? 48 : 45; n <= 3000; ++n) {
        const float duration = static_cast<float>(static_cast<double>(n) * 0.062493);
        const float error = std::fabs(static_cast<float>(duration - target));
        if (!(error < best)) break;
        best = error;
        bestSamples = n;
    }
    return bestSamples;
}

// ---- Odds and ends ---------------------------------------------------------------------------

AudioDeviceInterfaceWrapper* uSetNoReopen(AudioDeviceInterfaceWrapper* w) {
    WrapperUse use(w);
    if (use) w->noReopen.store(1);
    return w;
}

BOOL uDropDeviceHandle(AudioDeviceInterfaceWrapper* w) {
    WrapperUse use(w);
    if (!use) return 0;
    w->asioInfo.store(nullptr);
    HANDLE old = w->deviceHandle.exchange(INVALID_HANDLE_VALUE);
    w->handleGeneration.fetch_add(1);
    return CloseHandle(old);
}

void uForEachOpenWrapper(void (*function)(AudioDeviceInterfaceWrapper*, void*), void* argument) {
    EnterCriticalSection(&gOpenWrapperLock);
    // The count is read anew before each step: a callback may close a listed wrapper.
    for (DWORD i = 0; i < gOpenWrapperCount.load(); ++i) function(gOpenWrappers[i], argument);
    LeaveCriticalSection(&gOpenWrapperLock);
}

DWORD uGetOpenWrapperCount() {
    return gOpenWrapperCount.load(std::memory_order_relaxed);
}

DWORD uGetMonitorThreadId() {
    return gMonitorThreadId.load();
}

// ---- Opening the device --------------------------------------------------------------------

HANDLE OpenUsbDevice(const GUID* interfaceClass) {
    HDEVINFO set = SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        DebugLog(1, "Unable to get class devices for GUID");
        return INVALID_HANDLE_VALUE;
    }
    char path[MAX_PATH];
    for (DWORD index = 0; index < kMaxInterfaceIndex; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                DebugLog(2, "OpenUsbDevice -- no more items");
                break;
            }
            continue;
        }
        HANDLE handle = openDeviceInterface(set, &data, path);
        if (handle != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set);
            return handle;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return INVALID_HANDLE_VALUE;
}

HANDLE openDeviceInterface(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, char* devicePath) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &needed, nullptr);
    needed = std::max<DWORD>(needed, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    auto* detail =
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(::operator new(needed, std::nothrow));
    if (detail == nullptr) {
        DebugLog(3, "Failed to allocate function class device data");
        return INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, data, detail, needed, nullptr, nullptr)) {
        DebugLog(3, "Failed to get device interface detail");
        ::operator delete(detail);
        return INVALID_HANDLE_VALUE;
    }
    // The path ends inside the detail buffer, terminated or not.
    const std::size_t room = needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const std::size_t length =
        strnlen(detail->DevicePath, std::min<std::size_t>(room, MAX_PATH - 1));
    std::memcpy(devicePath, detail->DevicePath, length);
    devicePath[length] = '\0';
    ::operator delete(detail);

    HANDLE handle =
        CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) DebugLog(3, "FAILED to open %s\n", devicePath);
    return handle;
}

// ---- Unload -----------------------------------------------------------------------------------

void uShutDownDeviceLink() {
    AudioDeviceInterfaceWrapper* left[kMaxOpenWrappers];
    std::vector<HANDLE> threads;
    EnterCriticalSection(&gOpenWrapperLock);
    const DWORD count = gOpenWrapperCount.load();
    std::copy(gOpenWrappers, gOpenWrappers + count, left);
    gOpenWrapperCount.store(0);
    threads.swap(gStoppingMonitorThreads);
    HANDLE monitor = gMonitorThreadHandle;
    gMonitorThreadHandle = INVALID_HANDLE_VALUE;
    gMonitorThreadId.store(0);
    LeaveCriticalSection(&gOpenWrapperLock);

    // The library's code goes with it: no monitor thread may outlive this.
    bool ended = true;
    auto await = [&ended](HANDLE thread) {
        if (WaitForSingleObject(thread, kMonitorStopWaitMs) != WAIT_OBJECT_0) {
            DebugLog(1, "Failed to wait for status monitor thread (0x%x) to close.",
                     handleValue(thread));
            ended = false;
        }
        CloseHandle(thread);
    };
    if (monitor != INVALID_HANDLE_VALUE) await(monitor);
    for (HANDLE thread : threads) await(thread);
    // Handles the program never closed.
    for (DWORD i = 0; i < count; ++i) {
        if (!retire(left[i])) continue;
        left[i]->closing.store(1);
        release(left[i]);
    }
    // A monitor thread that is still running may yet take the queue's lock.
    if (ended) uDestroyHidiOutputQueue();
}
