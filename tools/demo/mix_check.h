#pragma once
// The mixing checker: proves that what the device played is, frame by frame, the clipped sum of
// the test sines of several ASIO clients that were started one after the other.
//
// Each client plays the quantised test sine on the checked channels, counted from its own first
// buffer switch: sample n = float(round(32768 * amp * sin(2 pi hz n / 48000)) / 32768). Such
// sums are exact in float whatever the order of addition, so the played frames must equal the
// clipped sum bit for bit. The checker does not know when each client started: it finds each
// client's frame offset from the played frames themselves, one client after the other.
//
//   1. Before client j (0-based) joins, frame i must equal clip(sum of the earlier clients at
//      i + their offsets). The first frame after client j-1's fit that does not is where client
//      j joined.
//   2. A margin later (the blocks around a join may hold a partial mix), client j's offset is
//      the one whose sine makes a stretch of frames equal to clip(earlier + client j). A sine of
//      HZ repeats every 48000 / gcd(48000, HZ) frames, so offsets are searched modulo that.
//   3. From the last join plus the margin to the end less the margin, every frame is compared.
//      A frame that is not the sum but equals the frame played one lap of the playback ring
//      earlier, or the sum that belonged there one lap earlier, is a repeat: its ring block
//      was not written in time (a client was catching up), so the device played the slot's
//      previous contents. Repeats are counted apart from mismatches.
//      After a mismatch that does not go away, the checker looks for a new offset of one client
//      that fits again (a slip of that client) and goes on with it: a re-alignment.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quantised_sine.h"

namespace vq36tools::mix {

inline constexpr std::uint32_t kSampleRate = 48000;

// A test sine: an integral frequency (1 to 24000 Hz) and an amplitude (0 to 1). Amplitude 0 is
// silence.
struct Tone {
    std::uint32_t hz = 0;
    double amplitude = 0.0;
};

// The test sine's sample n, as every client computes it.
using vq36tools::quantisedSine;
// Frames after which a sine of `hz` repeats: 48000 / gcd(48000, hz).
std::uint32_t sinePeriod(std::uint32_t hz);

// One client: its tone on each checked channel (in the order of MixInput::channels).
struct MixClient {
    std::string name;
    std::vector<Tone> tones;
};

struct MixInput {
    std::span<const float> played;  // interleaved frames of `stride` samples
    std::size_t stride = 10;
    std::vector<unsigned> channels;   // which samples of a frame are checked (0-based)
    std::vector<MixClient> clients;   // in the order they were started
    std::size_t marginFrames = 1536;  // skipped after each join and before the end
    std::size_t fitFrames = 768;      // frames a fit (or re-alignment) must match
    std::size_t lapFrames = 0;        // frames in one lap of the playback ring; 0: no repeats
};

struct ClientFit {
    bool found = false;
    std::size_t joinFrame = 0;  // first played frame that showed the client
    std::size_t fitFrame = 0;   // where its offset was fitted
    std::uint32_t offset = 0;   // sample n of the client is at played frame n - offset (mod period)
};

struct MixResult {
    bool aligned = false;  // every client was found
    std::string error;     // why not
    std::vector<ClientFit> clients;
    std::size_t firstChecked = 0;  // the all-playing stretch that was compared: [first, end)
    std::size_t endChecked = 0;
    std::uint64_t framesChecked = 0;
    std::uint64_t framesMismatching = 0;
    std::uint64_t framesRepeated = 0;  // not the sum, but the slot's contents of a lap earlier
    std::uint64_t framesClipped = 0;  // checked frames where the sum was clipped
    std::uint64_t realignments = 0;
    std::vector<std::size_t> firstMismatches;  // the first few mismatching frames

    bool passed() const { return aligned && framesChecked > 0 && framesMismatching == 0; }
};

// Checks the played frames; never throws. Bad input (no channels, a channel outside the stride,
// a tone with a frequency outside 1..24000 Hz, a client without a tone per channel, a margin or
// fit of zero frames) gives aligned = false with the reason in `error`.
MixResult checkMix(const MixInput& input);

// The sum of the clients' tones at played frame `frame` for checked channel `k`, clipped to
// [-1, 1], with the given offsets (one per client; all clients counted).
float expectedSample(const std::vector<MixClient>& clients,
                     const std::vector<std::uint32_t>& offsets, std::size_t clientCount,
                     std::size_t k, std::size_t frame);

}  // namespace vq36tools::mix
