// The outgoing control-packet queue: what is accepted, the order packets leave in, the splice
// slot, a full ring, a failing send, and the flush event.

#include <atomic>

#include "control_fixture.h"

namespace {

using asiotest::Bytes;
using asiotest::bytesOf;
using asiotest::ControlTest;
using asiotest::eventually;
using asiotest::IoCall;
using asiotest::packetOf;
using asiotest::setIoHook;

HidiOutputQueue& q = gHidiOutputQueue;

// The queue with a status monitor that idles (the queue's lock exists, and nothing flushes
// behind the test's back); the test flushes through a private wrapper of its own.
class QueueTest : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        startMachine();
        gFirmwareUpdateInProgress.store(1);
        owner = VQ36_open();
        ASSERT_TRUE(eventually([] { return q.lockExists.load(); }));
        sender = uCreateVexaAudioDeviceInterfaceWrapper(0);
        device()->clearCommands();
    }
    void TearDown() override {
        if (sender != nullptr) uCloseVexaAudioDevice(sender);
        if (owner != nullptr) VQ36_close(owner);
        ControlTest::TearDown();
    }

    DWORD pending() const { return q.writeCount - q.readCount; }
    HidiPacket slot(DWORD count) const { return q.ring[count % kHidiOutputQueueSlots]; }
    bool flushEventSet() const {
        HANDLE event = q.flushEvent.load();
        return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }

    AudioDeviceInterfaceWrapper* owner = nullptr;
    AudioDeviceInterfaceWrapper* sender = nullptr;
};

TEST_F(ControlTest, BeforeAnyMonitorHasStartedTheQueueRefusesWithFive) {
    ASSERT_FALSE(q.lockExists.load());
    HidiPacket p = packetOf({0x90, 0x3C, 0x7F});
    EXPECT_EQ(uEnqueueHidiPacketToDevice(nullptr, &p, 1), 5);
    EXPECT_TRUE(logHas("Bad state in uEnqueueHidiPacketToDevice (no crit section)"));
    EXPECT_EQ(VQ36_send_note_on(nullptr, 0x3C, 0x7F), 5);
    EXPECT_EQ(VQ36_get_all_controls(nullptr), 5);
    // A bad packet is refused first.
    EXPECT_EQ(uEnqueueHidiPacketToDevice(nullptr, nullptr, 1), 8);
}

TEST_F(QueueTest, PacketsOfOneTo58BytesAreAccepted) {
    HidiPacket p{};
    p.length = 58;
    for (int i = 0; i < 58; ++i) p.data[i] = static_cast<BYTE>(i);
    const DWORD written = q.writeCount;
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &p, 1), 0);
    EXPECT_EQ(q.writeCount, written + 1);
    EXPECT_EQ(bytesOf(slot(written)), bytesOf(p));

    for (BYTE length : {0, 59, 255}) {
        p.length = length;
        EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &p, 1), 8) << int(length);
    }
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, nullptr, 0), 8);
    EXPECT_EQ(logCount("Invalid parameter to uEnqueueHidiPacketToDevice"), 4u);
    EXPECT_EQ(q.writeCount, written + 1);
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
}

TEST_F(QueueTest, RingPacketsLeaveInOrderAtTheNextFlush) {
    const DWORD w = q.writeCount;
    const HidiPacket a = packetOf({0xB0, 1, 1}), b = packetOf({0xB0, 2, 2}),
                     c = packetOf({0xF0, 0x17, 0x04, 0xF7});
    for (const HidiPacket* p : {&a, &b, &c}) EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, p, 1), 0);
    EXPECT_EQ(pending(), 3u);
    EXPECT_EQ(bytesOf(slot(w)), bytesOf(a));
    EXPECT_EQ(bytesOf(slot(w + 1)), bytesOf(b));
    EXPECT_EQ(bytesOf(slot(w + 2)), bytesOf(c));
    char line[80];
    std::snprintf(line, sizeof line, "uEnqueueHidiPacketToDevice: added new entry at %u",
                  (w + 2) % 256);
    EXPECT_TRUE(logHas(line));
    EXPECT_TRUE(sentPackets().empty());  // nothing leaves without a flush

    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
    EXPECT_EQ(pending(), 0u);
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(a), bytesOf(b), bytesOf(c)}));
    std::snprintf(line, sizeof line, "Send packet %u; length: 4", (w + 2) % 256);
    EXPECT_TRUE(logHas(line));
    EXPECT_TRUE(logHas("Send packet of length: 4"));
    EXPECT_TRUE(logHas("f0,17,04,f7,"));
    EXPECT_TRUE(logHas("End flushing HIDI output queue"));
}

TEST_F(QueueTest, TheSplicedPacketLeavesBeforeAnythingQueuedAfterIt) {
    const HidiPacket a = packetOf({0xB0, 1, 1}), spliced = packetOf({0x90, 0x3C, 0x7F}),
                     c = packetOf({0xB0, 3, 3});
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &a, 1), 0);
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &spliced, 0), 0);
    EXPECT_EQ(bytesOf(q.splicePacket), bytesOf(spliced));
    EXPECT_EQ(pending(), 1u);
    EXPECT_TRUE(logHas("uEnqueueHidiPacketToDevice: appended on partial"));
    EXPECT_TRUE(sentPackets().empty());

    // Any enqueue first sends the ring and then the splice slot, then queues its own packet.
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &c, 1), 0);
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(a), bytesOf(spliced)}));
    EXPECT_EQ(q.splicePacket.length, 0);
    EXPECT_EQ(pending(), 1u);

    // Two spliced packets are never combined: the second sends the first.
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &spliced, 0), 0);  // sends c
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &spliced, 0), 0);  // sends the first spliced
    EXPECT_EQ(q.splicePacket.length, 3);
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(a), bytesOf(spliced), bytesOf(c),
                                                 bytesOf(spliced), bytesOf(spliced)}));
}

TEST_F(QueueTest, The257thPacketFirstSendsAll256) {
    const DWORD w = q.writeCount;
    ASSERT_EQ(pending(), 0u);
    for (int i = 0; i < 256; ++i) {
        HidiPacket p = packetOf({0xB0, i & 0x7F, i >> 7});
        ASSERT_EQ(uEnqueueHidiPacketToDevice(sender, &p, 1), 0) << i;
    }
    EXPECT_EQ(pending(), 256u);
    EXPECT_TRUE(sentPackets().empty());
    HidiPacket last = packetOf({0x90, 1, 2});
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &last, 1), 0);
    const std::vector<Bytes> sent = sentPackets();
    ASSERT_EQ(sent.size(), 256u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(sent[i], bytesOf(packetOf({0xB0, i & 0x7F, i >> 7})));
    // It took the slot after the 256 (slot 0 when the counters started at 0).
    EXPECT_EQ(pending(), 1u);
    EXPECT_EQ(q.writeCount, w + 257);
    EXPECT_EQ(bytesOf(slot(w + 256)), bytesOf(last));
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
}

TEST_F(QueueTest, AFailingSendDropsTheRestOfTheRingAndKeepsTheSplicedPacket) {
    const HidiPacket a = packetOf({0xB0, 1, 1}), b = packetOf({0xB0, 2, 2}),
                     c = packetOf({0xB0, 3, 3}), spliced = packetOf({0x90, 0x3C, 0x7F});
    for (const HidiPacket* p : {&a, &b, &c}) ASSERT_EQ(uEnqueueHidiPacketToDevice(sender, p, 1), 0);
    q.splicePacket = spliced;  // as an earlier enqueue with splicing would have left it

    std::atomic<int> messages{0};
    setIoHook([&](const IoCall& call, void*, DWORD, BOOL* result, DWORD* error) {
        if (call.code != vq36::kIoCtlSendMessage || call.message != 32) return false;
        if (messages.fetch_add(1) == 0) return false;  // the first goes through
        *result = FALSE;
        *error = ERROR_GEN_FAILURE;
        return true;
    });
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 1);
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(a)}));
    EXPECT_EQ(q.readCount, q.writeCount);  // c is dropped with b
    EXPECT_EQ(bytesOf(q.splicePacket), bytesOf(spliced));
    EXPECT_EQ(messages.load(), 5);  // a, then four attempts for b; nothing for c

    // An enqueue whose flush fails is not queued, and still sets the flush event.
    ResetEvent(q.flushEvent.load());
    messages.store(1);
    const DWORD written = q.writeCount;
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &c, 1), 1);
    EXPECT_EQ(q.writeCount, written);
    EXPECT_TRUE(flushEventSet());

    // The spliced packet goes at the next flush that works.
    setIoHook(nullptr);
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(a), bytesOf(spliced)}));
    EXPECT_EQ(q.splicePacket.length, 0);
}

TEST_F(QueueTest, AnEmptyFlushSendsNothing) {
    asiotest::resetIo();
    const std::size_t mark = log().size();
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
    // (The idle monitor may log in between.)
    const std::string text = log().substr(mark);
    const std::size_t begin = text.find("Begin flushing HIDI output queue");
    const std::size_t end = text.find("End flushing HIDI output queue");
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(text.substr(begin, end - begin).find("Send packet"), std::string::npos);
    EXPECT_TRUE(asiotest::ioCalls().empty());
    HidiPacket empty{};
    EXPECT_EQ(uSendHidiPacket(sender, empty), 0);
    EXPECT_TRUE(asiotest::ioCalls().empty());
}

TEST_F(QueueTest, EveryEnqueueSetsTheFlushEvent) {
    HidiPacket p = packetOf({0xB0, 1, 1});
    if (q.flushEvent.load() == nullptr) {
        EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &p, 1), 0);
        EXPECT_TRUE(logHas("uEnqueueHidiPacketToDevice: Creating event"));
    }
    ASSERT_NE(q.flushEvent.load(), nullptr);
    for (int noSplice : {1, 0, 1, 0}) {
        ResetEvent(q.flushEvent.load());
        EXPECT_FALSE(flushEventSet());
        EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &p, noSplice), 0);
        EXPECT_TRUE(flushEventSet());
    }
    // Refused packets never get past the lock: no event.
    ResetEvent(q.flushEvent.load());
    p.length = 0;
    EXPECT_EQ(uEnqueueHidiPacketToDevice(sender, &p, 1), 8);
    EXPECT_FALSE(flushEventSet());
    EXPECT_EQ(uFlushHidiOutputQueue(sender), 0);
}

TEST_F(QueueTest, TheMonitorFlushesWhatIsQueuedWithinAPass) {
    gFirmwareUpdateInProgress.store(0);
    ASSERT_TRUE(eventually([] { return gMonitorNoDevice.load() == 0; }));
    HidiPacket a = packetOf({0xB0, 5, 6});
    HidiPacket spliced = packetOf({0xF8, 0xF8});
    EXPECT_EQ(uEnqueueHidiPacketToDevice(owner, &a, 1), 0);
    EXPECT_EQ(uEnqueueHidiPacketToDevice(owner, &spliced, 0), 0);
    EXPECT_TRUE(eventually([&] { return sentPackets().size() == 2; }, 5000));
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(a), bytesOf(spliced)}));
    EXPECT_EQ(device()->controlValue(5), 6);
}

}  // namespace
