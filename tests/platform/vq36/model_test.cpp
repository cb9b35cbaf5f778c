#include "standin/vq36/device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

using namespace standin;
using namespace standin::usb;
using namespace standin::vq36;

namespace {

using Bytes = std::vector<std::uint8_t>;

float floatAt(const Bytes& b, std::size_t pos) {
    float v;
    std::memcpy(&v, &b[pos], 4);
    return v;
}

// A host on a manual clock: plugs a model, configures it as the driver does, keeps a
// continuous reader on the message IN pipe and sends commands.
class ModelTest : public ::testing::Test {
  protected:
    std::shared_ptr<Clock> clock = makeManualClock(3 * kUnitsPerSecond);
    std::unique_ptr<Bus> bus = std::make_unique<Bus>(clock);
    std::shared_ptr<Vq36Device> model;
    std::vector<BusEvent> events;
    std::shared_ptr<UsbDevice> dev;
    std::vector<Bytes> received;  // message IN packets, in order

    void plug(DeviceConfig cfg = {}) {
        bus->addListener([this](const BusEvent& e) { events.push_back(e); });
        model = std::make_shared<Vq36Device>(std::move(cfg));
        bus->attach(model);
        clock->runDue();
        ASSERT_FALSE(events.empty());
        takeArrival();
    }

    void takeArrival() {
        ASSERT_EQ(events.back().kind, BusEvent::Kind::Arrival);
        dev = events.back().device;
        if (dev->configuration().interfaces.size() == 1) return;
        std::vector<InterfaceSelection> sel;
        for (const auto& i : dev->configuration().interfaces)
            sel.push_back({i.number, static_cast<std::uint8_t>(i.number == 1 || i.number == 2)});
        ASSERT_EQ(dev->selectConfiguration(sel), kStatusSuccess);
        for (int i = 0; i < 4; ++i) read();
    }

    void read() {
        auto buf = std::make_shared<Bytes>(64);
        auto d = dev;
        dev->submitMessage(
            {kEpMessageIn, buf->data(), 64, 0, [this, buf, d](const TransferResult& r) {
                 if (r.status != kStatusSuccess) return;
                 received.emplace_back(buf->begin(), buf->begin() + r.bytesTransferred);
                 if (d == dev) read();
             }});
    }

    void advanceMs(double ms) { clock->advance(static_cast<Time100ns>(ms * kUnitsPerMs)); }

    NtStatus command(std::uint8_t cmd, Bytes data = {}) {
        auto pkt = std::make_shared<Bytes>(64, 0);
        (*pkt)[0] = cmd;
        (*pkt)[1] = 0x13, (*pkt)[2] = 0xB7, (*pkt)[3] = 0x00, (*pkt)[4] = 0x2E;
        std::copy(data.begin(), data.end(), pkt->begin() + 5);
        NtStatus status = 0xFFFFFFFF;
        dev->submitMessage({kEpMessageOut, pkt->data(), 64, 100 * kUnitsPerMs,
                            [&status, pkt](const TransferResult& r) { status = r.status; }});
        advanceMs(2);
        return status;
    }

    // Replies to `cmd` among the packets received from index `from` on.
    std::vector<Bytes> repliesTo(std::uint8_t cmd, std::size_t from = 0) const {
        std::vector<Bytes> out;
        for (std::size_t i = from; i < received.size(); ++i)
            if (received[i].size() == 64 && received[i][0] == cmd && received[i][1] == 0x13 &&
                received[i][2] == 0xB7 && received[i][3] == 0x00 && received[i][4] == 0x2E)
                out.push_back(received[i]);
        return out;
    }

    struct Capture {
        Bytes buf;
        std::vector<IsoPacket> pk;
        bool done = false;
        TransferResult result;
    };

    std::unique_ptr<Capture> submitCapture(std::uint32_t start, std::uint32_t ms) {
        auto c = std::make_unique<Capture>();
        c->buf.assign(ms * 8 * 336, 0xEE);
        c->pk.resize(ms * 8);
        for (std::uint32_t k = 0; k < c->pk.size(); ++k) c->pk[k].offset = 336 * k;
        Capture* raw = c.get();
        dev->submitIso({kEpCapture, start, c->buf.data(), static_cast<std::uint32_t>(c->buf.size()),
                        c->pk.data(), static_cast<std::uint32_t>(c->pk.size()), 0,
                        [raw](const TransferResult& r) {
                            raw->done = true;
                            raw->result = r;
                        }});
        return c;
    }

    // Captures `ms` milliseconds from `start` and waits for the completion.
    std::pair<Bytes, std::vector<IsoPacket>> capture(std::uint32_t start, std::uint32_t ms) {
        auto c = submitCapture(start, ms);
        clock->advance(bus->frameStartTime(start + ms) - clock->now());
        EXPECT_TRUE(c->done);
        return {c->buf, c->pk};
    }

    std::uint64_t microframeOf(std::uint32_t frame) const {
        return std::uint64_t{frame - bus->options().frameBase} * 8;
    }

    void writeFlashChunk(std::uint32_t offset, const std::uint8_t* bytes) {
        Bytes d = {static_cast<std::uint8_t>(offset >> 24), static_cast<std::uint8_t>(offset >> 16),
                   static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
        d.insert(d.end(), bytes, bytes + 32);
        ASSERT_EQ(command(kCmdFlashWrite, d), kStatusSuccess);
    }

    Bytes readFlashViaCommands(std::uint32_t offset, std::uint32_t length) {
        Bytes out;
        while (out.size() < length) {
            auto count = static_cast<std::uint8_t>(std::min<std::size_t>(54, length - out.size()));
            std::uint32_t at = offset + static_cast<std::uint32_t>(out.size());
            std::size_t from = received.size();
            command(kCmdFlashRead,
                    {static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16),
                     static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at), count});
            auto r = repliesTo(kCmdFlashRead, from);
            if (r.size() != 1) return {};
            out.insert(out.end(), r[0].begin() + 10, r[0].begin() + 10 + count);
        }
        return out;
    }

    // Sends a command after which the device leaves and arrives again, and takes the arrival.
    void commandAndReenumerate(std::uint8_t cmd) {
        std::size_t before = events.size();
        command(cmd);
        advanceMs(static_cast<double>(bus->options().reattachDelay) / kUnitsPerMs);
        ASSERT_EQ(events.size(), before + 2);
        EXPECT_EQ(events[before].kind, BusEvent::Kind::Departure);
        takeArrival();
    }
};

// ---------------------------------------------------------------------------------------------
TEST_F(ModelTest, PresentsTheNormalConfiguration) {
    plug();
    EXPECT_EQ(dev->speed(), Speed::High);
    EXPECT_EQ(dev->deviceDescriptor().idVendor, 0xB713);
    EXPECT_EQ(dev->deviceDescriptor().idProduct, 0x2E00);
    const auto& cfg = dev->configuration();
    ASSERT_EQ(cfg.interfaces.size(), 4u);
    for (std::uint8_t i = 0; i < 4; ++i) EXPECT_TRUE(cfg.interface(i)) << int(i);
    EXPECT_TRUE(cfg.interface(1)->setting(0)->endpoints.empty());
    EXPECT_TRUE(dev->pipes(0).empty());
    auto playback = dev->pipes(1);
    ASSERT_EQ(playback.size(), 1u);
    EXPECT_EQ(playback[0].endpointAddress, kEpPlayback);
    EXPECT_EQ(playback[0].type, PipeType::Isochronous);
    auto cap = dev->pipes(2);
    ASSERT_EQ(cap.size(), 1u);
    EXPECT_EQ(cap[0].endpointAddress, kEpCapture);
    EXPECT_EQ(cap[0].maximumPacketSize, 336);
    auto msg = dev->pipes(3);
    ASSERT_EQ(msg.size(), 2u);
    EXPECT_EQ(msg[0].endpointAddress, kEpMessageIn);
    EXPECT_EQ(msg[1].endpointAddress, kEpMessageOut);
    EXPECT_EQ(msg[0].maximumPacketSize, 64);
    EXPECT_EQ(msg[1].maximumPacketSize, 64);
}

TEST(ModelVariants, EachVariantPresentsWhatItSays) {
    auto clock = makeManualClock();
    Bus bus(clock);
    auto enumerate = [&](Variant v) {
        DeviceConfig c;
        c.variant = v;
        PortId port = bus.attach(std::make_shared<Vq36Device>(c));
        for (auto& d : bus.devices())
            if (d->port() == port) return d;
        return std::shared_ptr<UsbDevice>();
    };
    auto full = enumerate(Variant::FullSpeed);
    EXPECT_EQ(full->speed(), Speed::Full);
    EXPECT_EQ(full->configuration().interfaces.size(), 4u);
    auto single = enumerate(Variant::SingleInterface);
    ASSERT_EQ(single->configuration().interfaces.size(), 1u);
    EXPECT_TRUE(single->configuration().interface(0)->setting(1));
    InterfaceSelection alt1[] = {{0, 1}};
    EXPECT_EQ(single->selectConfiguration(alt1), kStatusSuccess);
    EXPECT_TRUE(single->pipes(0).empty());
    EXPECT_FALSE(enumerate(Variant::NoPlaybackInterface)->configuration().interface(1));
    EXPECT_FALSE(enumerate(Variant::NoCaptureInterface)->configuration().interface(2));
    auto onePipe = enumerate(Variant::MessageInterfaceOnePipe);
    EXPECT_EQ(onePipe->configuration().interface(3)->setting(0)->endpoints.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
TEST_F(ModelTest, CaptureOfThreeMillisecondsCarriesTheCountingPatternInOrder) {
    plug();
    std::uint32_t start = bus->currentFrame() + 50;
    Time100ns end = bus->frameStartTime(start + 3);
    TransferResult r;
    Bytes buf(24 * 336, 0xEE);
    std::vector<IsoPacket> pk(24);
    for (std::uint32_t k = 0; k < 24; ++k) pk[k].offset = 336 * k;
    bool done = false;
    dev->submitIso(
        {kEpCapture, start, buf.data(), 24 * 336, pk.data(), 24, 0, [&](const TransferResult& res) {
             done = true;
             r = res;
         }});
    clock->advance(end - 1 - clock->now());
    EXPECT_FALSE(done);
    clock->advance(1);
    ASSERT_TRUE(done);
    EXPECT_EQ(r.status, kStatusSuccess);
    EXPECT_EQ(r.usbdStatus, kUsbdSuccess);
    EXPECT_EQ(r.bytesTransferred, 24u * 288);

    std::uint64_t frame = model->captureFrameIndex(microframeOf(start));
    EXPECT_EQ(frame, std::uint64_t{start - bus->options().frameBase} * 48);
    for (std::uint32_t k = 0; k < 24; ++k) {
        ASSERT_EQ(pk[k].length, 288u) << k;
        EXPECT_EQ(pk[k].status, kUsbdSuccess);
        for (unsigned j = 0; j < 6; ++j, ++frame)
            for (unsigned c = 0; c < 12; ++c)
                ASSERT_EQ(floatAt(buf, 336 * k + 48 * j + 4 * c), countingSample(frame, c))
                    << "packet " << k << " frame " << j << " channel " << c;
        EXPECT_EQ(buf[336 * k + 288], 0xEE);
    }
}

TEST_F(ModelTest, DriftingClockGivesOddPacketsAtTheRateTheDriftImplies) {
    for (double ppm : {100.0, -100.0}) {
        SCOPED_TRACE(ppm);
        events.clear();
        bus = std::make_unique<Bus>(clock);
        DeviceConfig cfg;
        cfg.driftPpm = ppm;
        plug(cfg);
        // 10 s of capture, back to back in 50 ms transfers (two in flight): 4.8 odd packets a
        // second.
        std::map<std::uint32_t, int> lengths;
        std::uint32_t start = bus->currentFrame() + 50;
        auto current = submitCapture(start, 50);
        for (int t = 0; t < 200; ++t) {
            auto next = t < 199 ? submitCapture(start + 50 * (t + 1), 50) : nullptr;
            clock->advance(bus->frameStartTime(start + 50 * (t + 1)) - clock->now());
            ASSERT_TRUE(current->done);
            ASSERT_EQ(current->result.status, kStatusSuccess);
            for (const auto& p : current->pk) ++lengths[p.length];
            current = std::move(next);
        }
        std::uint32_t odd = ppm > 0 ? 336 : 240;
        EXPECT_GE(lengths[odd], 47);
        EXPECT_LE(lengths[odd], 49);
        EXPECT_EQ(lengths[288] + lengths[odd], 80000);
        // The clock's rate is its frame index's: 10 s of microframes hold 10 s of frames.
        EXPECT_NEAR(static_cast<double>(model->captureFrameIndex(80000)),
                    10.0 * model->captureFramesPerSecond(), 1.0);
    }
}

TEST_F(ModelTest, PlaybackLandsInTheRecorderInFrameOrderAndCanComeBack) {
    DeviceConfig cfg;
    cfg.loopbackLatencyFrames = 96;
    plug(cfg);
    model->setCaptureSource(0, CaptureSource::loopback(3));
    std::uint32_t start = bus->currentFrame() + 20;
    // Two 2 ms transfers of 6-frame packets, the later one submitted first. Frame n of the
    // playback carries n on channel 3.
    struct Out {
        Bytes buf;
        std::vector<IsoPacket> pk;
        bool done = false;
    } outs[2];
    for (int t : {1, 0}) {
        outs[t].buf.assign(16 * 240, 0);
        outs[t].pk.resize(16);
        for (int k = 0; k < 16; ++k) {
            outs[t].pk[k].offset = 240 * k;
            for (int j = 0; j < 6; ++j) {
                float v = static_cast<float>(t * 96 + k * 6 + j + 1);
                std::memcpy(&outs[t].buf[240 * k + 40 * j + 12], &v, 4);
            }
        }
        dev->submitIso(
            {kEpPlayback, start + 2u * t, outs[t].buf.data(), 16 * 240, outs[t].pk.data(), 16, 0,
             [&, t](const TransferResult& r) { outs[t].done = r.status == kStatusSuccess; }});
    }
    auto [cap, pk] = capture(start + 4, 4);
    EXPECT_TRUE(outs[0].done && outs[1].done);

    auto records = model->recorder().packets();
    ASSERT_EQ(records.size(), 32u);
    for (std::size_t k = 0; k < 32; ++k) {
        EXPECT_EQ(records[k].frameNumber, start + k / 8);
        EXPECT_EQ(records[k].microframe, k % 8);
        EXPECT_EQ(records[k].frames, 6u);
    }
    auto s = model->recorder().samples();
    ASSERT_EQ(s.size(), 192u * 10);
    for (std::size_t n = 0; n < 192; ++n) EXPECT_EQ(s[n * 10 + 3], static_cast<float>(n + 1)) << n;

    // Capture starts 4 ms (192 frames) after the playback: with 96 frames of latency, the
    // first captured frame on channel 0 is playback frame 96.
    EXPECT_EQ(floatAt(cap, 0), 97.0f);
    EXPECT_EQ(floatAt(cap, 48), 98.0f);
    EXPECT_EQ(floatAt(cap, 336 * 15 + 48 * 5), 192.0f);  // the last played frame
    EXPECT_EQ(floatAt(cap, 336 * 16), 0.0f);             // nothing was played there
}

TEST_F(ModelTest, CapturePacketFaults) {
    plug();
    model->faultEmptyCapturePackets(1);
    model->faultLongCapturePackets(1, 400);
    model->faultPartialCapturePackets(1, 290);
    auto [buf, pk] = capture(bus->currentFrame() + 10, 1);
    EXPECT_EQ(pk[0].length, 0u);
    EXPECT_EQ(pk[1].length, 400u);
    EXPECT_EQ(pk[2].length, 290u);
    EXPECT_EQ(pk[3].length, 288u);
    EXPECT_EQ(buf[0], 0xEE) << "an empty packet wrote data";
    // The long packet wrote its whole region (7 frames) and nothing into the next one.
    std::uint64_t f1 = model->captureFrameIndex(microframeOf(bus->currentFrame() - 1) + 1);
    EXPECT_EQ(floatAt(buf, 336 + 6 * 48 + 44), countingSample(f1 + 6, 11));
    EXPECT_EQ(floatAt(buf, 2 * 336), countingSample(f1 + 6, 0));
}

TEST_F(ModelTest, DeviceThatNeverAnswersFailsTheReadAtItsTimeOut) {
    plug();
    model->setAllUnanswered(true);
    Bytes buf(64);
    TransferResult r;
    bool done = false;
    Time100ns sent = clock->now();
    // The reader of the fixture holds the first reads; this one waits behind them.
    dev->submitMessage(
        {kEpMessageIn, buf.data(), 64, 500 * kUnitsPerMs, [&](const TransferResult& res) {
             done = true;
             r = res;
         }});
    EXPECT_EQ(command(kCmdFirmwareVersion), kStatusSuccess);
    clock->advance(sent + 500 * kUnitsPerMs - 1 - clock->now());
    EXPECT_FALSE(done);
    clock->advance(1);
    ASSERT_TRUE(done);
    EXPECT_EQ(r.status, kStatusIoTimeout);
    EXPECT_TRUE(received.empty());
}

// ---------------------------------------------------------------------------------------------
TEST_F(ModelTest, EveryCommandAnswersWithItsLength) {
    plug();
    struct Case {
        std::uint8_t cmd;
        Bytes data;
        std::optional<std::size_t> length;
    };
    const Case cases[] = {
        {kCmdFirmwareVersion, {}, 6},
        {kCmdBootFlag, {}, 1},
        {kCmdFlashRead, {0, 0, 0x40, 0, 54}, 59},
        {kCmdFlashWrite, {0, 0, 0, 0x20}, std::nullopt},
        {kCmdFlashWrite, {0, 2, 0, 0xE0}, 59},
        {kCmdProductIdNormal, {}, 2},
        {kCmdProductIdAlternate, {}, 2},
        {kCmdPowerUp, {1}, std::nullopt},
        {kCmdControlPacket, {3, 0xB0, 1, 2}, std::nullopt},
        {kCmdDirectControlPacket, {3, 0xB0, 1, 2}, 2},
        {kCmdDeviceWord, {}, 2},
        {0x77, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.cmd));
        std::size_t from = received.size();
        ASSERT_EQ(command(c.cmd, c.data), kStatusSuccess);
        auto r = repliesTo(c.cmd, from);
        std::uint32_t offset =
            c.data.size() >= 4 ? (c.data[0] << 24 | c.data[1] << 16 | c.data[2] << 8 | c.data[3])
                               : 0;
        EXPECT_EQ(replyLength(c.cmd, offset), c.length);
        if (!c.length) {
            EXPECT_TRUE(r.empty());
            continue;
        }
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r[0].size(), 64u);
        for (std::size_t i = 5 + *c.length; i < 64; ++i) EXPECT_EQ(r[0][i], 0) << i;
    }
    auto v = repliesTo(kCmdFirmwareVersion);
    EXPECT_EQ(Bytes(v[0].begin() + 5, v[0].begin() + 11), (Bytes{1, 2, 0, 0, 0x01, 0x59}));
    EXPECT_EQ(repliesTo(kCmdDeviceWord)[0][5], 0x02);
    EXPECT_EQ(model->productIdSelection(), 1);

    auto cmds = model->commands();
    auto it = std::find_if(cmds.begin(), cmds.end(),
                           [](const auto& c) { return c.command() == kCmdPowerUp; });
    ASSERT_NE(it, cmds.end());
    EXPECT_TRUE(it->valid());
    EXPECT_EQ(it->data(0), 1);
    EXPECT_EQ(it->data(1), 0);
}

TEST_F(ModelTest, CommandFaultsOnDemand) {
    plug();
    model->setUnanswered(kCmdBootFlag, true);
    EXPECT_EQ(command(kCmdBootFlag), kStatusSuccess);
    EXPECT_TRUE(repliesTo(kCmdBootFlag).empty());
    model->setUnanswered(kCmdBootFlag, false);
    EXPECT_EQ(command(kCmdBootFlag), kStatusSuccess);
    EXPECT_EQ(repliesTo(kCmdBootFlag).size(), 1u);

    std::size_t before = model->commands().size();
    model->failCommandWrites(1, kStatusInvalidParameter);
    EXPECT_EQ(command(kCmdDeviceWord), kStatusInvalidParameter);
    EXPECT_EQ(model->commands().size(), before) << "a refused packet was taken";
    EXPECT_EQ(command(kCmdDeviceWord), kStatusSuccess);

    model->faultShortMessagePackets(1, 32);
    std::size_t from = received.size();
    command(kCmdDeviceWord);
    command(kCmdDeviceWord);
    ASSERT_EQ(received.size(), from + 2);
    EXPECT_EQ(received[from].size(), 32u);
    EXPECT_EQ(received[from + 1].size(), 64u);

    // A packet without the magic is taken and recorded but not obeyed.
    auto pkt = std::make_shared<Bytes>(64, 0);
    (*pkt)[0] = kCmdEnterBootLoader;
    dev->submitMessage({kEpMessageOut, pkt->data(), 64, 0, [pkt](const TransferResult&) {}});
    advanceMs(5);
    EXPECT_FALSE(model->commands().back().valid());
    EXPECT_FALSE(model->inBootLoader());
}

// ---------------------------------------------------------------------------------------------
TEST_F(ModelTest, FlashWritesInTheBootLoaderReadBack) {
    plug();
    Bytes page(256);
    for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7 + 1);
    // Outside the boot loader the device refuses to write (and says so on the page's end).
    std::size_t from = received.size();
    for (std::uint32_t k = 0; k < 8; ++k) writeFlashChunk(0x20000 + 32 * k, &page[32 * k]);
    ASSERT_EQ(repliesTo(kCmdFlashWrite, from).size(), 1u);
    EXPECT_EQ(repliesTo(kCmdFlashWrite, from)[0][9], 1);
    EXPECT_EQ(readFlashViaCommands(0x20000, 256), Bytes(256, 0xFF));

    commandAndReenumerate(kCmdEnterBootLoader);
    from = received.size();
    for (std::uint32_t k = 0; k < 8; ++k) writeFlashChunk(0x20000 + 32 * k, &page[32 * k]);
    auto acks = repliesTo(kCmdFlashWrite, from);
    ASSERT_EQ(acks.size(), 1u) << "only the 0xE0 chunk is answered";
    EXPECT_EQ(Bytes(acks[0].begin() + 5, acks[0].begin() + 10), (Bytes{0, 2, 0, 0xE0, 0}));
    EXPECT_EQ(Bytes(acks[0].begin() + 10, acks[0].begin() + 42),
              Bytes(page.begin() + 224, page.end()));
    EXPECT_EQ(readFlashViaCommands(0x20000, 256), page);
    // Reads beyond the flash come back erased, never from outside it.
    EXPECT_EQ(readFlashViaCommands(kFlashSize - 4, 8),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(ModelTest, BootLoaderEntryAndExitReenumerate) {
    plug();
    auto normal = dev;
    commandAndReenumerate(kCmdEnterBootLoader);
    EXPECT_FALSE(normal->present());
    EXPECT_NE(dev, normal);
    command(kCmdBootFlag);
    EXPECT_EQ(repliesTo(kCmdBootFlag).back()[5], 1);
    EXPECT_EQ(model->runningVersion(), (FirmwareVersion{0, 9, 1}));

    // Write a new firmware, section by section, then tell the boot loader it is done.
    FirmwareSection code{0x30000, Bytes(100, 0x5A)};
    auto image = buildFirmwareImage({2, 5, 777}, std::span(&code, 1));
    auto sections = imageSections(image);
    ASSERT_TRUE(sections);
    for (const auto& s : *sections)
        for (std::uint32_t k = 0; k < s.bytes.size() / 32; ++k)
            writeFlashChunk(s.flashOffset + 32 * k, &s.bytes[32 * k]);
    commandAndReenumerate(kCmdUpdateDone);
    command(kCmdBootFlag);
    EXPECT_EQ(repliesTo(kCmdBootFlag).back()[5], 0);
    std::size_t from = received.size();
    command(kCmdFirmwareVersion);
    auto v = repliesTo(kCmdFirmwareVersion, from);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(Bytes(v[0].begin() + 5, v[0].begin() + 11), (Bytes{2, 5, 0, 0, 0x03, 0x09}));

    // A damaged section keeps the device in its boot loader after the finish.
    commandAndReenumerate(kCmdEnterBootLoader);
    Bytes junk(32, 0);
    writeFlashChunk(0x30000, junk.data());
    commandAndReenumerate(kCmdUpdateDone);
    EXPECT_TRUE(model->inBootLoader());
}

// ---------------------------------------------------------------------------------------------
TEST_F(ModelTest, ControlSurfaceAnswersTheRequestForAllControls) {
    plug();
    // Control change 5 = 0x40, then ask for everything: one packet per control.
    command(kCmdControlPacket, {3, 0xB0, 5, 0x40});
    EXPECT_EQ(model->controlValue(5), 0x40);
    EXPECT_FALSE(model->controlValue(100));
    std::size_t from = received.size();
    command(kCmdControlPacket, {4, 0xF0, 0x17, 0x04, 0xF7});
    advanceMs(10);
    std::vector<Bytes> packets(received.begin() + static_cast<std::ptrdiff_t>(from),
                               received.end());
    // The surface's controls and the settings 33 to 36, in order, with their start values.
    std::vector<std::pair<int, int>> expected;
    for (int c = 0; c <= 36; ++c)
        if (c != 32) expected.push_back({c, c == 5 ? 0x40 : c == 33 || c == 36 ? 1 : 0});
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i][0], kPacketControl);
        EXPECT_EQ(packets[i][5], 3);
        EXPECT_EQ(packets[i][6], 0xB0);
        EXPECT_EQ(packets[i][7], expected[i].first);
        EXPECT_EQ(packets[i][8], expected[i].second);
    }
    EXPECT_FALSE(model->controlValue(32));
    command(kCmdControlPacket, {3, 0xB0, 36, 0});
    EXPECT_EQ(model->controlValue(36), 0);

    from = received.size();
    command(kCmdDirectControlPacket, {5, 0xF0, 0x17, 0x52, 0x01, 0xF7});
    advanceMs(2);
    ASSERT_EQ(received.size(), from + 2);
    EXPECT_EQ(received[from][0], kCmdDirectControlPacket) << "the reply comes first";
    EXPECT_EQ(Bytes(received[from + 1].begin() + 5, received[from + 1].begin() + 11),
              (Bytes{5, 0xF0, 0x17, 0x52, 0x01, 0xF7}));
    EXPECT_EQ(model->controlPoint(), 1);

    // Malformed control packets change nothing and answer nothing.
    from = received.size();
    command(kCmdControlPacket, {200, 0xF0, 0x17, 0x04});
    command(kCmdControlPacket, {2, 0xB0, 5, 0x10});
    EXPECT_EQ(received.size(), from);
    EXPECT_EQ(model->controlValue(5), 0x40);
}

TEST_F(ModelTest, ThingsDoneAtTheDeviceArriveAsPackets) {
    plug();
    EXPECT_TRUE(model->moveControl(7, 99));
    EXPECT_FALSE(model->moveControl(120, 1));
    EXPECT_FALSE(model->moveControl(32, 1));
    EXPECT_TRUE(model->pressButton(0x3C, 0x7F));
    EXPECT_TRUE(model->releaseButton(0x3C));
    EXPECT_TRUE(model->setPortState(1, true));
    EXPECT_TRUE(model->setPortState(1, false));
    EXPECT_TRUE(model->reportOtherPort());
    Bytes aux = {1, 2, 3};
    EXPECT_TRUE(model->sendAux(aux));
    advanceMs(5);
    ASSERT_EQ(received.size(), 7u);
    EXPECT_EQ(Bytes(received[0].begin() + 5, received[0].begin() + 9), (Bytes{3, 0xB0, 7, 99}));
    EXPECT_EQ(Bytes(received[1].begin() + 5, received[1].begin() + 9),
              (Bytes{3, 0x90, 0x3C, 0x7F}));
    EXPECT_EQ(Bytes(received[2].begin() + 5, received[2].begin() + 9), (Bytes{3, 0x80, 0x3C, 0}));
    EXPECT_EQ(received[3][0], kPacketPortSet);
    EXPECT_EQ(received[3][4], 1);
    EXPECT_EQ(received[4][0], kPacketPortClear);
    EXPECT_EQ(received[4][4], 1);
    EXPECT_EQ(received[5][0], kPacketOtherPort);
    EXPECT_EQ(received[6][0], kPacketAux);
    EXPECT_EQ(Bytes(received[6].begin() + 5, received[6].begin() + 8), aux);
    EXPECT_EQ(model->controlValue(7), 99);
}

TEST_F(ModelTest, UnplugFailsPendingTransfersAndLaterWrites) {
    plug();
    std::uint32_t start = bus->currentFrame() + 50;
    Bytes buf(8 * 336);
    std::vector<IsoPacket> pk(8);
    for (int k = 0; k < 8; ++k) pk[k].offset = 336 * k;
    TransferResult iso{};
    dev->submitIso({kEpCapture, start, buf.data(), 8 * 336, pk.data(), 8, 0,
                    [&](const TransferResult& r) { iso = r; }});
    Bytes read(64);
    TransferResult pendingRead{};
    dev->submitMessage(
        {kEpMessageIn, read.data(), 64, 0, [&](const TransferResult& r) { pendingRead = r; }});
    EXPECT_TRUE(model->unplug());
    clock->runDue();
    EXPECT_EQ(iso.status, kStatusNoSuchDevice);
    EXPECT_EQ(pendingRead.status, kStatusNoSuchDevice);
    EXPECT_EQ(command(kCmdFirmwareVersion), kStatusNoSuchDevice);
    EXPECT_FALSE(model->moveControl(1, 1));
    EXPECT_EQ(events.back().kind, BusEvent::Kind::Departure);
}

// ---------------------------------------------------------------------------------------------
TEST(Recorder, WritesAFloatWaveFile) {
    PlaybackRecorder rec(4);
    Bytes pkt(6 * 40 + 3);
    for (int i = 0; i < 60; ++i) {
        float v = static_cast<float>(i);
        std::memcpy(&pkt[i * 4], &v, 4);
    }
    rec.append({100, 0, 800}, pkt);
    EXPECT_EQ(rec.framesRecorded(), 6u);
    EXPECT_EQ(rec.framesDiscarded(), 2u);
    EXPECT_EQ(rec.partialFrameBytes(), 3u);
    auto s = rec.samples();
    ASSERT_EQ(s.size(), 40u);
    EXPECT_EQ(s[0], 20.0f);  // the two oldest frames went

    std::string path = ::testing::TempDir() + "vq36_recorder_test.wav";
    ASSERT_TRUE(rec.writeWav(path));
    std::ifstream f(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    ASSERT_EQ(file.size(), 12u + 26 + 12 + 8 + 160);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 12), "WAVE");
    EXPECT_EQ(file[20], 3);   // IEEE float
    EXPECT_EQ(file[22], 10);  // channels
    EXPECT_EQ(file[24] | file[25] << 8 | file[26] << 16, 48000);
    EXPECT_EQ(file[34], 32);  // bits per sample
    EXPECT_EQ(floatAt(file, file.size() - 160), 20.0f);
    EXPECT_FALSE(rec.writeWav("/nonexistent-dir/x.wav"));
}

// A packet of 7 frames whose samples count on from `next`, modulo 2^20 (exact as floats).
constexpr std::uint64_t kCountModulo = 1 << 20;
Bytes countingPacket(std::uint64_t* next, std::size_t frames = 7) {
    Bytes pkt(frames * 40);
    for (std::size_t i = 0; i < frames * 10; ++i) {
        const float v = static_cast<float>((*next)++ % kCountModulo);
        std::memcpy(&pkt[i * 4], &v, 4);
    }
    return pkt;
}

TEST(Recorder, KeepsTheNewestFramesInOrderAcrossManyPacketsAndAClear) {
    PlaybackRecorder rec(5000);
    std::uint64_t next = 0;
    for (int p = 0; p < 2000; ++p) rec.append({0, 0, 0}, countingPacket(&next));
    EXPECT_EQ(rec.framesRecorded(), 14000u);
    EXPECT_EQ(rec.framesDiscarded(), 9000u);
    auto s = rec.samples();
    ASSERT_EQ(s.size(), 50000u);
    for (std::size_t i = 0; i < s.size(); ++i) {
        ASSERT_EQ(s[i], static_cast<float>(90000 + i)) << i;
    }
    rec.clear();
    EXPECT_TRUE(rec.samples().empty());
    next = 0;
    rec.append({0, 0, 0}, countingPacket(&next));
    s = rec.samples();
    ASSERT_EQ(s.size(), 70u);
    EXPECT_EQ(s.front(), 0.0f);
    EXPECT_EQ(s.back(), 69.0f);
}

TEST(Recorder, PlaybackFillsChunksPreparedAheadAndLosesNothing) {
    // Given the preparing thread a moment now and then, playback never allocates a chunk itself,
    // neither while the recording grows nor once it is full.
    PlaybackRecorder rec(48000);
    std::uint64_t next = 0;
    for (int p = 0; p < 16000; ++p) {
        if (p % 100 == 0 && rec.framesRecorded() < 48000) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (rec.chunksReady() == 0 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        rec.append({0, 0, 0}, countingPacket(&next, 6));
    }
    EXPECT_EQ(rec.chunksAllocatedInPlayback(), 0u);
    EXPECT_EQ(rec.framesRecorded(), 96000u);
    EXPECT_EQ(rec.framesDiscarded(), 48000u);
    const auto s = rec.samples();
    ASSERT_EQ(s.size(), 480000u);
    for (std::size_t i = 0; i < s.size(); ++i)
        ASSERT_EQ(s[i], static_cast<float>((480000 + i) % kCountModulo)) << i;
}

TEST(Recorder, ACopyTakenWhilePacketsArriveIsOneUnbrokenRun) {
    PlaybackRecorder rec(20000);
    std::atomic<bool> stop{false};
    std::thread device([&] {
        std::uint64_t next = 0;
        while (!stop) rec.append({0, 0, 0}, countingPacket(&next));
    });
    for (int k = 0; k < 50; ++k) {
        const auto s = rec.samples();
        ASSERT_EQ(s.size() % 10, 0u);
        for (std::size_t i = 1; i < s.size(); ++i) {
            const auto step = (static_cast<std::uint64_t>(s[i]) + kCountModulo -
                               static_cast<std::uint64_t>(s[i - 1])) %
                              kCountModulo;
            ASSERT_EQ(step, 1u) << k << " " << i;
        }
    }
    stop = true;
    device.join();
}

TEST(Firmware, CrcAndImageFormat) {
    const std::string nine = "123456789";
    Bytes b(nine.begin(), nine.end());
    EXPECT_EQ(crc32(b), 0xCBF43926u);
    EXPECT_EQ(crcRegister(b), 0x9B63D02Cu);
    EXPECT_EQ(crcRegister({}), 0xFFFFFFFFu);

    FirmwareSection code{0x30000, Bytes(40, 0x11)};
    auto image = buildFirmwareImage({3, 4, 5}, std::span(&code, 1));
    EXPECT_EQ(std::string(image.begin(), image.begin() + 12), "Copyright 20");
    EXPECT_EQ(std::string(image.begin() + 14, image.begin() + 31), " Vexa Corporation");
    EXPECT_EQ(image[31], 0);
    EXPECT_EQ(Bytes(image.begin() + 32, image.begin() + 41),
              (Bytes{2, 0x13, 0xB7, 0, 0x2E, 1, 0, 3, 4}));
    std::uint32_t size = image[56] << 24 | image[57] << 16 | image[58] << 8 | image[59];
    EXPECT_EQ(size, image.size() - 64);
    std::uint32_t crc =
        std::uint32_t{image[60]} << 24 | image[61] << 16 | image[62] << 8 | image[63];
    EXPECT_EQ(crc, crc32(std::span(image).subspan(64)));
    auto sections = imageSections(image);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 3u);  // table, version, code
    EXPECT_EQ((*sections)[0].flashOffset, kSectionTableOffset);
    EXPECT_EQ((*sections)[0].bytes.size() % 96, 0u);
    EXPECT_EQ((*sections)[2].bytes.size(), 64u);  // padded to whole 32-byte chunks
    const Bytes& table = (*sections)[0].bytes;
    std::uint32_t tableCrc =
        table[8] | table[9] << 8 | table[10] << 16 | std::uint32_t{table[11]} << 24;
    EXPECT_EQ(tableCrc, crcRegister(std::span(table).subspan(12)));

    Bytes flash(kFlashSize, 0xFF);
    for (const auto& s : *sections)
        std::copy(s.bytes.begin(), s.bytes.end(), flash.begin() + s.flashOffset);
    EXPECT_EQ(findFirmwareVersion(flash), (FirmwareVersion{3, 4, 5}));
    flash[kSectionTableOffset + 4] = 0xFF;  // table length beyond what fits
    EXPECT_FALSE(findFirmwareVersion(flash));
    EXPECT_FALSE(findFirmwareVersion(Bytes(100)));
    image.pop_back();
    EXPECT_FALSE(imageSections(image));
}

TEST(CountingPattern, EverySampleTellsItsFrameAndChannel) {
    for (std::uint64_t frame : {0ull, 1ull, 48000ull, (1ull << 20) - 1, 1ull << 20, 123456789ull})
        for (unsigned c = 0; c < 12; ++c) {
            auto pos = decodeCountingSample(countingSample(frame, c));
            ASSERT_TRUE(pos);
            EXPECT_EQ(pos->frameModulo, frame % (1u << 20));
            EXPECT_EQ(pos->channel, c);
        }
    EXPECT_FALSE(decodeCountingSample(0.3f));
    EXPECT_FALSE(decodeCountingSample(-1.0f));
    EXPECT_NE(countingSample(5, 0), countingSample(5, 1));
    EXPECT_NE(countingSample(5, 0), countingSample(6, 0));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
TEST(ModelRealClock, StreamsInOrderWhileControlsMoveAndCommandsFlow) {
    auto clock = makeRealClock();
    std::mutex mu;
    std::vector<std::uint32_t> sentStarts, doneStarts;
    std::vector<Bytes> captured;  // in completion order
    int badCompletions = 0;
    std::atomic<int> controlPackets{0}, replies{0};
    constexpr int kTransfers = 40, kSlots = 8, kMs = 5;
    std::vector<Bytes> bufs(kSlots, Bytes(kMs * 8 * 336));
    std::vector<std::vector<IsoPacket>> pks(kSlots, std::vector<IsoPacket>(kMs * 8));

    Bus bus(clock);  // destroyed first: every pending transfer completes before the rest goes
    auto model = std::make_shared<Vq36Device>();
    bus.attach(model);
    ASSERT_EQ(bus.devices().size(), 1u);
    auto dev = bus.devices()[0];
    InterfaceSelection sel[] = {{0, 0}, {1, 1}, {2, 1}, {3, 0}};
    ASSERT_EQ(dev->selectConfiguration(sel), kStatusSuccess);

    std::function<void()> read = [&] {
        auto buf = std::make_shared<Bytes>(64);
        dev->submitMessage({kEpMessageIn, buf->data(), 64, 0, [&, buf](const TransferResult& r) {
                                if (r.status != kStatusSuccess) return;
                                if ((*buf)[0] == kPacketControl) ++controlPackets;
                                if ((*buf)[0] == kCmdFirmwareVersion) ++replies;
                                read();
                                clock->notifyAll();
                            }});
    };
    for (int i = 0; i < 4; ++i) read();

    std::uint32_t next = bus.currentFrame() + 50;
    int sent = 0;
    std::function<void(int)> send = [&](int slot) {
        std::lock_guard lk(mu);
        if (sent == kTransfers) return;
        ++sent;
        for (int k = 0; k < kMs * 8; ++k) pks[slot][k].offset = 336 * k;
        std::uint32_t start = next;
        next += kMs;
        sentStarts.push_back(start);
        dev->submitIso({kEpCapture, start, bufs[slot].data(), kMs * 8 * 336, pks[slot].data(),
                        kMs * 8, 500 * kUnitsPerMs, [&, slot](const TransferResult& r) {
                            {
                                std::lock_guard lk2(mu);
                                doneStarts.push_back(r.startFrame);
                                if (r.status != kStatusSuccess) ++badCompletions;
                                Bytes packed;
                                for (const auto& p : pks[slot]) {
                                    if (p.length != 288) ++badCompletions;
                                    auto at = bufs[slot].begin() + p.offset;
                                    packed.insert(packed.end(), at,
                                                  at + std::min<std::uint32_t>(p.length, 336));
                                }
                                captured.push_back(std::move(packed));
                            }
                            send(slot);
                            clock->notifyAll();
                        }});
    };
    for (int s = 0; s < kSlots; ++s) send(s);

    std::thread person([&] {
        for (int i = 0; i < 100; ++i) {
            model->moveControl(static_cast<std::uint8_t>(i % 32), static_cast<std::uint8_t>(i));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    for (int i = 0; i < 20; ++i) {
        auto pkt = std::make_shared<Bytes>(64, 0);
        (*pkt)[0] = kCmdFirmwareVersion;
        (*pkt)[1] = 0x13, (*pkt)[2] = 0xB7, (*pkt)[3] = 0x00, (*pkt)[4] = 0x2E;
        auto written = std::make_shared<std::atomic<bool>>(false);
        dev->submitMessage({kEpMessageOut, pkt->data(), 64, 100 * kUnitsPerMs,
                            [&clock, pkt, written](const TransferResult&) {
                                *written = true;
                                clock->notifyAll();
                            }});
        EXPECT_TRUE(
            clock->waitUntil([&] { return written->load(); }, clock->now() + 5 * kUnitsPerSecond));
    }
    person.join();

    ASSERT_TRUE(clock->waitUntil(
        [&] {
            std::lock_guard lk(mu);
            return doneStarts.size() == kTransfers && controlPackets == 100 && replies == 20;
        },
        clock->now() + 20 * kUnitsPerSecond));
    std::lock_guard lk(mu);
    EXPECT_EQ(doneStarts, sentStarts);
    EXPECT_EQ(badCompletions, 0);
    // The capture runs on without a gap: every frame follows the one before.
    auto first = decodeCountingSample(floatAt(captured[0], 0));
    ASSERT_TRUE(first);
    std::uint64_t frame = first->frameModulo;
    for (const auto& c : captured)
        for (std::size_t pos = 0; pos < c.size(); pos += 48, ++frame)
            ASSERT_EQ(floatAt(c, pos + 44), countingSample(frame, 11)) << frame;
}
