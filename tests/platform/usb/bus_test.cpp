#include "standin/usb/bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

using namespace standin;
using namespace standin::usb;

namespace {

constexpr std::uint8_t kIsoOut = 0x01;
constexpr std::uint8_t kIsoIn = 0x82;
constexpr std::uint8_t kMsgIn = 0x83;
constexpr std::uint8_t kMsgOut = 0x04;

// A device with interface 0 (setting 1: isochronous OUT and IN of 200 bytes) and interface 1
// (interrupt IN and OUT of 64 bytes). IN packets carry the microframe's low byte.
class FakeFunction : public Function {
  public:
    Speed speedValue = Speed::High;
    std::shared_ptr<DeviceLink> link;
    std::mutex mu;
    std::vector<IsoSlot> inSlots;
    std::vector<std::pair<IsoSlot, std::vector<std::uint8_t>>> outPackets;
    std::vector<std::vector<std::uint8_t>> messages;
    std::deque<OutResponse> responses;  // empty: ack
    std::uint32_t inLength = 100;

    Speed speed() const override { return speedValue; }
    std::vector<std::uint8_t> deviceDescriptor() const override {
        DeviceDescriptor d;
        d.idVendor = 0x1234;
        d.idProduct = 0x5678;
        auto b = d.bytes();
        return {b.begin(), b.end()};
    }
    std::vector<std::uint8_t> configurationDescriptor() const override {
        ConfigurationBuilder b;
        b.addInterface({9, 4, 0, 0});
        b.addInterface({9, 4, 0, 1});
        b.addEndpoint({7, 5, kIsoOut, 0x05, 200, 1});
        b.addEndpoint({7, 5, kIsoIn, 0x05, 200, 1});
        b.addInterface({9, 4, 1, 0});
        b.addEndpoint({7, 5, kMsgIn, 0x03, 64, 1});
        b.addEndpoint({7, 5, kMsgOut, 0x03, 64, 1});
        return b.bytes();
    }
    void plugged(std::shared_ptr<DeviceLink> l) override { link = std::move(l); }
    IsoInResult isoIn(std::uint8_t, const IsoSlot& slot, std::span<std::uint8_t> buf) override {
        std::lock_guard lk(mu);
        inSlots.push_back(slot);
        std::uint32_t n = std::min<std::uint32_t>(inLength, static_cast<std::uint32_t>(buf.size()));
        for (std::uint32_t i = 0; i < n; ++i)
            buf[i] = static_cast<std::uint8_t>(slot.busMicroframe);
        return {inLength, kUsbdSuccess};
    }
    UsbdStatus isoOut(std::uint8_t, const IsoSlot& slot, std::span<const std::uint8_t> d) override {
        std::lock_guard lk(mu);
        outPackets.push_back({slot, {d.begin(), d.end()}});
        return kUsbdSuccess;
    }
    OutResponse messageOut(std::uint8_t, std::span<const std::uint8_t> p) override {
        std::lock_guard lk(mu);
        if (!responses.empty()) {
            OutResponse r = responses.front();
            responses.pop_front();
            if (r.kind == OutResponse::Kind::Nak) return r;
            if (r.kind == OutResponse::Kind::Fail) return r;
        }
        messages.emplace_back(p.begin(), p.end());
        return OutResponse::ack();
    }
};

struct Done {
    bool done = false;
    TransferResult result;
    Completion fn() {
        return [this](const TransferResult& r) {
            EXPECT_FALSE(done) << "completed twice";
            done = true;
            result = r;
        };
    }
};

class BusTest : public ::testing::Test {
  protected:
    std::shared_ptr<Clock> clock = makeManualClock(7 * kUnitsPerSecond + 3333);
    std::unique_ptr<Bus> bus = std::make_unique<Bus>(clock);
    std::shared_ptr<FakeFunction> fn = std::make_shared<FakeFunction>();
    std::vector<BusEvent> events;
    std::shared_ptr<UsbDevice> dev;

    void SetUp() override {
        bus->addListener([this](const BusEvent& e) { events.push_back(e); });
        bus->attach(fn);
        clock->runDue();
        ASSERT_EQ(events.size(), 1u);
        dev = events[0].device;
        InterfaceSelection sel[] = {{0, 1}, {1, 0}};
        ASSERT_EQ(dev->selectConfiguration(sel), kStatusSuccess);
    }

    void advanceMs(double ms) { clock->advance(static_cast<Time100ns>(ms * kUnitsPerMs)); }
    void advanceTo(Time100ns t) {
        if (t > clock->now()) clock->advance(t - clock->now());
        clock->runDue();
    }

    TransferId submitIso(std::uint8_t ep, std::uint32_t start, std::vector<std::uint8_t>& buf,
                         std::vector<IsoPacket>& pk, std::uint32_t packetSize, Done& d,
                         Time100ns timeout = 0) {
        for (std::size_t i = 0; i < pk.size(); ++i)
            pk[i].offset = static_cast<std::uint32_t>(i * packetSize);
        return dev->submitIso({ep, start, buf.data(), static_cast<std::uint32_t>(buf.size()),
                               pk.data(), static_cast<std::uint32_t>(pk.size()), timeout, d.fn()});
    }
};

// ---------------------------------------------------------------------------------------------
TEST_F(BusTest, FrameNumbersStartAtTheBaseAndAdvanceOncePerMillisecond) {
    std::uint32_t f0 = bus->currentFrame();
    EXPECT_EQ(f0, bus->options().frameBase);
    advanceMs(0.99);
    EXPECT_EQ(bus->currentFrame(), f0);
    EXPECT_EQ(bus->currentMicroframe(), 7u);
    advanceMs(0.01);
    EXPECT_EQ(bus->currentFrame(), f0 + 1);
    std::uint32_t viaDevice = 0;
    EXPECT_EQ(dev->currentFrameNumber(&viaDevice), kStatusSuccess);
    EXPECT_EQ(viaDevice, f0 + 1);
    EXPECT_EQ(bus->frameStartTime(f0 + 5), bus->frameStartTime(f0) + 5 * kUnitsPerMs);
}

TEST_F(BusTest, IsoInCompletesAtTheStartOfTheFrameAfterItsLastFrame) {
    std::uint32_t start = bus->currentFrame() + 10;
    std::vector<std::uint8_t> buf(24 * 200, 0xEE);
    std::vector<IsoPacket> pk(24);
    Done d;
    submitIso(kIsoIn, start, buf, pk, 200, d);
    Time100ns end = bus->frameStartTime(start + 3);
    advanceTo(end - 1);
    EXPECT_FALSE(d.done);
    advanceTo(end);
    ASSERT_TRUE(d.done);
    EXPECT_EQ(d.result.status, kStatusSuccess);
    EXPECT_EQ(d.result.usbdStatus, kUsbdSuccess);
    EXPECT_EQ(d.result.startFrame, start);
    EXPECT_EQ(d.result.bytesTransferred, 24u * 100);
    // One packet per microframe, consecutive, starting at microframe 0 of the start frame.
    ASSERT_EQ(fn->inSlots.size(), 24u);
    for (std::uint32_t k = 0; k < 24; ++k) {
        EXPECT_EQ(fn->inSlots[k].frameNumber, start + k / 8);
        EXPECT_EQ(fn->inSlots[k].microframe, k % 8);
        EXPECT_EQ(fn->inSlots[k].busMicroframe, fn->inSlots[0].busMicroframe + k);
        EXPECT_EQ(pk[k].length, 100u);
        EXPECT_EQ(pk[k].status, kUsbdSuccess);
        EXPECT_EQ(buf[k * 200], static_cast<std::uint8_t>(fn->inSlots[k].busMicroframe));
        EXPECT_EQ(buf[k * 200 + 100], 0xEE) << "written beyond the returned length";
    }
}

TEST_F(BusTest, StartFramesOutsideTheWindowFailWithBadStartFrame) {
    advanceMs(0.5);  // in the middle of a frame
    std::uint32_t cur = bus->currentFrame();
    for (std::uint32_t start : {cur - 3, cur, cur + kMaxStartFrameLead + 1, 0u}) {
        std::vector<std::uint8_t> buf(8 * 200);
        std::vector<IsoPacket> pk(8);
        Done d;
        submitIso(kIsoIn, start, buf, pk, 200, d);
        clock->runDue();
        ASSERT_TRUE(d.done) << start;
        EXPECT_EQ(d.result.usbdStatus, kUsbdBadStartFrame) << start;
        EXPECT_FALSE(ntSuccess(d.result.status));
    }
    EXPECT_TRUE(fn->inSlots.empty());
    for (std::uint32_t start : {cur + 1, cur + kMaxStartFrameLead}) {
        std::vector<std::uint8_t> buf(8 * 200);
        std::vector<IsoPacket> pk(8);
        Done d;
        submitIso(kIsoIn, start, buf, pk, 200, d);
        advanceTo(bus->frameStartTime(start + 1));
        ASSERT_TRUE(d.done);
        EXPECT_EQ(d.result.usbdStatus, kUsbdSuccess) << start;
    }
}

TEST_F(BusTest, RejectsMalformedIsoRequests) {
    std::uint32_t start = bus->currentFrame() + 5;
    auto expectRejected = [&](std::uint8_t ep, std::vector<IsoPacket> pk, std::uint32_t bufLen,
                              UsbdStatus want) {
        std::vector<std::uint8_t> buf(bufLen);
        Done d;
        dev->submitIso({ep, start, buf.data(), bufLen, pk.data(),
                        static_cast<std::uint32_t>(pk.size()), 0, d.fn()});
        clock->runDue();
        ASSERT_TRUE(d.done);
        EXPECT_EQ(d.result.usbdStatus, want);
        EXPECT_EQ(d.result.status, kStatusInvalidParameter);
    };
    std::vector<IsoPacket> seven(7);
    expectRejected(kIsoIn, seven, 7 * 200, kUsbdInvalidParameter);  // not whole frames
    std::vector<IsoPacket> eight(8);
    for (int i = 0; i < 8; ++i) eight[i].offset = i * 200;
    expectRejected(kIsoIn, eight, 1000, kUsbdInvalidParameter);  // offsets past the buffer
    auto shuffled = eight;
    std::swap(shuffled[2].offset, shuffled[3].offset);
    expectRejected(kIsoIn, shuffled, 1600, kUsbdInvalidParameter);
    auto big = eight;
    for (int i = 0; i < 8; ++i) big[i].offset = i * 201;
    expectRejected(kIsoOut, big, 8 * 201, kUsbdInvalidParameter);  // OUT above max packet
    expectRejected(kMsgIn, eight, 1600, kUsbdInvalidPipeHandle);
    expectRejected(0x85, eight, 1600, kUsbdInvalidPipeHandle);
    std::vector<IsoPacket> tooMany(kMaxIsoPacketsHighSpeed + 8);
    expectRejected(kIsoIn, tooMany, 0, kUsbdInvalidParameter);
    EXPECT_TRUE(fn->inSlots.empty());
}

TEST_F(BusTest, OutDataIsTakenAtEachPacketsOwnMicroframe) {
    std::uint32_t start = bus->currentFrame() + 2;
    std::vector<std::uint8_t> buf(8 * 40, 0);
    std::vector<IsoPacket> pk(8);
    Done d;
    submitIso(kIsoOut, start, buf, pk, 40, d);
    // Packet 4 is written after submission but before its microframe.
    advanceTo(bus->frameStartTime(start) + 3 * kUnitsPerMicroframe);
    std::fill(buf.begin() + 4 * 40, buf.begin() + 5 * 40, 0x55);
    advanceTo(bus->frameStartTime(start + 1));
    ASSERT_TRUE(d.done);
    ASSERT_EQ(fn->outPackets.size(), 8u);
    EXPECT_EQ(fn->outPackets[3].second, std::vector<std::uint8_t>(40, 0));
    EXPECT_EQ(fn->outPackets[4].second, std::vector<std::uint8_t>(40, 0x55));
    EXPECT_EQ(d.result.bytesTransferred, 8u * 40);
}

TEST_F(BusTest, BackToBackTransfersOnOnePipeKeepEveryMicroframeInOrder) {
    std::uint32_t start = bus->currentFrame() + 50;
    std::vector<std::vector<std::uint8_t>> bufs(4, std::vector<std::uint8_t>(16 * 200));
    std::vector<std::vector<IsoPacket>> pks(4, std::vector<IsoPacket>(16));
    Done d[4];
    std::vector<std::uint32_t> order;
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 16; ++k) pks[i][k].offset = k * 200;
        dev->submitIso({kIsoIn, start + 2u * i, bufs[i].data(), 16 * 200, pks[i].data(), 16, 0,
                        [&, i](const TransferResult& r) {
                            order.push_back(r.startFrame);
                            d[i].fn()(r);
                        }});
    }
    advanceMs(70);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{start, start + 2, start + 4, start + 6}));
    ASSERT_EQ(fn->inSlots.size(), 64u);
    for (std::size_t k = 1; k < 64; ++k)
        EXPECT_EQ(fn->inSlots[k].busMicroframe, fn->inSlots[k - 1].busMicroframe + 1);
}

TEST_F(BusTest, TwoTransfersClaimingOneMicroframeDoNotBothGetIt) {
    std::uint32_t start = bus->currentFrame() + 3;
    std::vector<std::uint8_t> a(8 * 200), b(8 * 200);
    std::vector<IsoPacket> pa(8), pb(8);
    Done da, db;
    submitIso(kIsoIn, start, a, pa, 200, da);
    submitIso(kIsoIn, start, b, pb, 200, db);
    advanceTo(bus->frameStartTime(start + 1));
    EXPECT_EQ(fn->inSlots.size(), 8u);
    EXPECT_EQ(da.result.errorCount, 0u);
    EXPECT_EQ(db.result.usbdStatus, kUsbdIsochRequestFailed);
    EXPECT_EQ(pb[0].status, kUsbdIsoNotAccessedByHw);
}

TEST_F(BusTest, CancelAndTimeOutCompleteAtOnceAndLeaveTheBufferAlone) {
    std::uint32_t start = bus->currentFrame() + 2;
    std::vector<std::uint8_t> buf(16 * 200, 0xEE);
    std::vector<IsoPacket> pk(16);
    Done d;
    TransferId id = submitIso(kIsoIn, start, buf, pk, 200, d);
    advanceTo(bus->frameStartTime(start) + 3 * kUnitsPerMicroframe);  // 4 packets done
    EXPECT_TRUE(dev->cancel(id));
    EXPECT_FALSE(dev->cancel(id));
    clock->runDue();
    ASSERT_TRUE(d.done);
    EXPECT_EQ(d.result.status, kStatusCancelled);
    EXPECT_EQ(d.result.usbdStatus, kUsbdCanceled);
    EXPECT_EQ(pk[3].status, kUsbdSuccess);
    EXPECT_EQ(pk[4].status, kUsbdIsoNotAccessedByHw);
    EXPECT_EQ(pk[4].length, 0u);
    advanceMs(10);
    EXPECT_EQ(fn->inSlots.size(), 4u);
    EXPECT_EQ(buf[4 * 200], 0xEE);

    // A message read that the device never answers fails at its time-out.
    std::vector<std::uint8_t> msg(64);
    Done m;
    Time100ns sent = clock->now();
    dev->submitMessage({kMsgIn, msg.data(), 64, 500 * kUnitsPerMs, m.fn()});
    advanceTo(sent + 500 * kUnitsPerMs - 1);
    EXPECT_FALSE(m.done);
    advanceTo(sent + 500 * kUnitsPerMs);
    ASSERT_TRUE(m.done);
    EXPECT_EQ(m.result.status, kStatusIoTimeout);
    EXPECT_EQ(m.result.usbdStatus, kUsbdCanceled);
}

TEST_F(BusTest, MessageInDeliversQueuedAndLaterPacketsOnePerMicroframe) {
    std::vector<std::uint8_t> early(64, 1);
    ASSERT_TRUE(fn->link->sendIn(kMsgIn, early));
    std::vector<std::uint8_t> tooLong(65, 2);
    EXPECT_FALSE(fn->link->sendIn(kMsgIn, tooLong));
    EXPECT_FALSE(fn->link->sendIn(kMsgOut, early));

    std::vector<std::vector<std::uint8_t>> bufs(3, std::vector<std::uint8_t>(64));
    Done d[3];
    for (int i = 0; i < 3; ++i) dev->submitMessage({kMsgIn, bufs[i].data(), 64, 0, d[i].fn()});
    advanceMs(1);
    ASSERT_TRUE(d[0].done);
    EXPECT_EQ(d[0].result.bytesTransferred, 64u);
    EXPECT_EQ(bufs[0], early);
    EXPECT_FALSE(d[1].done);

    std::vector<std::uint8_t> shortPacket(20, 3);
    Time100ns t0 = clock->now();
    ASSERT_TRUE(fn->link->sendIn(kMsgIn, shortPacket));
    ASSERT_TRUE(fn->link->sendIn(kMsgIn, early));
    advanceTo(t0 + kUnitsPerMicroframe);
    EXPECT_TRUE(d[1].done);
    EXPECT_FALSE(d[2].done) << "two packets in one microframe";
    advanceTo(t0 + 2 * kUnitsPerMicroframe);
    EXPECT_TRUE(d[2].done);
    EXPECT_EQ(d[1].result.bytesTransferred, 20u);
    EXPECT_EQ(d[2].result.bytesTransferred, 64u);
}

TEST_F(BusTest, MessageOutFollowsTheDevicesAnswer) {
    std::vector<std::uint8_t> pkt(64, 9);
    Done ok;
    dev->submitMessage({kMsgOut, pkt.data(), 64, 0, ok.fn()});
    advanceMs(1);
    ASSERT_TRUE(ok.done);
    EXPECT_EQ(ok.result.status, kStatusSuccess);
    EXPECT_EQ(ok.result.bytesTransferred, 64u);
    ASSERT_EQ(fn->messages.size(), 1u);

    fn->responses.push_back(OutResponse::nak());
    Done later;
    dev->submitMessage({kMsgOut, pkt.data(), 64, 0, later.fn()});
    advanceMs(5);
    EXPECT_FALSE(later.done);
    fn->link->resumeOut(kMsgOut);
    advanceMs(1);
    EXPECT_TRUE(later.done);
    EXPECT_EQ(fn->messages.size(), 2u);

    fn->responses.push_back(OutResponse::fail(kStatusInvalidParameter, kUsbdStallPid));
    Done failed;
    dev->submitMessage({kMsgOut, pkt.data(), 64, 0, failed.fn()});
    advanceMs(1);
    ASSERT_TRUE(failed.done);
    EXPECT_EQ(failed.result.status, kStatusInvalidParameter);
    EXPECT_EQ(failed.result.usbdStatus, kUsbdStallPid);

    // A 130-byte write goes out as 64 + 64 + 2.
    std::vector<std::uint8_t> longWrite(130, 4);
    Done multi;
    dev->submitMessage({kMsgOut, longWrite.data(), 130, 0, multi.fn()});
    advanceMs(1);
    ASSERT_TRUE(multi.done);
    EXPECT_EQ(multi.result.bytesTransferred, 130u);
    ASSERT_EQ(fn->messages.size(), 5u);
    EXPECT_EQ(fn->messages[4].size(), 2u);
}

TEST_F(BusTest, SurpriseRemovalFailsPendingAndLaterTransfers) {
    std::uint32_t start = bus->currentFrame() + 5;
    std::vector<std::uint8_t> buf(8 * 200);
    std::vector<IsoPacket> pk(8);
    Done iso, read;
    submitIso(kIsoIn, start, buf, pk, 200, iso);
    std::vector<std::uint8_t> msg(64);
    dev->submitMessage({kMsgIn, msg.data(), 64, 0, read.fn()});
    EXPECT_TRUE(fn->link->unplug());
    clock->runDue();
    ASSERT_TRUE(iso.done && read.done);
    EXPECT_EQ(iso.result.status, kStatusNoSuchDevice);
    EXPECT_EQ(read.result.status, kStatusNoSuchDevice);
    EXPECT_FALSE(dev->present());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, BusEvent::Kind::Departure);
    EXPECT_EQ(events[1].device, dev);

    Done write;
    dev->submitMessage({kMsgOut, msg.data(), 64, 0, write.fn()});
    clock->runDue();
    ASSERT_TRUE(write.done);
    EXPECT_EQ(write.result.status, kStatusNoSuchDevice);
    EXPECT_EQ(dev->selectConfiguration({}), kStatusNoSuchDevice);
    EXPECT_EQ(dev->cyclePort(), kStatusNoSuchDevice);
    EXPECT_FALSE(fn->link->sendIn(kMsgIn, msg));
    EXPECT_TRUE(bus->devices().empty());
}

TEST_F(BusTest, PortCycleAndReenumerationBringANewDevice) {
    std::vector<std::uint8_t> msg(64);
    Done read;
    dev->submitMessage({kMsgIn, msg.data(), 64, 0, read.fn()});
    ASSERT_EQ(dev->cyclePort(), kStatusSuccess);
    clock->runDue();
    EXPECT_TRUE(read.done);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, BusEvent::Kind::Departure);
    advanceTo(clock->now() + bus->options().reattachDelay);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].kind, BusEvent::Kind::Arrival);
    auto again = events[2].device;
    EXPECT_NE(again->id(), dev->id());
    EXPECT_EQ(again->port(), dev->port());
    EXPECT_FALSE(again->configured());
    EXPECT_TRUE(again->pipes(0).empty());

    // The device asks to re-enumerate: it leaves shortly after, and comes back.
    EXPECT_TRUE(fn->link->reenumerate());
    EXPECT_TRUE(again->present());
    advanceTo(clock->now() + bus->options().reenumerateLeaveDelay);
    EXPECT_FALSE(again->present());
    advanceTo(clock->now() + bus->options().reattachDelay);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[4].kind, BusEvent::Kind::Arrival);
    EXPECT_EQ(bus->devices().size(), 1u);
}

TEST_F(BusTest, PipesFollowTheSelectedSettings) {
    auto pipes0 = dev->pipes(0);
    ASSERT_EQ(pipes0.size(), 2u);
    EXPECT_EQ(pipes0[0].endpointAddress, kIsoOut);
    EXPECT_EQ(pipes0[1].endpointAddress, kIsoIn);
    EXPECT_EQ(pipes0[1].type, PipeType::Isochronous);
    EXPECT_EQ(pipes0[1].maximumPacketSize, 200);
    EXPECT_EQ(dev->pipes(1)[1].endpointAddress, kMsgOut);

    // Going back to setting 0 removes the isochronous pipes and cancels their transfers.
    std::vector<std::uint8_t> buf(8 * 200);
    std::vector<IsoPacket> pk(8);
    Done d;
    submitIso(kIsoIn, bus->currentFrame() + 5, buf, pk, 200, d);
    EXPECT_EQ(dev->selectInterfaceSetting(0, 0), kStatusSuccess);
    clock->runDue();
    EXPECT_EQ(d.result.status, kStatusCancelled);
    EXPECT_TRUE(dev->pipes(0).empty());
    EXPECT_EQ(dev->pipes(1).size(), 2u);
    EXPECT_EQ(dev->resetPipe(kIsoIn), kStatusInvalidParameter);
    EXPECT_EQ(dev->resetPipe(kMsgIn), kStatusSuccess);
    EXPECT_EQ(dev->selectInterfaceSetting(0, 7), kStatusInvalidParameter);
    EXPECT_EQ(dev->selectInterfaceSetting(5, 0), kStatusInvalidParameter);
    InterfaceSelection dup[] = {{0, 1}, {0, 1}};
    EXPECT_EQ(dev->selectConfiguration(dup), kStatusInvalidParameter);

    EXPECT_EQ(dev->deconfigure(), kStatusSuccess);
    EXPECT_FALSE(dev->configured());
    EXPECT_FALSE(dev->pipe(kMsgIn));
}

TEST_F(BusTest, DestroyingTheBusCompletesEverythingAndKillsTheHandles) {
    std::vector<std::uint8_t> msg(64);
    Done read;
    dev->submitMessage({kMsgIn, msg.data(), 64, 0, read.fn()});
    bus.reset();
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.result.status, kStatusCancelled);
    EXPECT_FALSE(dev->present());
    EXPECT_FALSE(fn->link->sendIn(kMsgIn, msg));
    Done after;
    dev->submitMessage({kMsgIn, msg.data(), 64, 0, after.fn()});
    EXPECT_TRUE(after.done);
    EXPECT_EQ(after.result.status, kStatusNoSuchDevice);
}

TEST(BusFullSpeed, OnePacketPerFrame) {
    auto clock = makeManualClock();
    Bus bus(clock);
    auto fn = std::make_shared<FakeFunction>();
    fn->speedValue = Speed::Full;
    bus.attach(fn);
    auto dev = bus.devices().at(0);
    EXPECT_EQ(dev->speed(), Speed::Full);
    InterfaceSelection sel[] = {{0, 1}};
    ASSERT_EQ(dev->selectConfiguration(sel), kStatusSuccess);
    std::vector<std::uint8_t> buf(3 * 200);
    std::vector<IsoPacket> pk(3);
    for (int i = 0; i < 3; ++i) pk[i].offset = i * 200;
    Done d;
    std::uint32_t start = bus.currentFrame() + 2;
    dev->submitIso({kIsoIn, start, buf.data(), 600, pk.data(), 3, 0, d.fn()});
    clock->advance(bus.frameStartTime(start + 3) - clock->now());
    ASSERT_TRUE(d.done);
    ASSERT_EQ(fn->inSlots.size(), 3u);
    EXPECT_EQ(fn->inSlots[2].frameNumber, start + 2);
    EXPECT_EQ(fn->inSlots[2].microframe, 0);
}

// ---------------------------------------------------------------------------------------------
TEST(Descriptors, BuilderOutputParsesBackAndBadSetsAreRefused) {
    ConfigurationBuilder b;
    b.addInterface({9, 4, 0, 0}).addInterface({9, 4, 0, 1});
    b.addEndpoint({7, 5, 0x81, 0x05, 336, 1});
    b.addInterface({9, 4, 3, 0});
    b.addEndpoint({7, 5, 0x83, 0x03, 64, 1}).addEndpoint({7, 5, 0x04, 0x03, 64, 1});
    auto bytes = b.bytes();
    auto cfg = parseConfiguration(bytes);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->descriptor.bNumInterfaces, 2);
    EXPECT_EQ(cfg->descriptor.wTotalLength, bytes.size());
    ASSERT_EQ(cfg->interfaces.size(), 2u);
    EXPECT_EQ(cfg->interface(0)->settings.size(), 2u);
    EXPECT_EQ(cfg->interface(0)->setting(1)->endpoints[0].maxPacket(), 336);
    EXPECT_EQ(cfg->interface(3)->setting(0)->endpoints.size(), 2u);

    // Every truncation, and every descriptor length set to 0 or past the end, is refused.
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(parseConfiguration(std::span(bytes).first(n))) << n;
    for (std::size_t pos = 9; pos < bytes.size();) {
        std::uint8_t len = bytes[pos];
        for (std::uint8_t bad : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{255}}) {
            auto broken = bytes;
            broken[pos] = bad;
            EXPECT_FALSE(parseConfiguration(broken)) << pos;
        }
        pos += len;
    }
    std::vector<std::uint8_t> orphanEndpoint = {9,  2, 16, 0,    0, 1,  0, 0x80,
                                                50, 7, 5,  0x81, 1, 64, 0, 1};
    EXPECT_FALSE(parseConfiguration(orphanEndpoint));
    auto wrongCount = bytes;
    wrongCount[9 + 4] = 3;  // bNumEndpoints of the first setting
    EXPECT_FALSE(parseConfiguration(wrongCount));

    DeviceDescriptor d;
    d.idVendor = 0xB713;
    auto db = d.bytes();
    auto back = DeviceDescriptor::parse(db);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->idVendor, 0xB713);
    EXPECT_FALSE(DeviceDescriptor::parse(std::span(db).first(17)));
}

// ---------------------------------------------------------------------------------------------
TEST(BusRealClock, BackToBackIsoTransfersCompleteInOrder) {
    auto clock = makeRealClock();
    Bus bus(clock);
    auto fn = std::make_shared<FakeFunction>();
    bus.attach(fn);
    std::shared_ptr<UsbDevice> dev;
    ASSERT_TRUE(clock->waitUntil([&] { return !bus.devices().empty(); },
                                 clock->now() + 5 * kUnitsPerSecond));
    dev = bus.devices()[0];
    InterfaceSelection sel[] = {{0, 1}};
    ASSERT_EQ(dev->selectConfiguration(sel), kStatusSuccess);

    // 60 transfers of 5 ms, eight in flight, each resubmitted from the completion of the
    // previous one: 300 ms of capture.
    constexpr int kTransfers = 60, kSlots = 8, kMs = 5;
    std::mutex mu;
    std::vector<std::uint32_t> startFrames;
    std::vector<std::uint32_t> completed;
    std::atomic<int> failures{0};
    std::vector<std::vector<std::uint8_t>> bufs(kSlots, std::vector<std::uint8_t>(kMs * 8 * 200));
    std::vector<std::vector<IsoPacket>> pks(kSlots, std::vector<IsoPacket>(kMs * 8));
    std::uint32_t next = bus.currentFrame() + 50;
    int sent = 0;
    std::function<void(int)> send = [&](int slot) {
        std::lock_guard lk(mu);
        if (sent == kTransfers) return;
        ++sent;
        for (int k = 0; k < kMs * 8; ++k) pks[slot][k].offset = k * 200;
        std::uint32_t start = next;
        next += kMs;
        startFrames.push_back(start);
        dev->submitIso({kIsoIn, start, bufs[slot].data(), kMs * 8 * 200, pks[slot].data(), kMs * 8,
                        500 * kUnitsPerMs, [&, slot](const TransferResult& r) {
                            {
                                std::lock_guard lk2(mu);
                                completed.push_back(r.startFrame);
                                if (r.status != kStatusSuccess || r.errorCount) ++failures;
                            }
                            send(slot);
                            clock->notifyAll();
                        }});
    };
    for (int s = 0; s < kSlots; ++s) send(s);
    EXPECT_TRUE(clock->waitUntil(
        [&] {
            std::lock_guard lk(mu);
            return completed.size() == kTransfers;
        },
        clock->now() + 20 * kUnitsPerSecond));
    std::lock_guard lk(mu);
    EXPECT_EQ(completed, startFrames);
    EXPECT_EQ(failures.load(), 0);
    std::lock_guard lk2(fn->mu);
    ASSERT_EQ(fn->inSlots.size(), std::size_t{kTransfers} * kMs * 8);
    for (std::size_t k = 1; k < fn->inSlots.size(); ++k)
        ASSERT_EQ(fn->inSlots[k].busMicroframe, fn->inSlots[k - 1].busMicroframe + 1) << k;
}

}  // namespace
