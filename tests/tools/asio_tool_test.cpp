// `vq36 regsvr` and `vq36 asio`: the driver registered and found as hosts find it, then driven
// through COM on a machine daemon with one VQ36: streaming, recording, the report, reset
// requests answered by re-creating the driver, and what the device played.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "asio_host.h"
#include "flat_json.h"
#include "tool_fixture.h"

namespace {

using tooltest::Child;
using tooltest::run;
using tooltest::ToolTest;

constexpr const char* kDriverClass = "{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}";

// The flat JSON report as key -> number (the driver's name left out); empty when the file is
// missing or not a report.
std::map<std::string, double> readReport(const std::string& path) {
    std::map<std::string, double> values;
    if (!vq36tools::readNumbers(path, &values)) values.clear();
    return values;
}

// Blocks a second at a buffer size.
double blockRate(double bufferSize) {
    return 48000.0 / bufferSize;
}

TEST(AsioRegistration, RegsvrMakesTheDriverListedAndRegsvrUndoesIt) {
    standin::win32::ScopedFreshMachine root;
    auto none = run({"asio", "list"});
    EXPECT_EQ(none.code, 0);
    EXPECT_FALSE(none.has("Vexa VQ36")) << none.text;

    auto reg = run({"regsvr"});
    ASSERT_EQ(reg.code, 0) << reg.text;
    EXPECT_NE(reg.text.find("DllRegisterServer"), std::string::npos) << reg.text;
    auto listed = run({"asio", "list"});
    EXPECT_EQ(listed.code, 0);
    ASSERT_TRUE(listed.has("Vexa VQ36")) << listed.text;
    EXPECT_NE(listed.text.find(std::string("class id: ") + kDriverClass), std::string::npos)
        << listed.text;
    EXPECT_NE(listed.text.find("vexaasiovq36.dll"), std::string::npos) << listed.text;

    // What the tool lists is what hosts find.
    vq36host::DriverEntry entry;
    std::string error;
    ASSERT_TRUE(vq36host::findDriver("Vexa VQ36", &entry, &error)) << error;
    EXPECT_EQ(entry.clsid, kDriverClass);
    EXPECT_FALSE(entry.serverPath.empty());

    auto unreg = run({"regsvr", "/u"});
    EXPECT_EQ(unreg.code, 0) << unreg.text;
    auto after = run({"asio", "list"});
    EXPECT_FALSE(after.has("Vexa VQ36")) << after.text;
    EXPECT_FALSE(vq36host::findDriver("Vexa VQ36", &entry, &error));
}

TEST(AsioRegistration, RegsvrOfAMissingLibraryFails) {
    standin::win32::ScopedFreshMachine root;
    auto r = run({"regsvr", "--dll", root.root() + "/nothing.dll"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("cannot load"), std::string::npos) << r.text;
}

TEST(AsioCommandLine, BadUsageExitsTwoWithAMessage) {
    standin::win32::ScopedFreshMachine root;
    const std::vector<std::vector<std::string>> bad = {
        {"asio"},
        {"asio", "frob"},
        {"asio", "list", "extra"},
        {"asio", "stream", "--seconds", "0"},
        {"asio", "stream", "--seconds", "soon"},
        {"asio", "stream", "--seconds"},
        {"asio", "stream", "--outputs", "0"},
        {"asio", "stream", "--outputs", "2-1"},
        {"asio", "stream", "--outputs", "1,1"},
        {"asio", "stream", "--outputs", "1,"},
        {"asio", "stream", "--inputs", "x"},
        {"asio", "stream", "--play", "1=square:440"},
        {"asio", "stream", "--play", "1=sine:0"},
        {"asio", "stream", "--play", "1=sine:440:2"},
        {"asio", "stream", "--play", "sine:440"},
        {"asio", "stream", "--play", "3=sine:440"},  // not among the outputs
        {"asio", "stream", "--buffer-size", "0"},
        {"asio", "stream", "--buffer-size", "3001"},
        {"asio", "stream", "--record", "x.wav"},           // no inputs
        {"asio", "stream", "--device-clock", "10:48000"},  // no inputs
        {"asio", "stream", "--inputs", "1", "--device-clock", "10"},
        {"asio", "stream", "--inputs", "1", "--device-clock", "-1:48000"},
        {"asio", "stream", "--inputs", "1", "--device-clock", "10:0"},
        {"asio", "stream", "--loud"},
        {"asio", "panel", "--screenshots"},
        {"asio", "panel", "--window"},
        {"regsvr", "--bogus"},
    };
    for (const auto& args : bad) {
        const auto r = run(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(r.code, 2) << line << "\n" << r.text;
        EXPECT_NE(r.text.find("usage"), std::string::npos) << line << "\n" << r.text;
    }
}

TEST(AsioCommandLine, AnUnknownDriverExitsOneNamingIt) {
    standin::win32::ScopedFreshMachine root;
    ASSERT_EQ(run({"regsvr"}).code, 0);
    const auto r = run({"asio", "stream", "--driver", "Nope 9", "--seconds", "1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("no ASIO driver named \"Nope 9\""), std::string::npos) << r.text;
}

class AsioStream : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        ASSERT_EQ(run({"regsvr"}).code, 0);
    }
    std::string file(const char* name) const { return root.root() + "/" + name; }
};

TEST_F(AsioStream, StreamsRecordsTheInputsAndReports) {
    const std::string wav = file("in.wav");
    const std::string json = file("r.json");
    const auto clock = run({"machine", "clock", "1"});
    ASSERT_EQ(clock.code, 0) << clock.text;
    ASSERT_EQ(clock.lines.size(), 1u) << clock.text;
    const auto r =
        run({"asio", "stream", "--seconds", "1", "--play", "1=sine:440", "--inputs", "1-2",
             "--record", wav, "--device-clock", clock.lines[0], "--report", json});
    ASSERT_EQ(r.code, 0) << r.text;
    EXPECT_NE(r.text.find("driver: Vexa VQ36"), std::string::npos) << r.text;

    auto report = readReport(json);
    for (const char* key : {"blocks", "resets", "recreations", "bufferSize", "intervalP50Us",
                            "intervalP99Us", "intervalMaxUs", "latencyP50Us", "latencyP99Us",
                            "latencyMaxUs", "latencySamples", "latencyUnmatched", "userSlips",
                            "kernUnder", "kernOver", "estSampleRate", "joinedClients"}) {
        EXPECT_EQ(report.count(key), 1u) << key;
    }
    for (const char* key :
         {"deviceLatencyP50Us", "deviceLatencyP99Us", "deviceLatencyMaxUs", "deviceLatencySamples",
          "deviceLatencyUnmatched", "switchRealTime", "switchPriority"}) {
        EXPECT_EQ(report.count(key), 1u) << key;
    }
    const double size = report["bufferSize"];
    ASSERT_GE(size, 48);
    ASSERT_LE(size, 3000);
    const double expected = blockRate(size);  // one second's worth
    EXPECT_GT(report["blocks"], expected * 0.3) << r.text;
    EXPECT_LT(report["blocks"], expected * 1.3) << r.text;
    EXPECT_EQ(report["resets"], 0) << r.text;
    EXPECT_EQ(report["recreations"], 0);
    EXPECT_EQ(report["joinedClients"], 1);
    EXPECT_EQ(report["estSampleRate"], 48000);
    // Buffer switches follow the boundaries one block apart, and most find theirs.
    const double periodUs = size / 48.0 * 1000.0;
    EXPECT_GT(report["intervalP50Us"], periodUs * 0.5);
    EXPECT_LT(report["intervalP50Us"], periodUs * 1.5);
    EXPECT_GT(report["latencySamples"], report["blocks"] / 2);
    EXPECT_EQ(report["latencySamples"] + report["latencyUnmatched"], report["blocks"]);
    EXPECT_LE(report["latencyP50Us"], report["latencyP99Us"]);
    EXPECT_LE(report["latencyP99Us"], report["latencyMaxUs"]);
    // The device's clock passes a block's last sample before the kernel can see the capture
    // request that holds it complete, and the inputs carry the device's counting signal.
    EXPECT_GT(report["deviceLatencySamples"], report["blocks"] / 2);
    EXPECT_EQ(report["deviceLatencySamples"] + report["deviceLatencyUnmatched"], report["blocks"]);
    EXPECT_GE(report["deviceLatencyP50Us"], report["latencyP50Us"]);
    EXPECT_LT(report["deviceLatencyP50Us"], report["latencyP50Us"] + 2 * periodUs + 10000);

    // A 32-bit float file of the two inputs with every block's frames.
    std::ifstream raw(wav, std::ios::binary);
    unsigned char header[38] = {};
    raw.read(reinterpret_cast<char*>(header), sizeof header);
    ASSERT_TRUE(raw.good());
    EXPECT_EQ(header[20] | (header[21] << 8), 3);   // IEEE float
    EXPECT_EQ(header[34] | (header[35] << 8), 32);  // bits
    vq36host::WavData data;
    std::string error;
    ASSERT_TRUE(vq36host::readWav(wav, &data, &error)) << error;
    EXPECT_EQ(data.channels, 2);
    EXPECT_EQ(data.sampleRate, 48000u);
    EXPECT_EQ(data.frames(), static_cast<std::size_t>(report["blocks"] * size));
}

TEST_F(AsioStream, StreamsWithOutputReadyAndAnnouncesTheFirstBlock) {
    const std::string json = file("r.json");
    Child c({"asio", "stream", "--seconds", "1.5", "--outputs", "1,2,5", "--play",
             "5=sine:1000:0.25", "--output-ready", "--ready-line", "--report", json});
    ASSERT_TRUE(c.waitFor("streaming", 10000)) << c.output();
    c.rest();
    ASSERT_EQ(c.wait(), 0) << c.output();
    auto report = readReport(json);
    EXPECT_GT(report["blocks"], blockRate(report["bufferSize"]) * 0.5) << c.output();
    EXPECT_EQ(report["resets"], 0) << c.output();
}

TEST_F(AsioStream, AnOutputTheDriverDoesNotHaveIsRefused) {
    const auto r = run({"asio", "stream", "--seconds", "1", "--outputs", "11"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("output 11 does not exist"), std::string::npos) << r.text;
}

TEST_F(AsioStream, AResetRequestIsAnsweredByRecreatingTheDriver) {
    // A new buffer length changes the kernel's block under the driver, which asks for a
    // reset; the host re-creates it at the new preferred size and streams on.
    const std::string json = file("r.json");
    Child c({"asio", "stream", "--seconds", "4", "--play", "1=sine:440", "--ready-line", "--report",
             json});
    ASSERT_TRUE(c.waitFor("streaming", 10000)) << c.output();
    const auto ctl = run({"ctl", "buffer", "12"});
    ASSERT_EQ(ctl.code, 0) << ctl.text;
    c.rest();
    ASSERT_EQ(c.wait(), 0) << c.output();
    auto report = readReport(json);
    EXPECT_GE(report["resets"], 1) << c.output();
    EXPECT_GE(report["recreations"], 1) << c.output();
    EXPECT_EQ(report["bufferSize"], 192) << c.output();  // 12 ms
}

TEST_F(AsioStream, AStreamWhoseMachineDiesStreamsAgainOnTheNextMachine) {
    // The lost connection looks like a removed device to the driver, which asks for a reset;
    // the host re-creates it until the new machine is there and streams on to its end.
    const std::string json = file("r.json");
    Child c({"asio", "stream", "--seconds", "6", "--ready-line", "--report", json});
    ASSERT_TRUE(c.waitFor("streaming", 10000)) << c.output();
    daemon->kill9();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    daemon = std::make_unique<Child>(
        std::vector<std::string>{"machine", "run", "--driver", tooltest::kKernel});
    ASSERT_TRUE(daemon->waitFor("machine running at"));
    c.rest();
    EXPECT_EQ(c.wait(), 0) << c.output();
    auto report = readReport(json);
    EXPECT_GE(report["resets"], 1) << c.output();
    EXPECT_GE(report["recreations"], 1) << c.output();
}

TEST_F(AsioStream, AStreamThatIsNotRunningAtItsEndExitsOne) {
    // The machine stops answering (stopped, not gone): no buffer switch comes and no reset is
    // asked for. At its end the stream asked for did not happen, which the exit code says.
    Child c({"asio", "stream", "--seconds", "3", "--ready-line"});
    ASSERT_TRUE(c.waitFor("streaming", 10000)) << c.output();
    ASSERT_EQ(::kill(daemon->pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    ASSERT_EQ(::kill(daemon->pid(), SIGCONT), 0);
    c.rest();
    EXPECT_EQ(c.wait(), 1) << c.output();
    EXPECT_NE(c.output().find("the stream stopped"), std::string::npos) << c.output();
}

// The longest stretch of `played` that equals the tool's 440 Hz sine (amplitude 0.5) at some
// phase. The sine repeats every 1200 frames.
std::size_t longestSineMatch(const std::vector<float>& played) {
    std::vector<float> period(1200);
    for (std::uint64_t n = 0; n < period.size(); ++n) {
        period[n] = vq36host::quantisedSine(440.0, 0.5, n);
    }
    std::size_t best = 0;
    std::size_t f = 0;
    while (f < played.size()) {
        if (played[f] == 0.0f) {
            ++f;
            continue;
        }
        std::size_t longest = 0;
        for (std::size_t p = 0; p < period.size(); ++p) {
            std::size_t k = 0;
            while (f + k < played.size() && played[f + k] == period[(p + k) % period.size()]) ++k;
            longest = std::max(longest, k);
        }
        best = std::max(best, longest);
        f += std::max<std::size_t>(longest, 1);
    }
    return best;
}

TEST_F(AsioStream, TheDevicePlaysTheQuantisedSineBitForBit) {
    const std::string json = file("r.json");
    const auto r =
        run({"asio", "stream", "--seconds", "1", "--play", "1=sine:440", "--report", json});
    ASSERT_EQ(r.code, 0) << r.text;
    const std::string played = file("played.wav");
    const auto p = run({"machine", "played", "1", played});
    ASSERT_EQ(p.code, 0) << p.text;

    vq36host::WavData data;
    std::string error;
    ASSERT_TRUE(vq36host::readWav(played, &data, &error)) << error;
    ASSERT_GE(data.channels, 1);
    std::vector<float> first(data.frames());
    for (std::size_t f = 0; f < first.size(); ++f) first[f] = data.samples[f * data.channels];
    const auto report = readReport(json);
    // At least a tenth of a second (and a block) of the stream, sample for sample.
    const auto block = static_cast<std::size_t>(report.at("bufferSize"));
    EXPECT_GE(longestSineMatch(first), std::max<std::size_t>(block, 4800)) << r.text;
}

}  // namespace
