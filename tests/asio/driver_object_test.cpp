// The ASIO driver object as a host drives it, with its streaming thread, inside the test
// program. A machine with one VQ36 gives the object a device to open; the kernel's side of the
// I/O controls is played by a fake kernel in this program (the recorder in front of
// DeviceIoControl answers in the driver's place), so that block boundaries, block-size changes,
// late wake-ups and priority negotiations happen exactly when a test makes them.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "asio_driver.h"
#include "link_fixture.h"
#include "output_delivery.h"

namespace {

using asiotest::eventually;
using asiotest::IoCall;
using asiotest::LinkTest;
using asiotest::setIoHook;

constexpr DWORD kClientId = 41;
constexpr std::uint32_t kClientSlot = 3;
constexpr std::uint32_t kChannels = 10;

std::uint64_t now100ns() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count() /
                                      100);
}

// ---- The kernel's side ----------------------------------------------------------------------

struct NegotiationCall {
    DWORD timeCritical;
    DWORD lastRound;
};

class FakeKernel {
  public:
    FakeKernel(std::uint32_t blockFrames = 48, std::uint32_t ringBlocks = 10)
        : record_(new unsigned char[vq36::kAsioInfoBytes]()),
          capture_(vq36::kCapturePlanesBytes / 4, 0.0f),
          clipped_(vq36::kPlaybackRegionBytes / 4, 0.0f),
          unclipped_(vq36::kPlaybackRegionBytes / 4, 0.0f) {
        vq36::Store32(&info()->blockFrames, blockFrames);
        vq36::Store32(&info()->ringBlocks, ringBlocks);
        vq36::Store32(&info()->sampleRate, 48000);
        vq36::Store32(&info()->isStreamingEnabled, 1);
        vq36::Store32(&info()->joinedClientCount, 1);
        vq36::Store8(&info()->settingsInitialized, 1);
    }
    ~FakeKernel() {
        if (event_ != nullptr) CloseHandle(event_);
    }

    void install() {
        setIoHook([this](const IoCall& call, void* out, DWORD outSize, BOOL* result,
                         DWORD* error) { return answer(call, out, outSize, result, error); });
    }

    vq36::AsioInfo* info() { return reinterpret_cast<vq36::AsioInfo*>(record_.get()); }
    float* capture() { return capture_.data(); }
    // The device reads the ring and the kernel clears it without the library's knowing: these
    // accesses stand for those and are left out of a thread sanitizer's race checks.
    float ringSample(std::uint32_t block, std::uint32_t frame, std::uint32_t channel) {
        const std::uint32_t s = vq36::Load32(&info()->blockFrames);
        VQ36_UNCHECKED_READ_BEGIN();
        const float v =
            clipped_[(static_cast<std::size_t>(block) * s + frame) * kChannels + channel];
        VQ36_UNCHECKED_READ_END();
        return v;
    }
    void fillRing(float value, std::size_t samples) {
        VQ36_UNCHECKED_WRITE_BEGIN();
        std::fill_n(clipped_.begin(), samples, value);
        VQ36_UNCHECKED_WRITE_END();
    }
    std::uint64_t blockCount() { return vq36::Load64(&info()->asioBlockCount); }

    // A block boundary (or `blocks` of them at once, as a late wake-up sees them).
    void boundary(std::uint64_t blocks = 1) {
        vq36::Store64(&info()->asioBlockCount, blockCount() + blocks);
        vq36::Store64(&info()->lastBlockTime, now100ns());
        signal();
    }
    // The event set without a new block.
    void signal() {
        if (event_ == nullptr) {
            char name[64];
            std::snprintf(name, sizeof name, "VexaVq36AsioBufferReady%u", kClientId);
            event_ = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
        }
        ASSERT_NE(event_, nullptr) << "the client's buffer-ready event does not exist";
        SetEvent(event_);
    }

    // The device went away: the record says so and every request fails as the kernel fails
    // those of a removed device.
    void remove() {
        vq36::Store8(&info()->deviceGone, 1);
        gone_.store(true);
    }

    // Behaviour of the next requests.
    std::atomic<bool> failInitBuffers{false};
    std::atomic<int> initBuffersDelayMs{0};
    // Step (call number) of the negotiation that asks for a loop restart, or -1; the first call
    // that fails (it and every later one), or -1.
    std::atomic<int> restartAtCall{-1};
    std::atomic<int> failAtCall{-1};

    std::vector<NegotiationCall> negotiations() {
        std::lock_guard lock(mutex_);
        return negotiations_;
    }
    int saves() { return saves_.load(); }
    int initBuffersCalls() { return initCalls_.load(); }
    // The streaming messages (8) with their values, in order.
    std::vector<DWORD> streamingMessages() {
        std::lock_guard lock(mutex_);
        return streaming_;
    }

  private:
    bool answer(const IoCall& call, void* out, DWORD outSize, BOOL* result, DWORD* error) {
        *result = TRUE;
        if (gone_.load()) {
            *result = FALSE;
            *error = ERROR_INVALID_HANDLE;
            return true;
        }
        switch (call.code) {
            case vq36::kIoCtlGetClientId:
                if (out != nullptr && outSize >= 4) std::memcpy(out, &kClientId, 4);
                return true;
            case vq36::kIoCtlInitBuffers: {
                ++initCalls_;
                if (initBuffersDelayMs.load() > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(initBuffersDelayMs.load()));
                if (failInitBuffers.load()) {
                    *result = FALSE;
                    *error = ERROR_GEN_FAILURE;
                    return true;
                }
                vq36::InitBuffersResult r{};
                r.captureBuffers = reinterpret_cast<std::uintptr_t>(capture_.data());
                r.fSharedJoinedPlaybackBuffersClipped = reinterpret_cast<std::uintptr_t>(clipped_.data());
                r.fSharedJoinedPlaybackBuffersUnclipped =
                    reinterpret_cast<std::uintptr_t>(unclipped_.data());
                r.asioInfo = reinterpret_cast<std::uintptr_t>(info());
                r.clientSlot = kClientSlot;
                if (out != nullptr && outSize >= sizeof r) std::memcpy(out, &r, sizeof r);
                return true;
            }
            case vq36::kIoCtlGetAsioInfo: {
                const std::uint64_t address = reinterpret_cast<std::uintptr_t>(info());
                if (out != nullptr && outSize >= 8) std::memcpy(out, &address, 8);
                return true;
            }
            case vq36::kIoCtlNegotiatePriority: {
                int index = 0;
                {
                    std::lock_guard lock(mutex_);
                    index = static_cast<int>(negotiations_.size());
                    negotiations_.push_back({call.words[0], call.words[1]});
                }
                if (failAtCall.load() >= 0 && index >= failAtCall.load()) {
                    *result = FALSE;
                    *error = ERROR_INVALID_PARAMETER;
                    return true;
                }
                std::uint32_t reply[2] = {index == restartAtCall.load() ? 1u : 0u, 0x1B0};
                if (reply[0] == 0 && call.words[1] != 0) vq36::Store8(&info()->priorityOffsetKnown, 1);
                if (out != nullptr && outSize >= 8) std::memcpy(out, reply, 8);
                return true;
            }
            case vq36::kIoCtlSavePriorityOffset:
                ++saves_;
                return true;
            case vq36::kIoCtlSendMessage:
                if (call.message == vq36::kDeviceMsgStreaming && call.operation == 1) {
                    std::lock_guard lock(mutex_);
                    streaming_.push_back(call.value);
                }
                if (out != nullptr) std::memset(out, 0, outSize);
                return true;
            default:
                if (out != nullptr) std::memset(out, 0, outSize);
                return true;
        }
    }

    std::unique_ptr<unsigned char[]> record_;
    std::vector<float> capture_, clipped_, unclipped_;
    HANDLE event_ = nullptr;
    std::mutex mutex_;
    std::vector<NegotiationCall> negotiations_;
    std::vector<DWORD> streaming_;
    std::atomic<int> saves_{0};
    std::atomic<int> initCalls_{0};
    std::atomic<bool> gone_{false};
};

// ---- The host ------------------------------------------------------------------------------
// ASIO callbacks carry no context: one host for the program.

struct TestHost {
    std::atomic<AAsio*> driver{nullptr};
    std::atomic<bool> supportsTimeInfo{false};
    std::atomic<bool> callOutputReady{false};
    std::atomic<bool> overwriteAfterOutputReady{false};
    std::atomic<int> switches{0};
    std::atomic<int> resets{0};
    std::mutex mutex;
    std::vector<LONG> indices;
    std::vector<ASIOTime> times;

    void reset() {
        driver = nullptr;
        supportsTimeInfo = false;
        callOutputReady = false;
        overwriteAfterOutputReady = false;
        switches = 0;
        resets = 0;
        std::lock_guard lock(mutex);
        indices.clear();
        times.clear();
    }
    std::vector<LONG> switchIndices() {
        std::lock_guard lock(mutex);
        return indices;
    }
};
TestHost gHost;

// Output channel 0 of each block carries the switch's number in every frame.
void onSwitch(LONG index) {
    const int number = gHost.switches.load() + 1;
    if (AAsio* d = gHost.driver.load()) {
        const LONG s = d->blockSize;
        float* half = d->playbackBuffers + static_cast<std::size_t>(index) * s;  // channel 0
        for (LONG f = 0; f < s; ++f) half[f] = static_cast<float>(number);
        if (gHost.callOutputReady.load()) {
            static_cast<IASIO*>(d)->outputReady();
            if (gHost.overwriteAfterOutputReady.load())
                for (LONG f = 0; f < s; ++f) half[f] = -1.0f;
        }
    }
    {
        std::lock_guard lock(gHost.mutex);
        gHost.indices.push_back(index);
    }
    gHost.switches.fetch_add(1);
}

void hostBufferSwitch(LONG index, ASIOBool) {
    onSwitch(index);
}

ASIOTime* hostBufferSwitchTimeInfo(ASIOTime* time, LONG index, ASIOBool) {
    {
        std::lock_guard lock(gHost.mutex);
        gHost.times.push_back(*time);
    }
    onSwitch(index);
    return nullptr;
}

LONG hostMessage(LONG selector, LONG, void*, double*) {
    if (selector == kAsioSupportsTimeInfo) return gHost.supportsTimeInfo.load() ? 1 : 0;
    if (selector == kAsioResetRequest) {
        gHost.resets.fetch_add(1);
        return 1;
    }
    return 0;
}

ASIOCallbacks gCallbacks = {hostBufferSwitch, nullptr, hostMessage, hostBufferSwitchTimeInfo};

// A driver object as a host holds it: through IASIO.
class Driver {
  public:
    Driver() {
        HRESULT hr = S_OK;
        CUnknown* unknown = AAsio::CreateInstance(nullptr, &hr);
        object_ = static_cast<AAsio*>(unknown);
        if (unknown != nullptr) {
            unknown->NonDelegatingQueryInterface(CLSID_VexaAsioVq36,
                                                 reinterpret_cast<void**>(&asio_));
        }
    }
    ~Driver() { release(); }
    void release() {
        if (asio_ != nullptr) asio_->Release();
        asio_ = nullptr;
        object_ = nullptr;
    }
    IASIO* operator->() { return asio_; }
    AAsio* object() { return object_; }

  private:
    AAsio* object_ = nullptr;
    IASIO* asio_ = nullptr;
};

class DriverObjectTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        gHost.reset();
        startMachine();
        kernel.install();
    }
    void TearDown() override {
        gHost.reset();
        gMonitorRestartCount.store(0);
        LinkTest::TearDown();
    }

    // init, createBuffers for outputs 0 and 1 at the kernel's size, start.
    void startStreaming(Driver& d, LONG blockSize = 48) {
        gHost.driver = d.object();
        ASSERT_EQ(d->init(nullptr), ASIOTrue);
        ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        ASSERT_EQ(d->createBuffers(buffers, 2, blockSize, &gCallbacks), ASE_OK);
        ASSERT_EQ(d->start(), ASE_OK);
        // The thread has told the kernel that it streams and waits for the next boundary.
        ASSERT_TRUE(eventually([&] { return !kernel.streamingMessages().empty(); }));
        ASSERT_TRUE(eventually([&] { return logHas("clientProcessedBlockCount ("); }));
    }

    // One boundary and the switch it brings.
    void step() {
        const int before = gHost.switches.load();
        kernel.boundary();
        ASSERT_TRUE(eventually([&] { return gHost.switches.load() == before + 1; }));
    }

    FakeKernel kernel;
};

// ---- Queries and the order of calls --------------------------------------------------------

TEST_F(DriverObjectTest, QueriesAnswerTheDevicesFixedFormat) {
    Driver d;
    char name[32] = {};
    d->getDriverName(name);
    EXPECT_STREQ(name, "Vexa VQ36");
    EXPECT_EQ(d->getDriverVersion(), 1);
    LONG inputs = 0, outputs = 0;
    EXPECT_EQ(d->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 12);
    EXPECT_EQ(outputs, 10);

    EXPECT_EQ(d->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_TRUE(logHas("canSampleRate: 44100 unavailable (non-master)"));
    EXPECT_EQ(d->canSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(d->setSampleRate(48000.0), ASE_OK);
    EXPECT_TRUE(logHas("setSampleRate: no change, already 48000"));
    EXPECT_EQ(d->setSampleRate(96000.0), ASE_NoClock);
    EXPECT_TRUE(logHas("Can't set sample rate to invalid value: 96000"));
    ASIOSampleRate rate = 0;
    EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);

    ASIOClockSource clocks[4] = {};
    LONG count = 4;
    EXPECT_EQ(d->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_EQ(d->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(d->setClockSource(0), ASE_OK);
    EXPECT_EQ(d.object()->asioTime.timeInfo.flags & kClockSourceChanged, ULONG{kClockSourceChanged});

    ASIOChannelInfo info{};
    info.channel = 11;
    info.isInput = ASIOTrue;
    EXPECT_EQ(d->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "VQ36 Input 12");
    EXPECT_EQ(info.type, ASIOSTFloat32LSB);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info.channel = 9;
    info.isInput = ASIOFalse;
    EXPECT_EQ(d->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "VQ36 Output 10");
    for (auto [channel, input] : {std::pair{12, true}, {10, false}, {-1, true}, {-1, false}}) {
        ASIOChannelInfo bad{};
        bad.channel = channel;
        bad.isInput = input ? ASIOTrue : ASIOFalse;
        std::strcpy(bad.name, "untouched");
        EXPECT_EQ(d->getChannelInfo(&bad), ASE_InvalidParameter) << channel;
        EXPECT_STREQ(bad.name, "untouched");
    }
    EXPECT_EQ(d->getChannelInfo(nullptr), ASE_InvalidParameter);
}

TEST_F(DriverObjectTest, FutureSelectorsAndTheirResults) {
    Driver d;
    EXPECT_EQ(d->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(d.object()->tcRead, 1);
    EXPECT_EQ(d->future(kAsioDisableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(d.object()->tcRead, 0);
    for (LONG s : {kAsioSetInputMonitor, kAsioCanInputMonitor, kAsioCanTimeInfo, kAsioCanTimeCode})
        EXPECT_EQ(d->future(s, nullptr), ASE_SUCCESS) << s;
    for (LONG s : {0, 4, 5, 6, 7, 8, 12, 13, 1000})
        EXPECT_EQ(d->future(s, nullptr), ASE_NotPresent) << s;
    EXPECT_EQ(d.object()->useBuiltInDialog, 0);
    EXPECT_EQ(d->future(kAsioFutureUseBuiltInDialog, nullptr), ASE_SUCCESS);
    EXPECT_EQ(d.object()->useBuiltInDialog, 1);
    EXPECT_EQ(d->controlPanel(), ASE_OK);
    EXPECT_FALSE(logHas("CP launch path"));
}

TEST_F(DriverObjectTest, SamplePositionAboveFourBillionUsesBothWords) {
    Driver d;
    d.object()->samplePosition = 6000000000.0;
    d.object()->systemTimeHi = 7;
    d.object()->systemTimeLo = 8;
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(d->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.hi, 1u);
    EXPECT_EQ(position.lo, 1705032704u);
    EXPECT_EQ(stamp.hi, 7u);
    EXPECT_EQ(stamp.lo, 8u);
    d.object()->samplePosition = 4294967295.0;
    EXPECT_EQ(d->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.hi, 0u);
    EXPECT_EQ(position.lo, 4294967295u);
}

TEST_F(DriverObjectTest, BufferSizeFollowsTheSettingWhileTheBlockSizeKeepsTheHostsSize) {
    Driver d;
    storeSetting("BufferSizeMillisecs", 6);
    LONG minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    EXPECT_EQ(d->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minimum, 96);
    EXPECT_EQ(maximum, 96);
    EXPECT_EQ(preferred, 96);
    EXPECT_EQ(granularity, 1);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffer{ASIOFalse, 0, {}};
    // A size other than the setting's is accepted and only logged.
    ASSERT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
    EXPECT_TRUE(logHas("Tried to create buffers with wrong/old buffer size (96, 48)"));
    EXPECT_EQ(d.object()->blockSize, 48);
    LONG in = 0, out = 0;
    d->getLatencies(&in, &out);
    EXPECT_EQ(in, 48);
    EXPECT_EQ(out, 96);
    storeSetting("BufferSizeMillisecs", 9);
    EXPECT_EQ(d->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 144);
    EXPECT_EQ(d.object()->blockSize, 48);
}

TEST_F(DriverObjectTest, CallsOutOfOrderAreRefused) {
    Driver d;
    // start before createBuffers.
    EXPECT_EQ(d->start(), ASE_NotPresent);
    // createBuffers before init: no thread to map the buffers; buffersCreated stays set.
    ASIOBufferInfo buffer{ASIOFalse, 0, {}};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_InvalidMode);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(d.object()->buffersCreated, 1);
    EXPECT_EQ(d.object()->callbacks, nullptr);
    // After a dispose, start is refused again.
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASSERT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
    EXPECT_EQ(d->start(), ASE_OK);
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    EXPECT_EQ(d.object()->started, 0);
    EXPECT_EQ(d->start(), ASE_NotPresent);
    EXPECT_EQ(d->stop(), ASE_OK);
    // Sizes no buffer region holds, and a host without callbacks, are refused up front.
    EXPECT_EQ(d->createBuffers(&buffer, 1, 0, &gCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(&buffer, 1, 3001, &gCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(&buffer, 1, 48, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(nullptr, 1, 48, &gCallbacks), ASE_InvalidParameter);
}

TEST_F(DriverObjectTest, CreateBuffersHandsOutHalvesAndRefusesTheThirteenthInput) {
    Driver d;
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    std::vector<ASIOBufferInfo> buffers;
    for (LONG c = 0; c < 12; ++c) buffers.push_back({ASIOTrue, c, {}});
    buffers.push_back({ASIOTrue, 5, {}});
    EXPECT_EQ(d->createBuffers(buffers.data(), 13, 48, &gCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(d.object()->callbacks, nullptr);
    float* record = kernel.capture();
    for (LONG c = 0; c < 12; ++c) {
        EXPECT_EQ(buffers[c].buffers[0], record + 2 * c * 48) << c;
        EXPECT_EQ(buffers[c].buffers[1], record + (2 * c + 1) * 48) << c;
    }

    ASIOBufferInfo good[3] = {{ASIOTrue, 2, {}}, {ASIOFalse, 9, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(d->createBuffers(good, 3, 48, &gCallbacks), ASE_OK);
    EXPECT_EQ(good[0].buffers[1], record + 5 * 48);
    EXPECT_EQ(good[1].buffers[0], d.object()->playbackBuffers + 18 * 48);
    ASIOChannelInfo info{};
    info.channel = 2;
    info.isInput = ASIOTrue;
    d->getChannelInfo(&info);
    EXPECT_EQ(info.isActive, ASIOTrue);
    info.channel = 3;
    d->getChannelInfo(&info);
    EXPECT_EQ(info.isActive, ASIOFalse);
    ASIOBufferInfo badOutput{ASIOFalse, 10, {}};
    EXPECT_EQ(d->createBuffers(&badOutput, 1, 48, &gCallbacks), ASE_InvalidParameter);
}

TEST_F(DriverObjectTest, ControlPanelStartsTheProgramFromTheInstallFolder) {
    Driver d;
    EXPECT_EQ(d->controlPanel(), ASE_OK);
    EXPECT_TRUE(logHas("CP launch path: \\VexaDeck.exe"));

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char folder[] = "c:\\Program Files\\Vexa";
    RegSetValueExA(key, "InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder),
                   sizeof folder);
    EXPECT_EQ(d->controlPanel(), ASE_OK);
    EXPECT_TRUE(logHas("CP launch path: c:\\Program Files\\Vexa\\VexaDeck.exe"));

    // A folder that leaves no room for the program's name within 260 characters starts nothing.
    const std::string longFolder = "c:\\" + std::string(250, 'x');
    RegSetValueExA(key, "InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(longFolder.c_str()),
                   static_cast<DWORD>(longFolder.size() + 1));
    EXPECT_EQ(d->controlPanel(), ASE_OK);
    EXPECT_TRUE(logHas("CP launch path too long"));
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36");
}

// ---- The streaming thread ------------------------------------------------------------------

TEST_F(DriverObjectTest, TheThreadDeliversEveryBlockWhenTheHostDoesNot) {
    Driver d;
    startStreaming(d);
    EXPECT_EQ(kernel.streamingMessages().front(), 1u);
    for (int i = 0; i < 6; ++i) {
        step();
        const std::uint64_t q = kernel.blockCount();
        const float expected = static_cast<float>(gHost.switches.load());
        ASSERT_TRUE(eventually([&] { return kernel.ringSample(targetRingBlock(q, 10), 7, 0) == expected; }))
            << "block " << q;
        EXPECT_EQ(d.object()->blockCounter, q);
        EXPECT_EQ(d.object()->toggle, static_cast<LONG>(q & 1));
    }
    // The position advances by a block before each switch.
    EXPECT_EQ(d.object()->samplePosition, 6.0 * 48);
    d.release();
    // The end of the thread tells the kernel that the client stopped streaming.
    EXPECT_EQ(kernel.streamingMessages().back(), 0u);
}

TEST_F(DriverObjectTest, AHostThatDeliversInsideItsSwitchDeliversEachBlockOnce) {
    Driver d;
    gHost.callOutputReady = true;
    gHost.overwriteAfterOutputReady = true;
    startStreaming(d);
    for (int i = 0; i < 4; ++i) {
        step();
        const std::uint64_t q = kernel.blockCount();
        const float expected = static_cast<float>(gHost.switches.load());
        // What the host had when it called outputReady is in the ring; its later overwrite is
        // not, because the thread's own call for the block returns at once.
        ASSERT_TRUE(eventually([&] { return kernel.ringSample(targetRingBlock(q, 10), 0, 0) == expected; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(kernel.ringSample(targetRingBlock(q, 10), 0, 0), expected);
    }
}

TEST_F(DriverObjectTest, ALateThreadCatchesUpWithoutOutputForTheOldestBlocks) {
    Driver d;
    startStreaming(d);
    step();
    const std::uint64_t q0 = kernel.blockCount();
    kernel.fillRing(-7.0f, 10 * 48 * kChannels);
    // The kernel is five blocks ahead when the thread wakes.
    kernel.boundary(5);
    ASSERT_TRUE(eventually([&] { return gHost.switches.load() == 6; }));
    const auto indices = gHost.switchIndices();
    ASSERT_EQ(indices.size(), 6u);
    for (std::uint64_t k = 1; k <= 5; ++k) EXPECT_EQ(indices[k], static_cast<LONG>((q0 + k) & 1));
    // Blocks q0+1 .. q0+3 were switched without output; q0+4 and q0+5 were delivered.
    ASSERT_TRUE(eventually([&] { return kernel.ringSample(targetRingBlock(q0 + 5, 10), 0, 0) == 6.0f; }));
    EXPECT_EQ(kernel.ringSample(targetRingBlock(q0 + 4, 10), 0, 0), 5.0f);
    for (std::uint64_t k = 1; k <= 3; ++k)
        EXPECT_EQ(kernel.ringSample(targetRingBlock(q0 + k, 10), 0, 0), -7.0f) << k;
    EXPECT_EQ(vq36::Load32(&kernel.info()->pendingUserSlips), 3u);
}

TEST_F(DriverObjectTest, ABlockSizeChangeGivesOneMoreSwitchAndRepeatedResetRequests) {
    Driver d;
    startStreaming(d);
    step();
    step();
    const std::uint64_t q = kernel.blockCount();
    vq36::Store32(&kernel.info()->blockFrames, 96);
    kernel.signal();
    // One more switch with the current index, and reset requests from the bail-out and from
    // the first stopped pass.
    ASSERT_TRUE(eventually([&] { return gHost.switches.load() == 3 && gHost.resets.load() == 2; }));
    EXPECT_EQ(gHost.switchIndices().back(), static_cast<LONG>(q & 1));
    EXPECT_TRUE(logHas("Bailing, because block frames changed from 48 to 96"));
    EXPECT_EQ(gHost.resets.load(), 2);
    // Then one about every second, and no more switches.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_GE(gHost.resets.load(), 3);
    EXPECT_LE(gHost.resets.load(), 5);
    kernel.boundary();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gHost.switches.load(), 3);
}

TEST_F(DriverObjectTest, KernelStoppingAsksForAResetAndNoSwitchFollows) {
    Driver d;
    startStreaming(d);
    step();
    vq36::Store32(&kernel.info()->isStreamingEnabled, 0);
    kernel.signal();
    ASSERT_TRUE(eventually([&] { return gHost.resets.load() >= 1; }));
    kernel.boundary();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gHost.switches.load(), 1);
    EXPECT_TRUE(logHas("isStreamingStopped:"));
}

TEST_F(DriverObjectTest, ADeviceGoneBeforeTheFirstNotificationStillAsksForResets) {
    // Registered, then the device leaves before start: the kernel never hears that the client
    // started, and the thread must not wait for that for ever.
    Driver d;
    gHost.driver = d.object();
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(d->createBuffers(buffers, 2, 48, &gCallbacks), ASE_OK);
    kernel.remove();
    ASSERT_EQ(d->start(), ASE_OK);
    ASSERT_TRUE(eventually([&] { return gHost.resets.load() >= 2; }, 10000))
        << "resets " << gHost.resets.load();
    EXPECT_TRUE(logHas("Failed to notify driver of starting streaming"));
    EXPECT_EQ(gHost.switches.load(), 0);
}

TEST_F(DriverObjectTest, AStatusMonitorRestartAsksForOneResetPerChange) {
    Driver d;
    startStreaming(d);
    step();
    gMonitorRestartCount.fetch_add(1);
    kernel.signal();  // the thread wakes without a new block
    ASSERT_TRUE(eventually([&] { return gHost.resets.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several timed-out waits
    EXPECT_EQ(gHost.resets.load(), 1);
    gMonitorRestartCount.fetch_add(1);
    ASSERT_TRUE(eventually([&] { return gHost.resets.load() == 2; }));
    // Streaming goes on.
    step();
}

TEST_F(DriverObjectTest, AWakeWithoutABlockResynchronisesAlsoDownwards) {
    Driver d;
    startStreaming(d);
    step();
    step();
    const int switches = gHost.switches.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(gHost.switches.load(), switches) << "a timed-out wait makes no switch";
    // The kernel reset its counters: the thread adopts 0, and block 1 comes next.
    vq36::Store64(&kernel.info()->asioBlockCount, 0);
    kernel.signal();
    ASSERT_TRUE(eventually(
        [&] { return logHas("clientProcessedBlockCount (2) >= asioInfo->asioBlockCount (0)"); }));
    step();
    EXPECT_EQ(d.object()->blockCounter, 1u);
    EXPECT_EQ(gHost.switchIndices().back(), 1);
}

TEST_F(DriverObjectTest, TimeInformationCarriesPositionTimeCodeAndChangeFlags) {
    Driver d;
    gHost.supportsTimeInfo = true;
    ASSERT_EQ(d->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    startStreaming(d);
    EXPECT_EQ(d.object()->timeInfoMode, 1);
    step();
    ASSERT_EQ(d->setClockSource(0), ASE_OK);
    step();
    step();
    std::vector<ASIOTime> times;
    {
        std::lock_guard lock(gHost.mutex);
        times = gHost.times;
    }
    ASSERT_EQ(times.size(), 3u);
    for (std::size_t i = 0; i < times.size(); ++i) {
        const ASIOTime& t = times[i];
        EXPECT_EQ(t.timeInfo.samplePosition.lo, 48u * (i + 1));
        EXPECT_EQ(t.timeInfo.sampleRate, 48000.0);
        EXPECT_EQ(t.timeCode.timeCodeSamples.hi, 0u);
        EXPECT_EQ(t.timeCode.timeCodeSamples.lo, 48u * (i + 1) + 28800000u);
        EXPECT_EQ(t.timeCode.flags, ULONG{kTcValid | kTcRunning});
    }
    EXPECT_EQ(times[0].timeInfo.flags, ULONG{kSystemTimeValid | kSamplePositionValid | kSampleRateValid});
    // The clock-source change is reported once, at the next switch.
    EXPECT_NE(times[1].timeInfo.flags & kClockSourceChanged, 0u);
    EXPECT_EQ(times[2].timeInfo.flags & kClockSourceChanged, 0u);
}

TEST_F(DriverObjectTest, SwitchBuffersBeforeStartChangesNothing) {
    Driver d;
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffer{ASIOFalse, 0, {}};
    ASSERT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
    d.object()->switchBuffers(1);
    EXPECT_EQ(d.object()->toggle, 0);
    EXPECT_EQ(d.object()->samplePosition, 0.0);
    EXPECT_EQ(gHost.switches.load(), 0);
}

TEST_F(DriverObjectTest, ARegistrationThatComesTooLateFailsCreateBuffersAfterAboutTwoSeconds) {
    kernel.initBuffersDelayMs = 3000;
    Driver d;
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffer{ASIOFalse, 0, {}};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_InvalidMode);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::milliseconds(2900));
    // Once the thread has the buffers, a second createBuffers returns at once.
    ASSERT_TRUE(eventually([&] { return d.object()->buffersReady == 1; }));
    EXPECT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
}

TEST_F(DriverObjectTest, AFailedRegistrationClearsTheBuffersAndIsTriedAgain) {
    kernel.failInitBuffers = true;
    Driver d;
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffer{ASIOFalse, 0, {}};
    EXPECT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_InvalidMode);
    EXPECT_EQ(d.object()->buffersCreated, 0);
    EXPECT_TRUE(logHas("Failure in kIoCtlInitBuffers, so bailing"));
    kernel.failInitBuffers = false;
    EXPECT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
    // The device link tries a failing request a few times; the thread tries again only when
    // the host creates buffers again.
    const int failed = kernel.initBuffersCalls() - 1;
    EXPECT_GE(failed, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(kernel.initBuffersCalls(), failed + 1);
}

TEST_F(DriverObjectTest, DestroyingWithoutDisposeAsksTheHostForAReset) {
    Driver d;
    startStreaming(d);
    step();
    d.release();
    EXPECT_EQ(gHost.resets.load(), 1);
    EXPECT_TRUE(logHas("Finished disposing of AAsio instance"));
    EXPECT_EQ(uGetOpenWrapperCount(), 0u);
}

// ---- Priority negotiation ------------------------------------------------------------------

TEST_F(DriverObjectTest, AKnownPriorityOffsetIsOnlySaved) {
    vq36::Store8(&kernel.info()->priorityOffsetKnown, 1);
    Driver d;
    startStreaming(d);
    step();
    EXPECT_TRUE(kernel.negotiations().empty());
    EXPECT_EQ(kernel.saves(), 1);
    // The deadline of the client's slot is 1.5 blocks after the last boundary, in 32-bit
    // integer steps: 72 samples / 48 per millisecond = 1 ms = 10,000 units of 100 ns.
    ASSERT_TRUE(eventually([&] {
        return vq36::Load64(&kernel.info()->clientDeadline[kClientSlot]) ==
               vq36::Load64(&kernel.info()->lastBlockTime) + 10000;
    }));
}

TEST_F(DriverObjectTest, ARestartAtStepSevenRunsStepsOneToNineteenAgain) {
    kernel.restartAtCall = 7;
    Driver d;
    startStreaming(d);
    step();
    const auto calls = kernel.negotiations();
    ASSERT_EQ(calls.size(), 8u + 19u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(calls[i].timeCritical, i & 1) << i;
        EXPECT_EQ(calls[i].lastRound, 0u) << i;
    }
    for (std::size_t step = 1; step <= 19; ++step) {
        EXPECT_EQ(calls[7 + step].timeCritical, step & 1) << step;
        EXPECT_EQ(calls[7 + step].lastRound, step == 19 ? 1u : 0u) << step;
    }
    EXPECT_TRUE(logHas("Negotiating elevated priority: needs loop restart"));
    EXPECT_TRUE(logHas("successfully found _KTHREAD.Priority at offset: 0x1b0"));
    EXPECT_EQ(kernel.saves(), 1);
    EXPECT_EQ(GetThreadPriority(d.object()->streamingThread), THREAD_PRIORITY_TIME_CRITICAL);
}

TEST_F(DriverObjectTest, AFailedFirstStepLeavesNormalPriorityAndSavesNothing) {
    kernel.failAtCall = 0;
    Driver d;
    startStreaming(d);
    step();
    // Only step 0 was tried (the device link repeats a failing request a few times).
    for (const auto& call : kernel.negotiations()) EXPECT_EQ(call.timeCritical, 0u);
    EXPECT_FALSE(kernel.negotiations().empty());
    EXPECT_EQ(kernel.saves(), 0);
    EXPECT_TRUE(logHas("Bad result from negotiate thread priority IOCTL"));
    EXPECT_EQ(GetThreadPriority(d.object()->streamingThread), THREAD_PRIORITY_NORMAL);
}

TEST_F(DriverObjectTest, RealTimeOffMeansNoNegotiationAndNoDeadline) {
    storeSetting("IsRealTimeEnabled", 0);
    Driver d;
    startStreaming(d);
    step();
    EXPECT_TRUE(kernel.negotiations().empty());
    EXPECT_EQ(kernel.saves(), 0);
    EXPECT_EQ(vq36::Load64(&kernel.info()->clientDeadline[kClientSlot]), 0u);
}

// ---- The statistics thread -------------------------------------------------------------------

TEST_F(DriverObjectTest, StatisticsAreTakenOutOfTheRecordAndPrinted) {
    vq36::Store32(&kernel.info()->statistics.readsOk, 1234);
    vq36::Store32(&kernel.info()->statistics.rdReqError, 0xC0DE);
    vq36::Store32(&kernel.info()->statistics.estSampleRate, 48000);
    vq36::Store32(&kernel.info()->statistics.uframeSamples.values[2], 77);
    Driver d;
    startStreaming(d);
    ASSERT_TRUE(eventually([&] { return logHas("(THIS RUN)"); }));
    EXPECT_TRUE(logHas("reads:               1234/0/0"));
    EXPECT_TRUE(logHas("rd req error:        c0de"));
    EXPECT_TRUE(logHas("est. sample rate:    48000"));
    // Every printed piece is a whole line of the log, prefix and line end included.
    EXPECT_TRUE(logHas("VQ36: \nuframe samples: 0,0,77,0,0,0,0,0,0,0,\n"));
    EXPECT_TRUE(logHas("VQ36: \nread req samples: 0,0,0,0,0,0,0,0,0,0,\n"));
    EXPECT_TRUE(logHas("VQ36: \n\n\nVQ36: (THIS RUN)"));
    // The block in the record was cleared.
    EXPECT_EQ(vq36::Load32(&kernel.info()->statistics.readsOk), 0u);
}

// ---- outputReady on the object ------------------------------------------------------------

TEST_F(DriverObjectTest, OutputReadyBeforeRegistrationIsInvalidModeAndOncePerBlock) {
    Driver d;
    EXPECT_EQ(d->outputReady(), ASE_InvalidMode);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffer{ASIOFalse, 3, {}};
    ASSERT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
    AAsio* o = d.object();
    o->blockCounter = 2;  // ring block 5, half 0
    static_cast<float*>(buffer.buffers[0])[0] = 0.5f;
    o->outputDelivered = 0;
    EXPECT_EQ(d->outputReady(), ASE_OK);
    EXPECT_EQ(kernel.ringSample(5, 0, 3), 0.5f);
    static_cast<float*>(buffer.buffers[0])[0] = 0.25f;
    EXPECT_EQ(d->outputReady(), ASE_OK);
    EXPECT_EQ(kernel.ringSample(5, 0, 3), 0.5f);
}

TEST_F(DriverObjectTest, OutputReadyFromTwoThreadsAtOnceDeliversTheBlockOnce) {
    Driver d;
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    ASIOBufferInfo buffer{ASIOFalse, 0, {}};
    ASSERT_EQ(d->createBuffers(&buffer, 1, 48, &gCallbacks), ASE_OK);
    AAsio* o = d.object();
    o->blockCounter = 2;  // ring block 5
    // Three joined clients: this one's delivery never completes the block, so the block's
    // delivery count shows how often it was delivered.
    vq36::Store32(&kernel.info()->joinedClientCount, 3);
    std::uint32_t* count = &kernel.info()->blockDeliveryCount[5];

    // The host's thread and the streaming thread's call, released together each round by one
    // store that both spin on (so that they meet within the check of the flag).
    constexpr int kRounds = 20000;
    std::atomic<int> go{0};
    std::atomic<int> calls{0};
    auto caller = [&] {
        for (int r = 1; r <= kRounds; ++r) {
            while (go.load(std::memory_order_acquire) < r) __builtin_ia32_pause();
            d->outputReady();
            calls.fetch_add(1, std::memory_order_acq_rel);
        }
    };
    std::thread host(caller), streaming(caller);
    int twice = 0;
    for (int r = 1; r <= kRounds; ++r) {
        o->outputDelivered = 0;
        vq36::Store32(count, 0);
        go.store(r, std::memory_order_release);
        while (calls.load(std::memory_order_acquire) < 2 * r) __builtin_ia32_pause();
        if (vq36::Load32(count) != 1) ++twice;
    }
    host.join();
    streaming.join();
    EXPECT_EQ(twice, 0) << "rounds whose block was delivered twice";
}

}  // namespace
