// The driver object's streaming thread: it registers the object as a streaming client of the
// kernel driver, maps the shared buffers, waits on the client's buffer-ready event at each
// block boundary, keeps its count of blocks handed to the host in step with the kernel's, calls
// the host's buffer switch, and delivers the block's output when the host has not. It also
// tells the host when it must reset: block size changed under it, streaming stopped, the event
// failing, or the status monitor restarting the stream.
//
// The block path makes no allocation and takes no lock of its own: ResetEvent,
// WaitForSingleObject, timeGetTime and, in real-time mode, the deadline's two 32-bit stores.

#include <atomic>
#include <cstdio>
#include <cstring>

#include "asio_driver.h"
#include "control_exports.h"
#include "device_link.h"
#include "library.h"

namespace {

constexpr DWORD kAttachPollMs = 10;
constexpr DWORD kBufferWaitLimitMs = 2000;
constexpr DWORD kBlockWaitMs = 100;
constexpr DWORD kIdleSleepMs = 64;
constexpr DWORD kStoppedSleepMs = 20;
constexpr DWORD kResetRepeatMs = 1000;
constexpr DWORD kStatisticsEndWaitMs = 2000;
constexpr double kTwoTo32 = 4294967296.0;
// Time code reads the position shifted by this many seconds' worth of samples.
constexpr double kTimeCodeOffsetSeconds = 600.0;

// Numbers the streaming threads of the process for their log lines.
std::atomic<std::int32_t> gStreamingThreadNumber{0};

bool debugLogOpen() {
    return DebugLogFileName()[0] != '\0';
}

// The thread's state: what lives for the whole thread, and what each streaming run sets up.
class StreamingThread {
  public:
    explicit StreamingThread(AAsio* driver) : driver_(driver), asio_(driver) {}
    DWORD run();

  private:
    enum class Pass { Next, End, EndWithoutWrapper };

    Pass attachPass();
    void streamingRun(vq36::AsioInfo* info);
    void blockPass();
    void runningPass(vq36::AsioInfo* info);
    void notifyStarted();
    void end(bool withWrapper);

    AAsio* const driver_;
    IASIO* const asio_;  // the object's own calls go through its interface
    AudioDeviceInterfaceWrapper* wrapper_ = nullptr;
    std::int32_t loggingId_ = 0;
    DWORD clientId_ = 0;
    HANDLE event_ = nullptr;
    bool isAttached_ = false;
    std::uint32_t clientSlot_ = 0;
    bool realTimeMode_ = false;
    bool negotiated_ = false;
    // A bail-out after the registration asked for a reset that found no host callbacks (the
    // host was still inside createBuffers, which the registration had already let succeed).
    bool resetOwed_ = false;
    HANDLE statisticsThread_ = nullptr;

    // The streaming run.
    std::uint64_t clientProcessedBlockCount_ = 0;
    std::uint32_t timeOffsetAddend_ = 0;
    LONG restartSnapshot_ = 0;
    bool isStreamingStopped_ = false;
    bool stillNeedsReset_ = false;
    bool isNotified_ = false;
    bool resetRequested_ = false;
    DWORD resetTick_ = 0;
};

DWORD StreamingThread::run() {
    loggingId_ = gStreamingThreadNumber.fetch_add(1) + 1;
    DebugLog(2, "Begin ASIO kernel streaming thread; logging ID: %d", loggingId_);
    // The I/O-control wrapper must never replace this handle: a new handle would be a new
    // kernel client without buffers.
    wrapper_ = uSetNoReopen(driver_->deviceWrapper);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    realTimeMode_ = (GetVersion() & 0xFF) >= 6 && isRealTimeEnabled();

    bool withWrapper = true;
    while (driver_->initialized != 0) {
        const Pass next = attachPass();
        if (next == Pass::End) break;
        if (next == Pass::EndWithoutWrapper) {
            withWrapper = false;
            break;
        }
    }
    end(withWrapper);
    return 0;
}

StreamingThread::Pass StreamingThread::attachPass() {
    Sleep(kAttachPollMs);
    if (driver_->buffersCreated == 0) {
        DebugLog(2, "; (%d)", loggingId_);
        // A bail-out while the host was still inside createBuffers found no callbacks: the
        // host, told its buffers were ready, would wait for ever. The request goes out once
        // the callbacks are there.
        if (resetOwed_ && driver_->callbacks != nullptr) resetOwed_ = !driver_->requestReset();
        return Pass::Next;
    }
    if (wrapper_ == nullptr) {
        DebugLog(1, "Bad handle from uCreateVexaAudioDeviceInterfaceWrapper; logging ID: %d",
                 loggingId_);
        return Pass::EndWithoutWrapper;
    }
    if (!isAttached_) {
        DWORD id = 0;
        if (!uWrappedDeviceIoControl(wrapper_, vq36::kIoCtlGetClientId, nullptr, 0, &id,
                                     sizeof id)) {
            DebugLog(1, "Bad result from get client id IOCTL; logging ID: %d", loggingId_);
            return Pass::End;
        }
        clientId_ = id;
        if (event_ == nullptr) {
            // Every process may open the event: a present but null access list.
            SECURITY_DESCRIPTOR descriptor{};
            InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
            SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
            SECURITY_ATTRIBUTES attributes{};
            attributes.nLength = sizeof attributes;
            attributes.lpSecurityDescriptor = &descriptor;
            attributes.bInheritHandle = FALSE;
            char name[64];
            std::snprintf(name, sizeof name, "VexaVq36AsioBufferReady%d",
                          static_cast<int>(clientId_));
            event_ = CreateEventA(&attributes, TRUE, FALSE, name);
        }
        DebugLog(2, "Invoking kIoCtlInitBuffers for block size %d, sample rate %d, logging id %d",
                 static_cast<int>(driver_->blockSize),
                 static_cast<int>(uDeviceSampleRate(wrapper_)), loggingId_);
        // The event goes to the driver as a 32-bit handle value.
        std::uint32_t input[2] = {static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(event_)),
                                  0};
        vq36::InitBuffersResult result{};
        if (uWrappedDeviceIoControl(wrapper_, vq36::kIoCtlInitBuffers, input, sizeof input,
                                    &result, sizeof result)) {
            isAttached_ = true;
            DebugLog(2, "Retrieving asio info: %x for; logging ID: %d",
                     static_cast<unsigned>(result.asioInfo), loggingId_);
            driver_->setSharedBuffers(
                reinterpret_cast<float*>(static_cast<ULONG_PTR>(result.captureBuffers)),
                reinterpret_cast<float*>(
                    static_cast<ULONG_PTR>(result.fSharedJoinedPlaybackBuffersClipped)),
                reinterpret_cast<float*>(
                    static_cast<ULONG_PTR>(result.fSharedJoinedPlaybackBuffersUnclipped)),
                reinterpret_cast<vq36::AsioInfo*>(static_cast<ULONG_PTR>(result.asioInfo)));
            clientSlot_ = result.clientSlot;
            driver_->clientSlot = result.clientSlot;
        }
    }
    vq36::AsioInfo* info = uGetAsioInfo(wrapper_);
    if (isAttached_ && info != nullptr) {
        resetOwed_ = false;  // the host created its buffers again
        streamingRun(info);
        uDeviceValue(wrapper_, vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, 0, nullptr);
        return Pass::Next;
    }
    DebugLog(2, "Failure in kIoCtlInitBuffers, so bailing; logging ID: %d", loggingId_);
    driver_->buffersCreated = 0;
    resetOwed_ = !driver_->requestReset() && isAttached_;
    return Pass::Next;
}

void StreamingThread::streamingRun(vq36::AsioInfo* info) {
    clientProcessedBlockCount_ = vq36::Load64(&info->asioBlockCount);
    stillNeedsReset_ = false;
    isStreamingStopped_ = false;
    isNotified_ = false;
    resetRequested_ = false;
    resetTick_ = 0;

    // 1.5 blocks in 100 ns units, in 32-bit integer steps.
    std::uint32_t perMillisecond = uDeviceSampleRate(wrapper_) / 1000;
    if (perMillisecond <= 1) perMillisecond = 1;
    const auto s = static_cast<std::uint32_t>(static_cast<std::int32_t>(driver_->blockSize));
    timeOffsetAddend_ = ((s * 3) / 2) / perMillisecond * 10000;
    DebugLog(2, "Time offset addend = %lld", static_cast<long long>(timeOffsetAddend_));
    restartSnapshot_ = gMonitorRestartCount.load();

    while (driver_->initialized != 0) blockPass();
}

void StreamingThread::notifyStarted() {
    if (!uDeviceValue(wrapper_, vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, 1, nullptr)) {
        DebugLog(1, "Failed to notify driver of starting streaming");
    }
}

void StreamingThread::blockPass() {
    vq36::AsioInfo* info = uGetAsioInfo(wrapper_);
    if (driver_->started == 0) {
        Sleep(kIdleSleepMs);
        DebugLog(2, "z");
        return;
    }
    if (!isNotified_) {
        if (uDeviceValue(wrapper_, vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, 1, nullptr)) {
            isNotified_ = true;
        } else {
            DebugLog(1, "Failed to notify driver of starting streaming");
            // A device that went away before the kernel heard of this client refuses the
            // notification for ever: without a record the pass goes on to the stopped state,
            // whose reset requests are all that brings the host back. Otherwise the message is
            // tried again on the next pass.
            if (info != nullptr) return;
        }
    }
    const bool kernelStopped =
        info == nullptr || vq36::Load32(&info->isStreamingEnabled) == 0;
    if (isStreamingStopped_ || stillNeedsReset_ || kernelStopped) {
        if (resetTick_ == 0) resetTick_ = GetTickCount();
        if (!resetRequested_ || GetTickCount() - resetTick_ > kResetRepeatMs) {
            stillNeedsReset_ = !driver_->requestReset();
            resetRequested_ = true;
            resetTick_ = GetTickCount();
        }
        DebugLog(1, "? (%d) isStreamingStopped: %d; stillNeedsReset: %d; !isStreamingEnabled: %d",
                 loggingId_, isStreamingStopped_ ? 1 : 0, stillNeedsReset_ ? 1 : 0,
                 info != nullptr && vq36::Load32(&info->isStreamingEnabled) == 0 ? 1 : 0);
        Sleep(kStoppedSleepMs);
        return;
    }
    runningPass(info);
}

void StreamingThread::runningPass(vq36::AsioInfo* info) {
    resetTick_ = 0;
    if (statisticsThread_ == nullptr && debugLogOpen()) {
        statisticsThread_ = CreateThread(nullptr, 0, uAsioDebugLogThread, driver_, 0, nullptr);
    }
    if (realTimeMode_) {
        if (!negotiated_) {
            uNegotiateElevatedPriority(wrapper_);
            negotiated_ = true;
            // The negotiation takes tens of milliseconds, before the host's first block: the
            // blocks that passed meanwhile are not the host's to catch up on.
            clientProcessedBlockCount_ = vq36::Load64(&info->asioBlockCount);
        }
        // The kernel raises this thread just before it signals the next boundary as long as
        // this deadline has not passed.
        if (clientSlot_ < vq36::kMaxClients) {
            vq36::Store64(&info->clientDeadline[clientSlot_],
                          vq36::Load64(&info->lastBlockTime) + timeOffsetAddend_);
        }
    }

    std::uint64_t& q = clientProcessedBlockCount_;
    DWORD waitResult = 0;
    if (vq36::Load64(&info->asioBlockCount) == q) {
        ResetEvent(event_);
        if (vq36::Load64(&info->asioBlockCount) == q) {
            waitResult = WaitForSingleObject(event_, kBlockWaitMs);
            ResetEvent(event_);
        }
    }
    if (vq36::Load64(&info->asioBlockCount) > q) waitResult = 0;

    const std::uint32_t kernelFrames = vq36::Load32(&info->blockFrames);
    const LONG s = driver_->blockSize;
    if (kernelFrames != 0 && kernelFrames != static_cast<std::uint32_t>(s)) {
        driver_->outputDelivered = 0;
        driver_->switchBuffers(static_cast<LONG>(q & 1));
        DebugLog(2, "Bailing, because block frames changed from %d to %d; logging ID: %d",
                 static_cast<int>(s), static_cast<int>(kernelFrames), loggingId_);
        stillNeedsReset_ = !driver_->requestReset();
        isStreamingStopped_ = true;
        return;
    }
    if (vq36::Load32(&info->isStreamingEnabled) == 0) {
        DebugLog(2, "Streaming isn't enabled, so bailing; logging ID: %d", loggingId_);
        stillNeedsReset_ = !driver_->requestReset();
        isStreamingStopped_ = true;
        return;
    }

    const std::uint64_t k = vq36::Load64(&info->asioBlockCount);
    if (k > q) {
        q += 1;
        const std::uint64_t now = vq36::Load64(&info->asioBlockCount);
        const std::uint64_t lag = now > q ? now - q : 0;
        bool isLagging = false;
        if (lag >= 2) {
            // A plain addition: the kernel moves the count into its statistics at each boundary.
            vq36::Store32(&info->pendingUserSlips,
                          vq36::Load32(&info->pendingUserSlips) +
                              static_cast<std::uint32_t>(lag - 2));
            isLagging = vq36::Load64(&info->asioBlockCount) >= q + 2;
        }
        driver_->blockCounter = q;
        if (waitResult == WAIT_TIMEOUT) {
            DebugLog(1, "Timeout waiting for audio");
        } else if (waitResult != 0) {
            const DWORD error = GetLastError();
            char* text = nullptr;
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<LPSTR>(&text), 0, nullptr);
            DebugLog(2, "Wait for kernel event failed, so bailing: %x, %x, %s; logging ID: %d",
                     static_cast<unsigned>(waitResult), static_cast<unsigned>(error),
                     text != nullptr ? text : "", loggingId_);
            if (text != nullptr) LocalFree(text);
            stillNeedsReset_ = !driver_->requestReset();
            isStreamingStopped_ = true;
            return;
        }
        driver_->outputDelivered = 0;
        driver_->switchBuffers(static_cast<LONG>(q & 1));
        if (!isLagging) asio_->outputReady();
        return;
    }

    DebugLog(1, "clientProcessedBlockCount (%d) >= asioInfo->asioBlockCount (%d); logging ID: %d",
             static_cast<int>(q), static_cast<int>(k), loggingId_);
    q = k;  // resynchronise, downwards too after the kernel reset its counters
    const LONG restarts = gMonitorRestartCount.load();
    if (restarts > restartSnapshot_) {
        restartSnapshot_ = restarts;
        driver_->requestReset();
    }
    notifyStarted();
}

void StreamingThread::end(bool withWrapper) {
    if (withWrapper && wrapper_ != nullptr) {
        uDeviceValue(wrapper_, vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, 0, nullptr);
    }
    driver_->onBuffersLost();
    if (event_ != nullptr && !CloseHandle(event_)) {
        DebugLog(1, "Failed to close kernel->client event handle, so bailing; logging ID: %d",
                 loggingId_);
        driver_->requestReset();
    }
    event_ = nullptr;
    if (statisticsThread_ != nullptr) {
        WaitForSingleObject(statisticsThread_, kStatisticsEndWaitMs);
        CloseHandle(statisticsThread_);
        statisticsThread_ = nullptr;
    }
    DebugLog(2, "End ASIO kernel streaming thread; logging ID: %d", loggingId_);
}

}  // namespace

DWORD WINAPI uAsioKernelStreamingThread(LPVOID driver) {
    StreamingThread thread(static_cast<AAsio*>(driver));
    return thread.run();
}

// ---- Driver-object members for the thread ------------------------------------------------

void AAsio::timerOn() {
    DebugLog(2, "AAsio::timerOn");
    if (streamingThread == nullptr) {
        streamingThread = CreateThread(nullptr, 0, uAsioKernelStreamingThread, this, 0, nullptr);
    }
}

void AAsio::waitForKernelBuffers() {
    DWORD waited = 0;
    while (streamingThread != nullptr && initialized != 0 && buffersReady == 0) {
        Sleep(kAttachPollMs);
        DebugLog(2, ".");
        if (buffersCreated == 0 || waited > kBufferWaitLimitMs) break;
        waited += kAttachPollMs;
    }
}

void AAsio::setSharedBuffers(float* capture, float* clipped, float* unclipped,
                             vq36::AsioInfo* info) {
    recordBuffers = capture;
    fSharedJoinedPlaybackBuffersClipped = clipped;
    fSharedJoinedPlaybackBuffersUnclipped = unclipped;
    asioInfo = info;
    // 16 blocks of 10-channel frames of each playback region are cleared; a block size whose
    // 16 blocks would pass the end of the region clears the region up to its end.
    std::size_t sharedBytes = 640u * static_cast<std::uint32_t>(static_cast<LONG>(blockSize));
    if (sharedBytes > vq36::kPlaybackRegionBytes) sharedBytes = vq36::kPlaybackRegionBytes;
    if (capture == nullptr) {
        DebugLog(1, "Record buffers are null");
        stop();
    }
    if (clipped != nullptr) {
        std::memset(clipped, 0, sharedBytes);
    } else {
        DebugLog(1, "fSharedJoinedPlaybackBuffersClipped is null");
        stop();
    }
    if (unclipped != nullptr) {
        std::memset(unclipped, 0, sharedBytes);
    } else {
        DebugLog(1, "fSharedJoinedPlaybackBuffersUnclipped is null");
        stop();
    }
    if (playbackBuffers != nullptr) {
        std::memset(playbackBuffers, 0, kPlaybackBuffersZeroedBytes);
    } else {
        DebugLog(1, "Playback buffers are null");
        stop();
    }
    buffersReady = capture != nullptr && clipped != nullptr && unclipped != nullptr &&
                           playbackBuffers != nullptr
                       ? 1
                       : 0;
}

void AAsio::switchBuffers(LONG index) {
    ASIOCallbacks* host = callbacks;
    if (started == 0 || host == nullptr) return;
    toggle = index;
    const double t = static_cast<double>(timeGetTime()) * 1000000.0;
    const auto hi = static_cast<ULONG>(t / kTwoTo32);
    systemTimeHi = hi;
    systemTimeLo = static_cast<ULONG>(t - hi * kTwoTo32);
    // Only this thread adds to the position (start() only sets it back to 0).
    samplePosition.store(samplePosition.load() + static_cast<double>(static_cast<LONG>(blockSize)));
    if (timeInfoMode != 0) {
        switchBuffersTimeInfo();
    } else if (host->bufferSwitch != nullptr) {
        host->bufferSwitch(index, ASIOFalse);
    }
}

void AAsio::switchBuffersTimeInfo() {
    ASIOCallbacks* host = callbacks;
    if (host == nullptr) return;
    AsioTimeInfo& info = asioTime.timeInfo;
    static_cast<IASIO*>(this)->getSamplePosition(&info.samplePosition, &info.systemTime);
    if (tcRead != 0) {
        const double shifted =
            info.sampleRate * kTimeCodeOffsetSeconds + static_cast<double>(info.samplePosition.lo);
        asioTime.timeCode.timeCodeSamples.hi = 0;
        asioTime.timeCode.timeCodeSamples.lo =
            static_cast<ULONG>(static_cast<std::uint64_t>(shifted));
    }
    if (host->bufferSwitchTimeInfo != nullptr) {
        host->bufferSwitchTimeInfo(&asioTime, toggle, ASIOFalse);
    } else if (host->bufferSwitch != nullptr) {
        host->bufferSwitch(toggle, ASIOFalse);  // a host that asked for time information
                                                // without its callback
    }
    timeInfoFlags().fetch_and(~static_cast<ULONG>(kSampleRateChanged | kClockSourceChanged));
}

bool AAsio::requestReset() {
    ASIOCallbacks* host = callbacks;
    if (host == nullptr) {
        DebugLog(1, "Reset attempted, but no callback");
        return false;
    }
    DebugLog(2, "Reset invoked");
    if (host->asioMessage != nullptr) host->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    return true;
}

void AAsio::onBuffersLost() {
    buffersCreated = 0;
    requestReset();
}
