#pragma once
// The ASIO driver object: the class that hosts create through the class factory and drive
// through IASIO. One object per host instance; each has its own device link and its own
// streaming thread, which turns the kernel driver's block boundaries into the host's buffer
// switches and delivers the block's output.

#include <atomic>
#include <cstdint>

#include "asio/iasio.h"
#include "com_base.h"
#include "public/vq36_shared.h"
#include "win32/windows.h"

struct AudioDeviceInterfaceWrapper;

// A member shared between the host's threads and the streaming thread without a lock: one
// whole value, read and written with single moves. Stores release and loads acquire, so that a
// flag set after the pointers it announces (buffersReady after the shared buffers) is seen
// after them; on x86 both are plain moves.
template <typename T>
class Polled {
  public:
    Polled(T value = T{}) : value_(value) {}  // NOLINT: a plain member in every other respect
    Polled(const Polled&) = delete;
    Polled& operator=(const Polled&) = delete;
    operator T() const { return value_.load(std::memory_order_acquire); }
    Polled& operator=(T value) {
        value_.store(value, std::memory_order_release);
        return *this;
    }
    // Stores `value` and returns what was there, in one step: of two threads that exchange at
    // once, exactly one sees the old value.
    T exchange(T value) { return value_.exchange(value, std::memory_order_acq_rel); }

  private:
    std::atomic<T> value_;
};

// The device's fixed channel set and the driver object's buffer regions.
inline constexpr LONG kAsioInputs = 12;
inline constexpr LONG kAsioOutputs = 10;
inline constexpr LONG kAsioMaxBufferSize = 3000;  // samples per half and channel of both regions
inline constexpr std::size_t kPlaybackBuffersBytes = 240004;  // 10 x 2 x 3000 x 4, and 4 more
inline constexpr std::size_t kPlaybackBuffersZeroedBytes = 240000;
// The private `future` selector that makes controlPanel show the built-in setup dialog.
inline constexpr LONG kAsioFutureUseBuiltInDialog = 0x5C3E19A7;

class AAsio final : public IASIO, public CUnknown {
  public:
    // Makes a driver object inside `outer` (or standing alone when null) and returns its
    // CUnknown part; null when it cannot be made, with *result = E_OUTOFMEMORY.
    static CUnknown* WINAPI CreateInstance(LPUNKNOWN outer, HRESULT* result);

    AAsio(LPUNKNOWN outer, HRESULT* result);
    ~AAsio() override;

    // The driver's class id is also the interface id of IASIO.
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IUnknown of IASIO: every reference and query goes to the owner.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IASIO.
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    LONG getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) override;
    ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) override;
    ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize,
                            LONG* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) override;
    ASIOError setClockSource(LONG reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(LONG selector, void* opt) override;
    ASIOError outputReady() override;

    // ---- The streaming side (streaming_thread.cpp) -------------------------------------------
    // Starts the streaming thread unless one runs.
    void timerOn();
    // The hand-shake with createBuffers: returns once the thread has mapped the shared buffers,
    // buffersCreated was cleared, about 2000 ms passed, or at once without a thread.
    void waitForKernelBuffers();
    void setSharedBuffers(float* capture, float* clipped, float* unclipped, vq36::AsioInfo* info);
    void switchBuffers(LONG index);
    void switchBuffersTimeInfo();
    // Asks the host for a reset; false when it has no callbacks.
    bool requestReset();
    void onBuffersLost();

    // ---- State (shared with the streaming thread by polling; see Polled) ----------------------
    std::atomic<double> samplePosition{0.0};
    Polled<ASIOCallbacks*> callbacks{nullptr};
    ASIOTime asioTime{};
    Polled<ULONG> systemTimeHi{0};
    Polled<ULONG> systemTimeLo{0};
    Polled<BYTE> timeInfoMode{0};
    Polled<BYTE> tcRead{0};
    Polled<LONG> toggle{0};
    Polled<std::uint64_t> blockCounter{0};
    Polled<float*> recordBuffers{nullptr};
    float* playbackBuffers = nullptr;  // owned; allocated by the constructor
    Polled<float*> fSharedJoinedPlaybackBuffersUnclipped{nullptr};
    Polled<float*> fSharedJoinedPlaybackBuffersClipped{nullptr};
    Polled<vq36::AsioInfo*> asioInfo{nullptr};
    Polled<BYTE> initialized{0};
    Polled<BYTE> started{0};
    Polled<HANDLE> streamingThread{nullptr};
    Polled<BYTE> inputActive[kAsioInputs];
    Polled<BYTE> outputActive[kAsioOutputs];
    Polled<BYTE> buffersCreated{0};
    Polled<BYTE> buffersReady{0};
    Polled<BYTE> outputDelivered{0};
    Polled<BYTE> useBuiltInDialog{0};
    Polled<LONG> blockSize{0};
    Polled<ULONG> clientSlot{0};  // the kernel's slot for this client; spreads joined mixing
    Polled<AudioDeviceInterfaceWrapper*> deviceWrapper{nullptr};

  private:
    // The flags of asioTime's time information, changed by the host (setClockSource) and by
    // the streaming thread (after each bufferSwitchTimeInfo).
    std::atomic_ref<ULONG> timeInfoFlags() { return std::atomic_ref<ULONG>(asioTime.timeInfo.flags); }
};

// The streaming thread of a driver object (argument: the AAsio); returns 0.
DWORD WINAPI uAsioKernelStreamingThread(LPVOID driver);

// Lets the kernel driver find where the thread object keeps the running thread's priority, by
// alternating the calling thread between two priorities while the kernel probes, then asks it
// to remember the calling thread. The result is not used by the caller.
BYTE uNegotiateElevatedPriority(AudioDeviceInterfaceWrapper* wrapper);

// The statistics thread of a driver object (argument: the AAsio); returns 0.
DWORD WINAPI uAsioDebugLogThread(LPVOID driver);
