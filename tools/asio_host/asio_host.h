#pragma once
// An ASIO host: finds a driver in the registry, creates it through COM as an in-process server,
// streams the chosen channels (each output from a signal, the inputs recorded), answers the
// driver's reset requests by re-creating it, and measures what it saw. Also the pieces other
// tools reuse: the quantised test sine, float WAV files and the stream report.
//
// ASIO's callbacks carry no context, so a process has at most one AsioHost streaming at a time.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quantised_sine.h"

struct IASIO;

namespace vq36host {

// ---- Signals ---------------------------------------------------------------------------------

constexpr double kSampleRate = 48000.0;

// The test sine (quantised_sine.h).
using vq36tools::quantisedSine;

// What an output plays: "sine:HZ[:AMP]" (AMP 0.5 unless given), "silence", "file:PATH" (a WAV
// file's first channel, looped).
struct SignalSpec {
    enum class Kind { kSilence, kSine, kFile };
    Kind kind = Kind::kSilence;
    double hz = 0.0;
    double amp = 0.5;
    std::string path;
};

// Parses a signal; false (and `error` says why) for anything else.
bool parseSignal(const std::string& text, SignalSpec* spec, std::string* error);

// A signal's samples, frame after frame. `fill` writes the next `count` samples and advances.
class Signal {
  public:
    virtual ~Signal() = default;
    virtual void fill(float* out, std::size_t count) = 0;
};

// Makes the signal of `spec` (loads the file of a file signal); null (and `error`) on failure.
std::unique_ptr<Signal> makeSignal(const SignalSpec& spec, std::string* error);

// ---- WAV files -------------------------------------------------------------------------------

// Audio as floats, interleaved: frame f, channel c at samples[f * channels + c].
struct WavData {
    std::uint32_t sampleRate = 48000;
    std::uint16_t channels = 0;
    std::vector<float> samples;

    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// Writes a 32-bit float WAV (format 3). False (and `error`) when the file cannot be written.
bool writeWavFloat(const std::string& path, const WavData& data, std::string* error);

// Reads a WAV file of 32-bit float (format 3) or 16-bit PCM (format 1, scaled to -1..1); also
// the extensible format holding either. False (and `error`) for anything else or a damaged file.
bool readWav(const std::string& path, WavData* data, std::string* error);

// A float WAV written while it grows: open, append frames, close (which fixes the sizes).
class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, std::uint16_t channels, std::uint32_t sampleRate,
              std::string* error);
    // Appends `frames` interleaved frames of `channels` samples each.
    bool append(const float* interleaved, std::size_t frames);
    bool close(std::string* error);
    std::uint64_t framesWritten() const { return frames_; }

  private:
    void* file_ = nullptr;  // FILE*
    std::uint16_t channels_ = 0;
    std::uint32_t sampleRate_ = 48000;
    std::uint64_t frames_ = 0;
    bool failed_ = false;
};

// ---- The report ------------------------------------------------------------------------------

struct StreamReport {
    std::string driver;
    long bufferSize = 0;
    std::uint64_t blocks = 0;       // buffer switches
    std::uint64_t resets = 0;       // reset requests
    std::uint64_t recreations = 0;  // driver re-creations that followed them
    // Time between buffer switches, microseconds.
    double intervalP50Us = 0, intervalP99Us = 0, intervalMaxUs = 0;
    // From the kernel's boundary of the switch's block (or, for a switch behind the kernel's count,
    // its newest boundary no switch used) to the start of the buffer switch, microseconds.
    double latencyP50Us = 0, latencyP99Us = 0, latencyMaxUs = 0;
    std::uint64_t latencySamples = 0;    // switches measured
    std::uint64_t latencyUnmatched = 0;  // switches with no boundary told within two blocks
    std::uint64_t lateSwitches = 0;      // switches after the kernel's count passed their block
    // From the moment the device's sample clock passed the block's last sample to the start of
    // the buffer switch, microseconds (with HostOptions::deviceClockRate only).
    double deviceLatencyP50Us = 0, deviceLatencyP99Us = 0, deviceLatencyMaxUs = 0;
    std::uint64_t deviceLatencySamples = 0;
    // Switches whose input half held no whole block of the counting signal.
    std::uint64_t deviceLatencyUnmatched = 0;
    // The scheduling class of the thread that called the buffer switch (at its 100th block):
    // 1 for a real-time class, with its priority.
    int switchRealTime = 0, switchPriority = 0;
    // The kernel's figures at stop (from the shared record).
    std::uint64_t userSlips = 0;
    std::uint64_t kernUnder = 0;
    std::uint64_t kernOver = 0;
    double estSampleRate = 0;
    std::uint64_t joinedClients = 0;

    // One flat JSON object with the keys blocks, resets, recreations, bufferSize, intervalP50Us,
    // intervalP99Us, intervalMaxUs, latencyP50Us, latencyP99Us, latencyMaxUs, latencySamples,
    // latencyUnmatched, lateSwitches, deviceLatencyP50Us, deviceLatencyP99Us, deviceLatencyMaxUs,
    // deviceLatencySamples, deviceLatencyUnmatched, switchRealTime, switchPriority, userSlips,
    // kernUnder, kernOver, estSampleRate, joinedClients (and driver).
    std::string toJson() const;
    // The same for a person, a few lines.
    std::string toText() const;
};

// p-th percentile (0..100) of `values` (nearest rank; 0 for none). Sorts a copy.
double percentile(std::vector<double> values, double p);

// The kernel's block boundaries as a host learns them from the device's record. The kernel stores
// the new block count before it signals its clients and the boundary's time only after it has
// signalled them all, so while the count reads n the time is boundary n - 1's or boundary n's. A
// look reads the count, the time and the count again (both counts the same). It tells the time
// of boundary n when boundary n - 1's is known and the time differs from it, or when the time
// changed between two looks at the same count. Telling a switch "any time not used yet" instead
// would, after a boundary the host never saw, give it the previous boundary's time for the new one.
class BoundaryTimes {
  public:
    void look(std::uint64_t count, std::int64_t time);
    // Boundary `count`'s time when the looks told it.
    bool boundary(std::uint64_t count, std::int64_t* time) const;
    // Takes `time` as boundary `count`'s: looks for a quarter block at a count that stood still
    // found no other (the kernel stores the time a few wake-ups after the count).
    void settle(std::uint64_t count, std::int64_t time);

  private:
    bool known_ = false;  // boundary count_'s time is time_
    std::uint64_t count_ = 0;
    std::int64_t time_ = 0;
    bool looked_ = false;  // the previous look
    std::uint64_t lookCount_ = 0;
    std::int64_t lookTime_ = 0;
};

// Buffer switches that started after the kernel's count had passed their block: the host read
// an input half that the kernel was already writing again. The driver makes one switch per block,
// also for the blocks it catches up on, so the kernel's count at a switch's start less the
// switches before it is the same for every switch on time, and larger by the blocks a late one is
// behind. The smallest such offset of a run of the driver is taken as on time; a re-creation of
// the driver starts a new run.
class LateSwitches {
  public:
    void add(std::uint64_t countAtStart, std::uint64_t switchesBefore);
    void restart();
    std::uint64_t total() const;

  private:
    static constexpr std::size_t kSpan = 64;    // offsets told apart; later ones share the last
    static constexpr std::int64_t kBelow = 16;  // room below the run's first offset
    std::uint64_t lateInRun() const;
    std::array<std::uint64_t, kSpan> byOffset_{};
    bool started_ = false;
    std::int64_t first_ = 0;
    std::uint64_t earlierRuns_ = 0;
};

// ---- Drivers in the registry -----------------------------------------------------------------

struct DriverEntry {
    std::string name;   // the key under HKLM\SOFTWARE\ASIO
    std::string clsid;  // "{...}" as registered
    std::string description;
    std::string serverPath;  // HKCR\CLSID\{...}\InprocServer32 default value ("" when none)
};

// The registered ASIO drivers, in the registry's order; a registry that cannot be read gives
// none, with the reason in *error.
std::vector<DriverEntry> listDrivers(std::string* error = nullptr);
// The driver registered as `name`; false (and `error`) when there is none.
bool findDriver(const std::string& name, DriverEntry* entry, std::string* error);
// A new driver object of the registered `entry`, made through COM as hosts make it (on a thread
// that has called CoInitialize): the class factory of its in-process server asked for IASIO
// under the driver's class id. Null (and `error`) when it cannot be made; release it with
// standin::win32::releaseInprocObject.
IASIO* createDriverObject(const DriverEntry& entry, std::string* error);

// ---- The host --------------------------------------------------------------------------------

struct HostOptions {
    std::string driver = "Vexa VQ36";
    std::vector<long> outputs{0, 1};        // 0-based channel numbers
    std::vector<long> inputs;               // 0-based
    std::vector<SignalSpec> outputSignals;  // per entry of `outputs`; silence when short
    long bufferSize = 0;                    // 0: the driver's preferred size
    bool outputReady = false;               // call outputReady() from the buffer switch
    std::string recordPath;                 // the inputs as a float WAV ("" for none)
    // The device's sample clock, to measure from the moment it passed each block's last sample
    // as well: capture frame 0 at deviceClockOrigin (monotonic clock, 100 ns units) and
    // deviceClockRate frames a second (0: not measured). The first input must carry the
    // device's counting signal, whose samples tell their frame.
    std::int64_t deviceClockOrigin = 0;
    double deviceClockRate = 0;
};

// How long a host keeps trying to re-create its driver after a reset request before it gives up.
inline constexpr std::chrono::seconds kRecreateLimit{30};

class AsioHostImpl;

class AsioHost {
  public:
    AsioHost();
    ~AsioHost();  // stops and releases whatever is still running
    AsioHost(const AsioHost&) = delete;
    AsioHost& operator=(const AsioHost&) = delete;

    // Finds, creates, initialises the driver, creates the buffers and starts. False (and
    // `error`, naming the step: "createBuffers failed: -997") when any of it fails; the host is
    // then released.
    bool start(const HostOptions& options, std::string* error);
    // Serves reset requests (re-creating the driver) for up to `ms` milliseconds. A re-creation
    // that fails (the device or its machine gone) is tried again every half second; once that
    // has failed for kRecreateLimit, serve returns false (`error` says why). Call it from the
    // host's thread.
    bool serve(long ms, std::string* error);
    // Waits up to `ms` for the first buffer switch; true once one came.
    bool waitFirstBlock(long ms);
    // Buffer switches and reset requests so far.
    std::uint64_t blocks() const;
    std::uint64_t resets() const;
    // Stops, reads the kernel's figures, disposes, releases, closes the recording.
    bool stop(std::string* error);

    // The figures so far; complete and consistent once stop() has returned (the kernel's
    // figures are read by stop()).
    StreamReport report() const;

  private:
    std::unique_ptr<AsioHostImpl> impl_;
};

}  // namespace vq36host
