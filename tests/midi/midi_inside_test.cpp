// The MIDI driver from inside: its code linked into the test program, with the six control
// functions it imports played by the test (counting opens and closes, keeping the packets it
// is given). Input conversion, output without allocation, and random input of every kind.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "midi_driver.h"

// ---- Allocation count (operator new of the whole program) ---------------------------------------
// The replacement delete frees what the replacement new took from malloc; GCC, seeing a library
// delete inlined next to free, warns all the same.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> gAllocations{0};
}
void* operator new(std::size_t size) {
    ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++gAllocations;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

// ---- The control functions, played by the test
// ----------------------------------------------------
namespace {

struct FakeLibrary {
    int opens = 0;
    int closes = 0;
    bool openFails = false;
    MidiChannelPair channels = {1, 1};
    HidiMessageCallback hidi = nullptr;
    MidiChannelsCallback channelCallback = nullptr;
    std::array<HidiPacket, 4096> sent{};
    std::size_t sentCount = 0;  // may run past the array: only counted then
    AudioDeviceInterfaceWrapper* lastSendHandle = nullptr;
};
FakeLibrary gLib;
alignas(16) char gWrapper[16];

AudioDeviceInterfaceWrapper* fakeHandle() {
    return reinterpret_cast<AudioDeviceInterfaceWrapper*>(gWrapper);
}

}  // namespace

AudioDeviceInterfaceWrapper* VQ36_open() {
    ++gLib.opens;
    return gLib.openFails ? nullptr : fakeHandle();
}
void VQ36_close(AudioDeviceInterfaceWrapper*) {
    ++gLib.closes;
}
std::int32_t VQ36_get_midi_channels(AudioDeviceInterfaceWrapper* w, MidiChannelPair* out) {
    if (w == nullptr) return kVq36NoRecord;
    *out = gLib.channels;
    return kVq36Ok;
}
std::int32_t VQ36_set_midi_ch_callback(AudioDeviceInterfaceWrapper*, MidiChannelsCallback c) {
    gLib.channelCallback = c;
    return kVq36Ok;
}
std::int32_t VQ36_set_hidimsg_callback(AudioDeviceInterfaceWrapper*, HidiMessageCallback c) {
    gLib.hidi = c;
    return kVq36Ok;
}
std::int32_t VQ36_send_hidimsg(AudioDeviceInterfaceWrapper* w, HidiPacket* packet) {
    if (gLib.sentCount < gLib.sent.size()) gLib.sent[gLib.sentCount] = *packet;
    ++gLib.sentCount;
    gLib.lastSendHandle = w;
    return kVq36Ok;
}

namespace {

std::vector<std::pair<DWORD_PTR, DWORD_PTR>> gDelivered;  // (instance, word) of each MIM_DATA
long gBadWords = 0;  // forwarded words of another kind or channel than the input port's
bool gKeep = true;

void CALLBACK onMidi(HMIDI, UINT message, DWORD_PTR instance, DWORD_PTR word, DWORD_PTR) {
    if (message != MIM_DATA) return;
    const DWORD kind = word & 0xF0;
    if ((kind != 0x80 && kind != 0x90 && kind != 0xB0) || (word >> 24) != 0 ||
        static_cast<int>(word & 0x0F) + 1 != gMidiInPortChannel.load())
        ++gBadWords;
    if (gKeep) gDelivered.push_back({instance, word});
}

class DriverInside : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
    void SetUp() override {
        gLib = FakeLibrary{};
        gDelivered.clear();
        gBadWords = 0;
        gKeep = true;
    }
    void TearDown() override {
        for (auto [port, input] : ports_)
            (input ? midMessage : modMessage)(0, input ? MIDM_CLOSE : MODM_CLOSE, port, 0, 0);
        EXPECT_EQ(gMidiInstanceCount, 0);
    }
    DWORD_PTR open(bool input, DWORD_PTR instance) {
        MIDIOPENDESC desc = {};
        desc.dwCallback = reinterpret_cast<DWORD_PTR>(onMidi);
        desc.dwInstance = instance;
        DWORD_PTR user = 0;
        EXPECT_EQ((input ? midMessage : modMessage)(
                      0, input ? MIDM_OPEN : MODM_OPEN, reinterpret_cast<DWORD_PTR>(&user),
                      reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        ports_.push_back({user, input});
        return user;
    }
    std::vector<std::pair<DWORD_PTR, bool>> ports_;
};

void deliver(std::initializer_list<int> bytes) {
    vq36::HidiInEntry entry = {};
    int i = 0;
    for (int b : bytes) entry.data[i++] = static_cast<BYTE>(b);
    OnHidiMessageFromDevice(&entry);
}

std::vector<DWORD_PTR> wordsOf(DWORD_PTR instance) {
    std::vector<DWORD_PTR> out;
    for (auto [i, word] : gDelivered)
        if (i == instance) out.push_back(word);
    return out;
}

TEST_F(DriverInside, InputBecomesShortMessagesOnTheInputChannel) {
    gLib.channels = {5, 3};
    open(true, 1);
    open(true, 2);
    open(false, 3);
    deliver({3, 0xB0, 0x07, 0x40});
    deliver({3, 0xB1, 0x07, 0x40});  // the device's channel 2: not forwarded
    deliver({3, 0xB5, 0x07, 0x40});
    deliver({6, 0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00});
    deliver({2, 0x90, 0x3C});
    deliver({0, 0x90, 0x3C, 0x64});
    deliver({59, 0x90, 0x3C, 0x64});
    deliver({5, 0xF0, 0x17, 0x52, 0x01, 0xF7});
    deliver({5, 0x01, 0xC0, 0x05, 0xE0, 0x40});
    const std::vector<DWORD_PTR> expected = {0x004007B2, 0x004007B2, 0x00643C92, 0x00003C82};
    EXPECT_EQ(wordsOf(1), expected);
    EXPECT_EQ(wordsOf(2), expected);
    EXPECT_TRUE(wordsOf(3).empty());

    // Channel 0 is off; so is a setting beyond 16, which would otherwise turn a note off into a
    // note on.
    for (std::int32_t channel : {0, 17, -3}) {
        MidiChannelPair pair = {2, channel};
        gLib.channelCallback(&pair);
        gDelivered.clear();
        deliver({3, 0x80, 0x3C, 0x00});
        EXPECT_TRUE(wordsOf(1).empty()) << channel;
    }
}

TEST_F(DriverInside, AFailedDeviceOpenLeavesWorkingPortsAndTheNextOpenRetries) {
    gLib.openFails = true;
    gLib.channels = {1, 1};
    open(false, 1);
    EXPECT_EQ(modMessage(0, MODM_DATA, 0, 0x00643C90, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(gLib.lastSendHandle, nullptr);
    gLib.openFails = false;
    open(true, 2);
    EXPECT_EQ(gLib.opens, 2);
    EXPECT_EQ(gMidiDevice.load(), fakeHandle());
    // MODM_CLOSE of a port that is not open changes nothing.
    MidiInstance stranger = {};
    EXPECT_EQ(modMessage(0, MODM_CLOSE, reinterpret_cast<DWORD_PTR>(&stranger), 0, 0),
              MMSYSERR_NOERROR);
    EXPECT_EQ(gMidiInstanceCount, 2);
}

TEST_F(DriverInside, OutputAllocatesNothing) {
    gLib.channels = {1, 1};
    open(false, 1);
    const DWORD statuses[] = {0x90, 0x91, 0xC0, 0x80};  // sent, other channel, dropped kind, sent
    const long before = gAllocations.load();
    for (DWORD i = 0; i < 10000; ++i)
        modMessage(0, MODM_DATA, 0, statuses[i % 4] | 0x3C00 | ((i & 0x7F) << 16), 0);
    EXPECT_EQ(gAllocations.load(), before);
    EXPECT_EQ(gLib.sentCount, 5000u);
}

// The last `size` bytes of a page followed by an inaccessible page: a read past them ends the
// test program.
BYTE* guardedTail(std::size_t size) {
    static BYTE* page = [] {
        const long n = sysconf(_SC_PAGESIZE);
        auto* p = static_cast<BYTE*>(
            mmap(nullptr, 2 * n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(p + n, n, PROT_NONE);
        return p + n;
    }();
    return page - size;
}

TEST_F(DriverInside, RandomPacketsAndMessagesNeverReadOutsideOrMisbehave) {
    std::mt19937 random(20261209);
    gLib.channels = {1, 3};
    open(true, 1);
    const DWORD_PTR out = open(false, 2);
    gKeep = false;
    // Only the packet's 59 bytes are readable: the entry's time stamp lies in the guard page.
    auto* entry = reinterpret_cast<vq36::HidiInEntry*>(guardedTail(sizeof(HidiPacket)));
    for (int n = 0; n < 1000000; ++n) {
        if (n % 100000 == 0) {
            MidiChannelPair pair = {static_cast<std::int32_t>(random() % 18),
                                    static_cast<std::int32_t>(random() % 18)};
            gLib.channelCallback(&pair);
        }
        entry->data[0] = static_cast<BYTE>(random() % 64);
        for (int i = 1; i < 59; ++i) entry->data[i] = static_cast<BYTE>(random());
        OnHidiMessageFromDevice(entry);
    }
    EXPECT_EQ(gBadWords, 0);

    // Short and long messages of every kind; long buffers end where the readable page ends.
    for (int n = 0; n < 100000; ++n) {
        if (random() % 2 == 0) {
            EXPECT_EQ(modMessage(0, MODM_DATA, out, static_cast<DWORD>(random()), 0), 0u);
            continue;
        }
        const DWORD length = random() % 40;
        BYTE* data = guardedTail(length);
        for (DWORD i = 0; i < length; ++i) data[i] = static_cast<BYTE>(random());
        MIDIHDR header = {};
        header.lpData = reinterpret_cast<LPSTR>(data);
        header.dwBufferLength = length;
        header.dwFlags = (random() % 8 == 0) ? 0 : MHDR_PREPARED;
        EXPECT_EQ(modMessage(0, MODM_LONGDATA, out, reinterpret_cast<DWORD_PTR>(&header), 0),
                  header.dwFlags == 0 ? MIDIERR_UNPREPARED : MMSYSERR_NOERROR);
    }
    const std::size_t kept = std::min(gLib.sentCount, gLib.sent.size());
    ASSERT_GT(kept, 0u);
    for (std::size_t i = 0; i < kept; ++i) {
        const HidiPacket& p = gLib.sent[i];
        EXPECT_TRUE(p.length == 3 && (p.data[0] == 0x80 || p.data[0] == 0x90 || p.data[0] == 0xB0));
    }
}

}  // namespace
