// Output delivery of one block (48, 384 and 3000 frames, all 10 outputs active):
//  - one client against a plain copy of the same samples, in the same run: "block_us" (median
//    time per block), "copy_us" (median time of a plain copy of the client's 10 current halves
//    into a staging buffer of the same byte count) and "vs_memcpy" (their ratio);
//  - 2, 4 and 8 joined clients, each with its own halves, all delivering the same block into one
//    record, ring and accumulator, as threads of this process or (mode "processes") as processes
//    of their own over shared memory, as the clients of the product run. Every block releases all
//    clients at once; each notes when it started and ended its delivery. "block_us" is the median
//    over many blocks of the block's span (first start to last end, so it includes the
//    completing client's clip and copy), "p90_us" its 90th percentile, "serial_us" the median
//    time of the same clients delivering one block one after another in one thread (the
//    additions without contention) and "vs_serial" the ratio of the two medians. "skew_us" is the
//    span of a release with no delivery (how far apart the clients start), which block_us
//    includes. "fifo" is 1 when every client ran in the real-time class (FIFO 5, as the
//    product's streaming threads do), 0 when the system refused it.
// Run with --benchmark_repetitions=N to get the medians of N runs. Every block moves the block
// counter on, so that blocks rotate through the ring. After the timing, one more block checks
// that the ring holds the (clipped) sum and the accumulator block is cleared.

#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "output_delivery.h"
#include "public/vq36_shared.h"

namespace {

constexpr std::uint32_t kChannels = vq36::kPlaybackChannels;
constexpr std::uint32_t kRingBlocks = 10;
constexpr std::uint32_t kMaxBenchClients = 8;
constexpr std::size_t kPage = 4096;

using Clock = std::chrono::steady_clock;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

std::size_t pageRounded(std::size_t bytes) {
    return (bytes + kPage - 1) / kPage * kPage;
}

// Sample f of channel c, half h of client k: multiples of 1/8 up to +-0.75, so that every sum
// is exact in any order of additions, and the sums of two or more clients reach past +-1.
float sampleOf(std::uint32_t k, std::uint32_t c, std::uint32_t h, std::uint32_t f) {
    const int v = static_cast<int>((f * 7 + c * 3 + h * 5 + k * 11) % 13) - 6;
    return static_cast<float>(v) / 8.0f;
}

float clip(float v) {
    return v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
}

// What the clients of one benchmark run share: the releases and each client's start and end
// time of its latest delivery.
struct alignas(64) ClientTimes {
    std::atomic<std::int64_t> start{0};
    std::atomic<std::int64_t> end{0};
};
struct Control {
    alignas(64) std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint64_t> counter{0};
    std::atomic<int> deliver{0};
    std::atomic<int> stop{0};
    alignas(64) std::atomic<int> done{0};
    std::atomic<int> realTimeRefused{0};
    ClientTimes times[kMaxBenchClients];
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// The shared side, in one anonymous shared mapping (so that forked clients see it as the
// product's clients see the kernel's regions): the record, the ring (with its overhang area)
// and the accumulator, each on pages of its own, and the clients' control block.
class Shared {
  public:
    Shared(std::uint32_t blockFrames, std::uint32_t clients)
        : bytes_(pageRounded(vq36::kAsioInfoBytes) + 2 * pageRounded(vq36::kPlaybackRegionBytes) +
                 pageRounded(sizeof(Control))) {
        void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        auto* base = static_cast<unsigned char*>(p);  // zeroed
        info = reinterpret_cast<vq36::AsioInfo*>(base);
        base += pageRounded(vq36::kAsioInfoBytes);
        ring = reinterpret_cast<float*>(base);
        base += pageRounded(vq36::kPlaybackRegionBytes);
        accumulator = reinterpret_cast<float*>(base);
        base += pageRounded(vq36::kPlaybackRegionBytes);
        control = new (base) Control();
        vq36::Store32(&info->ringBlocks, kRingBlocks);
        vq36::Store32(&info->blockFrames, blockFrames);
        vq36::Store32(&info->sampleRate, vq36::kSampleRate);
        vq36::Store32(&info->joinedClientCount, clients);
        vq36::Store32(&info->isStreamingEnabled, 1);
    }
    ~Shared() {
        control->~Control();
        munmap(info, bytes_);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    vq36::AsioInfo* info;
    float* ring;
    float* accumulator;
    Control* control;

  private:
    std::size_t bytes_;
};

// One client: its halves (channel c, half h at (2c + h) s) and its delivery request.
struct Client {
    std::vector<float> halves;
    OutputBlock block;

    Client(Shared& shared, std::uint32_t k, std::uint32_t s) : halves(2 * kChannels * s) {
        for (std::uint32_t c = 0; c < kChannels; ++c)
            for (std::uint32_t h = 0; h < 2; ++h)
                for (std::uint32_t f = 0; f < s; ++f)
                    halves[(2 * c + h) * s + f] = sampleOf(k, c, h, f);
        block.info = shared.info;
        block.ring = shared.ring;
        block.accumulator = shared.accumulator;
        block.halves = halves.data();
        block.activeMask = (1u << kChannels) - 1;
        block.blockSize = static_cast<std::int32_t>(s);
        block.lane = k;
    }
};

// The plain copy that delivery is measured against: one client's current halves into a staging
// buffer of the same byte count.
struct PlainCopy {
    std::vector<float> staging;
    const float* halves;
    std::uint32_t s;

    PlainCopy(const Client& client, std::uint32_t frames)
        : staging(kChannels * frames), halves(client.halves.data()), s(frames) {}

    void run(std::uint64_t counter) {
        const std::uint32_t half = static_cast<std::uint32_t>(counter & 1);
        for (std::uint32_t c = 0; c < kChannels; ++c)
            std::memcpy(staging.data() + c * s, halves + (2 * c + half) * s, s * sizeof(float));
        benchmark::ClobberMemory();
    }
};

// Puts the calling thread in the real-time class (FIFO 5); false when the system refuses.
bool enterRealTime() {
    sched_param param{};
    param.sched_priority = 5;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

// The calling thread's scheduling, put back when it ends.
class SchedulingGuard {
  public:
    SchedulingGuard() { pthread_getschedparam(pthread_self(), &policy_, &param_); }
    ~SchedulingGuard() { pthread_setschedparam(pthread_self(), policy_, &param_); }
    SchedulingGuard(const SchedulingGuard&) = delete;
    SchedulingGuard& operator=(const SchedulingGuard&) = delete;

  private:
    int policy_ = SCHED_OTHER;
    sched_param param_{};
};

// Waits for `ready`: spins for up to 200 µs, then looks every 20 µs in between sleeps (which
// works across processes and never keeps a real-time thread from yielding its processor).
template <class Ready>
void waitUntil(Ready ready) {
    const std::int64_t start = nowNs();
    for (unsigned i = 1; !ready(); ++i) {
        _mm_pause();
        if ((i & 63) == 0 && nowNs() - start > 200'000) {
            while (!ready()) {
                const timespec pause{0, 20'000};
                nanosleep(&pause, nullptr);
            }
            return;
        }
    }
}

// One client's side of the releases: waits for each release, delivers (or, without `deliver`,
// only notes the time) and reports when it started and ended.
void clientLoop(Control& ctl, Client& client, std::uint32_t k) {
    if (!enterRealTime()) ctl.realTimeRefused.store(1);
    std::uint64_t seen = 0;
    for (;;) {
        waitUntil([&] { return ctl.generation.load(std::memory_order_acquire) != seen; });
        seen = ctl.generation.load(std::memory_order_acquire);
        if (ctl.stop.load() != 0) return;
        const std::int64_t start = nowNs();
        if (ctl.deliver.load(std::memory_order_relaxed) != 0) {
            client.block.blockCounter = ctl.counter.load(std::memory_order_relaxed);
            deliverOutputBlock(client.block);
        }
        ctl.times[k].start.store(start, std::memory_order_relaxed);
        ctl.times[k].end.store(nowNs(), std::memory_order_relaxed);
        ctl.done.fetch_add(1, std::memory_order_release);
    }
}

// Clients 1 to N-1 as threads or as forked processes; client 0 runs in the caller's thread.
// run() releases every client at once and returns the block's span in seconds (first start to
// last end) when all of them have finished the block.
class ClientPool {
  public:
    ClientPool(Shared& shared, std::vector<Client>& clients, bool processes)
        : ctl_(*shared.control), clients_(clients) {
        if (!enterRealTime()) ctl_.realTimeRefused.store(1);
        for (std::uint32_t k = 1; k < clients_.size(); ++k) {
            if (!processes) {
                threads_.emplace_back([this, k] { clientLoop(ctl_, clients_[k], k); });
                continue;
            }
            const pid_t pid = fork();
            if (pid == 0) {
                clientLoop(ctl_, clients_[k], k);
                _exit(0);
            }
            if (pid > 0) children_.push_back(pid);
        }
    }
    ~ClientPool() {
        ctl_.stop.store(1);
        ctl_.generation.fetch_add(1);
        for (auto& t : threads_) t.join();
        for (pid_t pid : children_) waitpid(pid, nullptr, 0);
    }
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;

    // False when a client process could not be started.
    bool complete() const { return threads_.size() + children_.size() + 1 == clients_.size(); }
    bool realTime() const { return ctl_.realTimeRefused.load() == 0; }

    double run(std::uint64_t counter, bool deliver) {
        ctl_.counter.store(counter, std::memory_order_relaxed);
        ctl_.deliver.store(deliver ? 1 : 0, std::memory_order_relaxed);
        ctl_.done.store(0, std::memory_order_relaxed);
        ctl_.generation.fetch_add(1, std::memory_order_release);
        std::int64_t first = nowNs();
        if (deliver) {
            clients_[0].block.blockCounter = counter;
            deliverOutputBlock(clients_[0].block);
        }
        std::int64_t last = nowNs();
        const int others = static_cast<int>(clients_.size()) - 1;
        waitUntil([&] { return ctl_.done.load(std::memory_order_acquire) == others; });
        for (int k = 1; k <= others; ++k) {
            first = std::min(first, ctl_.times[k].start.load(std::memory_order_relaxed));
            last = std::max(last, ctl_.times[k].end.load(std::memory_order_relaxed));
        }
        return static_cast<double>(last - first) * 1e-9;
    }

  private:
    Control& ctl_;
    std::vector<Client>& clients_;
    std::vector<std::thread> threads_;
    std::vector<pid_t> children_;
};

double quantile(std::vector<double>& samples, double q) {
    const auto at = static_cast<std::ptrdiff_t>(q * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + at, samples.end());
    return samples[static_cast<std::size_t>(at)];
}

// Median time per call of `step` (seconds), over 15 samples of enough calls for about 2 ms each.
template <class Step>
double medianSeconds(Step step) {
    int calls = 1;
    for (;;) {  // calibrate
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) step();
        if (Clock::now() - start > std::chrono::milliseconds(2) || calls >= (1 << 20)) break;
        calls *= 2;
    }
    std::vector<double> samples;
    for (int r = 0; r < 15; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) step();
        samples.push_back(std::chrono::duration<double>(Clock::now() - start).count() / calls);
    }
    return quantile(samples, 0.5);
}

// Checks the ring block and the accumulator block of block `counter` after every client
// delivered it. Empty when they hold what they must, else what is wrong.
std::string verifyBlock(const Shared& shared, std::uint32_t clients, std::uint32_t s,
                        std::uint64_t counter) {
    const std::uint32_t pos = targetRingBlock(counter, kRingBlocks);
    const std::uint32_t h = static_cast<std::uint32_t>(counter & 1);
    for (std::uint32_t f = 0; f < s; ++f) {
        for (std::uint32_t c = 0; c < kChannels; ++c) {
            float sum = 0;
            for (std::uint32_t k = 0; k < clients; ++k) sum += sampleOf(k, c, h, f);
            const float expected = clients > 1 ? clip(sum) : sum;
            const std::size_t at = vq36::PlaybackSampleOffset(pos, f, c, s) / sizeof(float);
            if (shared.ring[at] != expected)
                return "ring block " + std::to_string(pos) + " frame " + std::to_string(f) +
                       " channel " + std::to_string(c) + ": " + std::to_string(shared.ring[at]) +
                       ", expected " + std::to_string(expected);
            if (clients > 1 && shared.accumulator[at] != 0.0f)
                return "accumulator block " + std::to_string(pos) + " not cleared";
        }
    }
    if (clients > 1 && vq36::Load32(&shared.info->blockDeliveryCount[pos]) != 0)
        return "delivery count of ring block " + std::to_string(pos) + " not reset";
    return {};
}

void BM_DeliverSingle(benchmark::State& state) {
    const auto s = static_cast<std::uint32_t>(state.range(0));
    Shared shared(s, 1);
    Client client(shared, 0, s);
    PlainCopy copy(client, s);
    std::uint64_t counter = 0;
    for (auto _ : state) {
        client.block.blockCounter = ++counter;
        deliverOutputBlock(client.block);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChannels * s * 4);

    client.block.blockCounter = ++counter;
    deliverOutputBlock(client.block);
    if (const std::string fault = verifyBlock(shared, 1, s, counter); !fault.empty()) {
        state.SkipWithError(fault.c_str());
        return;
    }
    const double block = medianSeconds([&] {
        client.block.blockCounter = ++counter;
        deliverOutputBlock(client.block);
        benchmark::ClobberMemory();
    });
    const double plain = medianSeconds([&] { copy.run(++counter); });
    state.counters["block_us"] = block * 1e6;
    state.counters["copy_us"] = plain * 1e6;
    state.counters["vs_memcpy"] = plain > 0 ? block / plain : 0;
}
BENCHMARK(BM_DeliverSingle)->ArgName("frames")->Arg(48)->Arg(384)->Arg(3000);

// Joined clients: args frames, clients, and 0 for threads or 1 for processes.
void BM_DeliverJoined(benchmark::State& state) {
    const auto s = static_cast<std::uint32_t>(state.range(0));
    const auto n = static_cast<std::uint32_t>(state.range(1));
    const bool processes = state.range(2) != 0;
    const SchedulingGuard scheduling;
    Shared shared(s, n);
    std::vector<Client> clients;
    clients.reserve(n);
    for (std::uint32_t k = 0; k < n; ++k) clients.emplace_back(shared, k, s);
    ClientPool pool(shared, clients, processes);
    if (!pool.complete()) {
        state.SkipWithError("a client process could not be started");
        return;
    }
    std::uint64_t counter = 0;
    for (auto _ : state) pool.run(++counter, true);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n * kChannels * s * 4);

    // Many blocks of each kind, every block timed on its own.
    const std::size_t blocks = s <= 48 ? 2001 : (s <= 384 ? 801 : 201);
    std::vector<double> spans(blocks), skews(blocks), serials(blocks);
    for (double& span : spans) span = pool.run(++counter, true);
    for (double& skew : skews) skew = pool.run(++counter, false);
    for (double& serial : serials) {
        ++counter;
        const std::int64_t start = nowNs();
        for (auto& c : clients) {
            c.block.blockCounter = counter;
            deliverOutputBlock(c.block);
        }
        serial = static_cast<double>(nowNs() - start) * 1e-9;
    }
    pool.run(++counter, true);
    if (const std::string fault = verifyBlock(shared, n, s, counter); !fault.empty()) {
        state.SkipWithError(fault.c_str());
        return;
    }
    const double block = quantile(spans, 0.5);
    const double serial = quantile(serials, 0.5);
    state.counters["block_us"] = block * 1e6;
    state.counters["p90_us"] = quantile(spans, 0.9) * 1e6;
    state.counters["serial_us"] = serial * 1e6;
    state.counters["vs_serial"] = serial > 0 ? block / serial : 0;
    state.counters["skew_us"] = quantile(skews, 0.5) * 1e6;
    state.counters["fifo"] = pool.realTime() ? 1 : 0;
}
BENCHMARK(BM_DeliverJoined)
    ->ArgNames({"frames", "clients", "processes"})
    ->ArgsProduct({{48, 384, 3000}, {2, 4, 8}, {0}})
    ->ArgsProduct({{48, 384, 3000}, {4}, {1}})
    ->Iterations(200)
    ->UseRealTime();

void BM_PlainCopy(benchmark::State& state) {
    const auto s = static_cast<std::uint32_t>(state.range(0));
    Shared shared(s, 1);
    Client client(shared, 0, s);
    PlainCopy copy(client, s);
    std::uint64_t counter = 0;
    for (auto _ : state) copy.run(++counter);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChannels * s * 4);
}
BENCHMARK(BM_PlainCopy)->ArgName("frames")->Arg(48)->Arg(384)->Arg(3000);

}  // namespace
