// The ASIO driver object: its life cycle and the IASIO methods hosts call (the streaming side is
// in streaming_thread.cpp, output delivery in output_delivery.cpp).
//
// Every IASIO method from init to future enters the library's module state. No method takes a
// lock: the streaming thread polls the members it shares with them (see asio_driver.h).

#include "asio_driver.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "control_exports.h"
#include "device_link.h"
#include "library.h"
#include "output_delivery.h"
#include "setup/setup_dialog.h"
#include "ui/afx.h"

namespace {

constexpr const char* kDriverName = "Vexa VQ36";
constexpr const char* kInstallKey = "Software\\Vexa\\VQ36";
constexpr const char* kControlPanelProgram = "\\VexaDeck.exe";
constexpr DWORD kLaunchPathChars = 260;
constexpr DWORD kHandleWaitMs = 500;
constexpr DWORD kThreadEndWaitMs = 20000;
constexpr double kTwoTo32 = 4294967296.0;

// The block size of the "BufferSizeMillisecs" setting.
LONG settingBlockSize() {
    return uBufferMillisecsToAsioSamples(static_cast<std::int32_t>(getBufferSizeMillisecs()),
                                         vq36::kSampleRate);
}

}  // namespace

// ---- Construction and destruction ----------------------------------------------------------

AAsio::AAsio(LPUNKNOWN outer, HRESULT* result) : CUnknown("VEXAASIO", outer, result) {
    DebugLog(3, "AAsio constructing");
    samplePosition = 0.0;
    deviceWrapper = uVexaAudioOpen();
    blockSize = settingBlockSize();
    // Every flag, pointer and active entry starts clear (member initialisers). The output
    // halves are zeroed by the streaming thread when it maps the shared buffers.
    playbackBuffers = new (std::nothrow) float[kPlaybackBuffersBytes / sizeof(float)];
}

AAsio::~AAsio() {
    DebugLog(2, "Starting disposing of AAsio instance");
    initialized = 0;  // the streaming thread ends at its next look
    stop();
    if (HANDLE thread = streamingThread; thread != nullptr) {
        if (WaitForSingleObject(thread, kThreadEndWaitMs) != WAIT_OBJECT_0) {
            DebugLog(1, "Error, kernel IO thread is still running");
        }
        CloseHandle(thread);
        streamingThread = nullptr;
    }
    disposeBuffers();
    delete[] playbackBuffers;
    playbackBuffers = nullptr;
    if (AudioDeviceInterfaceWrapper* w = deviceWrapper; w != nullptr) {
        AFX_MANAGE_STATE(AfxGetStaticModuleState());
        uCloseVexaAudioDevice(w);
        deviceWrapper = nullptr;
    }
    DebugLog(2, "Finished disposing of AAsio instance");
}

// ---- IUnknown ------------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE AAsio::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (IsEqualIID(riid, CLSID_VexaAsioVq36)) return GetInterface(static_cast<IASIO*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT STDMETHODCALLTYPE AAsio::QueryInterface(REFIID riid, void** ppv) {
    return GetOwner()->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE AAsio::AddRef() {
    return GetOwner()->AddRef();
}

ULONG STDMETHODCALLTYPE AAsio::Release() {
    return GetOwner()->Release();
}

// ---- IASIO -----------------------------------------------------------------------------------

ASIOBool AAsio::init(void* /*sysHandle*/) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    DebugLog(3, "AAsio init");
    if (deviceWrapper == nullptr) {
        deviceWrapper = uVexaAudioOpen();
        if (deviceWrapper == nullptr) {
            DebugLog(1, "Failing ASIO init, because no device handle.");
            return ASIOFalse;
        }
    }
    AudioDeviceInterfaceWrapper* w = deviceWrapper;
    if (w->deviceHandle.load() == INVALID_HANDLE_VALUE) Sleep(kHandleWaitMs);
    initialized = 1;
    timerOn();
    return ASIOTrue;
}

void AAsio::getDriverName(char* name) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (name != nullptr) std::strcpy(name, kDriverName);
}

LONG AAsio::getDriverVersion() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return 1;
}

void AAsio::getErrorMessage(char* string) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (string != nullptr) string[0] = '\0';
}

ASIOError AAsio::start() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    DebugLog(2, "AAsio::start");
    if (callbacks == nullptr) return ASE_NotPresent;
    systemTimeHi = 0;
    systemTimeLo = 0;
    samplePosition = 0.0;
    toggle = 0;
    started = 1;
    return ASE_OK;
}

ASIOError AAsio::stop() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    DebugLog(2, "AAsio::stop");
    started = 0;
    return ASE_OK;
}

ASIOError AAsio::getChannels(LONG* numInputChannels, LONG* numOutputChannels) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (numInputChannels != nullptr) *numInputChannels = kAsioInputs;
    if (numOutputChannels != nullptr) *numOutputChannels = kAsioOutputs;
    return ASE_OK;
}

ASIOError AAsio::getLatencies(LONG* inputLatency, LONG* outputLatency) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    const LONG s = blockSize;
    if (inputLatency != nullptr) *inputLatency = s;
    if (outputLatency != nullptr) *outputLatency = 2 * s;
    return ASE_OK;
}

ASIOError AAsio::getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize,
                               LONG* granularity) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    // The setting is read anew at every call: a host can only ask for the size it gives.
    const LONG size = uBufferMillisecsToAsioSamples(
        static_cast<std::int32_t>(getBufferSizeMillisecs()), uDeviceSampleRate(deviceWrapper));
    if (minSize != nullptr) *minSize = size;
    if (maxSize != nullptr) *maxSize = size;
    if (preferredSize != nullptr) *preferredSize = size;
    if (granularity != nullptr) *granularity = 1;
    return ASE_OK;
}

ASIOError AAsio::canSampleRate(ASIOSampleRate sampleRate) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    const bool ok = sampleRate == static_cast<double>(vq36::kSampleRate);
    DebugLog(2, "canSampleRate: %.0f %s (non-master)", sampleRate, ok ? "OK" : "unavailable");
    return ok ? ASE_OK : ASE_NoClock;
}

ASIOError AAsio::getSampleRate(ASIOSampleRate* sampleRate) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (sampleRate != nullptr) *sampleRate = uDeviceSampleRate(deviceWrapper);
    return ASE_OK;
}

ASIOError AAsio::setSampleRate(ASIOSampleRate sampleRate) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (sampleRate == static_cast<double>(vq36::kSampleRate)) {
        DebugLog(2, "setSampleRate: no change, already %.0f", sampleRate);
        return ASE_OK;
    }
    DebugLog(2, "Can't set sample rate to invalid value: %.0f", sampleRate);
    return ASE_NoClock;
}

ASIOError AAsio::getClockSources(ASIOClockSource* clocks, LONG* numSources) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (clocks == nullptr || numSources == nullptr) return ASE_InvalidParameter;
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    std::snprintf(clocks[0].name, sizeof clocks[0].name, "%s", "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError AAsio::setClockSource(LONG reference) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (reference != 0) return ASE_NotPresent;
    timeInfoFlags().fetch_or(kClockSourceChanged);
    return ASE_OK;
}

ASIOError AAsio::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (tStamp != nullptr) {
        tStamp->hi = systemTimeHi;
        tStamp->lo = systemTimeLo;
    }
    if (sPos != nullptr) {
        const double position = samplePosition;
        if (position >= kTwoTo32) {
            const auto hi = static_cast<ULONG>(position * (1.0 / kTwoTo32));
            sPos->hi = hi;
            sPos->lo = static_cast<ULONG>(position - hi * kTwoTo32);
        } else {
            sPos->hi = 0;
            sPos->lo = static_cast<ULONG>(position);
        }
    }
    return ASE_OK;
}

ASIOError AAsio::getChannelInfo(ASIOChannelInfo* info) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (info == nullptr) return ASE_InvalidParameter;
    const LONG c = info->channel;
    const bool input = info->isInput != ASIOFalse;
    if (c < 0 || c >= (input ? kAsioInputs : kAsioOutputs)) return ASE_InvalidParameter;
    info->type = ASIOSTFloat32LSB;
    info->channelGroup = 0;
    info->isActive = (input ? inputActive[c] : outputActive[c]) != 0 ? ASIOTrue : ASIOFalse;
    std::snprintf(info->name, sizeof info->name, "VQ36 %s %d", input ? "Input" : "Output",
                  static_cast<int>(c + 1));
    return ASE_OK;
}

ASIOError AAsio::createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                               ASIOCallbacks* hostCallbacks) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    const LONG s = settingBlockSize();
    // Both buffer regions hold 3000 samples per half and channel; a size outside 1..3000, a
    // host without callbacks or a missing record array is refused before anything changes.
    if (bufferSize < 1 || bufferSize > kAsioMaxBufferSize) {
        DebugLog(1, "Refusing buffers of %d samples (1 to %d)", static_cast<int>(bufferSize),
                 static_cast<int>(kAsioMaxBufferSize));
        return ASE_InvalidParameter;
    }
    if (hostCallbacks == nullptr || numChannels < 0 ||
        (numChannels > 0 && bufferInfos == nullptr)) {
        DebugLog(1, "Refusing buffers without callbacks or buffer records");
        return ASE_InvalidParameter;
    }
    if (bufferSize != s) {
        DebugLog(1, "Tried to create buffers with wrong/old buffer size (%d, %d)",
                 static_cast<int>(s), static_cast<int>(bufferSize));
    }
    blockSize = bufferSize;
    buffersCreated = 1;
    DebugLog(1, "Setting up buffer of %d samples", static_cast<int>(bufferSize));
    waitForKernelBuffers();
    if (buffersReady == 0) return ASE_InvalidMode;

    for (auto& flag : inputActive) flag = 0;
    for (auto& flag : outputActive) flag = 0;
    LONG inputs = 0;
    LONG outputs = 0;
    float* const record = recordBuffers;
    for (LONG i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& b = bufferInfos[i];
        const LONG c = b.channelNum;
        if (b.isInput != ASIOFalse) {
            if (c < 0 || c >= kAsioInputs) return ASE_InvalidParameter;
            inputActive[c] = 1;
            b.buffers[0] = record + static_cast<std::size_t>(2 * c) * bufferSize;
            b.buffers[1] = record + static_cast<std::size_t>(2 * c + 1) * bufferSize;
            if (++inputs > kAsioInputs) return ASE_InvalidParameter;
        } else {
            if (c < 0 || c >= kAsioOutputs) return ASE_InvalidParameter;
            outputActive[c] = 1;
            b.buffers[0] = playbackBuffers + static_cast<std::size_t>(2 * c) * bufferSize;
            b.buffers[1] = playbackBuffers + static_cast<std::size_t>(2 * c + 1) * bufferSize;
            if (++outputs > kAsioOutputs) return ASE_InvalidParameter;
        }
    }
    callbacks = hostCallbacks;

    const bool supportsTimeInfo =
        hostCallbacks->asioMessage != nullptr &&
        hostCallbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
    if (supportsTimeInfo) {
        timeInfoMode = 1;
        AsioTimeInfo& t = asioTime.timeInfo;
        t.speed = 1.0;
        t.systemTime = {0, 0};
        t.samplePosition = {0, 0};
        t.sampleRate = static_cast<double>(vq36::kSampleRate);
        timeInfoFlags().store(kSystemTimeValid | kSamplePositionValid | kSampleRateValid);
        asioTime.timeCode.speed = 1.0;
        asioTime.timeCode.timeCodeSamples = {0, 0};
        asioTime.timeCode.flags = kTcValid | kTcRunning;
    } else {
        timeInfoMode = 0;
    }
    return ASE_OK;
}

ASIOError AAsio::disposeBuffers() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    buffersCreated = 0;
    callbacks = nullptr;
    return stop();
}

ASIOError AAsio::controlPanel() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (useBuiltInDialog != 0) {
        // The module state switch above makes the library's resources the ones the dialog's
        // template and images are found in.
        AAsioSetupDialog* dialog = new AAsioSetupDialog(nullptr);
        dialog->DoModal();
        delete dialog;
        return ASE_OK;
    }
    char path[kLaunchPathChars] = {};
    readRegistryString(HKEY_LOCAL_MACHINE, kInstallKey, "InstallPath", path, sizeof path);
    // An install path that leaves no room for the program's name starts nothing.
    const std::size_t length = std::strlen(path);
    if (length + std::strlen(kControlPanelProgram) >= sizeof path) {
        DebugLog(1, "CP launch path too long: %s%s", path, kControlPanelProgram);
        return ASE_OK;
    }
    std::strcat(path, kControlPanelProgram);
    DebugLog(2, "CP launch path: %s", path);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(path, path, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        // The program runs on by itself; its handles are not needed here.
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return ASE_OK;
}

ASIOError AAsio::future(LONG selector, void* /*opt*/) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    switch (selector) {
        case kAsioEnableTimeCodeRead:
            tcRead = 1;
            return ASE_SUCCESS;
        case kAsioDisableTimeCodeRead:
            tcRead = 0;
            return ASE_SUCCESS;
        case kAsioSetInputMonitor:
        case kAsioCanInputMonitor:
        case kAsioCanTimeInfo:
        case kAsioCanTimeCode:
            return ASE_SUCCESS;
        case kAsioFutureUseBuiltInDialog:
            useBuiltInDialog = 1;
            return ASE_SUCCESS;
        default:
            return ASE_NotPresent;
    }
}

ASIOError AAsio::outputReady() {
    vq36::AsioInfo* info = asioInfo;
    if (info == nullptr) return ASE_InvalidMode;
    // The host may call from its own thread while the streaming thread makes its call: the
    // flag is taken in one exchange, so the block is delivered once.
    if (outputDelivered.exchange(1) != 0) return ASE_OK;
    OutputBlock block;
    block.info = info;
    block.ring = fSharedJoinedPlaybackBuffersClipped;
    block.accumulator = fSharedJoinedPlaybackBuffersUnclipped;
    block.halves = playbackBuffers;
    for (LONG c = 0; c < kAsioOutputs; ++c) {
        if (outputActive[c] != 0) block.activeMask |= 1u << c;
    }
    block.blockCounter = blockCounter;
    block.blockSize = blockSize;
    block.lane = clientSlot;
    deliverOutputBlock(block);
    return ASE_OK;
}
