// Several ASIO programs on one VQ36 at once: an embedded machine with Vq36Kernel.sys, and child
// processes `vq36 asio stream`, each playing its own quantised sine on outputs 1-2. What the
// device played must be the clipped sum of their outputs bit for bit (the mixing checker finds
// each program's place in it); a program killed in the middle leaves the other streaming.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flat_json.h"
#include "mix_check.h"
#include "public/vq36_shared.h"
#include "standin/host/machine.h"
#include "tool_fixture.h"
#include "win32/windows.h"

namespace {

using tooltest::Child;
using vq36tools::mix::MixClient;

constexpr const char* kLibrary = VQ36_ASIO_DLL_PATH;
// 24 ms of setting: blocks of 384 frames.
constexpr std::int32_t kBufferMillisecs = 24;
constexpr std::uint32_t kBlockFrames = 384;
constexpr std::size_t kMargin = 4 * kBlockFrames;

struct Program {
    std::uint32_t hz;
    double amplitude;
    std::string report;
    std::unique_ptr<Child> child;
};

class Mixing : public ::testing::Test {
  protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        standin::host::MachineOptions options;
        options.driverPath = tooltest::kKernel;
        options.devices.push_back({});
        std::string error;
        machine = standin::host::Machine::start(std::move(options), &error);
        ASSERT_TRUE(machine) << error;
        device = machine->device(machine->ports().at(0));
        ASSERT_TRUE(device);

        // Registered, and this process's status monitor gives the kernel its block size.
        library = LoadLibraryA(kLibrary);
        ASSERT_NE(library, nullptr);
        auto registerServer =
            reinterpret_cast<HRESULT (*)()>(GetProcAddress(library, "DllRegisterServer"));
        auto open = reinterpret_cast<void* (*)()>(GetProcAddress(library, "VQ36_open"));
        auto setBuffer = reinterpret_cast<std::int32_t (*)(void*, std::int32_t)>(
            GetProcAddress(library, "VQ36_set_buffer_millisecs"));
        close = reinterpret_cast<void (*)(void*)>(GetProcAddress(library, "VQ36_close"));
        ASSERT_TRUE(registerServer && open && setBuffer && close);
        ASSERT_EQ(registerServer(), S_OK);
        handle = open();
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(setBuffer(handle, kBufferMillisecs), 0);
        ASSERT_TRUE(waitFor([&] { return record().blockFrames == kBlockFrames; }));
    }

    void TearDown() override {
        programs.clear();
        if (handle != nullptr) close(handle);
        if (library != nullptr) FreeLibrary(library);
        machine.reset();
    }

    template <class F>
    static bool waitFor(F condition, int ms = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    standin::host::RecordCounters record() const {
        const auto status = machine->status();
        if (status.deviceObjects.empty() || !status.deviceObjects[0].record) return {};
        return *status.deviceObjects[0].record;
    }
    std::size_t openHandles() const {
        const auto status = machine->status();
        return status.deviceObjects.empty() ? 0 : status.deviceObjects[0].openHandles;
    }

    // Starts a program playing `hz` on outputs 1-2 for `seconds`; returns once it streams.
    Program& start(std::uint32_t hz, double amplitude, double seconds) {
        Program p{hz, amplitude,
                  root.root() + "/report" + std::to_string(programs.size()) + ".json", nullptr};
        const std::string sine = "sine:" + std::to_string(hz) + ":" + std::to_string(amplitude);
        p.child = std::make_unique<Child>(std::vector<std::string>{
            "asio", "stream", "--seconds", std::to_string(seconds), "--outputs", "1-2", "--play",
            "1=" + sine, "--play", "2=" + sine, "--report", p.report, "--ready-line"});
        programs.push_back(std::move(p));
        Program& added = programs.back();
        EXPECT_TRUE(added.child->waitFor("streaming")) << added.child->output();
        return added;
    }

    std::vector<MixClient> clients() const {
        std::vector<MixClient> c;
        for (const Program& p : programs) {
            c.push_back({std::to_string(p.hz) + " Hz", {{p.hz, p.amplitude}, {p.hz, p.amplitude}}});
        }
        return c;
    }

    vq36tools::mix::MixResult check(const std::vector<float>& played,
                                    const std::vector<MixClient>& c) const {
        vq36tools::mix::MixInput in;
        in.played = played;
        in.stride = vq36::kPlaybackChannels;
        in.channels = {0, 1};
        in.clients = c;
        in.marginFrames = kMargin;
        in.lapFrames = static_cast<std::size_t>(record().ringBlocks) * kBlockFrames;
        const auto r = vq36tools::mix::checkMix(in);
        // A program that falls two blocks behind skips the blocks it catches up on, and the
        // device plays their previous lap again: allowed now and then on a loaded machine,
        // never a partial sum.
        EXPECT_LE(r.framesRepeated, r.framesChecked / 50);
        return r;
    }

    // Waits for each program's end; its report.
    std::map<std::string, double> finish(Program& p) {
        EXPECT_EQ(p.child->wait(30000), 0) << p.child->output();
        std::map<std::string, double> report;
        EXPECT_TRUE(vq36tools::readNumbers(p.report, &report)) << p.report;
        return report;
    }

    standin::win32::ScopedFreshMachine root;
    std::unique_ptr<standin::host::Machine> machine;
    std::shared_ptr<standin::vq36::Vq36Device> device;
    HMODULE library = nullptr;
    void* handle = nullptr;
    void (*close)(void*) = nullptr;
    std::vector<Program> programs;
};

TEST_F(Mixing, TwoProgramsWhoseSumClipsAreMixedBitForBit) {
    programs.reserve(2);
    start(440, 0.6, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    start(660, 0.6, 4);
    EXPECT_EQ(record().joinedClients, 2u);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::vector<float> played = device->recorder().samples();

    const auto r = check(played, clients());
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_EQ(r.framesMismatching, 0u) << "first at frame " << r.firstMismatches[0];
    EXPECT_EQ(r.realignments, 0u);
    EXPECT_GT(r.framesChecked, 48000u);
    EXPECT_GT(r.framesClipped, 1000u);
    for (Program& p : programs) {
        const auto report = finish(p);
        EXPECT_EQ(report.at("resets"), 0) << p.hz;
        EXPECT_EQ(report.at("bufferSize"), kBlockFrames);
    }
}

TEST_F(Mixing, FourQuietProgramsAreMixedBitForBitWithoutClipping) {
    programs.reserve(4);
    const std::uint32_t tones[] = {440, 550, 660, 770};
    for (int i = 0; i < 4; ++i) {
        if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        start(tones[i], 0.2, 6 - 0.6 * i);
    }
    EXPECT_EQ(record().joinedClients, 4u);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::vector<float> played = device->recorder().samples();

    const auto r = check(played, clients());
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_EQ(r.framesMismatching, 0u)
        << "first at frame " << r.firstMismatches[0] << " joins " << r.clients[0].joinFrame << " "
        << r.clients[1].joinFrame << " " << r.clients[2].joinFrame << " " << r.clients[3].joinFrame
        << " fit " << r.clients[3].fitFrame;
    EXPECT_EQ(r.realignments, 0u);
    EXPECT_GT(r.framesChecked, 48000u);
    EXPECT_EQ(r.framesClipped, 0u);
    for (Program& p : programs) {
        const auto report = finish(p);
        EXPECT_EQ(report.at("resets"), 0) << p.hz;
    }
}

TEST_F(Mixing, AProgramKilledMidStreamLeavesTheOtherStreaming) {
    programs.reserve(2);
    const std::size_t handlesBefore = openHandles();
    start(440, 0.6, 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Program& victim = start(660, 0.6, 30);
    ASSERT_TRUE(waitFor([&] { return record().joinedClients == 2; }));
    const std::size_t handlesBoth = openHandles();
    EXPECT_GT(handlesBoth, handlesBefore);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));

    victim.child.reset();  // SIGKILL, and waited for
    const std::uint64_t killedAt = device->recorder().framesRecorded();
    EXPECT_TRUE(waitFor([&] { return record().joinedClients == 1; }, 5000))
        << "joined clients " << record().joinedClients;
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // After the kill the device plays the survivor alone, bit for bit.
    const std::uint64_t recorded = device->recorder().framesRecorded();
    const std::vector<float> all = device->recorder().samples();
    const std::uint64_t kept = all.size() / vq36::kPlaybackChannels;
    const std::uint64_t first = recorded - kept;
    ASSERT_GE(killedAt, first);
    const std::size_t from = (killedAt - first + 2 * kBlockFrames) * vq36::kPlaybackChannels;
    ASSERT_LT(from, all.size());
    const std::vector<float> after(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    const auto r = check(after, {clients()[0]});
    ASSERT_TRUE(r.aligned) << r.error;
    EXPECT_EQ(r.framesMismatching, 0u)
        << "first at frame " << r.firstMismatches[0] << " of " << r.endChecked;
    EXPECT_GT(r.framesChecked, 24000u);
    // The killed program's handles are closed as at a process's end.
    EXPECT_TRUE(waitFor([&] { return openHandles() < handlesBoth; }, 10000))
        << openHandles() << " open handles";

    const auto report = finish(programs[0]);
    EXPECT_EQ(report.at("resets"), 0);
    EXPECT_GT(report.at("blocks"), 400);
}

// `vq36 demo` makes a machine of its own.
TEST(Demo, RunsAndWritesItsFiles) {
    std::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/vq36-demo-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string out = std::string(pattern) + "/out";
    const tooltest::Run r = tooltest::run({"demo", "--seconds", "2", "--out", out});
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_NE(r.text.find("bit-exact"), std::string::npos) << r.text;
    for (const char* name : {"played.wav", "captured.wav", "waveforms.png"}) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(out + "/" + name, ec);
        EXPECT_FALSE(ec) << name;
        EXPECT_GT(ec ? 0 : size, 1000u) << name;
    }
    EXPECT_EQ(tooltest::run({"demo", "--seconds", "0"}).code, 2);
    EXPECT_EQ(tooltest::run({"demo", "--bogus"}).code, 2);
    std::filesystem::remove_all(pattern);
}

}  // namespace
