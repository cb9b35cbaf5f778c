#pragma once
// The test sine that the tools play and check: sample n of a sine of `hz` at amplitude `amp`
// (48 kHz), quantised to 1/32768 so that any sum of a few of them is exact in float whatever
// the order of addition:
//   float(round(32768 * amp * sin(2 pi hz n / 48000)) / 32768), computed in double.
// The players and the checker must compute it the same way, bit for bit: this is the one place.

#include <cmath>
#include <cstdint>
#include <numbers>

namespace vq36tools {

inline float quantisedSine(double hz, double amp, std::uint64_t n) {
    const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(n) / 48000.0;
    return static_cast<float>(std::round(32768.0 * amp * std::sin(phase)) / 32768.0);
}

}  // namespace vq36tools
