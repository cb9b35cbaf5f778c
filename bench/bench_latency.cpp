// Block boundary to bufferSwitch latency across processes.
//
// This program runs the machine embedded (Vq36Kernel.sys, one VQ36) on a fresh machine root,
// registers VexaAsioVq36.dll and sets the buffer length through its control functions; each case
// then runs 1 or 4 ASIO host processes (`vq36 asio stream`) that stream for the same time and
// write a report each, and turns the reports into counters:
//   p50_us        median of the processes' median latencies (block boundary in the kernel to
//                 the start of bufferSwitch in the host, in microseconds)
//   p99_us        worst 99th percentile of the processes
//   max_us        worst latency of all
//   dev_p50_us, dev_p99_us, dev_max_us: the same from the moment the device's sample clock
//                 passed the block's last sample (what a listener hears: it holds the time the
//                 device takes to finish the capture request that ends the block), read from
//                 the device's counting signal on the hosts' first input
//   dev_unmatched switches whose input half held no whole block of the counting signal
//   blocks        buffer switches per process (the fewest of the processes)
//   missing       blocks that the slowest process is short of the blocks in its streaming time
//                 (48000 x seconds / block frames)
//   user_slips    blocks that a host came too late for, as the kernel counted them in the case
//   resets        reset requests of all processes
//   kern_under, kern_over: the kernel's playback underruns and capture overruns in the case
//   interval_p99_us: worst 99th percentile of the time between two buffer switches of a process
//   joined        the most clients the record counted as joined while the processes ran
//   kernel_blocks_per_s: the kernel's block rate while they ran (48000 / block frames is due)
//   reads_failed  failed capture reads in the case; each one makes the kernel start afresh 50
//                 frames ahead, and the blocks in between are lost
//   machine_cpu   processor time of this program (the machine, embedded here, and the little
//                 that the benchmark itself does) per second of the case: a share of one core
//   machine_cs_per_block: context switches of this program per kernel block
//   machine_rt_threads, machine_rt_priority: threads of this program in a real-time class while
//                 every host streamed, and their highest priority
//   host_rt, host_rt_priority: 1 when every host's buffer switch ran in a real-time class, and
//                 the lowest priority they had
//
// Streaming time: 10 s per case; `--quick` makes it 2 s, the environment variable
// VQ36_LATENCY_SECONDS chooses another (1 to 600).

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "flat_json.h"
#include "public/vq36_shared.h"
#include "standin/host/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

constexpr const char* kKernelDriver = VQ36_KERNEL_SYS_PATH;
constexpr const char* kAsioLibrary = VQ36_ASIO_DLL_PATH;
constexpr const char* kTool = VQ36_TOOL_PATH;

int gSeconds = 10;

using Clock = std::chrono::steady_clock;

using RegisterFunction = HRESULT (*)();
using OpenFunction = void* (*)();
using CloseFunction = void (*)(void*);
using SetBufferFunction = std::int32_t (*)(void*, std::int32_t);

// Threads of this program in a real-time class, and their highest priority.
std::pair<int, int> realTimeThreads() {
    int count = 0, highest = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(dir)) {
            const int tid = std::atoi(e->d_name);
            if (tid <= 0) continue;
            const int policy = sched_getscheduler(tid);
            sched_param param{};
            if ((policy == SCHED_FIFO || policy == SCHED_RR) && sched_getparam(tid, &param) == 0) {
                count += 1;
                highest = std::max(highest, param.sched_priority);
            }
        }
        closedir(dir);
    }
    return {count, highest};
}

struct KernelCounters {
    std::uint32_t userSlips = 0, kernUnder = 0, kernOver = 0, readsFailed = 0;
};

// Processor time (seconds) and context switches of this program so far.
struct Usage {
    double cpuSeconds = 0;
    double switches = 0;
    static Usage now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
        };
        return Usage{seconds(u.ru_utime) + seconds(u.ru_stime),
                     static_cast<double>(u.ru_nvcsw + u.ru_nivcsw)};
    }
};

// The machine and the library for the whole program: made by the first case, ended in main.
class Rig {
  public:
    // Starts the machine, registers the driver and opens a control handle. On failure, error()
    // says why.
    Rig() {
        std::string why;
        standin::host::MachineOptions options;
        options.root = root_.root();
        options.driverPath = kKernelDriver;
        options.devices.resize(1);
        // A hundred host processes hold a few connections each.
        options.maxConnectionsPerUser = options.maxConnections;
        machine_ = standin::host::Machine::start(std::move(options), &why);
        if (!machine_) {
            error_ = "the machine did not start: " + why;
            return;
        }
        if (!machine_->waitForInterfaces(1, 15000)) {
            error_ = "the device interface did not appear";
            return;
        }
        library_ = LoadLibraryA(kAsioLibrary);
        if (library_ == nullptr) {
            error_ = "LoadLibraryA(VexaAsioVq36.dll): " + standin::win32::lastLoaderMessage();
            return;
        }
        auto registerServer =
            reinterpret_cast<RegisterFunction>(GetProcAddress(library_, "DllRegisterServer"));
        open_ = reinterpret_cast<OpenFunction>(GetProcAddress(library_, "VQ36_open"));
        close_ = reinterpret_cast<CloseFunction>(GetProcAddress(library_, "VQ36_close"));
        setBuffer_ = reinterpret_cast<SetBufferFunction>(
            GetProcAddress(library_, "VQ36_set_buffer_millisecs"));
        if (registerServer == nullptr || open_ == nullptr || close_ == nullptr ||
            setBuffer_ == nullptr) {
            error_ = "VexaAsioVq36.dll lacks an export";
            return;
        }
        if (const HRESULT hr = registerServer(); hr != S_OK) {
            error_ = "DllRegisterServer failed: " + std::to_string(hr);
            return;
        }
        handle_ = open_();
        if (handle_ == nullptr) error_ = "VQ36_open failed";
    }

    ~Rig() {
        if (handle_ != nullptr) close_(handle_);
        if (library_ != nullptr) FreeLibrary(library_);
        machine_.reset();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    const std::string& error() const { return error_; }
    const std::string& root() const { return root_.root(); }

    // Sets the buffer length that gives blocks of `frames` and waits until the device's record
    // holds that block size (the kernel takes it at once; its blocks run while a client
    // streams). Empty on success, else what went wrong.
    std::string setBlockFrames(std::uint32_t frames) {
        // The setting counts in steps of 3 "milliseconds" of 16 samples: 3 gives blocks of 48
        // samples, 6 of 96.
        const std::int32_t milliseconds = static_cast<std::int32_t>(frames / 16);
        if (const std::int32_t rc = setBuffer_(handle_, milliseconds); rc != 0)
            return "VQ36_set_buffer_millisecs(" + std::to_string(milliseconds) + ") returned " +
                   std::to_string(rc);
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        std::string seen = "no record";
        while (Clock::now() < deadline) {
            if (const auto record = firstRecord()) {
                if (record->blockFrames == frames) return {};
                seen = "block " + std::to_string(record->blockFrames) + " frames";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "VQ36_set_buffer_millisecs(" + std::to_string(milliseconds) +
               ") did not give blocks of " + std::to_string(frames) + " frames (" + seen + ")";
    }

    // The kernel's slip and run counters from the device's record (they count from the device's
    // start on); empty while there is no record.
    std::optional<KernelCounters> kernelCounters() const {
        using Accessor = const void* (*)(standin::host::DeviceObjectHandle);
        void* driver = dlopen(kKernelDriver, RTLD_NOW | RTLD_NOLOAD);
        if (driver == nullptr) return std::nullopt;
        auto accessor = reinterpret_cast<Accessor>(dlsym(driver, standin::host::kInfoRecordExport));
        const auto ports = machine_->ports();
        const void* record = accessor != nullptr && !ports.empty()
                                 ? accessor(machine_->deviceObject(ports.front()))
                                 : nullptr;
        dlclose(driver);
        if (record == nullptr) return std::nullopt;
        const auto& s = static_cast<const vq36::AsioInfo*>(record)->statistics;
        return KernelCounters{vq36::Load32(&s.userSlips), vq36::Load32(&s.kernUnder),
                              vq36::Load32(&s.kernOver), vq36::Load32(&s.readsFailed)};
    }

    // The device's record now, if it has one.
    std::optional<standin::host::RecordCounters> firstRecord() const {
        for (const auto& d : machine_->status().deviceObjects)
            if (d.state == standin::host::DeviceObjectState::Working && d.record) return d.record;
        return std::nullopt;
    }

    // The device's sample clock as `vq36 asio stream --device-clock` takes it; empty when the
    // machine has no device.
    std::string deviceClock() {
        const auto ports = machine_->ports();
        std::string out;
        if (ports.empty() || machine_->manage({"clock", std::to_string(ports.front())}, &out) != 0)
            return {};
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    // Waits until no streaming client is left from an earlier case (at most 10 s).
    void waitForIdle() {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            const auto status = machine_->status();
            bool idle = true;
            for (const auto& d : status.deviceObjects) {
                if (d.openHandles > 1) idle = false;
                if (d.record && d.record->joinedClients != 0) idle = false;
            }
            if (idle) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

  private:
    // Made first: every later use of the machine or its registry finds this root.
    standin::win32::ScopedFreshMachine root_;
    std::unique_ptr<standin::host::Machine> machine_;
    HMODULE library_ = nullptr;
    OpenFunction open_ = nullptr;
    CloseFunction close_ = nullptr;
    SetBufferFunction setBuffer_ = nullptr;
    void* handle_ = nullptr;
    std::string error_;
};

std::unique_ptr<Rig> gRig;

Rig& rig() {
    if (!gRig) gRig = std::make_unique<Rig>();
    return *gRig;
}

// A host process streaming into a report file; it reads the device's clock from its input.
std::unique_ptr<vq36tools::ChildProcess> startHost(const std::string& report,
                                                   const std::string& deviceClock) {
    return std::make_unique<vq36tools::ChildProcess>(
        kTool, std::vector<std::string>{"asio", "stream", "--seconds", std::to_string(gSeconds),
                                        "--play", "1=sine:440", "--inputs", "1", "--device-clock",
                                        deviceClock, "--report", report});
}

// Waits for every host to end, reading each one's output meanwhile, and kills those still
// running at the deadline. Their exit codes (-1 for one that did not start).
std::vector<int> waitForHosts(const std::vector<std::unique_ptr<vq36tools::ChildProcess>>& hosts,
                              Clock::time_point deadline) {
    std::vector<int> codes(hosts.size(), -1);
    std::vector<bool> done(hosts.size(), false);
    for (std::size_t i = 0; i < hosts.size(); ++i) done[i] = !hosts[i]->started();
    for (;;) {
        bool running = false;
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            if (done[i]) continue;
            codes[i] = hosts[i]->wait(10);
            done[i] = codes[i] >= 0;
            running = running || !done[i];
        }
        if (!running) return codes;
        if (Clock::now() >= deadline) {
            for (std::size_t i = 0; i < hosts.size(); ++i) {
                if (!done[i]) codes[i] = hosts[i]->kill9();
            }
            return codes;
        }
    }
}

struct Report {
    double blocks = 0, bufferSize = 0, resets = 0, p50 = 0, p99 = 0, max = 0, samples = 0,
           unmatched = 0, intervalP99 = 0, devP50 = 0, devP99 = 0, devMax = 0, devUnmatched = 0,
           switchRealTime = 0, switchPriority = 0;
};

// The report of one process; empty with *error set when it cannot be read or a required figure
// is missing.
std::optional<Report> readReport(const std::string& path, std::string* error) {
    std::map<std::string, double> numbers;
    if (!vq36tools::readNumbers(path, &numbers)) {
        *error = "the report " + path + " is missing or not a flat JSON object";
        return std::nullopt;
    }
    Report r;
    struct Field {
        const char* key;
        double* value;
        bool required;
    };
    const Field fields[] = {
        {"blocks", &r.blocks, true},
        {"bufferSize", &r.bufferSize, true},
        {"latencyP50Us", &r.p50, true},
        {"latencyP99Us", &r.p99, true},
        {"latencyMaxUs", &r.max, true},
        {"resets", &r.resets, false},
        {"latencySamples", &r.samples, false},
        {"latencyUnmatched", &r.unmatched, false},
        {"intervalP99Us", &r.intervalP99, false},
        {"deviceLatencyP50Us", &r.devP50, true},
        {"deviceLatencyP99Us", &r.devP99, true},
        {"deviceLatencyMaxUs", &r.devMax, true},
        {"deviceLatencyUnmatched", &r.devUnmatched, true},
        {"switchRealTime", &r.switchRealTime, true},
        {"switchPriority", &r.switchPriority, true},
    };
    for (const Field& f : fields) {
        if (const auto it = numbers.find(f.key); it != numbers.end()) {
            *f.value = it->second;
        } else if (f.required) {
            *error = std::string("the report has no ") + f.key;
            return std::nullopt;
        }
    }
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void BM_BlockToBufferSwitch(benchmark::State& state) {
    const int processes = static_cast<int>(state.range(0));
    const int frames = static_cast<int>(state.range(1));
    Rig& r = rig();
    if (!r.error().empty()) {
        state.SkipWithError(r.error().c_str());
        return;
    }
    r.waitForIdle();
    if (const std::string e = r.setBlockFrames(static_cast<std::uint32_t>(frames)); !e.empty()) {
        state.SkipWithError(e.c_str());
        return;
    }

    const std::string deviceClock = r.deviceClock();
    if (deviceClock.empty()) {
        state.SkipWithError("the device's sample clock cannot be read");
        return;
    }
    const std::optional<KernelCounters> before = r.kernelCounters();
    std::vector<Report> reports;
    std::string failure;
    bool streamedAtSize = false;
    std::uint32_t otherSize = 0;
    std::uint32_t joined = 0;
    std::optional<std::pair<Clock::time_point, std::uint64_t>> rateStart, rateLast;
    double kernelRate = 0;
    // The machine's cost while the kernel streamed: usage and block count at the first and the
    // latest look of the monitor that found the kernel streaming.
    std::optional<std::pair<Usage, std::uint64_t>> costStart, costLast;
    std::optional<Clock::time_point> costStartTime, costLastTime;
    std::optional<std::pair<int, int>> machineRealTime;
    for (auto _ : state) {
        std::vector<std::unique_ptr<vq36tools::ChildProcess>> hosts;
        std::vector<std::string> reportPaths;
        for (int i = 0; i < processes; ++i) {
            reportPaths.push_back(r.root() + "/latency-" + std::to_string(processes) + "x" +
                                  std::to_string(frames) + "-" + std::to_string(i) + ".json");
            hosts.push_back(startHost(reportPaths.back(), deviceClock));
            // Many hosts start a little apart, each with the time to attach that the library
            // gives it.
            if (processes > 4) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        const auto deadline = Clock::now() + std::chrono::seconds(gSeconds + 60);
        // While the hosts run, the record shows that the kernel streams at this block size and
        // how many of them joined.
        std::atomic<bool> running{true};
        std::thread monitor([&] {
            while (running.load()) {
                if (const auto record = r.firstRecord(); record && record->streamingEnabled) {
                    if (record->blockFrames == static_cast<std::uint32_t>(frames)) {
                        streamedAtSize = true;
                    } else {
                        otherSize = record->blockFrames;
                    }
                    joined = std::max(joined, record->joinedClients);
                    // The kernel's own block rate over its longest run of rising counts.
                    const auto now = Clock::now();
                    if (!rateStart || record->blockCount < rateLast->second) {
                        rateStart = {now, record->blockCount};
                    }
                    rateLast = {now, record->blockCount};
                    if (joined == static_cast<std::uint32_t>(processes)) {
                        if (!machineRealTime) machineRealTime = realTimeThreads();
                        const Usage usage = Usage::now();
                        if (!costStart || record->blockCount < costLast->second) {
                            costStart = {usage, record->blockCount};
                            costStartTime = now;
                        }
                        costLast = {usage, record->blockCount};
                        costLastTime = now;
                    }
                    const double span =
                        std::chrono::duration<double>(rateLast->first - rateStart->first).count();
                    if (span > 0.5) {
                        kernelRate =
                            static_cast<double>(rateLast->second - rateStart->second) / span;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        const std::vector<int> codes = waitForHosts(hosts, deadline);
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            const int code = codes[i];
            std::string error;
            std::optional<Report> report;
            if (code == 0) report = readReport(reportPaths[i], &error);
            if (!report && failure.empty()) {
                failure = "process " + std::to_string(i) + " exited with " + std::to_string(code) +
                          (error.empty() ? "" : "; " + error) + "; output:\n" + hosts[i]->tail(10);
            }
            if (report && report->bufferSize != frames && failure.empty()) {
                failure = "process " + std::to_string(i) + " streamed buffers of " +
                          std::to_string(static_cast<long>(report->bufferSize)) + " frames";
            }
            if (report) reports.push_back(*report);
        }
        running = false;
        monitor.join();
    }
    if (failure.empty() && otherSize != 0)
        failure = "the record streamed blocks of " + std::to_string(otherSize) + " frames";
    if (failure.empty() && !streamedAtSize)
        failure = "the record never showed streaming at " + std::to_string(frames) + " frames";
    if (!failure.empty()) {
        state.SkipWithError(failure.c_str());
        return;
    }

    const std::optional<KernelCounters> after = r.kernelCounters();
    if (!before || !after) {
        state.SkipWithError("the device's record cannot be read");
        return;
    }
    std::vector<double> p50s, devP50s;
    double p99 = 0, max = 0, resets = 0, samples = 0, unmatched = 0, intervalP99 = 0;
    double devP99 = 0, devMax = 0, devUnmatched = 0;
    double hostRealTime = 1, hostPriority = reports.front().switchPriority;
    double fewest = reports.front().blocks, total = 0;
    for (const Report& rep : reports) {
        p50s.push_back(rep.p50);
        devP50s.push_back(rep.devP50);
        devP99 = std::max(devP99, rep.devP99);
        devMax = std::max(devMax, rep.devMax);
        devUnmatched += rep.devUnmatched;
        hostRealTime = std::min(hostRealTime, rep.switchRealTime);
        hostPriority = std::min(hostPriority, rep.switchPriority);
        p99 = std::max(p99, rep.p99);
        max = std::max(max, rep.max);
        intervalP99 = std::max(intervalP99, rep.intervalP99);
        resets += rep.resets;
        samples += rep.samples;
        unmatched += rep.unmatched;
        fewest = std::min(fewest, rep.blocks);
        total += rep.blocks;
    }
    const double expected = static_cast<double>(vq36::kSampleRate) * gSeconds / frames;
    state.counters["p50_us"] = median(p50s);
    state.counters["p99_us"] = p99;
    state.counters["max_us"] = max;
    state.counters["dev_p50_us"] = median(devP50s);
    state.counters["dev_p99_us"] = devP99;
    state.counters["dev_max_us"] = devMax;
    state.counters["dev_unmatched"] = devUnmatched;
    state.counters["blocks"] = fewest;
    state.counters["blocks_avg"] = total / static_cast<double>(reports.size());
    state.counters["missing"] = std::max(0.0, expected - fewest);
    // The counters go on from the device's start (a device that started again counts from 0).
    auto delta = [](std::uint32_t from, std::uint32_t to) {
        return static_cast<double>(to >= from ? to - from : to);
    };
    state.counters["user_slips"] = delta(before->userSlips, after->userSlips);
    state.counters["resets"] = resets;
    state.counters["kern_under"] = delta(before->kernUnder, after->kernUnder);
    state.counters["kern_over"] = delta(before->kernOver, after->kernOver);
    state.counters["interval_p99_us"] = intervalP99;
    state.counters["samples"] = samples;
    state.counters["unmatched"] = unmatched;
    state.counters["joined"] = joined;
    state.counters["kernel_blocks_per_s"] = kernelRate;
    state.counters["reads_failed"] = delta(before->readsFailed, after->readsFailed);
    state.counters["host_rt"] = hostRealTime;
    state.counters["host_rt_priority"] = hostPriority;
    if (machineRealTime) {
        state.counters["machine_rt_threads"] = machineRealTime->first;
        state.counters["machine_rt_priority"] = machineRealTime->second;
    }
    if (costStart && costLast && costLast->second > costStart->second) {
        const double seconds =
            std::chrono::duration<double>(*costLastTime - *costStartTime).count();
        const double blocks = static_cast<double>(costLast->second - costStart->second);
        state.counters["machine_cpu"] =
            (costLast->first.cpuSeconds - costStart->first.cpuSeconds) / seconds;
        state.counters["machine_cs_per_block"] =
            (costLast->first.switches - costStart->first.switches) / blocks;
    }
}
BENCHMARK(BM_BlockToBufferSwitch)
    ->ArgNames({"processes", "frames"})
    ->ArgsProduct({{1, 4}, {48, 96}})
    ->Args({100, 96})  // as many clients as the kernel takes
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Our own options come out before the library sees the rest.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            gSeconds = 2;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (const char* s = std::getenv("VQ36_LATENCY_SECONDS"); s != nullptr && s[0] != '\0') {
        char* end = nullptr;
        const long v = std::strtol(s, &end, 10);
        if (end == s || *end != '\0' || v < 1 || v > 600) {
            std::fprintf(stderr, "bench_latency: VQ36_LATENCY_SECONDS takes 1 to 600\n");
            return 2;
        }
        gSeconds = static_cast<int>(v);
    }
    std::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gRig.reset();
    return 0;
}
