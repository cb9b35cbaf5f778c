// Control packets: the parser's walk over received packets, the builder's room checks, the
// dispatchers; and a fuzz run that would fault on any read outside a packet.

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

#include "link_fixture.h"

namespace {

using asiotest::LinkTest;

HidiPacket packetOf(std::initializer_list<int> bytes, int length = -1) {
    HidiPacket p{};
    int i = 0;
    for (int b : bytes) p.data[i++] = static_cast<BYTE>(b);
    p.length = static_cast<BYTE>(length < 0 ? i : length);
    return p;
}

// Two packets that touch inaccessible pages: one ends where its page ends, one starts where its
// page starts. Reading a byte outside either faults.
class GuardedPackets {
  public:
    GuardedPackets() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        auto* base = static_cast<BYTE*>(
            mmap(nullptr, 3 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(base, MAP_FAILED);
        EXPECT_EQ(mprotect(base + page_, page_, PROT_READ | PROT_WRITE), 0);
        base_ = base;
        atStart = reinterpret_cast<HidiPacket*>(base + page_);
        atEnd = reinterpret_cast<HidiPacket*>(base + 2 * page_ - sizeof(HidiPacket));
    }
    ~GuardedPackets() { munmap(base_, 3 * page_); }
    GuardedPackets(const GuardedPackets&) = delete;
    GuardedPackets& operator=(const GuardedPackets&) = delete;

    HidiPacket* atStart;
    HidiPacket* atEnd;

  private:
    BYTE* base_;
    std::size_t page_;
};

// The consumer loop of the setup dialog.
struct Walk {
    std::vector<std::string> seen;
    bool failed = false;
};
Walk walk(HidiPacket* packet) {
    Walk w;
    HidiParser parser;
    parser.attach(packet);
    for (DWORD status; (status = parser.nextStatus()) != kHidiNoStatus;) {
        DWORD a = 0;
        BYTE b = 0;
        int rc = 0;
        char text[32];
        switch (status) {
            case kHidiControlChange:
                rc = parser.extractControlChange(&a, &b);
                std::snprintf(text, sizeof text, "cc %02x %02x", a, b);
                break;
            case kHidiNoteOn:
                rc = parser.extractNoteOn(&a);
                std::snprintf(text, sizeof text, "on %02x", a);
                break;
            case kHidiNoteOff:
                rc = parser.extractNoteOff(&a);
                std::snprintf(text, sizeof text, "off %02x", a);
                break;
            case kHidiSysEx:
                rc = parser.extractSysEx(&a, &b);
                std::snprintf(text, sizeof text, "sysex %02x %02x", a, b);
                break;
            default:
                parser.skip();
                continue;
        }
        if (rc != 0) {
            w.failed = true;
            break;
        }
        w.seen.push_back(text);
    }
    return w;
}

using Seen = std::vector<std::string>;

// ---- Parser ----------------------------------------------------------------------------------

TEST_F(LinkTest, ParserWalksTheMessagesOfAPacket) {
    HidiPacket p = packetOf({0x90, 0x3C, 0x7F});
    HidiParser parser;
    EXPECT_EQ(parser.packet, nullptr);
    EXPECT_EQ(parser.status, kHidiNoStatus);
    EXPECT_EQ(parser.attach(&p), 0);
    EXPECT_EQ(parser.nextStatus(), 0x90u);
    DWORD note = 0xFFFFFFFF;
    EXPECT_EQ(parser.extractNoteOn(&note), 0);
    EXPECT_EQ(note, 0x3Cu);
    EXPECT_EQ(parser.nextStatus(), kHidiNoStatus);

    p = packetOf({0xB0, 0x16, 0x70, 0x90, 0x3C, 0x00});
    EXPECT_EQ(walk(&p).seen, (Seen{"cc 16 70", "on 3c"}));
    p = packetOf({0x01, 0x02, 0xB0, 0x16, 0x70});
    EXPECT_EQ(walk(&p).seen, (Seen{"cc 16 70"}));
    // Only one byte follows the trailing status: it is not reported.
    p = packetOf({0xB0, 0x16, 0x70, 0x90, 0x3C});
    EXPECT_EQ(walk(&p).seen, (Seen{"cc 16 70"}));
    p = packetOf({0x80, 0x40, 0x00, 0xB0, 0x01, 0x02});
    EXPECT_EQ(walk(&p).seen, (Seen{"off 40", "cc 01 02"}));
    // Another channel's status is stepped over; its data bytes are stepped over one by one.
    p = packetOf({0x91, 0x3C, 0x7F, 0x90, 0x3D, 0x7F});
    EXPECT_EQ(walk(&p).seen, (Seen{"on 3d"}));
}

TEST_F(LinkTest, ParserReadsTheDevicesSystemExclusiveForm) {
    HidiPacket p = packetOf({0xF0, 0x17, 0x52, 0x01, 0xF7});
    HidiParser parser;
    parser.attach(&p);
    EXPECT_EQ(parser.nextStatus(), 0xF0u);
    DWORD command = 0;
    BYTE value = 0;
    EXPECT_EQ(parser.extractSysEx(&command, &value), 0);
    EXPECT_EQ(command, 0x52u);
    EXPECT_EQ(value, 0x01);
    EXPECT_EQ(parser.position, 4u);  // at the F7, which no scan reports
    EXPECT_EQ(parser.nextStatus(), kHidiNoStatus);

    p = packetOf({0xF0, 0x17, 0x52});
    parser.attach(&p);
    EXPECT_EQ(parser.nextStatus(), 0xF0u);
    EXPECT_EQ(parser.extractSysEx(&command, &value), 1);
    EXPECT_TRUE(logHas("VQ36: Out of space parsing sysex\n"));
}

TEST_F(LinkTest, ASystemExclusiveMessageWithoutRoomForItsValueIsNotRead) {
    // Data bytes before the status let the first space check pass; the value byte would lie
    // past the packet's length (and here past its last data byte).
    GuardedPackets guarded;
    HidiPacket* p = guarded.atEnd;
    std::memset(p, 0, sizeof *p);
    p->length = 58;
    p->data[55] = 0xF0;
    p->data[56] = 0x17;
    p->data[57] = 0x52;
    HidiParser parser;
    parser.attach(p);
    parser.position = 54;
    DWORD command = 0;
    BYTE value = 0;
    EXPECT_EQ(parser.extractSysEx(&command, &value), 1);
    EXPECT_EQ(parser.position, 55u);
    EXPECT_EQ(parser.status, 0xF0u);

    HidiPacket short4 = packetOf({0x00, 0xF0, 0x17, 0x52});
    parser.attach(&short4);
    EXPECT_EQ(parser.extractSysEx(&command, &value), 1);
    EXPECT_EQ(command, 0u);
}

TEST_F(LinkTest, ParserChecksTheLengthItIsGiven) {
    HidiPacket p = packetOf({0xB0, 0x01, 0x02}, 60);
    HidiParser parser;
    EXPECT_EQ(parser.attach(&p), 0);
    EXPECT_EQ(p.length, 58);
    EXPECT_TRUE(logHas("VQ36: Unexpected HIDI packet length: 60 > 58\n"));

    HidiPacket empty = packetOf({0x90, 0x3C, 0x7F}, 0);
    EXPECT_EQ(parser.attach(&empty), 1);
    EXPECT_TRUE(logHas("VQ36: Unexpected empty HIDI packet length\n"));
    EXPECT_EQ(parser.nextStatus(), kHidiNoStatus);

    EXPECT_EQ(parser.attach(nullptr), 1);
    EXPECT_EQ(parser.nextStatus(), kHidiNoStatus);
    DWORD note = 7;
    EXPECT_EQ(parser.extractNoteOn(&note), 1);
    EXPECT_EQ(note, 0u);

    // A length rewritten after the attach (the kernel reuses ring entries) never takes the
    // reader past the packet.
    GuardedPackets guarded;
    std::memset(guarded.atEnd, 0, sizeof(HidiPacket));
    guarded.atEnd->length = 3;
    parser.attach(guarded.atEnd);
    guarded.atEnd->length = 250;
    EXPECT_EQ(parser.nextStatus(), kHidiNoStatus);
}

TEST_F(LinkTest, AFailedExtractionKeepsThePlaceAndLogsThePacket) {
    HidiPacket p = packetOf({0xB0, 0x16, 0x70});
    HidiParser parser;
    parser.attach(&p);
    DWORD note = 9;
    EXPECT_EQ(parser.extractNoteOn(&note), 1);
    EXPECT_EQ(note, 0u);
    EXPECT_EQ(parser.status, 0xB0u);
    EXPECT_EQ(parser.position, 0u);
    EXPECT_TRUE(
        logHas("VQ36: Failed to extract expected note Id and velocity at index 0.  "
               "(isValid=1, cmd=176, req=144)  Packet: b0,16,70,\n"));
    // The parser stays usable.
    DWORD controller = 0;
    BYTE value = 0;
    EXPECT_EQ(parser.extractControlChange(&controller, &value), 0);
    EXPECT_EQ(controller, 0x16u);
    EXPECT_EQ(value, 0x70);

    EXPECT_EQ(parser.extractNoteOff(&note), 1);
    EXPECT_TRUE(logHas("at index 3.  (isValid=0, cmd=255, req=128)  Packet: b0,16,70,\n"));
}

// ---- Builder ---------------------------------------------------------------------------------

TEST(HidiPacketBuilder, RoomChecksAndTheCopy) {
    HidiPacketBuilder b;
    b.clear();
    HidiPacket out{};
    EXPECT_EQ(b.copyTo(&out), 10);
    EXPECT_EQ(b.addControlChange(0x107, 0x240), 0);  // low bytes only
    EXPECT_EQ(b.addNoteOn(0x3C, 0x7F), 0);
    EXPECT_EQ(b.addNoteOff(0x3C), 0);
    EXPECT_EQ(b.addSysExCommand(0x04), 0);
    EXPECT_EQ(b.copyTo(&out), 0);
    const BYTE expected[] = {0xB0, 0x07, 0x40, 0x90, 0x3C, 0x7F, 0x80,
                             0x3C, 0x00, 0xF0, 0x17, 0x04, 0xF7};
    ASSERT_EQ(out.length, sizeof expected);
    EXPECT_EQ(std::memcmp(out.data, expected, sizeof expected), 0);

    b.length = 56;
    EXPECT_EQ(b.addNoteOn(1, 2), 9);
    EXPECT_EQ(b.length, 56);
    b.length = 55;
    EXPECT_EQ(b.addNoteOn(1, 2), 0);
    EXPECT_EQ(b.length, 58);
    b.length = 55;
    EXPECT_EQ(b.addSysExCommand(0x04), 9);
    EXPECT_EQ(b.length, 55);
    b.length = 54;
    EXPECT_EQ(b.addSysExCommand(0x04), 0);
    EXPECT_EQ(b.length, 58);
}

// ---- Dispatchers -----------------------------------------------------------------------------

std::atomic<void*> gDispatched{nullptr};
void CALLBACK onEntry(vq36::HidiInEntry* entry) {
    gDispatched.store(entry);
}

TEST_F(LinkTest, ADispatcherCallsOnlyACallbackThatIsSet) {
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    vq36::HidiInEntry entry{};
    gDispatched.store(nullptr);
    uCallHidiMessageCallback(w, &entry);
    std::int32_t status[2] = {1, 0};
    uCallUsbPortStatusCallback(w, status);
    MidiChannelPair pair{0, 1};
    uCallMidiChannelsCallback(w, &pair);
    EXPECT_EQ(gDispatched.load(), nullptr);
    ASSERT_EQ(VQ36_set_hidimsg_callback(w, onEntry), 0);
    uCallHidiMessageCallback(w, &entry);
    EXPECT_EQ(gDispatched.load(), &entry);
    EXPECT_EQ(VQ36_set_hidimsg_callback(nullptr, onEntry), 1);
    uCloseVexaAudioDevice(w);
}

// ---- Fuzz ------------------------------------------------------------------------------------

// Random packets, biased towards status bytes and the lengths at the edges; every extractor
// applied in random order. A read outside a packet faults on the guard pages.
void fuzz(std::uint64_t seed, int packets) {
    GuardedPackets guarded;
    std::mt19937_64 random(seed);
    auto byte = [&] {
        const std::uint64_t r = random();
        switch (r % 6) {
            case 0:
                return static_cast<BYTE>(0x80 | ((r >> 8) & 0x7F));
            case 1:
                return static_cast<BYTE>(0xF0);
            case 2:
                return static_cast<BYTE>(0x90 + ((r >> 8) % 3) * 0x10);  // 90 A0 B0
            default:
                return static_cast<BYTE>(r >> 16);
        }
    };
    for (int i = 0; i < packets; ++i) {
        HidiPacket* p = (i & 1) ? guarded.atEnd : guarded.atStart;
        for (BYTE& b : p->data) b = byte();
        const std::uint64_t r = random();
        p->length = (r & 3) == 0 ? static_cast<BYTE>(r >> 8) : static_cast<BYTE>(55 + (r >> 8) % 6);
        HidiParser parser;
        parser.attach(p);
        ASSERT_LE(p->length, 58);
        for (int step = 0; step < 64; ++step) {
            const DWORD status = parser.nextStatus();
            ASSERT_LE(parser.position, 58u);
            if (status == kHidiNoStatus) break;
            ASSERT_TRUE(status & 0x80);
            ASSERT_LE(parser.position + 3, p->length);
            ASSERT_EQ(p->data[parser.position], status);
            DWORD a = 0;
            BYTE b = 0;
            const DWORD before = parser.position;
            int rc = 0;
            switch (random() % 6) {
                case 0:
                    rc = parser.extractControlChange(&a, &b);
                    break;
                case 1:
                    rc = parser.extractNoteOn(&a);
                    break;
                case 2:
                    rc = parser.extractNoteOff(&a);
                    break;
                case 3:
                    rc = parser.extractSysEx(&a, &b);
                    break;
                case 4:
                    rc = parser.extract(status, nullptr, nullptr);
                    break;
                default:
                    parser.skip();
                    continue;
            }
            if (rc == 0) {
                ASSERT_GT(parser.position, before);
                ASSERT_LE(parser.position, static_cast<DWORD>(p->length));
                ASSERT_EQ(parser.status, kHidiNoStatus);
            } else {
                ASSERT_LE(parser.position, 58u);
                parser.skip();
            }
        }
    }
}

TEST_F(LinkTest, FuzzedPacketsAreNeverReadOutsideThemselves) {
    gLogLevel.store(0);
    fuzz(0x5EED, 1000000);
    // A shorter run with the failure lines formatted (they list the packet's bytes).
    gLogLevel.store(1);
    fuzz(0xF00D, 5000);
    gLogLevel.store(2);
}

}  // namespace
