// A small JACK client for the side-by-side latency benchmark (bench/jack_compare.sh): it
// measures, in every process callback, how far the callback starts after the server's cycle
// start, and counts the cycles it lost (gaps in the cycle's frame time, and the server's xruns).
//
// jack_frames_since_cycle_start counts whole frames (20.8 us at 48 kHz, rounded down), from the
// cycle start the server took with the same clock as jack_get_time. To get the microseconds, the
// callback takes the time at its start and then watches the count step to the next frame: the
// step comes at the cycle start plus that many frames (to the microsecond, which is the server's
// own unit), so the cycle start is known and the latency with it. The watch lasts at most about a
// frame and comes after the time is taken; both figures are reported.
//
// Built by the script (JACK is a benchmark dependency, not a build dependency of the project).
// Usage: jack_latency_client SECONDS REPORT.json
// The report is one flat JSON object: cycles, lostCycles, xruns, bufferSize, sampleRate,
// latencyP50Us, latencyP99Us, latencyMaxUs (to the microsecond), framesP50Us, framesP99Us,
// framesMaxUs (the whole-frame count turned into microseconds), unstepped (callbacks whose count
// did not step within the watch: the whole-frame figure stands in for them), realTime (1 when
// the server runs in real time), threadRealTime (1 when the client's thread runs in a real-time
// class), priority.

#include <jack/jack.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kMaxSamples = 1 << 22;

struct State {
    jack_client_t* client = nullptr;
    std::vector<std::uint32_t> frames;  // frames since cycle start, one per callback
    std::vector<float> micros;          // microseconds since cycle start, one per callback
    std::atomic<std::uint64_t> unstepped{0};
    std::atomic<std::size_t> count{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<std::uint64_t> xruns{0};
    jack_nframes_t lastFrameTime = 0;
    bool haveLast = false;
    std::atomic<int> policy{-1};
    std::atomic<int> priority{0};
    double rate = 48000;
};

State gState;

// Microseconds from the cycle start to `start`, when the frame count `since` (taken just after
// `start`) steps to the next within the watch; negative otherwise.
double microsSinceCycleStart(jack_time_t start, jack_nframes_t since, double rate) {
    const double frameUs = 1e6 / rate;
    const jack_time_t limit = start + static_cast<jack_time_t>(2 * frameUs) + 2;
    for (;;) {
        const jack_nframes_t f = jack_frames_since_cycle_start(gState.client);
        const jack_time_t t = jack_get_time();
        if (f != since) {
            if (f != since + 1) return -1;
            // The server's count steps at the first whole microsecond past the frame.
            const double stepAfterStart = std::ceil(static_cast<double>(f) * frameUs);
            return static_cast<double>(start) - (static_cast<double>(t) - stepAfterStart);
        }
        if (t > limit) return -1;
    }
}

int process(jack_nframes_t nframes, void*) {
    const jack_time_t start = jack_get_time();
    const jack_nframes_t since = jack_frames_since_cycle_start(gState.client);
    const double micros = microsSinceCycleStart(start, since, gState.rate);
    const jack_nframes_t cycle = jack_last_frame_time(gState.client);
    if (gState.haveLast && nframes != 0) {
        const jack_nframes_t gap = cycle - gState.lastFrameTime;
        if (gap > nframes) gState.lost.fetch_add(gap / nframes - 1, std::memory_order_relaxed);
    } else {
        sched_param param{};
        int policy = 0;
        pthread_getschedparam(pthread_self(), &policy, &param);
        gState.policy.store(policy);
        gState.priority.store(param.sched_priority);
    }
    gState.lastFrameTime = cycle;
    gState.haveLast = true;
    const std::size_t i = gState.count.load(std::memory_order_relaxed);
    if (i < gState.frames.size()) {
        gState.frames[i] = since;
        if (micros >= 0) {
            gState.micros[i] = static_cast<float>(micros);
        } else {
            gState.micros[i] = static_cast<float>(since * 1e6 / gState.rate);
            gState.unstepped.fetch_add(1, std::memory_order_relaxed);
        }
        gState.count.store(i + 1, std::memory_order_release);
    }
    return 0;
}

int xrun(void*) {
    gState.xruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: jack_latency_client SECONDS REPORT.json\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    gState.frames.resize(kMaxSamples);
    gState.micros.resize(kMaxSamples);
    jack_status_t status{};
    gState.client = jack_client_open("vq36_bench", JackNoStartServer, &status);
    if (gState.client == nullptr) {
        std::fprintf(stderr, "jack_latency_client: no JACK server (status 0x%x)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    gState.rate = jack_get_sample_rate(gState.client);
    jack_set_process_callback(gState.client, process, nullptr);
    jack_set_xrun_callback(gState.client, xrun, nullptr);
    if (jack_activate(gState.client) != 0) {
        std::fprintf(stderr, "jack_latency_client: cannot activate\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    jack_deactivate(gState.client);
    const double rate = jack_get_sample_rate(gState.client);
    const jack_nframes_t buffer = jack_get_buffer_size(gState.client);
    const int realTime = jack_is_realtime(gState.client);
    jack_client_close(gState.client);

    const std::size_t n = gState.count.load(std::memory_order_acquire);
    std::vector<double> us(n), framesUs(n);
    for (std::size_t i = 0; i < n; ++i) {
        us[i] = gState.micros[i];
        framesUs[i] = gState.frames[i] * 1e6 / rate;
    }
    const double maxUs = n ? *std::max_element(us.begin(), us.end()) : 0;
    const double p99 = percentile(us, 0.99);
    const double p50 = percentile(us, 0.50);
    const double framesMaxUs = n ? *std::max_element(framesUs.begin(), framesUs.end()) : 0;
    const double framesP99 = percentile(framesUs, 0.99);
    const double framesP50 = percentile(framesUs, 0.50);
    const int policy = gState.policy.load();
    std::FILE* f = std::fopen(argv[2], "w");
    if (f == nullptr) return 1;
    std::fprintf(f,
                 "{\"cycles\": %zu, \"lostCycles\": %llu, \"xruns\": %llu, \"bufferSize\": %u, "
                 "\"sampleRate\": %.0f, \"latencyP50Us\": %.1f, \"latencyP99Us\": %.1f, "
                 "\"latencyMaxUs\": %.1f, \"framesP50Us\": %.1f, \"framesP99Us\": %.1f, "
                 "\"framesMaxUs\": %.1f, \"unstepped\": %llu, \"realTime\": %d, "
                 "\"threadRealTime\": %d, \"priority\": %d}\n",
                 n, static_cast<unsigned long long>(gState.lost.load()),
                 static_cast<unsigned long long>(gState.xruns.load()), buffer, rate, p50, p99,
                 maxUs, framesP50, framesP99, framesMaxUs,
                 static_cast<unsigned long long>(gState.unstepped.load()), realTime,
                 policy == SCHED_FIFO || policy == SCHED_RR ? 1 : 0, gState.priority.load());
    std::fclose(f);
    return 0;
}
