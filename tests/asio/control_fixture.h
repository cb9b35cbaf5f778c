#pragma once
// Helpers of the control-path tests: callbacks that record what the status monitor delivers to
// each handle, the control packets the device received, and the device's record.

#include <array>
#include <mutex>
#include <vector>

#include "link_fixture.h"

namespace asiotest {

using Bytes = std::vector<BYTE>;

// What the callbacks of handles 0, 1, 2 ... received, in order.
struct Delivered {
    std::mutex mu;
    std::vector<std::pair<int, std::array<int, 2>>> ports;
    std::vector<std::pair<int, std::array<int, 2>>> channels;
    std::vector<std::pair<int, Bytes>> packets;  // the packet's used bytes, length byte first

    void clear() {
        std::lock_guard lock(mu);
        ports.clear();
        channels.clear();
        packets.clear();
    }
    template <class T>
    std::vector<T> of(int handle, const std::vector<std::pair<int, T>>& all) {
        std::lock_guard lock(mu);
        std::vector<T> out;
        for (const auto& [h, v] : all)
            if (h == handle) out.push_back(v);
        return out;
    }
    std::size_t count(const std::vector<std::pair<int, std::array<int, 2>>>& all) {
        std::lock_guard lock(mu);
        return all.size();
    }
};
extern Delivered gDelivered;

template <int N>
void CALLBACK recordPortStatus(std::int32_t* status) {
    std::lock_guard lock(gDelivered.mu);
    gDelivered.ports.push_back({N, {status[0], status[1]}});
}
template <int N>
void CALLBACK recordChannels(MidiChannelPair* pair) {
    std::lock_guard lock(gDelivered.mu);
    gDelivered.channels.push_back({N, {pair->midiInChannel, pair->midiOutChannel}});
}
template <int N>
void CALLBACK recordPacket(vq36::HidiInEntry* entry) {
    const BYTE length = entry->data[0] > 58 ? 58 : entry->data[0];
    Bytes bytes(entry->data, entry->data + 1 + length);
    std::lock_guard lock(gDelivered.mu);
    gDelivered.packets.push_back({N, std::move(bytes)});
}

template <int N>
AudioDeviceInterfaceWrapper* openRecorded() {
    AudioDeviceInterfaceWrapper* w = VQ36_open();
    EXPECT_NE(w, nullptr);
    EXPECT_EQ(VQ36_set_usb_port_status_callback(w, recordPortStatus<N>), 0);
    EXPECT_EQ(VQ36_set_midi_ch_callback(w, recordChannels<N>), 0);
    EXPECT_EQ(VQ36_set_hidimsg_callback(w, recordPacket<N>), 0);
    return w;
}

class ControlTest : public LinkTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The device's record, through a private wrapper of the test's own.
    vq36::AsioInfo* record();
    // Control packets (device command 0x41) the device received, as length byte and data.
    std::vector<Bytes> sentPackets(std::size_t device = 0);

    AudioDeviceInterfaceWrapper* probe = nullptr;
};

Bytes bytesOf(const HidiPacket& packet);
HidiPacket packetOf(std::initializer_list<int> bytes);

}  // namespace asiotest
