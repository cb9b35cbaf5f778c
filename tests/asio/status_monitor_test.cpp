// The status monitor thread on the machine: deliveries to every open handle, disconnects, lost
// packets, settings re-syncs, the heartbeat restart, the marker files and the firmware idle.

#include <filesystem>
#include <fstream>

#include "control_fixture.h"

namespace {

using asiotest::Bytes;
using asiotest::ControlTest;
using asiotest::eventually;
using asiotest::gDelivered;
using asiotest::openRecorded;
using Ports = std::vector<std::array<int, 2>>;
using Packets = std::vector<Bytes>;

class MonitorTest : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        startMachine();
    }
    void TearDown() override {
        for (auto* w : open) VQ36_close(w);
        ControlTest::TearDown();
    }

    template <int N>
    AudioDeviceInterfaceWrapper* openHandle() {
        AudioDeviceInterfaceWrapper* w = openRecorded<N>();
        open.push_back(w);
        return w;
    }
    void closeHandle(AudioDeviceInterfaceWrapper* w) {
        VQ36_close(w);
        open.erase(std::find(open.begin(), open.end(), w));
    }
    Ports ports(int handle) { return gDelivered.of(handle, gDelivered.ports); }
    Packets packets(int handle) { return gDelivered.of(handle, gDelivered.packets); }
    std::vector<std::array<int, 2>> channels(int handle) {
        return gDelivered.of(handle, gDelivered.channels);
    }
    // Waits until the monitor runs normally: the device opened and the settings pushed.
    void awaitNormalPasses(int handle = 0) {
        ASSERT_TRUE(eventually([&] { return !ports(handle).empty(); }));
        ASSERT_TRUE(eventually([&] { return vq36::Load8(&record()->settingsInitialized) == 1; }));
        ASSERT_TRUE(eventually([&] { return !channels(handle).empty(); }));
    }
    // Lets about `passes` normal passes (100 ms each) of the monitor go by.
    void awaitPasses(int passes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 * passes));
    }

    std::vector<AudioDeviceInterfaceWrapper*> open;
};

TEST_F(MonitorTest, TheFirstOpenDeliversPresenceAndPushesTheBufferLength) {
    openHandle<0>();
    openHandle<1>();
    awaitNormalPasses(0);
    ASSERT_TRUE(eventually([&] { return !channels(1).empty(); }));
    EXPECT_EQ(ports(0), (Ports{{1, 0}}));
    EXPECT_EQ(ports(1), (Ports{{1, 0}}));
    EXPECT_EQ(channels(0), (std::vector<std::array<int, 2>>{{0, 1}}));
    EXPECT_EQ(channels(1), (std::vector<std::array<int, 2>>{{0, 1}}));
    EXPECT_TRUE(logHas("Begin ASIO event notification thread"));
    EXPECT_TRUE(logHas("Created device handle for driver status monitor"));
    EXPECT_TRUE(logHas("Invoking kIoCtlSetupMidiEvent"));
    EXPECT_FALSE(logHas("Error setting up MIDI event"));
    EXPECT_TRUE(
        logHas("Initializing settings to buf msecs 8, sample rate 48000, block samples 96"));
    EXPECT_TRUE(logHas("[D]"));
    EXPECT_TRUE(logHas("Notifying of port status change ([re-]opened device)"));
    EXPECT_EQ(vq36::Load32(&record()->blockFrames), 96u);
    // Written at the start of each pass: the next pass starts with the handle.
    EXPECT_TRUE(eventually([] { return gMonitorNoDevice.load() == 0; }));

    // The kernel driver sets the process's MIDI event for each control packet.
    char name[64];
    std::snprintf(name, sizeof name, "VexaVq36MidiDataReady%lu",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    ASSERT_NE(event, nullptr);
    ResetEvent(event);
    ASSERT_TRUE(device()->moveControl(4, 44));
    EXPECT_EQ(WaitForSingleObject(event, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(event);
    // Each packet goes to every handle before the next one.
    ASSERT_TRUE(device()->moveControl(5, 55));
    ASSERT_TRUE(eventually([&] { return packets(1).size() == 2; }));
    std::lock_guard lock(gDelivered.mu);
    ASSERT_EQ(gDelivered.packets.size(), 4u);
    EXPECT_EQ(gDelivered.packets[0], (std::pair<int, Bytes>{0, {3, 0xB0, 4, 44}}));
    EXPECT_EQ(gDelivered.packets[1], (std::pair<int, Bytes>{1, {3, 0xB0, 4, 44}}));
    EXPECT_EQ(gDelivered.packets[2], (std::pair<int, Bytes>{0, {3, 0xB0, 5, 55}}));
    EXPECT_EQ(gDelivered.packets[3], (std::pair<int, Bytes>{1, {3, 0xB0, 5, 55}}));
}

TEST_F(MonitorTest, UnplugDeliversAbsenceAndReplugPresence) {
    openHandle<0>();
    awaitNormalPasses();
    ASSERT_TRUE(machine->unplug(machine->ports().at(0)));
    ASSERT_TRUE(eventually([&] { return ports(0).size() == 2; }));
    EXPECT_EQ(ports(0), (Ports{{1, 0}, {0, 0}}));
    EXPECT_TRUE(logHas("Detected driver disconnect, closing monitor thread device handle"));
    EXPECT_EQ(gMonitorNoDevice.load(), 1);
    // Without a device every pass tries again.
    ASSERT_TRUE(eventually([&] { return logCount("asioInfo is null!") >= 2; }));

    ASSERT_NE(machine->plug(), 0u);
    ASSERT_TRUE(eventually([&] { return ports(0).size() == 3; }));
    EXPECT_EQ(ports(0), (Ports{{1, 0}, {0, 0}, {1, 0}}));
    EXPECT_TRUE(eventually([] { return gMonitorNoDevice.load() == 0; }));
    // The new device's record gets the buffer length.
    EXPECT_TRUE(eventually([&] { return vq36::Load8(&record()->settingsInitialized) == 1; }));
}

TEST_F(MonitorTest, MoreThanAThousandPacketsBetweenPassesLoseTheOldest) {
    openHandle<0>();
    awaitNormalPasses();
    vq36::AsioInfo* info = record();
    const std::uint32_t start = vq36::Load32(&info->hidiInCount);
    gFirmwareUpdateInProgress.store(1);
    const std::size_t mark = log().size();
    ASSERT_TRUE(
        eventually([&] { return log().find("(blocked by fw u-d)", mark) != std::string::npos; }));
    gDelivered.clear();

    auto packetFor = [](int k) {
        return Bytes{3, 0xB0, static_cast<BYTE>(k % 32), static_cast<BYTE>((k / 32) % 128)};
    };
    for (int k = 0; k < 1500; ++k)
        ASSERT_TRUE(device()->moveControl(static_cast<std::uint8_t>(k % 32),
                                          static_cast<std::uint8_t>((k / 32) % 128)));
    ASSERT_TRUE(eventually([&] { return vq36::Load32(&info->hidiInCount) == start + 1500; }));
    EXPECT_TRUE(packets(0).empty());
    gFirmwareUpdateInProgress.store(0);

    ASSERT_TRUE(eventually([&] { return packets(0).size() >= 1000; }));
    awaitPasses(3);
    const Packets got = packets(0);
    ASSERT_EQ(got.size(), 1000u);
    for (int j = 0; j < 1000; ++j) ASSERT_EQ(got[j], packetFor(500 + j)) << j;
    EXPECT_EQ(logCount("Lost 500 HIDI messages!"), 1u);
}

TEST_F(MonitorTest, APortPacketThatRepeatsTheStateDeliversNothing) {
    openHandle<0>();
    awaitNormalPasses();
    vq36::AsioInfo* info = record();
    const std::uint32_t changes = vq36::Load32(&info->portStatusChangeCount);
    ASSERT_FALSE(device()->portState(0));
    ASSERT_TRUE(device()->setPortState(0, false));
    ASSERT_TRUE(
        eventually([&] { return vq36::Load32(&info->portStatusChangeCount) == changes + 1; }));
    ASSERT_TRUE(eventually([&] { return logHas("(c)"); }));
    awaitPasses(3);
    EXPECT_EQ(ports(0), (Ports{{1, 0}}));

    ASSERT_TRUE(device()->setPortState(1, true));
    ASSERT_TRUE(eventually([&] { return ports(0).size() == 2; }));
    EXPECT_EQ(ports(0), (Ports{{1, 0}, {1, 0}}));
}

TEST_F(MonitorTest, AChannelChangeInTheRegistryReachesEveryHandleOnce) {
    openHandle<0>();
    openHandle<1>();
    awaitNormalPasses(0);
    ASSERT_TRUE(eventually([&] { return !channels(1).empty(); }));
    storeSetting("MidiOutChannel", 5);
    ASSERT_TRUE(eventually([&] { return channels(0).size() == 2 && channels(1).size() == 2; }));
    awaitPasses(3);
    const std::vector<std::array<int, 2>> expected = {{0, 1}, {0, 5}};
    EXPECT_EQ(channels(0), expected);
    EXPECT_EQ(channels(1), expected);
    EXPECT_EQ(vq36::Load32(&record()->midiOutChannel), 5);
}

TEST_F(MonitorTest, ANewBufferLengthIsPublishedThenPushed) {
    openHandle<0>();
    awaitNormalPasses();
    vq36::AsioInfo* info = record();
    EXPECT_EQ(vq36::Load32(&info->blockFrames), 96u);
    storeSetting("BufferSizeMillisecs", 12);
    ASSERT_TRUE(eventually([&] { return logHas("Settings changed, re-looping"); }));
    ASSERT_TRUE(eventually([&] {
        return logHas(
            "Initializing settings to buf msecs 12, sample rate 48000, block samples 192");
    }));
    EXPECT_TRUE(logHas("Setting kernel driver buffer millisecs to 12"));
    EXPECT_EQ(vq36::Load32(&info->blockFrames), 192u);
    EXPECT_EQ(vq36::Load8(&info->settingsInitialized), 1);
    // Published first, pushed at a later pass.
    const std::string text = log();
    EXPECT_LT(text.find("Settings changed, re-looping"),
              text.find("Setting kernel driver buffer millisecs to 12"));
}

TEST_F(MonitorTest, AHeartbeatGapRestartsStreamingOnce) {
    openHandle<0>();
    awaitNormalPasses();
    const LONG restarts = gMonitorRestartCount.load();
    standin::win32::addTickCountOffset(6000);
    ASSERT_TRUE(eventually([&] {
        return logHas(
            "Restarting streaming, because heartbeat not seen for too long (usually restore "
            "from sleep).");
    }));
    awaitPasses(5);
    EXPECT_EQ(gMonitorRestartCount.load(), restarts + 1);
    EXPECT_EQ(logCount("Restarting streaming"), 1u);
    const std::string text = log();
    const std::size_t up = text.find("Setting kernel driver buffer millisecs to 11");
    ASSERT_NE(up, std::string::npos);
    EXPECT_NE(text.find("Setting kernel driver buffer millisecs to 8", up), std::string::npos);
    EXPECT_EQ(getBufferSizeMillisecs(), 8u);
}

TEST_F(MonitorTest, AtFiftyMillisecondsTheRestartGoesDownToFortySeven) {
    storeSetting("BufferSizeMillisecs", 50);
    openHandle<0>();
    awaitNormalPasses();
    standin::win32::addTickCountOffset(6000);
    ASSERT_TRUE(eventually([&] { return logHas("Restarting streaming"); }));
    const std::string text = log();
    const std::size_t down = text.find("Setting kernel driver buffer millisecs to 47");
    ASSERT_NE(down, std::string::npos);
    EXPECT_NE(text.find("Setting kernel driver buffer millisecs to 50", down), std::string::npos);
    EXPECT_EQ(getBufferSizeMillisecs(), 50u);
}

TEST_F(MonitorTest, TheSchedulingParametersLandInTheRecordOnce) {
    const std::uint32_t words[3] = {2, 10, 100};
    {
        std::ofstream file(asiotest::hostPath("c:\\temp\\VexaOverrideSchedulingParams.flag"),
                           std::ios::binary);
        file.write(reinterpret_cast<const char*>(words), sizeof words);
    }
    gMarkerFilesApplied.store(0);
    openHandle<0>();
    ASSERT_TRUE(eventually([] { return gMarkerFilesApplied.load() == 1; }));
    ASSERT_TRUE(eventually([] {
        return GetFileAttributesA("c:\\temp\\VexaOverrideSchedulingParams.flag") ==
               INVALID_FILE_ATTRIBUTES;
    }));
    vq36::AsioInfo* info = record();
    EXPECT_EQ(vq36::Load32(&info->overrideMaxReadsInFlight), 2u);
    EXPECT_EQ(vq36::Load32(&info->overrideLeadMillisecs), 10u);
    EXPECT_EQ(vq36::Load32(&info->overrideLeadFrames), 100u);
    // The buffer length is nudged so that the driver recomputes its geometry.
    ASSERT_TRUE(eventually([&] { return logHas("Setting kernel driver buffer millisecs to 9"); }));
    EXPECT_EQ(getBufferSizeMillisecs(), 8u);

    // Created later in the same process, it is ignored.
    {
        std::ofstream file(asiotest::hostPath("c:\\temp\\VexaOverrideSchedulingParams.flag"),
                           std::ios::binary);
        file.write("\x07\x00", 2);
    }
    awaitPasses(4);
    EXPECT_NE(GetFileAttributesA("c:\\temp\\VexaOverrideSchedulingParams.flag"),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(vq36::Load32(&info->overrideMaxReadsInFlight), 2u);
}

TEST_F(MonitorTest, AShortSchedulingFileChangesOnlyTheWordsItHolds) {
    vq36::AsioInfo* info = record();
    vq36::Store32(&info->overrideMaxReadsInFlight, 0);
    vq36::Store32(&info->overrideLeadMillisecs, 0);
    vq36::Store32(&info->overrideLeadFrames, 77);
    {
        std::ofstream file(asiotest::hostPath("c:\\temp\\VexaOverrideSchedulingParams.flag"),
                           std::ios::binary);
        file.write("\x03\x00\x00\x00\x05\x00", 6);
    }
    gMarkerFilesApplied.store(0);
    openHandle<0>();
    ASSERT_TRUE(eventually([] {
        return GetFileAttributesA("c:\\temp\\VexaOverrideSchedulingParams.flag") ==
               INVALID_FILE_ATTRIBUTES;
    }));
    EXPECT_EQ(vq36::Load32(&info->overrideMaxReadsInFlight), 3u);
    EXPECT_EQ(vq36::Load32(&info->overrideLeadMillisecs), 5u);
    EXPECT_EQ(vq36::Load32(&info->overrideLeadFrames), 77u);
    vq36::Store32(&info->overrideMaxReadsInFlight, 0);
    vq36::Store32(&info->overrideLeadMillisecs, 0);
    vq36::Store32(&info->overrideLeadFrames, 0);
}

TEST_F(MonitorTest, MarkerFlagsAndTheDiagnosticBatchFile) {
    std::ofstream(asiotest::hostPath("c:\\temp\\VexaKernelLoopback.flag")).close();
    std::ofstream(asiotest::hostPath("c:\\temp\\VexaEraseBuffers.flag")).close();
    std::ofstream(asiotest::hostPath("c:\\temp\\VexaAutoLaunchLog.flag")).close();
    std::filesystem::create_directories(asiotest::hostPath("c:\\temp\\monitor"));
    {
        std::ofstream batch(asiotest::hostPath("c:\\temp\\monitor\\monitor.bat"));
        batch << "printf '%s' \"$1\" > launched.txt\n";
    }
    vq36::AsioInfo* info = record();
    vq36::Store8(&info->asioNotifyTiming, 1);
    gMarkerFilesApplied.store(0);
    openHandle<0>();
    ASSERT_TRUE(eventually([] { return gMarkerFilesApplied.load() == 1; }));
    // Written one after the other.
    EXPECT_TRUE(eventually([&] {
        return vq36::Load8(&info->kernelLoopback) == 1 && vq36::Load8(&info->eraseBuffers) == 1 &&
               vq36::Load8(&info->asioNotifyTiming) == 0;
    }));
    const std::string launched = asiotest::hostPath("c:\\temp\\monitor\\launched.txt");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(launched); }));
    ASSERT_TRUE(eventually([&] {
        std::ifstream in(launched);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text == DebugLogFileName();
    }));
    EXPECT_EQ(gLogLevel.load(), 2);  // the debug-log flag is there
    vq36::Store8(&info->kernelLoopback, 0);
    vq36::Store8(&info->eraseBuffers, 0);
}

TEST_F(MonitorTest, WithoutTheDebugLogFlagTheLogFallsSilent) {
    ASSERT_TRUE(DeleteFileA("c:\\temp\\VexaEnableDebugLog.flag"));
    gMarkerFilesApplied.store(0);
    openHandle<0>();
    const bool silenced = eventually([] { return gLogLevel.load() == 0; });
    std::ofstream(asiotest::hostPath("c:\\temp\\VexaEnableDebugLog.flag")).close();
    EXPECT_TRUE(silenced);
    const std::size_t size = log().size();
    DebugLog(1, "not written");
    EXPECT_EQ(log().size(), size);
    gLogLevel.store(2);
}

TEST_F(MonitorTest, TheFirmwareUpdateFlagIdlesTheThread) {
    gFirmwareUpdateInProgress.store(1);
    openHandle<0>();
    ASSERT_TRUE(eventually([&] { return logCount("(blocked by fw u-d)") >= 2; }));
    ASSERT_TRUE(device()->moveControl(1, 2));
    awaitPasses(4);
    EXPECT_TRUE(ports(0).empty());
    EXPECT_TRUE(packets(0).empty());
    EXPECT_FALSE(logHas("Created device handle for driver status monitor"));

    gFirmwareUpdateInProgress.store(0);
    ASSERT_TRUE(eventually([&] { return !ports(0).empty(); }));
    EXPECT_EQ(ports(0), (Ports{{1, 0}}));
    // What arrived before the device handle opened is not delivered.
    awaitPasses(3);
    EXPECT_TRUE(packets(0).empty());
}

TEST_F(MonitorTest, ACloseRequestReopensTheMonitorsHandle) {
    openHandle<0>();
    awaitNormalPasses();
    gMonitorCloseRequest.store(1);
    ASSERT_TRUE(eventually([&] { return ports(0).size() == 2; }));
    EXPECT_EQ(ports(0), (Ports{{1, 0}, {1, 0}}));
    EXPECT_EQ(gMonitorCloseRequest.load(), 0);
    EXPECT_EQ(logCount("Created device handle for driver status monitor"), 2u);
}

std::atomic<int> gCallbacksWhileClosing{0};
std::atomic<AudioDeviceInterfaceWrapper*> gToClose{nullptr};
void CALLBACK closeAnotherHandle(vq36::HidiInEntry*) {
    gCallbacksWhileClosing.fetch_add(1);
    // From the monitor thread, during the walk.
    if (AudioDeviceInterfaceWrapper* w = gToClose.load()) {
        VQ36_close(w);
        gToClose.store(nullptr);
    }
}

TEST_F(MonitorTest, ACallbackMayCloseAHandleDuringTheWalk) {
    AudioDeviceInterfaceWrapper* a = VQ36_open();
    AudioDeviceInterfaceWrapper* b = openHandle<1>();
    gToClose.store(b);
    open.erase(std::find(open.begin(), open.end(), b));
    ASSERT_EQ(VQ36_set_hidimsg_callback(a, closeAnotherHandle), 0);
    awaitNormalPasses(1);
    ASSERT_TRUE(device()->moveControl(1, 1));
    ASSERT_TRUE(eventually([] { return gToClose.load() == nullptr; }));
    EXPECT_EQ(uGetOpenWrapperCount(), 1u);
    ASSERT_TRUE(device()->moveControl(2, 2));
    ASSERT_TRUE(eventually([] { return gCallbacksWhileClosing.load() == 2; }));
    VQ36_close(a);
}

}  // namespace
