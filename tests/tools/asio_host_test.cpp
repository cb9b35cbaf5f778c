// The ASIO host's pieces that need no driver: the quantised sine, signals, float WAV files and
// the report.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asio_host.h"
#include "standin/win32/testing.h"

namespace {

using vq36host::quantisedSine;

TEST(QuantisedSine, IsOnTheGridAndRepeatsWithItsPeriod) {
    for (std::uint64_t n = 0; n < 1200; ++n) {
        const float v = quantisedSine(440.0, 0.5, n);
        const double steps = static_cast<double>(v) * 32768.0;
        EXPECT_EQ(steps, std::round(steps)) << n;
        EXPECT_LE(std::fabs(v), 0.5f);
        EXPECT_EQ(v, quantisedSine(440.0, 0.5, n + 1200)) << n;
    }
    EXPECT_EQ(quantisedSine(440.0, 0.5, 0), 0.0f);
    // A quarter period of 1 kHz (12 frames) is the peak: 0.5 exactly.
    EXPECT_EQ(quantisedSine(1000.0, 0.5, 12), 0.5f);
    EXPECT_EQ(quantisedSine(1000.0, 0.25, 36), -0.25f);
    // The definition, computed in double.
    const double x = std::sin(2.0 * 3.141592653589793 * 440.0 * 7.0 / 48000.0);
    EXPECT_EQ(quantisedSine(440.0, 0.5, 7),
              static_cast<float>(std::round(32768.0 * 0.5 * x) / 32768.0));
}

TEST(QuantisedSine, SumsOfEightAreExactInAnyOrder) {
    const double hz[8] = {440, 550, 660, 1000, 1234.5, 97, 3000, 20};
    for (std::uint64_t n = 0; n < 2000; ++n) {
        float forward = 0.0f;
        float backward = 0.0f;
        double exact = 0.0;
        for (int i = 0; i < 8; ++i) {
            forward += quantisedSine(hz[i], 0.5, n);
            backward += quantisedSine(hz[7 - i], 0.5, n);
            exact += quantisedSine(hz[i], 0.5, n);
        }
        ASSERT_EQ(forward, backward) << n;
        ASSERT_EQ(static_cast<double>(forward), exact) << n;
    }
}

TEST(Signals, ParseTheThreeKindsAndRefuseTheRest) {
    vq36host::SignalSpec s;
    std::string error;
    ASSERT_TRUE(vq36host::parseSignal("sine:440", &s, &error));
    EXPECT_EQ(s.kind, vq36host::SignalSpec::Kind::kSine);
    EXPECT_EQ(s.hz, 440.0);
    EXPECT_EQ(s.amp, 0.5);
    ASSERT_TRUE(vq36host::parseSignal("sine:1000.5:0.25", &s, &error));
    EXPECT_EQ(s.hz, 1000.5);
    EXPECT_EQ(s.amp, 0.25);
    ASSERT_TRUE(vq36host::parseSignal("silence", &s, &error));
    EXPECT_EQ(s.kind, vq36host::SignalSpec::Kind::kSilence);
    ASSERT_TRUE(vq36host::parseSignal("file:/tmp/a.wav", &s, &error));
    EXPECT_EQ(s.kind, vq36host::SignalSpec::Kind::kFile);
    EXPECT_EQ(s.path, "/tmp/a.wav");
    for (const char* bad : {"", "sine", "sine:", "sine:x", "sine:-5", "sine:24000", "sine:440:",
                            "sine:440:1.5", "sine:440:0.5:1", "sine:nan", "file:", "noise"}) {
        EXPECT_FALSE(vq36host::parseSignal(bad, &s, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Signals, SineCountsFramesAcrossFills) {
    vq36host::SignalSpec spec;
    std::string error;
    ASSERT_TRUE(vq36host::parseSignal("sine:440:0.8", &spec, &error));
    auto sine = vq36host::makeSignal(spec, &error);
    ASSERT_TRUE(sine);
    std::vector<float> out(250);
    sine->fill(out.data(), 100);
    sine->fill(out.data() + 100, 150);
    for (std::uint64_t n = 0; n < out.size(); ++n) {
        EXPECT_EQ(out[n], quantisedSine(440.0, 0.8, n)) << n;
    }
}

class WavFiles : public ::testing::Test {
  protected:
    std::string path(const char* name) const { return root.root() + "/" + name; }
    void writeBytes(const std::string& p, const std::vector<unsigned char>& b) {
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    standin::win32::ScopedFreshMachine root;  // a folder that goes with the test
};

TEST_F(WavFiles, FloatFilesComeBackBitForBit) {
    vq36host::WavData in;
    in.channels = 3;
    for (int i = 0; i < 3 * 1001; ++i)
        in.samples.push_back(quantisedSine(97.0, 0.9, i) - 1e-9f * i);
    std::string error;
    ASSERT_TRUE(vq36host::writeWavFloat(path("a.wav"), in, &error)) << error;
    vq36host::WavData out;
    ASSERT_TRUE(vq36host::readWav(path("a.wav"), &out, &error)) << error;
    EXPECT_EQ(out.channels, 3);
    EXPECT_EQ(out.sampleRate, 48000u);
    ASSERT_EQ(out.samples.size(), in.samples.size());
    EXPECT_EQ(std::memcmp(out.samples.data(), in.samples.data(), in.samples.size() * 4), 0);
}

TEST_F(WavFiles, AWriterThatGrowsFixesTheSizesAtClose) {
    vq36host::WavWriter w;
    std::string error;
    ASSERT_TRUE(w.open(path("g.wav"), 2, 48000, &error)) << error;
    const float frames[6] = {0.25f, -0.25f, 0.5f, -0.5f, 1.0f, -1.0f};
    ASSERT_TRUE(w.append(frames, 2));
    ASSERT_TRUE(w.append(frames + 4, 1));
    EXPECT_EQ(w.framesWritten(), 3u);
    ASSERT_TRUE(w.close(&error)) << error;
    vq36host::WavData out;
    ASSERT_TRUE(vq36host::readWav(path("g.wav"), &out, &error)) << error;
    EXPECT_EQ(out.frames(), 3u);
    EXPECT_EQ(out.samples, std::vector<float>(frames, frames + 6));
    EXPECT_FALSE(w.open(root.root() + "/no/such/folder/x.wav", 1, 48000, &error));
}

TEST_F(WavFiles, SixteenBitPcmIsScaledAndAFileSignalLoopsItsFirstChannel) {
    // 2 channels, 3 frames: first channel 16384, -32768, 0.
    std::vector<unsigned char> b = {
        'R', 'I', 'F', 'F', 0,   0,   0,   0,   'W',  'A',  'V', 'E', 'f',  'm',  't', ' ',
        16,  0,   0,   0,   1,   0,   2,   0,   0x80, 0xBB, 0,   0,   0,    0xEE, 2,   0,
        4,   0,   16,  0,   'L', 'I', 'S', 'T', 3,    0,    0,   0,   'a',  'b',  'c', 0,  // padded
        'd', 'a', 't', 'a', 12,  0,   0,   0,   0x00, 0x40, 1,   0,   0x00, 0x80, 2,   0,
        0,   0,   3,   0};
    writeBytes(path("p.wav"), b);
    vq36host::WavData out;
    std::string error;
    ASSERT_TRUE(vq36host::readWav(path("p.wav"), &out, &error)) << error;
    ASSERT_EQ(out.channels, 2);
    ASSERT_EQ(out.frames(), 3u);
    EXPECT_EQ(out.samples[0], 0.5f);
    EXPECT_EQ(out.samples[2], -1.0f);
    EXPECT_EQ(out.samples[4], 0.0f);

    vq36host::SignalSpec spec;
    ASSERT_TRUE(vq36host::parseSignal("file:" + path("p.wav"), &spec, &error));
    auto signal = vq36host::makeSignal(spec, &error);
    ASSERT_TRUE(signal) << error;
    std::vector<float> s(7);
    signal->fill(s.data(), 7);
    EXPECT_EQ(s, (std::vector<float>{0.5f, -1.0f, 0.0f, 0.5f, -1.0f, 0.0f, 0.5f}));
}

TEST_F(WavFiles, DamagedOrForeignFilesAreRefused) {
    std::string error;
    vq36host::WavData out;
    EXPECT_FALSE(vq36host::readWav(path("missing.wav"), &out, &error));
    const std::vector<unsigned char> header = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    auto fmt = [](std::uint16_t tag, std::uint16_t bits, std::uint16_t align) {
        return std::vector<unsigned char>{'f',
                                          'm',
                                          't',
                                          ' ',
                                          16,
                                          0,
                                          0,
                                          0,
                                          static_cast<unsigned char>(tag),
                                          0,
                                          1,
                                          0,
                                          0x80,
                                          0xBB,
                                          0,
                                          0,
                                          0,
                                          0,
                                          0,
                                          0,
                                          static_cast<unsigned char>(align),
                                          0,
                                          static_cast<unsigned char>(bits),
                                          0};
    };
    auto join = [](std::vector<std::vector<unsigned char>> parts) {
        std::vector<unsigned char> all;
        for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const std::vector<unsigned char> data = {'d', 'a', 't', 'a', 4, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<std::pair<const char*, std::vector<unsigned char>>> cases = {
        {"empty", {}},
        {"not riff",
         join({{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, fmt(3, 32, 4), data})},
        {"no format", join({header, data})},
        {"no data", join({header, fmt(3, 32, 4)})},
        {"24-bit", join({header, fmt(1, 24, 3), data})},
        {"a-law", join({header, fmt(6, 8, 1), data})},
        {"bad block align", join({header, fmt(3, 32, 8), data})},
        {"format past the end", join({header, {'f', 'm', 't', ' ', 200, 0, 0, 0, 3, 0}})},
    };
    for (const auto& [name, bytes] : cases) {
        writeBytes(path("bad.wav"), bytes);
        EXPECT_FALSE(vq36host::readWav(path("bad.wav"), &out, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    // A data size past the end (a writer that did not finish): the whole frames there are.
    auto cut = join(
        {header, fmt(3, 32, 4), {'d', 'a', 't', 'a', 0xFF, 0xFF, 0, 0, 0, 0, 0x80, 0x3F, 0, 0}});
    writeBytes(path("cut.wav"), cut);
    ASSERT_TRUE(vq36host::readWav(path("cut.wav"), &out, &error)) << error;
    EXPECT_EQ(out.samples, std::vector<float>{1.0f});
}

TEST(Report, JsonHasEveryKeyAndTheDriverEscaped) {
    vq36host::StreamReport r;
    r.driver = "Odd \"name\"\\";
    r.blocks = 125;
    r.bufferSize = 384;
    r.latencyP99Us = 12.25;
    r.estSampleRate = 48000;
    const std::string j = r.toJson();
    for (const char* key : {"blocks", "resets", "recreations", "bufferSize", "intervalP50Us",
                            "intervalP99Us", "intervalMaxUs", "latencyP50Us", "latencyP99Us",
                            "latencyMaxUs", "latencySamples", "latencyUnmatched", "userSlips",
                            "kernUnder", "kernOver", "estSampleRate", "joinedClients"}) {
        EXPECT_NE(j.find(std::string("\"") + key + "\": "), std::string::npos) << key;
    }
    EXPECT_NE(j.find("\"blocks\": 125,"), std::string::npos) << j;
    EXPECT_NE(j.find("\"bufferSize\": 384,"), std::string::npos) << j;
    EXPECT_NE(j.find("\"driver\": \"Odd \\\"name\\\"\\\\\""), std::string::npos) << j;
    EXPECT_EQ(j.front(), '{');
    EXPECT_EQ(j.back(), '}');
}

// The kernel stores count n, signals its clients, then stores boundary n's time: a look at count
// n holds boundary n - 1's time or boundary n's.
TEST(BoundaryTimes, TellABoundaryOnlyWhenTheLooksProveIt) {
    std::int64_t b = 0;
    vq36host::BoundaryTimes times;
    times.look(10, 1000);  // first look: 1000 is boundary 9's or 10's
    EXPECT_FALSE(times.boundary(10, &b));
    times.look(10, 2000);  // the time changed under count 10: the kernel's store
    ASSERT_TRUE(times.boundary(10, &b));
    EXPECT_EQ(b, 2000);
    times.look(11, 2000);  // an early switch: the store of boundary 11 is still to come
    EXPECT_FALSE(times.boundary(11, &b));
    times.look(11, 3000);
    ASSERT_TRUE(times.boundary(11, &b));
    EXPECT_EQ(b, 3000);
    times.look(12, 4000);  // a later switch: the store came first, and differs from 11's
    ASSERT_TRUE(times.boundary(12, &b));
    EXPECT_EQ(b, 4000);

    // Boundary 13 never seen: at count 14, 5000 may be 13's, and is not taken for 14's.
    times.look(14, 5000);
    EXPECT_FALSE(times.boundary(14, &b));
    times.look(14, 6000);
    ASSERT_TRUE(times.boundary(14, &b));
    EXPECT_EQ(b, 6000);

    // Nothing changes for a while at a steady count: the time is settled as that count's.
    times.look(16, 8000);
    EXPECT_FALSE(times.boundary(16, &b));
    times.settle(16, 8000);
    times.look(17, 9000);
    ASSERT_TRUE(times.boundary(17, &b));
    EXPECT_EQ(b, 9000);

    // The kernel counts from the start again: the old boundaries tell nothing.
    times.look(1, 9500);
    EXPECT_FALSE(times.boundary(1, &b));
    times.look(2, 9600);
    EXPECT_FALSE(times.boundary(2, &b));
}

TEST(Report, PercentilesAreNearestRank) {
    EXPECT_EQ(vq36host::percentile({}, 50), 0.0);
    std::vector<double> v;
    for (int i = 100; i >= 1; --i) v.push_back(i);
    EXPECT_EQ(vq36host::percentile(v, 50), 50.0);
    EXPECT_EQ(vq36host::percentile(v, 99), 99.0);
    EXPECT_EQ(vq36host::percentile(v, 100), 100.0);
    EXPECT_EQ(vq36host::percentile(v, 0), 1.0);
}

// The count at each switch's start less the switches before it: on time it stays, a late switch
// is above it; catch-up switches after a late one come back to it. A run that started late still
// takes its smallest offset as on time, and a re-creation starts a new run.
TEST(LateSwitches, CountSwitchesAboveTheRunsSmallestOffset) {
    vq36host::LateSwitches late;
    std::uint64_t switches = 0;
    auto at = [&](std::uint64_t count) { late.add(count, switches++); };
    at(101);  // the run's first switch is one block late
    at(101);  // on time from here: offset 100
    at(102);
    at(105);  // three blocks behind
    at(105);
    at(105);  // caught up
    at(106);
    EXPECT_EQ(late.total(), 3u);  // the first and two of the catch-up run
    late.restart();
    switches = 0;
    at(7);
    at(8);
    at(10);
    EXPECT_EQ(late.total(), 4u);
}

}  // namespace
