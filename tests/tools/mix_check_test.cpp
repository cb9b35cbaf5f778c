// The mixing checker on made-up recordings: clients whose sines start at known frames, with
// clipping, a damaged frame, slips and clients that never play.

#include "mix_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using vq36tools::mix::checkMix;
using vq36tools::mix::MixClient;
using vq36tools::mix::MixInput;
using vq36tools::mix::quantisedSine;
using vq36tools::mix::Tone;

constexpr std::size_t kStride = 10;
constexpr std::size_t kBlock = 384;

// A client of the made-up recording: its tone on channels 0 and 1, the played frame of its
// sample 0, and blocks it missed (its sample count jumps by a block at those frames).
struct Player {
    std::uint32_t hz;
    double amplitude;
    std::size_t start;
    std::vector<std::size_t> slipsAt;
};

// What a device plays when the players' sines are summed and clipped: sample n of a player is
// computed from n itself, as a client does, not from a table.
std::vector<float> record(const std::vector<Player>& players, std::size_t frames) {
    std::vector<float> out(frames * kStride, 0.0f);
    for (std::size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < 2; ++c) {
            float s = 0.0f;
            for (const Player& p : players) {
                if (f < p.start) continue;
                std::uint64_t n = f - p.start;
                for (std::size_t at : p.slipsAt) {
                    if (f >= at) n += kBlock;
                }
                s += quantisedSine(p.hz, p.amplitude, n);
            }
            out[f * kStride + c] = std::fmax(-1.0f, std::fmin(1.0f, s));
        }
        out[f * kStride + 5] = 0.25f;  // an unchecked channel with something on it
    }
    return out;
}

MixInput inputFor(const std::vector<float>& played, const std::vector<Player>& players) {
    MixInput in;
    in.played = played;
    in.stride = kStride;
    in.channels = {0, 1};
    for (const Player& p : players) {
        in.clients.push_back(
            {std::to_string(p.hz) + " Hz", {{p.hz, p.amplitude}, {p.hz, p.amplitude}}});
    }
    return in;
}

std::uint32_t offsetOf(const Player& p) {
    const std::uint32_t period = vq36tools::mix::sinePeriod(p.hz);
    return static_cast<std::uint32_t>((period - p.start % period) % period);
}

TEST(MixCheck, QuantisedSinesSumExactlyInAnyOrder) {
    EXPECT_EQ(vq36tools::mix::sinePeriod(440), 1200u);
    EXPECT_EQ(vq36tools::mix::sinePeriod(660), 800u);
    EXPECT_EQ(vq36tools::mix::sinePeriod(1000), 48u);
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint64_t> position(0, 10'000'000);
    const std::uint32_t hz[8] = {440, 660, 550, 770, 330, 1000, 125, 4000};
    for (int trial = 0; trial < 2000; ++trial) {
        float values[8];
        double exact = 0.0;
        for (int j = 0; j < 8; ++j) {
            values[j] = quantisedSine(hz[j], 0.9, position(random));
            EXPECT_EQ(std::fmod(static_cast<double>(values[j]) * 32768.0, 1.0), 0.0);
            exact += values[j];
        }
        float forward = 0.0f, backward = 0.0f;
        for (int j = 0; j < 8; ++j) forward += values[j];
        for (int j = 7; j >= 0; --j) backward += values[j];
        ASSERT_EQ(static_cast<double>(forward), exact);
        ASSERT_EQ(forward, backward);
    }
}

TEST(MixCheck, FindsStaggeredClientsAndChecksTheClippedMix) {
    const std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 20123, {}}};
    const auto played = record(players, 60000);
    MixInput in = inputFor(played, players);
    const auto r = checkMix(in);
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_TRUE(r.passed());
    ASSERT_EQ(r.clients.size(), 2u);
    EXPECT_EQ(r.clients[0].offset, offsetOf(players[0]));
    EXPECT_EQ(r.clients[1].offset, offsetOf(players[1]));
    // Sample 0 of a sine is 0: a client shows from its second frame on.
    EXPECT_EQ(r.clients[0].joinFrame, 1001u);
    EXPECT_EQ(r.clients[1].joinFrame, 20124u);
    EXPECT_EQ(r.firstChecked, 20124u + in.marginFrames);
    EXPECT_EQ(r.endChecked, 60000u - in.marginFrames);
    EXPECT_EQ(r.framesChecked, r.endChecked - r.firstChecked);
    EXPECT_EQ(r.framesMismatching, 0u);
    EXPECT_EQ(r.realignments, 0u);
    EXPECT_GT(r.framesClipped, 1000u);
    EXPECT_LT(r.framesClipped, r.framesChecked / 2);
}

TEST(MixCheck, FourQuietClientsNeverClip) {
    const std::vector<Player> players = {
        {440, 0.2, 500, {}}, {550, 0.2, 9000, {}}, {660, 0.2, 17777, {}}, {770, 0.2, 26001, {}}};
    const auto played = record(players, 70000);
    const auto r = checkMix(inputFor(played, players));
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_TRUE(r.passed());
    for (std::size_t j = 0; j < players.size(); ++j) {
        EXPECT_EQ(r.clients[j].offset, offsetOf(players[j])) << j;
    }
    EXPECT_EQ(r.framesClipped, 0u);
    EXPECT_GT(r.framesChecked, 40000u);
}

TEST(MixCheck, ADamagedFrameIsOneMismatchAndNoSlip) {
    const std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 20123, {}}};
    auto played = record(players, 60000);
    // One bit of one sample, in the middle of the all-playing stretch.
    played[40000 * kStride + 1] = std::nextafter(played[40000 * kStride + 1], 2.0f);
    const auto r = checkMix(inputFor(played, players));
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_FALSE(r.passed());
    EXPECT_EQ(r.framesMismatching, 1u);
    ASSERT_EQ(r.firstMismatches.size(), 1u);
    EXPECT_EQ(r.firstMismatches[0], 40000u);
    EXPECT_EQ(r.realignments, 0u);
}

TEST(MixCheck, ABlockPlayedALapLateIsARepeatButAPartialSumIsAMismatch) {
    const std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 20123, {}}};
    const std::size_t lap = 15 * kBlock;
    const auto mixed = record(players, 60000);
    auto played = mixed;
    auto block = [](std::size_t frame) {
        return static_cast<std::ptrdiff_t>(frame * kStride);
    };
    // The ring block at 40320 was written too late: the device played the previous lap there
    // again. A lap later nobody wrote it in time either, and the device played the mix that
    // was written late.
    const std::size_t stale = 105 * kBlock;
    std::copy_n(mixed.begin() + block(stale - lap), kBlock * kStride,
                played.begin() + block(stale));
    std::copy_n(mixed.begin() + block(stale), kBlock * kStride,
                played.begin() + block(stale + lap));
    MixInput in = inputFor(played, players);
    in.lapFrames = lap;
    auto r = checkMix(in);
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_TRUE(r.passed());
    EXPECT_EQ(r.framesRepeated, 2 * kBlock);
    EXPECT_EQ(r.framesMismatching, 0u);
    EXPECT_EQ(r.realignments, 0u);

    // Without the lap the same block is a run of mismatches.
    in.lapFrames = 0;
    r = checkMix(in);
    EXPECT_FALSE(r.passed());
    EXPECT_EQ(r.framesRepeated, 0u);
    EXPECT_GE(r.framesMismatching, kBlock / 2);

    // A block that carries the second client's samples twice is neither.
    auto doubled = mixed;
    const std::size_t twice = 110 * kBlock;
    for (std::size_t f = twice; f < twice + kBlock; ++f) {
        for (unsigned c = 0; c < 2; ++c) {
            doubled[f * kStride + c] +=
                quantisedSine(660, 0.6, f - 20123 - lap) * 0.5f;
        }
    }
    in.played = doubled;
    in.lapFrames = lap;
    r = checkMix(in);
    EXPECT_FALSE(r.passed());
    EXPECT_EQ(r.framesRepeated, 0u);
    EXPECT_GE(r.framesMismatching, kBlock / 2);
}

TEST(MixCheck, AClientThatSkipsABlockIsReAligned) {
    // The second client skips one block of its sine at frame 40000 (its output jumps ahead).
    const std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 20123, {40000}}};
    const auto played = record(players, 60000);
    const auto r = checkMix(inputFor(played, players));
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_FALSE(r.passed());
    EXPECT_EQ(r.realignments, 1u);
    EXPECT_GE(r.framesMismatching, 1u);
    EXPECT_LE(r.framesMismatching, 4u);
    EXPECT_EQ(r.firstMismatches[0], 40000u);
    EXPECT_EQ(r.clients[1].offset, (offsetOf(players[1]) + kBlock) % 800);
    EXPECT_EQ(r.clients[0].offset, offsetOf(players[0]));
}

TEST(MixCheck, AStaleBlockThenASlipCountsTheBlockAndOneReAlignment) {
    const std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 20123, {}}};
    auto played = record(players, 60000);
    // The first client missed a block: it holds what the ring held a lap earlier, and the
    // client goes on one block later in its sine.
    const std::size_t at = 36000;
    std::vector<Player> late = players;
    late[0].slipsAt = {at + kBlock};
    const auto after = record(late, 60000);
    for (std::size_t f = at; f < at + kBlock; ++f) {
        for (unsigned c = 0; c < 2; ++c) {
            played[f * kStride + c] = played[(f - 16 * kBlock) * kStride + c];
        }
    }
    for (std::size_t f = at + kBlock; f < 60000; ++f) {
        for (unsigned c = 0; c < 2; ++c) played[f * kStride + c] = after[f * kStride + c];
    }
    const auto r = checkMix(inputFor(played, players));
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_EQ(r.realignments, 1u);
    EXPECT_GE(r.framesMismatching, kBlock - 8);
    EXPECT_LE(r.framesMismatching, kBlock + 64);
    EXPECT_EQ(r.clients[0].offset, (offsetOf(players[0]) + kBlock) % 1200);
}

TEST(MixCheck, FindsAClientThatPlaysLongAfterItClearedTheRing) {
    // The second client's registration clears the ring (a stretch of silence) a second before
    // its first block plays; the check finds it there and passes.
    std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 58000, {}}};
    auto played = record(players, 90000);
    for (std::size_t f = 9000; f < 9000 + 16 * kBlock; ++f)
        for (unsigned c = 0; c < 2; ++c) played[f * kStride + c] = 0.0f;
    const auto r = checkMix(inputFor(played, players));
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_TRUE(r.passed());
    EXPECT_GE(r.clients[1].fitFrame, 58000u);
    EXPECT_EQ(r.clients[1].offset, offsetOf(players[1]));
}

TEST(MixCheck, TellsWhatItCannotCheck) {
    const std::vector<Player> players = {{440, 0.6, 1000, {}}, {660, 0.6, 20123, {}}};
    const auto played = record(players, 30000);

    // A client that never plays.
    std::vector<Player> three = players;
    three.push_back({880, 0.3, 1u << 30, {}});
    auto r = checkMix(inputFor(played, three));
    EXPECT_FALSE(r.aligned);
    EXPECT_FALSE(r.passed());
    EXPECT_NE(r.error.find("880 Hz"), std::string::npos) << r.error;

    // A client that plays something else than its tone.
    MixInput wrongTone = inputFor(played, players);
    wrongTone.clients[1].tones = {{661, 0.6}, {661, 0.6}};
    r = checkMix(wrongTone);
    EXPECT_FALSE(r.aligned);
    EXPECT_NE(r.error.find("no offset"), std::string::npos) << r.error;

    // Input that makes no sense.
    MixInput bad = inputFor(played, players);
    bad.channels = {0, 10};
    EXPECT_FALSE(checkMix(bad).aligned);
    bad = inputFor(played, players);
    bad.clients[0].tones.pop_back();
    EXPECT_FALSE(checkMix(bad).aligned);
    bad = inputFor(played, players);
    bad.clients[0].tones[0].hz = 0;
    EXPECT_FALSE(checkMix(bad).aligned);
    bad = inputFor(played, players);
    bad.clients[0].tones[0].amplitude = std::nan("");
    EXPECT_FALSE(checkMix(bad).aligned);
    bad = inputFor(played, players);
    bad.stride = 0;
    EXPECT_FALSE(checkMix(bad).aligned);
    bad = inputFor(played, players);
    bad.fitFrames = 0;
    EXPECT_FALSE(checkMix(bad).aligned);

    // Too few frames, and none at all.
    MixInput shortInput = inputFor(played, players);
    shortInput.played = std::span<const float>(played).first(1200 * kStride);
    EXPECT_FALSE(checkMix(shortInput).aligned);
    shortInput.played = {};
    r = checkMix(shortInput);
    EXPECT_FALSE(r.aligned);
    EXPECT_FALSE(r.error.empty());
}

}  // namespace
