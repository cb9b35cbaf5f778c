// The ASIO host: drivers in the registry, the driver through COM, the buffer switch and its
// measurements, reset requests (see asio_host.h).

#include "asio_host.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "asio/iasio.h"
#include "public/vq36_shared.h"
#include "standin/vq36/protocol.h"
#include "standin/win32/com_host.h"
#include "stream_client.h"
#include "win32/windows.h"

namespace vq36host {

// ---- Drivers in the registry -----------------------------------------------------------------

namespace {

constexpr const char* kAsioKey = "SOFTWARE\\ASIO";

// A string value (REG_SZ, stored with or without its terminating zero); false when missing.
bool readString(HKEY root, const std::string& path, const char* name, std::string* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
              type == REG_SZ;
    std::vector<char> data(size + 1, '\0');
    if (ok) {
        ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()),
                              &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    if (!ok) return false;
    data[std::min<std::size_t>(size, data.size() - 1)] = '\0';
    *value = data.data();  // up to the first zero
    return true;
}

DriverEntry entryOf(const std::string& name) {
    DriverEntry e;
    e.name = name;
    const std::string path = std::string(kAsioKey) + "\\" + name;
    readString(HKEY_LOCAL_MACHINE, path, "CLSID", &e.clsid);
    readString(HKEY_LOCAL_MACHINE, path, "Description", &e.description);
    if (!e.clsid.empty()) {
        readString(HKEY_CLASSES_ROOT, "CLSID\\" + e.clsid + "\\InprocServer32", nullptr,
                   &e.serverPath);
    }
    return e;
}

bool classIdOf(const std::string& text, CLSID* clsid) {
    WCHAR wide[64] = {};
    if (text.empty() || text.size() >= 60 ||
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 64) == 0) {
        return false;
    }
    return CLSIDFromString(wide, clsid) == S_OK;
}

std::string hex(long v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08lx", static_cast<unsigned long>(v) & 0xFFFFFFFFul);
    return b;
}

}  // namespace

std::vector<DriverEntry> listDrivers(std::string* error) {
    std::vector<DriverEntry> drivers;
    auto unreadable = [error](LONG code) {
        if (error != nullptr)
            *error = "the registry could not be read (error " + std::to_string(code) + ")";
    };
    HKEY key = nullptr;
    if (LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_READ, &key);
        rc != ERROR_SUCCESS) {
        if (rc != ERROR_FILE_NOT_FOUND) unreadable(rc);  // a missing key: none registered
        return drivers;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        if (LONG rc = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            rc != ERROR_SUCCESS) {
            if (rc != ERROR_NO_MORE_ITEMS) unreadable(rc);
            break;
        }
        drivers.push_back(entryOf(std::string(name, std::min<DWORD>(length, sizeof name - 1))));
    }
    RegCloseKey(key);
    return drivers;
}

bool findDriver(const std::string& name, DriverEntry* entry, std::string* error) {
    HKEY key = nullptr;
    const std::string path = std::string(kAsioKey) + "\\" + name;
    if (name.empty() || name.find('\\') != std::string::npos ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        *error = "no ASIO driver named \"" + name + "\" is registered";
        return false;
    }
    RegCloseKey(key);
    *entry = entryOf(name);
    if (entry->clsid.empty()) {
        *error = "the ASIO driver \"" + name + "\" has no CLSID value";
        return false;
    }
    return true;
}

IASIO* createDriverObject(const DriverEntry& entry, std::string* error) {
    CLSID clsid{};
    if (!classIdOf(entry.clsid, &clsid)) {
        *error = "bad CLSID value \"" + entry.clsid + "\" of the driver " + entry.name;
        return nullptr;
    }
    IASIO* a = nullptr;
    const HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&a));
    if (FAILED(hr) || a == nullptr) {
        *error = "CoCreateInstance failed: " + hex(hr);
        return nullptr;
    }
    return a;
}

// ---- Measurements ----------------------------------------------------------------------------

void BoundaryTimes::look(std::uint64_t count, std::int64_t time) {
    if (known_ && count < count_) known_ = false;  // the kernel counts from the start again
    if ((known_ && count_ + 1 == count && time != time_) ||
        (looked_ && lookCount_ == count && lookTime_ != time))
        settle(count, time);
    looked_ = true;
    lookCount_ = count;
    lookTime_ = time;
}

bool BoundaryTimes::boundary(std::uint64_t count, std::int64_t* time) const {
    if (!known_ || count_ != count) return false;
    *time = time_;
    return true;
}

void BoundaryTimes::settle(std::uint64_t count, std::int64_t time) {
    known_ = true;
    count_ = count;
    time_ = time;
}

void LateSwitches::add(std::uint64_t countAtStart, std::uint64_t switchesBefore) {
    const auto offset = static_cast<std::int64_t>(countAtStart - switchesBefore);
    if (!started_) {
        started_ = true;
        first_ = offset;
    }
    const std::int64_t i =
        std::clamp<std::int64_t>(offset - first_ + kBelow, 0, static_cast<std::int64_t>(kSpan) - 1);
    byOffset_[static_cast<std::size_t>(i)] += 1;
}

std::uint64_t LateSwitches::lateInRun() const {
    std::uint64_t late = 0;
    bool onTimeSeen = false;
    for (std::uint64_t n : byOffset_) {
        if (onTimeSeen) late += n;
        onTimeSeen = onTimeSeen || n != 0;
    }
    return late;
}

void LateSwitches::restart() {
    earlierRuns_ += lateInRun();
    byOffset_.fill(0);
    started_ = false;
}

std::uint64_t LateSwitches::total() const {
    return earlierRuns_ + lateInRun();
}

namespace {

// Microsecond figures in 1 µs steps up to 100 ms (longer ones in the last step); the maximum
// is kept exactly. Fixed size: the buffer switch adds to it without allocating.
class Histogram {
  public:
    Histogram() : bins_(kBins, 0) {}
    void add(double us) {
        if (!(us >= 0.0)) us = 0.0;
        const auto bin = static_cast<std::size_t>(std::min(us, static_cast<double>(kBins - 1)));
        bins_[bin] += 1;
        count_ += 1;
        max_ = std::max(max_, us);
    }
    std::uint64_t count() const { return count_; }
    double max() const { return max_; }
    // Nearest rank, to the step; the maximum for the last rank.
    double percentile(double p) const {
        if (count_ == 0) return 0.0;
        auto rank = static_cast<std::uint64_t>(std::ceil(p / 100.0 * static_cast<double>(count_)));
        rank = std::clamp<std::uint64_t>(rank, 1, count_);
        if (rank == count_) return max_;
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kBins; ++i) {
            seen += bins_[i];
            if (seen >= rank) return static_cast<double>(i);
        }
        return max_;
    }

  private:
    static constexpr std::size_t kBins = 100001;
    std::vector<std::uint32_t> bins_;
    std::uint64_t count_ = 0;
    double max_ = 0.0;
};

// Interleaved samples from the buffer switch to the host's thread: one writer, one reader.
class SampleRing {
  public:
    void reset(std::size_t capacity) {
        data_.assign(capacity, 0.0f);
        head_ = 0;
        tail_ = 0;
        dropped_ = 0;
    }
    // All of `count` or nothing.
    void push(const float* samples, std::size_t count) {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        const std::uint64_t tail = tail_.load(std::memory_order_acquire);
        if (data_.empty() || head - tail + count > data_.size()) {
            dropped_.fetch_add(count, std::memory_order_relaxed);
            return;
        }
        for (std::size_t i = 0; i < count; ++i) data_[(head + i) % data_.size()] = samples[i];
        head_.store(head + count, std::memory_order_release);
    }
    // Everything there is, in order.
    template <class F>
    void drain(F&& sink) {
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        while (tail < head) {
            const std::size_t at = tail % data_.size();
            const std::size_t n = std::min<std::uint64_t>(head - tail, data_.size() - at);
            sink(data_.data() + at, n);
            tail += n;
        }
        tail_.store(tail, std::memory_order_release);
    }
    std::uint64_t dropped() const { return dropped_.load(); }

  private:
    std::vector<float> data_;
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

// The kernel driver's shared record through a handle of its own that maps nothing else.
class RecordView {
  public:
    ~RecordView() { close(); }
    bool open() {
        for (const std::string& path : vq36tools::vq36InterfacePaths()) {
            handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
            if (handle_ == INVALID_HANDLE_VALUE) continue;
            std::uint64_t address = 0;
            DWORD bytes = 0;
            if (DeviceIoControl(handle_, vq36::kIoCtlGetAsioInfo, nullptr, 0, &address,
                                sizeof address, &bytes, nullptr) &&
                bytes == sizeof address && address != 0) {
                info = reinterpret_cast<vq36::AsioInfo*>(static_cast<std::uintptr_t>(address));
                return true;
            }
            close();
        }
        return false;
    }
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        info = nullptr;
    }

    vq36::AsioInfo* info = nullptr;

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::int64_t now100ns() {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr long kMaxBufferFrames = 3000;  // no driver half is longer here
// The buffer switch that looks at its thread's scheduling class.
constexpr std::uint64_t kSchedulingSampleBlock = 100;
constexpr auto kRecreatePause = std::chrono::milliseconds(500);
constexpr std::size_t kRecordRingSeconds = 8;

}  // namespace

// ---- The host --------------------------------------------------------------------------------

class AsioHostImpl {
  public:
    ~AsioHostImpl();
    bool start(const HostOptions& options, std::string* error);
    bool serve(long ms, std::string* error);
    bool stop(std::string* error);
    StreamReport report() const;
    bool hasBlock() const { return blocks_.load() > 0; }
    std::uint64_t blocks() const { return blocks_.load(); }
    std::uint64_t resets() const { return resets_.load(); }

  private:
    static void bufferSwitch(LONG index, ASIOBool directProcess);
    static ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, LONG index, ASIOBool directProcess);
    static void sampleRateDidChange(ASIOSampleRate rate);
    static LONG asioMessage(LONG selector, LONG value, void* message, double* opt);

    void onBufferSwitch(LONG index);
    // The device-clock latency of the switch that started at t (see HostOptions).
    void measureFromDeviceClock(std::int64_t t, LONG index, long size);
    bool createDriver(std::string* error);
    // Creates the driver again; a failure leaves the host trying every kRecreatePause, and
    // only after kRecreateLimit of failures is it an error (false).
    bool recreate(std::string* error);
    void releaseDriver();
    void drainRecording();

    HostOptions options_;
    DriverEntry entry_;
    bool comInitialised_ = false;
    bool running_ = false;
    ASIOCallbacks callbacks_{&bufferSwitch, &sampleRateDidChange, &asioMessage,
                             &bufferSwitchTimeInfo};

    // Set before the driver may call back; read by the buffer switch.
    std::atomic<IASIO*> asio_{nullptr};
    std::vector<ASIOBufferInfo> infos_;  // the outputs, then the inputs
    std::vector<std::unique_ptr<Signal>> signals_;
    std::atomic<long> bufferSize_{0};
    std::vector<float> inputFrames_;  // interleaved scratch of the buffer switch
    bool recording_ = false;
    SampleRing ring_;
    WavWriter wav_;
    RecordView record_;

    // Written by the buffer switch (one driver thread at a time).
    std::atomic<std::uint64_t> blocks_{0};
    std::int64_t lastSwitch_ = -1;
    Histogram intervals_;
    Histogram latencies_;
    std::uint64_t latencyUnmatched_ = 0;
    std::int64_t lastBoundary_ = -1;       // the boundary time the previous switch used
    std::uint64_t lastBoundaryCount_ = 0;  // the kernel's block count when it was read
    BoundaryTimes boundaries_;
    LateSwitches lateSwitches_;
    Histogram deviceLatencies_;
    std::uint64_t deviceLatencyUnmatched_ = 0;
    int switchRealTime_ = 0, switchPriority_ = 0;

    std::atomic<std::uint64_t> resets_{0};
    std::atomic<bool> resetPending_{false};
    std::uint64_t recreations_ = 0;
    bool recreating_ = false;  // the last re-creation failed; another is due at nextRecreate_
    std::chrono::steady_clock::time_point recreateSince_{}, nextRecreate_{};

    // The kernel's figures at stop.
    std::uint64_t userSlips_ = 0, kernUnder_ = 0, kernOver_ = 0, joinedClients_ = 0;
    double estSampleRate_ = 0;
};

namespace {
// The host whose driver calls back: ASIO's callbacks carry no context.
std::atomic<AsioHostImpl*> gActive{nullptr};
}  // namespace

void AsioHostImpl::bufferSwitch(LONG index, ASIOBool) {
    if (AsioHostImpl* h = gActive.load()) h->onBufferSwitch(index);
}

ASIOTime* AsioHostImpl::bufferSwitchTimeInfo(ASIOTime*, LONG index, ASIOBool) {
    if (AsioHostImpl* h = gActive.load()) h->onBufferSwitch(index);
    return nullptr;
}

void AsioHostImpl::sampleRateDidChange(ASIOSampleRate) {}

LONG AsioHostImpl::asioMessage(LONG selector, LONG value, void*, double*) {
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioSelectorSupported || value == kAsioEngineVersion ||
                           value == kAsioResetRequest || value == kAsioSupportsTimeInfo
                       ? 1
                       : 0;
        case kAsioEngineVersion:
            return 2;
        case kAsioResetRequest:
            // Answered by the host's own thread (serve): never from inside the driver's call.
            if (AsioHostImpl* h = gActive.load()) {
                h->resets_.fetch_add(1);
                h->resetPending_.store(true);
            }
            return 1;
        case kAsioSupportsTimeInfo:
            return 1;
        default:
            return 0;
    }
}

void AsioHostImpl::onBufferSwitch(LONG index) {
    const std::int64_t t = now100ns();
    const vq36::AsioInfo* info = record_.info;
    const std::uint64_t startCount = info != nullptr ? vq36::Load64(&info->asioBlockCount) : 0;
    if (index != 0 && index != 1) return;
    if (info != nullptr) lateSwitches_.add(startCount, blocks_.load(std::memory_order_relaxed));
    const long size = bufferSize_.load(std::memory_order_relaxed);
    if (lastSwitch_ >= 0) intervals_.add(static_cast<double>(t - lastSwitch_) / 10.0);
    lastSwitch_ = t;

    const std::size_t outputs = options_.outputs.size();
    for (std::size_t i = 0; i < outputs; ++i) {
        auto* out = static_cast<float*>(infos_[i].buffers[index]);
        if (out != nullptr) signals_[i]->fill(out, static_cast<std::size_t>(size));
    }
    const std::size_t inputs = options_.inputs.size();
    if (recording_ && inputs > 0) {
        for (std::size_t c = 0; c < inputs; ++c) {
            const auto* in = static_cast<const float*>(infos_[outputs + c].buffers[index]);
            for (long f = 0; f < size; ++f) {
                inputFrames_[static_cast<std::size_t>(f) * inputs + c] =
                    in != nullptr ? in[f] : 0.0f;
            }
        }
        ring_.push(inputFrames_.data(), static_cast<std::size_t>(size) * inputs);
    }
    if (options_.outputReady) {
        if (IASIO* a = asio_.load()) a->outputReady();
    }

    // The switch measures from its own block's boundary. The half it got tells the block's
    // parity: the block is the count read at the switch's start when the parities agree (the
    // switch is on time), else the one before. The kernel stores a boundary's time after it has
    // signalled all its clients, so a switch on time may end first: it waits for the time (a
    // quarter block at most). A switch behind the count takes the newest time no switch used.
    if (info != nullptr) {
        const std::int64_t period = static_cast<std::int64_t>(size) * 10000000 / 48000;
        std::uint64_t count = 0;
        std::int64_t time = 0;
        auto look = [&] {
            for (int tries = 0; tries < 4; ++tries) {
                count = vq36::Load64(&info->asioBlockCount);
                time = static_cast<std::int64_t>(vq36::Load64(&info->lastBlockTime));
                if (vq36::Load64(&info->asioBlockCount) == count) {
                    boundaries_.look(count, time);
                    return;
                }
            }
        };
        look();
        const std::int64_t limit = now100ns() + period / 4;
        std::int64_t boundary = -1;
        if (((startCount ^ static_cast<std::uint64_t>(index)) & 1) == 0) {
            while (!boundaries_.boundary(startCount, &boundary) && count == startCount) {
                if (now100ns() >= limit) {
                    boundaries_.settle(count, time);
                    boundary = time;
                    break;
                }
                std::this_thread::yield();
                look();
            }
        } else {
            // Only while the count says a new boundary is on its way: a switch that catches up
            // on a block it missed has no boundary to wait for, and spinning there would burn
            // the processor that a lagging client and everyone else needs.
            while (time == lastBoundary_ && count != lastBoundaryCount_ && now100ns() < limit) {
                std::this_thread::yield();
                look();
            }
            boundary = time;
        }
        const std::int64_t d = t - boundary;
        if (boundary >= 0 && boundary != lastBoundary_ && d >= 0 && d < 2 * period) {
            latencies_.add(static_cast<double>(d) / 10.0);
        } else {
            latencyUnmatched_ += 1;
        }
        if (boundary >= 0) lastBoundary_ = boundary;
        lastBoundaryCount_ = count;
    } else {
        latencyUnmatched_ += 1;
    }
    if (options_.deviceClockRate > 0) measureFromDeviceClock(t, index, size);
    if (blocks_.load(std::memory_order_relaxed) == kSchedulingSampleBlock) {
        // The class the driver's thread got, once it runs steadily (after its first blocks).
        sched_param param{};
        int policy = SCHED_OTHER;
        if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) {
            switchRealTime_ = policy == SCHED_FIFO || policy == SCHED_RR ? 1 : 0;
            switchPriority_ = param.sched_priority;
        }
    }
    blocks_.fetch_add(1, std::memory_order_release);
}

void AsioHostImpl::measureFromDeviceClock(std::int64_t t, LONG index, long size) {
    // The half of the first input holds the block's frames as the device's counting signal
    // numbered them (modulo 2^20). A half that is not one run of consecutive frames (another
    // signal, or a switch so late that the kernel is writing the half again) is not measured.
    constexpr std::uint64_t kSpan = 1u << 20;
    const auto* in = static_cast<const float*>(infos_[options_.outputs.size()].buffers[index]);
    const auto first = standin::vq36::decodeCountingSample(in[0]);
    const auto last = standin::vq36::decodeCountingSample(in[size - 1]);
    if (!first || !last || first->channel != last->channel ||
        (first->frameModulo + static_cast<std::uint64_t>(size) - 1) % kSpan != last->frameModulo) {
        deviceLatencyUnmatched_ += 1;
        return;
    }
    // The block's last frame is the latest frame of that number that the device's clock has
    // reached by t; the clock passed it when it reached the frame after it.
    const double perFrame = 1e7 / options_.deviceClockRate;  // 100 ns units
    const double reached = static_cast<double>(t - options_.deviceClockOrigin) / perFrame;
    if (!(reached >= 0)) {
        deviceLatencyUnmatched_ += 1;
        return;
    }
    const auto now = static_cast<std::uint64_t>(reached);
    const std::uint64_t back = (now - last->frameModulo) % kSpan;
    if (back > now) {
        deviceLatencyUnmatched_ += 1;
        return;
    }
    const double passed = static_cast<double>(options_.deviceClockOrigin) +
                          static_cast<double>(now - back + 1) * perFrame;
    const double d = static_cast<double>(t) - passed;
    if (d < 0) {  // no switch comes before the block's end
        deviceLatencyUnmatched_ += 1;
        return;
    }
    deviceLatencies_.add(d / 10.0);
}

AsioHostImpl::~AsioHostImpl() {
    std::string ignored;
    stop(&ignored);
}

bool AsioHostImpl::createDriver(std::string* error) {
    IASIO* a = createDriverObject(entry_, error);
    if (a == nullptr) return false;
    auto fail = [&](const std::string& what) {
        a->disposeBuffers();
        standin::win32::releaseInprocObject(a);
        asio_.store(nullptr);
        *error = what;
        return false;
    };
    if (a->init(nullptr) == ASIOFalse) {
        char message[128] = {};
        a->getErrorMessage(message);
        message[sizeof message - 1] = '\0';
        return fail(std::string("init failed") + (message[0] != '\0' ? ": " : "") + message);
    }
    LONG inputs = 0, outputs = 0;
    if (ASIOError e = a->getChannels(&inputs, &outputs); e != ASE_OK) {
        return fail("getChannels failed: " + std::to_string(e));
    }
    for (long c : options_.outputs) {
        if (c < 0 || c >= outputs) {
            return fail("output " + std::to_string(c + 1) + " does not exist (the driver has " +
                        std::to_string(outputs) + ")");
        }
    }
    for (long c : options_.inputs) {
        if (c < 0 || c >= inputs) {
            return fail("input " + std::to_string(c + 1) + " does not exist (the driver has " +
                        std::to_string(inputs) + ")");
        }
    }
    LONG minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    if (ASIOError e = a->getBufferSize(&minSize, &maxSize, &preferred, &granularity); e != ASE_OK) {
        return fail("getBufferSize failed: " + std::to_string(e));
    }
    const long size = options_.bufferSize > 0 ? options_.bufferSize : preferred;
    if (size < 1 || size > kMaxBufferFrames) {
        return fail("buffer size " + std::to_string(size) + " is outside 1 to " +
                    std::to_string(kMaxBufferFrames));
    }
    ASIOSampleRate rate = 0;
    if (ASIOError e = a->getSampleRate(&rate); e != ASE_OK) {
        return fail("getSampleRate failed: " + std::to_string(e));
    }
    if (rate != kSampleRate) {
        if (ASIOError e = a->setSampleRate(kSampleRate); e != ASE_OK) {
            return fail("the driver runs at " + std::to_string(rate) +
                        " Hz and does not take 48000: " + std::to_string(e));
        }
    }
    // The buffer switch writes and reads 32-bit floats.
    for (std::size_t i = 0; i < infos_.size(); ++i) {
        ASIOChannelInfo ci{};
        ci.channel = infos_[i].channelNum;
        ci.isInput = infos_[i].isInput;
        if (ASIOError e = a->getChannelInfo(&ci); e != ASE_OK) {
            return fail("getChannelInfo failed: " + std::to_string(e));
        }
        if (ci.type != ASIOSTFloat32LSB) {
            return fail("channel sample type " + std::to_string(ci.type) +
                        " is not served (32-bit float only)");
        }
    }
    for (auto& b : infos_) b.buffers[0] = b.buffers[1] = nullptr;
    bufferSize_.store(size);
    lastSwitch_ = -1;  // no interval across a re-creation
    lateSwitches_.restart();
    asio_.store(a);
    if (ASIOError e = a->createBuffers(infos_.data(), static_cast<LONG>(infos_.size()),
                                       static_cast<LONG>(size), &callbacks_);
        e != ASE_OK) {
        return fail("createBuffers failed: " + std::to_string(e));
    }
    for (const auto& b : infos_) {
        if (b.buffers[0] == nullptr || b.buffers[1] == nullptr) {
            return fail("createBuffers gave no buffer for channel " +
                        std::to_string(b.channelNum + 1));
        }
    }
    if (ASIOError e = a->start(); e != ASE_OK) {
        return fail("start failed: " + std::to_string(e));
    }
    return true;
}

void AsioHostImpl::releaseDriver() {
    IASIO* a = asio_.exchange(nullptr);
    if (a == nullptr) return;
    a->stop();
    a->disposeBuffers();
    // The driver's thread ends with the object: no buffer switch runs after this.
    standin::win32::releaseInprocObject(a);
}

bool AsioHostImpl::start(const HostOptions& options, std::string* error) {
    if (running_) {
        *error = "the host is already streaming";
        return false;
    }
    AsioHostImpl* expected = nullptr;
    if (!gActive.compare_exchange_strong(expected, this)) {
        *error = "another host of this process is streaming";
        return false;
    }
    options_ = options;
    auto fail = [&](const std::string& what) {
        *error = what;
        std::string ignored;
        running_ = true;  // stop() undoes whatever was done
        stop(&ignored);
        return false;
    };
    if (options_.outputs.empty() && options_.inputs.empty()) return fail("no channels");
    signals_.clear();
    for (std::size_t i = 0; i < options_.outputs.size(); ++i) {
        const SignalSpec spec =
            i < options_.outputSignals.size() ? options_.outputSignals[i] : SignalSpec{};
        std::string why;
        auto s = makeSignal(spec, &why);
        if (!s) return fail(why);
        signals_.push_back(std::move(s));
    }
    infos_.clear();
    for (long c : options_.outputs)
        infos_.push_back(ASIOBufferInfo{ASIOFalse, static_cast<LONG>(c), {}});
    for (long c : options_.inputs)
        infos_.push_back(ASIOBufferInfo{ASIOTrue, static_cast<LONG>(c), {}});

    if (options_.deviceClockRate > 0 && options_.inputs.empty()) {
        return fail("the device's clock is read from the first input: no inputs");
    }
    recording_ = !options_.recordPath.empty() && !options_.inputs.empty();
    if (!options_.recordPath.empty() && options_.inputs.empty()) {
        return fail("nothing to record: no inputs");
    }
    if (recording_) {
        inputFrames_.assign(static_cast<std::size_t>(kMaxBufferFrames) * options_.inputs.size(),
                            0.0f);
        ring_.reset(kRecordRingSeconds * 48000 * options_.inputs.size());
        std::string why;
        if (!wav_.open(options_.recordPath, static_cast<std::uint16_t>(options_.inputs.size()),
                       48000, &why)) {
            return fail(why);
        }
    }

    if (!findDriver(options_.driver, &entry_, error)) return fail(*error);
    const HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) return fail("CoInitialize failed: " + hex(hr));
    comInitialised_ = true;
    // Without the record the switches are counted but their latency is not.
    record_.open();
    if (!createDriver(error)) return fail(*error);
    running_ = true;
    return true;
}

void AsioHostImpl::drainRecording() {
    if (!recording_) return;
    const std::size_t channels = options_.inputs.size();
    ring_.drain([&](const float* samples, std::size_t n) {
        wav_.append(samples, n / channels);  // pushes are whole frames, the ring a multiple
    });
}

bool AsioHostImpl::recreate(std::string* error) {
    const auto now = std::chrono::steady_clock::now();
    // The record of the device the new driver will find: a handle kept from the old one would
    // hold a removed device for the rest of the run.
    record_.close();
    record_.open();
    std::string why;
    if (createDriver(&why)) {
        recreating_ = false;
        return true;
    }
    // The device or its machine may be on its way back: the host tries again for a while.
    if (!recreating_) {
        recreating_ = true;
        recreateSince_ = now;
    }
    nextRecreate_ = now + kRecreatePause;
    if (now - recreateSince_ >= kRecreateLimit) {
        *error = "re-creating the driver after a reset request failed for " +
                 std::to_string(kRecreateLimit.count()) +
                 " seconds (is the device plugged in and its machine running?): " + why;
        return false;
    }
    return true;
}

bool AsioHostImpl::serve(long ms, std::string* error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        drainRecording();
        if (running_ && resetPending_.load()) {
            releaseDriver();
            // Requests the old driver made while it went are answered by this re-creation.
            resetPending_.store(false);
            recreations_ += 1;
            if (!recreate(error)) return false;
        } else if (running_ && recreating_ && std::chrono::steady_clock::now() >= nextRecreate_) {
            if (!recreate(error)) return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(10)));
    }
}

bool AsioHostImpl::stop(std::string* error) {
    if (!running_) return true;
    running_ = false;
    if (const vq36::AsioInfo* info = record_.info; info != nullptr && asio_.load() != nullptr) {
        const auto& s = info->statistics;
        userSlips_ = vq36::Load32(&s.userSlips);
        kernUnder_ = vq36::Load32(&s.kernUnder);
        kernOver_ = vq36::Load32(&s.kernOver);
        estSampleRate_ = vq36::Load32(&s.estSampleRate);
        joinedClients_ = vq36::Load32(&info->joinedClientCount);
    }
    releaseDriver();
    bool ok = true;
    if (recording_) {
        drainRecording();
        if (ring_.dropped() > 0) {
            *error = "the recording lost " + std::to_string(ring_.dropped()) + " samples";
            ok = false;
        }
        std::string why;
        if (!wav_.close(&why)) {
            *error = why;
            ok = false;
        }
    }
    record_.close();
    if (comInitialised_) CoUninitialize();
    comInitialised_ = false;
    AsioHostImpl* self = this;
    gActive.compare_exchange_strong(self, nullptr);
    return ok;
}

StreamReport AsioHostImpl::report() const {
    StreamReport r;
    r.driver = options_.driver;
    r.bufferSize = bufferSize_.load();
    r.blocks = blocks_.load();
    r.resets = resets_.load();
    r.recreations = recreations_;
    r.intervalP50Us = intervals_.percentile(50);
    r.intervalP99Us = intervals_.percentile(99);
    r.intervalMaxUs = intervals_.max();
    r.latencyP50Us = latencies_.percentile(50);
    r.latencyP99Us = latencies_.percentile(99);
    r.latencyMaxUs = latencies_.max();
    r.latencySamples = latencies_.count();
    r.latencyUnmatched = latencyUnmatched_;
    r.lateSwitches = lateSwitches_.total();
    r.deviceLatencyP50Us = deviceLatencies_.percentile(50);
    r.deviceLatencyP99Us = deviceLatencies_.percentile(99);
    r.deviceLatencyMaxUs = deviceLatencies_.max();
    r.deviceLatencySamples = deviceLatencies_.count();
    r.deviceLatencyUnmatched = deviceLatencyUnmatched_;
    r.switchRealTime = switchRealTime_;
    r.switchPriority = switchPriority_;
    r.userSlips = userSlips_;
    r.kernUnder = kernUnder_;
    r.kernOver = kernOver_;
    r.estSampleRate = estSampleRate_;
    r.joinedClients = joinedClients_;
    return r;
}

AsioHost::AsioHost() : impl_(std::make_unique<AsioHostImpl>()) {}
AsioHost::~AsioHost() = default;

bool AsioHost::start(const HostOptions& options, std::string* error) {
    return impl_->start(options, error);
}

bool AsioHost::serve(long ms, std::string* error) {
    return impl_->serve(ms, error);
}

bool AsioHost::waitFirstBlock(long ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!impl_->hasBlock()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::uint64_t AsioHost::blocks() const {
    return impl_->blocks();
}

std::uint64_t AsioHost::resets() const {
    return impl_->resets();
}

bool AsioHost::stop(std::string* error) {
    return impl_->stop(error);
}

StreamReport AsioHost::report() const {
    return impl_->report();
}

}  // namespace vq36host
