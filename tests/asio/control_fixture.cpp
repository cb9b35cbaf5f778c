// Helpers of the control-path tests (see control_fixture.h).

#include "control_fixture.h"

namespace asiotest {

Delivered gDelivered;

void ControlTest::SetUp() {
    LinkTest::SetUp();
    gDelivered.clear();
}

void ControlTest::TearDown() {
    if (probe != nullptr) uCloseVexaAudioDevice(probe);
    probe = nullptr;
    LinkTest::TearDown();
}

vq36::AsioInfo* ControlTest::record() {
    if (probe == nullptr) probe = uCreateVexaAudioDeviceInterfaceWrapper(0);
    return uGetAsioInfo(probe);
}

std::vector<Bytes> ControlTest::sentPackets(std::size_t index) {
    std::vector<Bytes> out;
    for (const auto& c : commandsOf(*device(index), vq36::kDeviceCmdHidiPacket)) {
        Bytes b;
        const BYTE length = c.data(0);
        for (std::size_t i = 0; i <= length && i < 59; ++i) b.push_back(c.data(i));
        out.push_back(b);
    }
    return out;
}

Bytes bytesOf(const HidiPacket& packet) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&packet);
    return Bytes(bytes, bytes + 1 + packet.length);
}

HidiPacket packetOf(std::initializer_list<int> bytes) {
    HidiPacket p{};
    for (int b : bytes) p.data[p.length++] = static_cast<BYTE>(b);
    return p;
}

}  // namespace asiotest
