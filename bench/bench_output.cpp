// Output delivery of one block (48, 384 and 3000 frames, all 10 outputs active) against a plain
// copy of the same samples, in the same run:
//  - one client: deliverOutputBlock copies the halves straight into the ring;
//  - 2, 4 and 8 joined clients: one thread per client, each with its own halves, all delivering
//    the same block into one record, ring and accumulator; the time is the wall time of the
//    whole block (from releasing the clients to the last one's return).
// Counters: "block_us" (median time per block), "copy_us" (median time of a plain copy of one
// client's samples: its 10 current halves into a staging buffer of the same byte count),
// "vs_memcpy" (their ratio) and, for the joined clients, "sync_us" (releasing and joining the
// clients with no delivery, which block_us includes) and "serial_us" (the same clients
// delivering one after another in one thread: the additions without contention).
// Every iteration moves the block counter on, so that blocks rotate through the ring. After the
// timing, one more block checks that the ring holds the (clipped) sum and the accumulator block
// is cleared.

#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output_delivery.h"
#include "public/vq36_shared.h"

namespace {

constexpr std::uint32_t kChannels = vq36::kPlaybackChannels;
constexpr std::uint32_t kRingBlocks = 10;
constexpr std::size_t kRegionFloats = vq36::kPlaybackRegionBytes / sizeof(float);

using Clock = std::chrono::steady_clock;

// Sample f of channel c, half h of client k: multiples of 1/8 up to +-0.75, so that every sum
// is exact in any order of additions, and the sums of two or more clients reach past +-1.
float sampleOf(std::uint32_t k, std::uint32_t c, std::uint32_t h, std::uint32_t f) {
    const int v = static_cast<int>((f * 7 + c * 3 + h * 5 + k * 11) % 13) - 6;
    return static_cast<float>(v) / 8.0f;
}

float clip(float v) {
    return v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
}

// The shared side: the record, the ring (with its overhang area) and the accumulator.
struct Shared {
    std::unique_ptr<vq36::AsioInfo> info = std::make_unique<vq36::AsioInfo>();  // zeroed
    std::vector<float> ring = std::vector<float>(kRegionFloats);
    std::vector<float> accumulator = std::vector<float>(kRegionFloats);

    Shared(std::uint32_t blockFrames, std::uint32_t clients) {
        vq36::Store32(&info->ringBlocks, kRingBlocks);
        vq36::Store32(&info->blockFrames, blockFrames);
        vq36::Store32(&info->sampleRate, vq36::kSampleRate);
        vq36::Store32(&info->joinedClientCount, clients);
        vq36::Store32(&info->isStreamingEnabled, 1);
    }
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
        block.info = shared.info.get();
        block.ring = shared.ring.data();
        block.accumulator = shared.accumulator.data();
        block.halves = halves.data();
        block.activeMask = (1u << kChannels) - 1;
        block.blockSize = static_cast<std::int32_t>(s);
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

// Waits for `ready` by spinning; after `sleepAfter` of spinning, by the atomic's wait on `word`
// (which must change whenever `ready` may turn true).
template <class Ready>
void spinThenWait(const std::atomic<std::uint64_t>& word, std::uint64_t seen,
                  std::atomic<int>& sleepers, Ready ready) {
    const auto start = Clock::now();
    for (unsigned i = 1; !ready(); ++i) {
        _mm_pause();
        if ((i & 255) == 0 && Clock::now() - start > std::chrono::microseconds(500)) {
            sleepers.fetch_add(1);
            if (!ready()) word.wait(seen);
            sleepers.fetch_sub(1);
        }
    }
}

// Clients 1 to N-1 on threads of their own; client 0 runs in the caller's thread. Each block
// releases every thread at once; run() returns when all of them have finished the block.
class ClientPool {
  public:
    ClientPool(std::vector<Client>& clients) : clients_(clients) {
        for (std::size_t k = 1; k < clients_.size(); ++k)
            threads_.emplace_back([this, k] { loop(k); });
    }
    ~ClientPool() {
        stop_.store(true);
        release();
        for (auto& t : threads_) t.join();
    }
    ClientPool(const ClientPool&) = delete;
    ClientPool& operator=(const ClientPool&) = delete;

    // Every client delivers block `counter` (or, without `deliver`, only meets the others).
    void run(std::uint64_t counter, bool deliver) {
        counter_.store(counter, std::memory_order_relaxed);
        deliver_.store(deliver, std::memory_order_relaxed);
        done_.store(0, std::memory_order_relaxed);
        release();
        if (deliver) {
            clients_[0].block.blockCounter = counter;
            deliverOutputBlock(clients_[0].block);
        }
        const int others = static_cast<int>(threads_.size());
        while (done_.load(std::memory_order_acquire) != others) _mm_pause();
    }

  private:
    void release() {
        generation_.fetch_add(1);  // seq_cst: ordered before the look at the sleepers
        if (sleepers_.load() != 0) generation_.notify_all();
    }

    void loop(std::size_t k) {
        std::uint64_t seen = 0;
        for (;;) {
            spinThenWait(generation_, seen, sleepers_,
                         [&] { return generation_.load(std::memory_order_acquire) != seen; });
            seen = generation_.load(std::memory_order_acquire);
            if (stop_.load()) return;
            if (deliver_.load(std::memory_order_relaxed)) {
                clients_[k].block.blockCounter = counter_.load(std::memory_order_relaxed);
                deliverOutputBlock(clients_[k].block);
            }
            done_.fetch_add(1, std::memory_order_release);
        }
    }

    std::vector<Client>& clients_;
    std::vector<std::thread> threads_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::uint64_t> counter_{0};
    std::atomic<bool> deliver_{false};
    std::atomic<bool> stop_{false};
    std::atomic<int> done_{0};
    std::atomic<int> sleepers_{0};
};

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
    std::nth_element(samples.begin(), samples.begin() + 7, samples.end());
    return samples[7];
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

void reportAgainstCopy(benchmark::State& state, double blockSeconds, double copySeconds) {
    state.counters["block_us"] = blockSeconds * 1e6;
    state.counters["copy_us"] = copySeconds * 1e6;
    state.counters["vs_memcpy"] = copySeconds > 0 ? blockSeconds / copySeconds : 0;
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
    reportAgainstCopy(state, block, plain);
}
BENCHMARK(BM_DeliverSingle)->ArgName("frames")->Arg(48)->Arg(384)->Arg(3000);

void BM_DeliverJoined(benchmark::State& state) {
    const auto s = static_cast<std::uint32_t>(state.range(0));
    const auto n = static_cast<std::uint32_t>(state.range(1));
    Shared shared(s, n);
    std::vector<Client> clients;
    clients.reserve(n);
    for (std::uint32_t k = 0; k < n; ++k) clients.emplace_back(shared, k, s);
    PlainCopy copy(clients[0], s);
    ClientPool pool(clients);
    std::uint64_t counter = 0;
    for (auto _ : state) pool.run(++counter, true);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n * kChannels * s * 4);

    pool.run(++counter, true);
    if (const std::string fault = verifyBlock(shared, n, s, counter); !fault.empty()) {
        state.SkipWithError(fault.c_str());
        return;
    }
    const double block = medianSeconds([&] { pool.run(++counter, true); });
    const double sync = medianSeconds([&] { pool.run(++counter, false); });
    const double serial = medianSeconds([&] {
        ++counter;
        for (auto& c : clients) {
            c.block.blockCounter = counter;
            deliverOutputBlock(c.block);
        }
        benchmark::ClobberMemory();
    });
    const double plain = medianSeconds([&] { copy.run(++counter); });
    reportAgainstCopy(state, block, plain);
    state.counters["sync_us"] = sync * 1e6;
    state.counters["serial_us"] = serial * 1e6;
}
BENCHMARK(BM_DeliverJoined)
    ->ArgNames({"frames", "clients"})
    ->ArgsProduct({{48, 384, 3000}, {2, 4, 8}})
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
