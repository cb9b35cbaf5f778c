// Streaming end to end on the real clock: Vq36Kernel.sys on the machine, the VQ36 model sending
// its counting pattern, and a client that uses only Win32 calls and the driver's I/O controls
// (client id, block size, buffers with its event, streaming on) and waits on its event.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "machine_fixture.h"
#include "public/vq36_shared.h"
#include "standin/vq36/protocol.h"
#include "stream_client.h"

namespace {

using machinetest::eventually;
using machinetest::MachineTest;

constexpr const char* kVq36Driver = VQ36_KERNEL_SYS_PATH;

// A client of the driver as an audio program would be one.
using Client = vq36tools::StreamClient;

class Streaming : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        start({});
    }

    void start(std::vector<standin::host::PlugOptions> devices) {
        if (devices.empty()) devices.resize(1);
        standin::host::MachineOptions options;
        options.root = root.root();
        options.driverPath = kVq36Driver;
        options.devices = std::move(devices);
        std::string error;
        machine = standin::host::Machine::start(std::move(options), &error);
        ASSERT_NE(machine, nullptr) << error;
        ASSERT_TRUE(machine->waitForInterfaces(1, 10000));
        model = machine->device(machine->ports().at(0));
        ASSERT_TRUE(client.open(machinetest::interfacePaths().at(0)));
    }

    void TearDown() override {
        client.close();
        MachineTest::TearDown();
    }

    std::shared_ptr<standin::vq36::Vq36Device> model;
    Client client;
};

float PlaybackValue(std::uint64_t frame, unsigned channel) {
    return static_cast<float>(frame * 16 + channel);
}

TEST_F(Streaming, EveryCaptureSampleLandsInItsPlaneHalfAndPosition) {
    ASSERT_TRUE(client.start(96));
    const std::uint32_t s = 96;
    std::vector<float> block(12 * s);
    std::uint64_t checked = 0, wrong = 0, chained = 0;
    std::int64_t previousCount = -1;
    std::uint32_t previousBase = 0;
    std::uint32_t failedBefore = 0;
    std::int64_t checkFrom = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
        const std::int64_t count = client.next();
        ASSERT_GE(count, 0) << "no block boundary within a second";
        if (count < 2) continue;
        // The block that completed as the count reached `count` is in half count mod 2; it
        // stays there until the next boundary.
        const std::uint32_t half = static_cast<std::uint32_t>(count % 2);
        for (std::uint32_t c = 0; c < 12; ++c) {
            std::memcpy(&block[c * s], client.capture + vq36::CapturePlaneOffset(c, half, s),
                        4 * s);
        }
        if (static_cast<std::int64_t>(vq36::Load64(&client.info->asioBlockCount)) != count) {
            continue;  // too late to read this one whole
        }
        // A capture request that failed, or came back with empty packets, lost the device's
        // frames of its time: the blocks around it are not one run of frames, and say nothing
        // about where samples land.
        const std::uint32_t failed = vq36::Load32(&client.info->statistics.readsFailed) +
                                     vq36::Load32(&client.info->statistics.readZeroLengthPackets);
        // The requests already in flight when one failed still bring some blocks of the old
        // run before the restarted one begins, so the ten blocks after a failure (20 ms, more
        // than the kernel keeps in flight) are left out.
        if (failed != failedBefore) {
            failedBefore = failed;
            previousCount = -1;
            checkFrom = count + 10;
        }
        if (count < checkFrom) continue;
        // The kernel copies a whole packet before it counts the boundary inside it, so up to
        // one packet (7 frames) of the block after next may already stand at the start of
        // this half while the count still reads `count`; from position 7 on it is this block.
        auto seventh = standin::vq36::decodeCountingSample(block[7]);
        ASSERT_TRUE(seventh.has_value());
        const std::uint32_t base = (seventh->frameModulo - 7) & 0xFFFFF;
        for (std::uint32_t c = 0; c < 12; ++c) {
            for (std::uint32_t p = 0; p < s; ++p) {
                auto at = standin::vq36::decodeCountingSample(block[c * s + p]);
                const bool here =
                    at && at->channel == c && at->frameModulo == ((base + p) & 0xFFFFF);
                const bool early = p < 7 && at && at->channel == c &&
                                   at->frameModulo == ((base + 2 * s + p) & 0xFFFFF);
                if (!here && !early) ++wrong;
            }
        }
        if (previousCount == count - 1) {
            ++chained;
            EXPECT_EQ(base, (previousBase + s) & 0xFFFFF) << "block " << count;
        }
        previousCount = count;
        previousBase = base;
        ++checked;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(checked, 200u);  // of about 1,000 blocks
    EXPECT_GT(chained, 100u);
}

TEST_F(Streaming, BlocksComeAtTheDevicesRate) {
    ASSERT_TRUE(client.start(96));
    ASSERT_TRUE(eventually([&] { return client.next() > 10; }));
    const auto t0 = std::chrono::steady_clock::now();
    const std::uint64_t k0 = vq36::Load64(&client.info->asioBlockCount);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::uint64_t k1 = vq36::Load64(&client.info->asioBlockCount);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double rate = static_cast<double>(k1 - k0) / seconds;
    // A busy machine can hold up the bus long enough for a capture request to miss its frame;
    // the stream then restarts and loses a few blocks, so the bounds leave room for that, and
    // failed reads stay a small share of all.
    EXPECT_NEAR(rate, 48000.0 / 96, 25.0);
    EXPECT_EQ(vq36::Load32(&client.info->statistics.estSampleRate), 48000u);
    const auto& stats = client.info->statistics;
    EXPECT_LE(50u * vq36::Load32(&stats.readsFailed), vq36::Load32(&stats.readsOk))
        << vq36::Load32(&stats.readsFailed) << " failed";
}

class DriftingStreaming : public Streaming {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        standin::host::PlugOptions fast;
        fast.config.driftPpm = 1000;  // 48,048 frames a second
        start({fast});
    }
};

TEST_F(DriftingStreaming, TheRateEstimateFollowsTheDevicesClock) {
    ASSERT_TRUE(client.start(96));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::uint32_t estimate = vq36::Load32(&client.info->statistics.estSampleRate);
    EXPECT_GE(estimate, 48040u);
    EXPECT_LE(estimate, 48056u);
}

TEST_F(Streaming, WhatTheClientWritesThreeBlocksAheadIsPlayedInOrder) {
    ASSERT_TRUE(client.start(96));
    const std::uint32_t s = 96;
    const std::uint32_t n = client.ringBlocks();
    ASSERT_EQ(n, 15u);
    const std::uint32_t ringBytes = n * s * 40;
    std::vector<float> block(10 * s);
    std::int64_t written = -1;  // highest block number written
    int late = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        const std::int64_t count = client.next();
        ASSERT_GE(count, 0);
        if (written >= 0 && count + 3 > written + 1) ++late;  // a boundary went by unseen
        // Every block up to count + 3 not yet written: frames numbered on from block * s.
        for (std::int64_t b = std::max(written + 1, count + 1); b <= count + 3; ++b) {
            for (std::uint32_t f = 0; f < s; ++f) {
                for (unsigned ch = 0; ch < 10; ++ch) {
                    block[f * 10 + ch] = PlaybackValue(static_cast<std::uint64_t>(b) * s + f, ch);
                }
            }
            const std::uint32_t offset = static_cast<std::uint32_t>(b % n) * s * 40;
            std::memcpy(client.ring + offset, block.data(), s * 40);
            // A transfer that starts near the ring's end reads on into the overhang area,
            // which stands for the start of the ring: keep it the same.
            std::memcpy(client.ring + ringBytes + offset, block.data(), s * 40);
        }
        written = count + 3;
    }
    const std::vector<float> played = model->recorder().samples();
    ASSERT_GT(played.size(), 10u * 48000);
    // From the first frame the client wrote, every frame follows the one before.
    std::size_t start = 0;
    while (start < played.size() / 10 && played[start * 10 + 1] != 1.0f + played[start * 10]) {
        ++start;
    }
    // A run of silent frames (the kernel had nothing to send in time) is one break.
    auto silent = [](const float* frame) {
        return std::all_of(frame, frame + 10, [](float v) { return v == 0.0f; });
    };
    std::size_t breaks = 0, frames = 0;
    for (std::size_t f = start + 1; f < played.size() / 10; ++f, ++frames) {
        const float* frame = &played[f * 10];
        const float* before = &played[(f - 1) * 10];
        if (silent(frame)) {
            if (!silent(before)) ++breaks;
            continue;
        }
        // A frame the device took while a late client was still writing it holds channels of
        // two laps: one more break of the late client's, counted below with the others.
        bool whole = true;
        for (unsigned ch = 1; ch < 10; ++ch) whole = whole && frame[ch] == frame[0] + ch;
        if (!whole || (!silent(before) && frame[0] != before[0] + 16)) ++breaks;
    }
    EXPECT_GT(frames, 2u * 48000);
    // A client woken too late leaves a block unwritten: the device plays stale frames there,
    // a jump away and back (a few breaks). A capture or playback request that failed (a loaded
    // machine) restarts the stream, with a pause and a jump. A fault of the ring or the lead
    // would break every lap (about a hundred in these three seconds).
    const auto& stats = client.info->statistics;
    const std::size_t failures = vq36::Load32(&stats.readsFailed) +
                                 vq36::Load32(&stats.readZeroLengthPackets) +
                                 vq36::Load32(&stats.writesFailed);
    EXPECT_LE(breaks, 4u * (static_cast<std::size_t>(late) + failures));
    if (late == 0 && failures == 0) {
        EXPECT_EQ(breaks, 0u);
    }
}

TEST_F(Streaming, ABlockSizeChangeDrainsRestartsAndResetsTheCount) {
    ASSERT_TRUE(client.start(96));
    ASSERT_TRUE(eventually([&] { return client.next() > 50; }));
    ASSERT_TRUE(client.message(vq36::kDeviceMsgBufferSamples, vq36::kDeviceMsgSet, 192));
    // The client is woken when the counters are reset, and sees them start again.
    bool reset = false;
    for (int i = 0; i < 200 && !reset; ++i) {
        const std::int64_t count = client.next();
        reset = count >= 0 && count < 5;
    }
    EXPECT_TRUE(reset);
    EXPECT_EQ(client.blockFrames(), 192u);
    ASSERT_TRUE(eventually([&] { return client.next() > 20; }));
    const auto t0 = std::chrono::steady_clock::now();
    const std::uint64_t k0 = vq36::Load64(&client.info->asioBlockCount);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double rate =
        static_cast<double>(vq36::Load64(&client.info->asioBlockCount) - k0) /
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NEAR(rate, 48000.0 / 192, 25.0);
}

TEST_F(Streaming, KernelLoopbackSendsTheFirstTenSamplesOfEachCapturedFrame) {
    ASSERT_TRUE(client.start(96));
    ASSERT_TRUE(eventually([&] { return client.next() > 10; }));
    vq36::Store8(&client.info->kernelLoopback, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<float> played = model->recorder().samples();
    ASSERT_GT(played.size(), 10u * 4800);
    // The last 100 ms played: the counting pattern of channels 0 to 9, frame after frame.
    const std::size_t frames = played.size() / 10;
    std::uint32_t previous = 0;
    std::size_t breaks = 0;
    for (std::size_t f = frames - 4800; f < frames; ++f) {
        for (unsigned ch = 0; ch < 10; ++ch) {
            auto at = standin::vq36::decodeCountingSample(played[f * 10 + ch]);
            ASSERT_TRUE(at.has_value()) << f;
            ASSERT_EQ(at->channel, ch) << f;
        }
        const std::uint32_t frame =
            standin::vq36::decodeCountingSample(played[f * 10])->frameModulo;
        if (f > frames - 4800 && frame != ((previous + 1) & 0xFFFFF)) ++breaks;
        previous = frame;
    }
    // A playback request still in flight when its slot's next capture completes leaves that
    // capture unsent (a loaded machine does that now and then); a fault of the loopback would
    // break the run at every request (about fifty in these 100 ms).
    EXPECT_LE(breaks, 2u);
}

}  // namespace
