// Capture processing of one completion (1, 4 and 15 ms at a block of 96 samples) against a
// plain copy of the same bytes, in the same run. The ratio is reported as a counter of the
// capture benchmarks ("vs_memcpy"), for the widest moves the processor has and for the
// narrower ones.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "driver.h"
#include "standin/kernel/machine.h"

namespace {

struct Bench {
    std::unique_ptr<DeviceContext> ctx = std::make_unique<DeviceContext>();
    std::unique_ptr<vq36::AsioInfo> info = std::make_unique<vq36::AsioInfo>();
    std::vector<UCHAR> pool = std::vector<UCHAR>(vq36::kCapturePoolBytes);
    std::vector<UCHAR> planes = std::vector<UCHAR>(vq36::kCapturePlanesBytes);
    std::vector<UCHAR> ring = std::vector<UCHAR>(vq36::kPlaybackRegionBytes);

    explicit Bench(ULONG ms) {
        standin::kernel::resetMachine(standin::makeManualClock(standin::kUnitsPerSecond));
        std::memset(ctx.get(), 0, sizeof(DeviceContext));
        std::memset(info.get(), 0, sizeof(vq36::AsioInfo));
        ctx->infoRecord = info.get();
        ctx->capturePool = pool.data();
        ctx->capturePlanesView = planes.data();
        ctx->playbackClippedView = ring.data();
        ctx->currentBlockFrames = 96;
        ctx->blockBytesPerChannel = 4 * 96;
        ComputeBufferGeometry(ctx.get());
        auto* urb = &reinterpret_cast<PURB>(ctx->captureUrbs[0])->UrbIsochronousTransfer;
        urb->NumberOfPackets = 8 * ms;
        for (ULONG i = 0; i < 8 * ms; ++i) {
            urb->IsoPacket[i].Offset = 336 * i;
            urb->IsoPacket[i].Length = 288;
        }
        for (size_t i = 0; i < pool.size(); ++i) pool[i] = static_cast<UCHAR>(i * 7);
    }
};

// Time of one completion's processing, and of a plain copy of its captured bytes.
double SecondsProcessing(Bench& b, int rounds) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) ProcessCapturePacket(b.ctx.get(), 0, 1);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double SecondsCopying(Bench& b, ULONG ms, int rounds) {
    const size_t bytes = static_cast<size_t>(8 * ms) * 288;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        std::memcpy(b.planes.data(), b.pool.data(), bytes);
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The ratio of one completion's processing to a plain copy of the same bytes, measured in the
// same run: short batches of each in turn, and the median batch of each. On a shared machine a
// batch that another program interrupts falls out of the median, and both sides see the same
// load.
double RatioToCopy(Bench& b, ULONG ms) {
    constexpr int kBatches = 41;
    constexpr int kRounds = 200;
    std::vector<double> processing, copying;
    for (int k = 0; k < kBatches; ++k) {
        processing.push_back(SecondsProcessing(b, kRounds));
        copying.push_back(SecondsCopying(b, ms, kRounds));
    }
    const auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    const double copy = median(copying);
    return copy > 0 ? median(processing) / copy : 0;
}

// One completion's processing with moves of at most `bits` bits (where the processor has them).
void RunProcessing(benchmark::State& state, ULONG ms, ULONG bits) {
    Bench b(ms);
    gCaptureMoveBits = bits;
    for (auto _ : state) {
        ProcessCapturePacket(b.ctx.get(), 0, 1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 8 * ms * 288);
    state.counters["vs_memcpy"] = RatioToCopy(b, ms);
    gCaptureMoveBits = 512;
}

void BM_ProcessCapturePacket(benchmark::State& state) {
    RunProcessing(state, static_cast<ULONG>(state.range(0)), 512);
}
BENCHMARK(BM_ProcessCapturePacket)->Arg(1)->Arg(4)->Arg(15);

// The same with the narrower moves that processors without AVX-512 (256) or AVX2 (128) get.
void BM_ProcessCapturePacketNarrow(benchmark::State& state) {
    RunProcessing(state, static_cast<ULONG>(state.range(0)), static_cast<ULONG>(state.range(1)));
}
BENCHMARK(BM_ProcessCapturePacketNarrow)->ArgsProduct({{1, 4, 15}, {256, 128}});

void BM_MemcpySameBytes(benchmark::State& state) {
    const ULONG ms = static_cast<ULONG>(state.range(0));
    Bench b(ms);
    const size_t bytes = static_cast<size_t>(8 * ms) * 288;
    for (auto _ : state) {
        std::memcpy(b.planes.data(), b.pool.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_MemcpySameBytes)->Arg(1)->Arg(4)->Arg(15);

}  // namespace
