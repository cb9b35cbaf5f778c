// The mixing checker (see mix_check.h).

#include "mix_check.h"

#include <bit>
#include <algorithm>
#include <numeric>

namespace vq36tools::mix {
namespace {

// Mismatching frames whose position is kept for the report.
constexpr std::size_t kKeptMismatches = 8;
// After a mismatch, this many following frames that fit again make it a damaged frame, not a
// slip.
constexpr std::size_t kRecoveryProbeFrames = 16;
// A failed re-alignment is tried again this many frames later (not at every mismatching frame).
constexpr std::size_t kRealignRetryFrames = 64;
// A re-alignment needs at least this many frames to fit (fewer are left near the end).
constexpr std::size_t kMinRealignFrames = 64;

// Every client's samples over one period per checked channel, and the state of a check.
class Mix {
  public:
    Mix(const MixInput& in) : in_(in), frames_(in.played.size() / in.stride) {
        for (const MixClient& c : in.clients) {
            std::uint32_t period = 1;
            for (const Tone& t : c.tones) period = std::lcm(period, sinePeriod(t.hz));
            periods_.push_back(period);
            std::vector<std::vector<float>> perChannel;
            for (const Tone& t : c.tones) {
                std::vector<float> samples(period);
                for (std::uint32_t n = 0; n < period; ++n) {
                    samples[n] = quantisedSine(t.hz, t.amplitude, n);
                }
                perChannel.push_back(std::move(samples));
            }
            tables_.push_back(std::move(perChannel));
        }
        offsets_.assign(in.clients.size(), 0);
    }

    std::size_t frames() const { return frames_; }
    std::uint32_t period(std::size_t client) const { return periods_[client]; }
    std::uint32_t& offset(std::size_t client) { return offsets_[client]; }
    const std::vector<std::uint32_t>& offsets() const { return offsets_; }

    float played(std::size_t frame, std::size_t k) const {
        return in_.played[frame * in_.stride + in_.channels[k]];
    }

    // The unclipped sum of the first `count` clients at a played frame, channel k.
    float sum(std::size_t count, std::size_t k, std::size_t frame) const {
        float s = 0.0f;
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t p = periods_[j];
            s += tables_[j][k][(frame % p + offsets_[j]) % p];
        }
        return s;
    }

    // Frame `frame` equals the clipped sum of the first `count` clients on every channel.
    bool fits(std::size_t count, std::size_t frame, bool* clipped = nullptr) const {
        for (std::size_t k = 0; k < in_.channels.size(); ++k) {
            const float s = sum(count, k, frame);
            if (clipped != nullptr && (s > 1.0f || s < -1.0f)) *clipped = true;
            if (played(frame, k) != clip(s)) return false;
        }
        return true;
    }

    // The ring slot of the frame was not written in this lap: the frame holds what the device
    // played there one lap earlier, or the mix that belonged there one lap earlier (that block
    // was written, too late for its own lap).
    bool repeatsLap(std::size_t count, std::size_t frame) const {
        const std::size_t lap = in_.lapFrames;
        if (lap == 0 || frame < lap) return false;
        bool samePlayed = true;
        bool sameMix = true;
        for (std::size_t k = 0; k < in_.channels.size(); ++k) {
            const auto bits = std::bit_cast<std::uint32_t>(played(frame, k));
            samePlayed = samePlayed && bits == std::bit_cast<std::uint32_t>(played(frame - lap, k));
            const float mix = clip(sum(count, k, frame - lap));
            sameMix = sameMix && bits == std::bit_cast<std::uint32_t>(mix);
        }
        return samePlayed || sameMix;
    }

    // Every frame of [from, to) fits.
    bool stretchFits(std::size_t count, std::size_t from, std::size_t to) const {
        for (std::size_t f = from; f < to; ++f) {
            if (!fits(count, f)) return false;
        }
        return true;
    }

    // Searches client j's offset (the first j clients fixed) so that [from, to) fits with the
    // first j + 1 clients. Keeps the old offset and returns false when none does.
    bool searchOffset(std::size_t j, std::size_t from, std::size_t to) {
        const std::uint32_t old = offsets_[j];
        for (std::uint32_t o = 0; o < periods_[j]; ++o) {
            offsets_[j] = o;
            if (stretchFits(j + 1, from, to)) return true;
        }
        offsets_[j] = old;
        return false;
    }

    static float clip(float v) {
        if (v > 1.0f) return 1.0f;
        if (v < -1.0f) return -1.0f;
        return v;
    }

  private:
    const MixInput& in_;
    const std::size_t frames_;
    std::vector<std::uint32_t> periods_;
    std::vector<std::vector<std::vector<float>>> tables_;  // client, channel, n mod period
    std::vector<std::uint32_t> offsets_;
};

std::string validate(const MixInput& in) {
    if (in.stride == 0) return "frames of no samples";
    if (in.channels.empty()) return "no channel to check";
    for (unsigned c : in.channels) {
        if (c >= in.stride) return "channel " + std::to_string(c) + " is not in a frame";
    }
    if (in.clients.empty()) return "no client";
    for (const MixClient& c : in.clients) {
        if (c.tones.size() != in.channels.size()) {
            return "client " + c.name + " does not have a tone for every checked channel";
        }
        for (const Tone& t : c.tones) {
            if (t.hz < 1 || t.hz > kSampleRate / 2 || !(t.amplitude >= 0.0 && t.amplitude <= 1.0)) {
                return "client " + c.name + " has a tone outside 1..24000 Hz or amplitude 0..1";
            }
        }
    }
    if (in.marginFrames == 0 || in.fitFrames == 0) return "a margin or fit of no frames";
    return {};
}

}  // namespace

std::uint32_t sinePeriod(std::uint32_t hz) {
    if (hz == 0) return 1;
    return kSampleRate / std::gcd(kSampleRate, hz);
}

float expectedSample(const std::vector<MixClient>& clients,
                     const std::vector<std::uint32_t>& offsets, std::size_t clientCount,
                     std::size_t k, std::size_t frame) {
    float s = 0.0f;
    for (std::size_t j = 0; j < clientCount && j < clients.size() && j < offsets.size(); ++j) {
        if (k >= clients[j].tones.size()) continue;
        const Tone& t = clients[j].tones[k];
        const std::uint32_t p = sinePeriod(t.hz);
        s += quantisedSine(t.hz, t.amplitude, (frame % p + offsets[j] % p) % p);
    }
    if (s > 1.0f) return 1.0f;
    if (s < -1.0f) return -1.0f;
    return s;
}

MixResult checkMix(const MixInput& in) {
    MixResult r;
    r.error = validate(in);
    if (!r.error.empty()) return r;
    Mix mix(in);
    const std::size_t frames = mix.frames();
    const std::size_t clients = in.clients.size();
    r.clients.resize(clients);

    // Each client's join and offset, one after the other.
    std::size_t scan = 0;
    for (std::size_t j = 0; j < clients; ++j) {
        std::size_t join = scan;
        while (join < frames && mix.fits(j, join)) ++join;
        if (join >= frames) {
            r.error = "client " + in.clients[j].name + " never shows in the played frames";
            return r;
        }
        r.clients[j].joinFrame = join;
        bool found = false;
        std::size_t at = join + in.marginFrames;
        // Fits are tried window after window up to the end of the recording: the first misfit
        // is where the client registered (its buffers clear the ring), and a client may start
        // playing long after that on a loaded machine.
        for (; at + in.fitFrames <= frames; at += in.fitFrames) {
            if (mix.searchOffset(j, at, at + in.fitFrames)) {
                found = true;
                break;
            }
        }
        if (!found) {
            r.error = "no offset of client " + in.clients[j].name + " fits the frames after " +
                      "its join at frame " + std::to_string(join);
            return r;
        }
        r.clients[j].found = true;
        r.clients[j].fitFrame = at;
        r.clients[j].offset = mix.offset(j);
        scan = at + in.fitFrames;
    }
    r.aligned = true;

    // The all-playing stretch, frame by frame.
    const std::size_t first = r.clients.back().fitFrame;
    const std::size_t end = frames > in.marginFrames ? frames - in.marginFrames : 0;
    r.firstChecked = first;
    r.endChecked = end > first ? end : first;
    std::size_t lastAttempt = 0;
    bool attempted = false;
    for (std::size_t f = first; f < end; ++f) {
        bool clipped = false;
        const bool ok = mix.fits(clients, f, &clipped);
        ++r.framesChecked;
        if (clipped) ++r.framesClipped;
        if (ok) continue;
        if (mix.repeatsLap(clients, f)) {
            ++r.framesRepeated;
            continue;
        }
        ++r.framesMismatching;
        if (r.firstMismatches.size() < kKeptMismatches) r.firstMismatches.push_back(f);

        const std::size_t next = f + 1;
        const std::size_t probeEnd = std::min(end, next + kRecoveryProbeFrames);
        if (mix.stretchFits(clients, next, probeEnd)) continue;  // one damaged frame
        if (attempted && next - lastAttempt < kRealignRetryFrames) continue;
        attempted = true;
        lastAttempt = next;
        const std::size_t windowEnd = std::min(end, next + in.fitFrames);
        if (windowEnd - next < std::min(kMinRealignFrames, in.fitFrames)) continue;
        // One client slipped: a new offset of that client (the others kept) fits again.
        for (std::size_t j = 0; j < clients; ++j) {
            bool fitted = false;
            const std::uint32_t old = mix.offset(j);
            for (std::uint32_t o = 0; o < mix.period(j) && !fitted; ++o) {
                if (o == old) continue;
                mix.offset(j) = o;
                fitted = mix.stretchFits(clients, next, windowEnd);
            }
            if (fitted) {
                ++r.realignments;
                break;
            }
            mix.offset(j) = old;
        }
    }
    for (std::size_t j = 0; j < clients; ++j) r.clients[j].offset = mix.offset(j);
    return r;
}

}  // namespace vq36tools::mix
