// The exported control functions, with the device model checking what arrived and the
// registry holding the settings.

#include <cstring>

#include "control_fixture.h"

// Version records compare and print as their four words.
bool operator==(const VersionRecord& a, const VersionRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
std::ostream& operator<<(std::ostream& out, const VersionRecord& v) {
    return out << "{" << v.major << ", " << v.minor << ", " << v.reserved << ", " << v.build << "}";
}

namespace {

using asiotest::Bytes;
using asiotest::bytesOf;
using asiotest::ControlTest;
using asiotest::eventually;
using asiotest::IoCall;
using asiotest::ioCalls;
using asiotest::packetOf;

HidiOutputQueue& q = gHidiOutputQueue;

// The values sent with one device message through one wrapper's handle, in order (the status
// monitor sends through its own).
std::vector<DWORD> valuesOf(AudioDeviceInterfaceWrapper* w, DWORD message) {
    std::vector<DWORD> out;
    for (const IoCall& c : ioCalls())
        if (c.handle == w->deviceHandle.load() && c.code == vq36::kIoCtlSendMessage &&
            c.message == message)
            out.push_back(c.value);
    return out;
}

std::size_t callsOn(AudioDeviceInterfaceWrapper* w) {
    std::size_t n = 0;
    for (const IoCall& c : ioCalls()) n += c.handle == w->deviceHandle.load();
    return n;
}

// A handle on a device whose firmware reports 2.5 build 300, with its status monitor running.
class ExportsTest : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        standin::host::PlugOptions plug;
        plug.config.firmware = {2, 5, 300};
        startMachine(1, plug);
        w = asiotest::openRecorded<0>();
        ASSERT_TRUE(eventually([] { return gDelivered().count(gDelivered().ports) > 0; }));
    }
    void TearDown() override {
        VQ36_close(w);
        ControlTest::TearDown();
    }
    static asiotest::Delivered& gDelivered() { return asiotest::gDelivered; }

    AudioDeviceInterfaceWrapper* w = nullptr;
};

TEST_F(ControlTest, VersionsThatNeedNoDevice) {
    VersionRecord v{9, 9, 9, 9};
    EXPECT_EQ(VQ36_get_api_version(&v), 0);
    EXPECT_EQ(v, (VersionRecord{0, 17, 0, 0}));
    EXPECT_EQ(VQ36_get_firmware_embedded_version(nullptr, &v), 0);
    EXPECT_EQ(v, (VersionRecord{1, 4, 0, 0}));
    EXPECT_EQ(RH_get_firmware_embedded_version(nullptr, &v), 0);
    EXPECT_EQ(v, (VersionRecord{1, 4, 0, 0}));
    EXPECT_EQ(VQ36_get_api_version(nullptr), 1);
    EXPECT_EQ(VQ36_get_firmware_embedded_version(nullptr, nullptr), 1);
    // Null records need no device either.
    EXPECT_EQ(VQ36_get_driver_version(nullptr, nullptr), 1);
    EXPECT_EQ(VQ36_get_firmware_version(nullptr, nullptr), 1);
    std::int32_t ms = 0;
    EXPECT_EQ(VQ36_get_buffer_millisecs(nullptr, &ms), 0);
    EXPECT_EQ(ms, 8);
    EXPECT_EQ(VQ36_get_buffer_millisecs(nullptr, nullptr), 1);
    EXPECT_EQ(uDeviceSampleRate(nullptr), 48000u);
    EXPECT_EQ(VQ36_set_midi_ch_callback(nullptr, nullptr), 1);
    EXPECT_EQ(VQ36_set_usb_port_status_callback(nullptr, nullptr), 1);
    EXPECT_TRUE(ioCalls().empty());
}

TEST_F(ExportsTest, VersionsAndIdentityFromTheDevice) {
    VersionRecord v{};
    EXPECT_EQ(VQ36_get_driver_version(w, &v), 0);
    EXPECT_EQ(v, (VersionRecord{1, 2, 0, 0}));
    EXPECT_EQ(VQ36_get_firmware_version(w, &v), 0);  // reply 02 05 00 00 01 2C
    EXPECT_EQ(v, (VersionRecord{2, 5, 0, 300}));
    v = {};
    EXPECT_EQ(RH_get_firmware_version(w, &v), 0);
    EXPECT_EQ(v, (VersionRecord{2, 5, 0, 300}));

    std::uint32_t vendor = 0, product = 0;
    EXPECT_EQ(VQ36_get_vendor_id(w, &vendor), 0);
    EXPECT_EQ(VQ36_get_product_id(w, &product), 0);
    const std::vector<std::uint8_t> descriptor = device()->deviceDescriptor();
    EXPECT_EQ(vendor, static_cast<std::uint32_t>(descriptor[8] | descriptor[9] << 8));
    EXPECT_EQ(product, static_cast<std::uint32_t>(descriptor[10] | descriptor[11] << 8));
    EXPECT_EQ(VQ36_get_vendor_id(w, nullptr), 0);  // the value is simply not stored

    EXPECT_EQ(VQ36_set_alt_product_id(w), 0);
    EXPECT_EQ(device()->productIdSelection(), 0);
    EXPECT_FALSE(asiotest::commandsOf(*device(), vq36::kDeviceCmdProductIdA).empty());
}

TEST_F(ExportsTest, TheBufferLengthGoesToTheRegistryAndTheDriver) {
    const std::pair<int, std::pair<DWORD, DWORD>> cases[] = {
        {8, {96, 2}}, {3, {48, 0}}, {9, {144, 0}}, {13, {192, 1}}};
    for (auto [ms, sent] : cases) {
        asiotest::resetIo();
        EXPECT_EQ(VQ36_set_buffer_millisecs(w, ms), 0);
        EXPECT_EQ(valuesOf(w, 72), std::vector<DWORD>{sent.first}) << ms;
        EXPECT_EQ(valuesOf(w, 73), std::vector<DWORD>{sent.second}) << ms;
        std::int32_t back = 0;
        EXPECT_EQ(VQ36_get_buffer_millisecs(nullptr, &back), 0);
        EXPECT_EQ(back, ms);
    }
    EXPECT_TRUE(logHas("Setting kernel driver buffer millisecs to 13"));
    // Stored without a range check; read back clamped.
    EXPECT_EQ(RH_set_buffer_millisecs(w, 70), 0);
    EXPECT_EQ(getBufferSizeMillisecs(), 50u);
    // Both messages go even when the first fails; the result tells.
    EXPECT_EQ(VQ36_set_buffer_millisecs(nullptr, 8), 1);
    EXPECT_EQ(getBufferSizeMillisecs(), 8u);
}

TEST_F(ExportsTest, ShortMessagesReachTheDevice) {
    EXPECT_EQ(VQ36_send_control_change(w, 7, 64), 0);
    EXPECT_TRUE(eventually([&] { return device()->controlValue(7) == 64; }, 5000));
    EXPECT_EQ(VQ36_send_note_on(w, 0x13C, 0x7F), 0);  // low byte only
    EXPECT_EQ(VQ36_send_note_off(w, 0x3C), 0);
    EXPECT_TRUE(eventually([&] { return sentPackets().size() == 3; }, 5000));
    EXPECT_EQ(sentPackets(),
              (std::vector<Bytes>{{3, 0xB0, 7, 64}, {3, 0x90, 0x3C, 0x7F}, {3, 0x80, 0x3C, 0x00}}));
}

TEST_F(ExportsTest, TheRequestOfAllControlsBringsThemBack) {
    EXPECT_EQ(VQ36_send_control_change(w, 3, 33), 0);
    EXPECT_TRUE(eventually([&] { return device()->controlValue(3) == 33; }, 5000));
    gDelivered().clear();
    EXPECT_EQ(VQ36_get_all_controls(w), 0);
    const std::size_t all = device()->config().controls.size();  // the settings 33-36 too
    EXPECT_TRUE(eventually([&] { return gDelivered().of(0, gDelivered().packets).size() == all; }));
    const auto packets = gDelivered().of(0, gDelivered().packets);
    EXPECT_EQ(packets.at(3), (Bytes{3, 0xB0, 3, 33}));
    EXPECT_EQ(packets.back(), (Bytes{3, 0xB0, 36, 1}));
    EXPECT_EQ(sentPackets().back(), (Bytes{4, 0xF0, 0x17, 0x04, 0xF7}));
}

TEST_F(ExportsTest, SystemExclusiveFormsAndTheControlPoint) {
    BYTE data[56];
    for (int i = 0; i < 56; ++i) data[i] = static_cast<BYTE>(i);
    EXPECT_EQ(VQ36_send_sys_ex(w, data, 55), 0);
    EXPECT_EQ(VQ36_send_sys_ex(w, data, 56), 8);
    EXPECT_EQ(VQ36_send_sys_ex(w, data, 0), 8);
    EXPECT_EQ(VQ36_send_sys_ex(w, nullptr, 4), 8);
    EXPECT_EQ(VQ36_send_sys_ex(w, data, 0x100 + 2), 0);  // the length is its low 8 bits
    EXPECT_TRUE(eventually([&] { return sentPackets().size() == 2; }, 5000));
    Bytes longest = {58, 0xF0, 0x17};
    longest.insert(longest.end(), data, data + 55);
    longest.push_back(0xF7);
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{longest, {5, 0xF0, 0x17, 0, 1, 0xF7}}));

    std::int32_t point = 2;
    EXPECT_EQ(VQ36_set_control_point(w, &point), 0);
    EXPECT_TRUE(eventually([&] { return device()->controlPoint() == 1; }, 5000));
    EXPECT_EQ(sentPackets().back(), (Bytes{5, 0xF0, 0x17, 0x52, 0x01, 0xF7}));
    point = 1;
    EXPECT_EQ(VQ36_set_control_point(w, &point), 0);
    EXPECT_TRUE(eventually([&] { return device()->controlPoint() == 0; }, 5000));
    for (std::int32_t bad : {0, 3, -1}) {
        point = bad;
        EXPECT_EQ(VQ36_set_control_point(w, &point), 8);
    }
    EXPECT_EQ(VQ36_set_control_point(w, nullptr), 8);
}

TEST_F(ExportsTest, TimingClockPacketsAreSplicedAnythingElseIsItsOwnEntry) {
    gFirmwareUpdateInProgress.store(1);  // the monitor stops flushing
    const std::size_t mark = log().size();
    ASSERT_TRUE(
        eventually([&] { return log().find("(blocked by fw u-d)", mark) != std::string::npos; }));
    const DWORD pendingBefore = q.writeCount - q.readCount;
    ASSERT_EQ(q.splicePacket.length, 0);

    HidiPacket clock = packetOf({0xF8, 0xF8});
    EXPECT_EQ(VQ36_send_hidimsg(w, &clock), 0);
    EXPECT_EQ(bytesOf(q.splicePacket), bytesOf(clock));
    EXPECT_EQ(q.writeCount - q.readCount, pendingBefore);

    HidiPacket note = packetOf({0xF8, 0x90, 0x3C, 0x7F});
    EXPECT_EQ(VQ36_send_hidimsg(w, &note), 0);  // sends the clock packet first
    EXPECT_EQ(q.splicePacket.length, 0);
    EXPECT_EQ(q.writeCount - q.readCount, 1u);
    EXPECT_EQ(bytesOf(q.ring[(q.writeCount - 1) % 256]), bytesOf(note));
    EXPECT_EQ(VQ36_send_hidimsg(w, nullptr), 8);
    HidiPacket empty{};
    EXPECT_EQ(VQ36_send_hidimsg(w, &empty), 8);

    gFirmwareUpdateInProgress.store(0);
    EXPECT_TRUE(eventually([&] { return sentPackets().size() == 2; }, 5000));
    EXPECT_EQ(sentPackets(), (std::vector<Bytes>{bytesOf(clock), bytesOf(note)}));
}

TEST_F(ExportsTest, PortStatusFollowsTheDevice) {
    std::int32_t status[2] = {7, 7};
    EXPECT_EQ(VQ36_get_usb_port_status(w, status), 0);
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(status[1], 0);
    EXPECT_EQ(VQ36_get_usb_port_status(w, nullptr), 8);
    ASSERT_TRUE(machine->unplug(machine->ports().at(0)));
    EXPECT_EQ(VQ36_get_usb_port_status(w, status), 0);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
}

TEST_F(ExportsTest, MidiChannelsGoToTheRegistryAndTheRecord) {
    MidiChannelPair pair{3, 4};
    EXPECT_EQ(VQ36_set_midi_channels(w, &pair), 0);
    EXPECT_EQ(getMidiInChannel(), 3u);
    EXPECT_EQ(getMidiOutChannel(), 4u);
    vq36::AsioInfo* info = record();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(vq36::Load32(&info->midiInChannel), 3);
    EXPECT_EQ(vq36::Load32(&info->midiOutChannel), 4);

    storeSetting("MidiInChannel", 99);
    MidiChannelPair out{};
    EXPECT_EQ(VQ36_get_midi_channels(w, &out), 0);
    EXPECT_EQ(out.midiInChannel, 99);
    EXPECT_EQ(out.midiOutChannel, 4);
    EXPECT_EQ(vq36::Load32(&info->midiInChannel), 99);
    EXPECT_EQ(VQ36_get_midi_channels(w, nullptr), 8);
    EXPECT_EQ(VQ36_set_midi_channels(w, nullptr), 8);
}

TEST_F(ControlTest, MidiChannelsWithoutARecordAreStoredAndReportFive) {
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    MidiChannelPair pair{2, 6};
    EXPECT_EQ(VQ36_set_midi_channels(w, &pair), 5);
    EXPECT_EQ(getMidiInChannel(), 2u);
    EXPECT_EQ(getMidiOutChannel(), 6u);
    MidiChannelPair out{-5, -5};
    EXPECT_EQ(VQ36_get_midi_channels(w, &out), 5);
    EXPECT_EQ(out.midiInChannel, -5);  // nothing read
    std::int32_t status[2] = {7, 7};
    EXPECT_EQ(VQ36_get_usb_port_status(w, status), 0);
    EXPECT_EQ(status[0], 0);
    uCloseVexaAudioDevice(w);
}

TEST_F(ExportsTest, TheBootDeviceFlag) {
    asiotest::resetIo();
    EXPECT_EQ(VQ36_is_boot_device(w, nullptr), 8);
    EXPECT_EQ(RH_is_boot_device(w, nullptr), 8);
    EXPECT_EQ(callsOn(w), 0u);  // nothing sent

    std::int32_t boot = 7;
    EXPECT_EQ(VQ36_is_boot_device(w, &boot), 0);
    EXPECT_EQ(boot, 0);
    vq36::AsioInfo* info = record();
    EXPECT_EQ(vq36::Load8(&info->bootFlagValid), 1);
    // Once the record holds the flag, no message is needed.
    asiotest::resetIo();
    EXPECT_EQ(RH_is_boot_device(w, &boot), 0);
    EXPECT_TRUE(valuesOf(w, vq36::kDeviceMsgBootDevice).empty());
}

TEST_F(ControlTest, TheBootDeviceFlagWithoutADevice) {
    AudioDeviceInterfaceWrapper* w = uSetNoReopen(uCreateVexaAudioDeviceInterfaceWrapper(0));
    std::int32_t boot = 7;
    EXPECT_EQ(RH_is_boot_device(w, &boot), 1);
    EXPECT_EQ(boot, 7);
    EXPECT_TRUE(logHas("VQ36: ASIO info not retrieved in RH_is_boot_device\n"));
    uCloseVexaAudioDevice(w);
}

}  // namespace
