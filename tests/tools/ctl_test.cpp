// `vq36 ctl` against a machine daemon: the control functions of VexaAsioVq36.dll called from the
// command line, and what comes back through the callbacks.

#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

using tooltest::Child;
using tooltest::run;
using tooltest::ToolTest;

using Ctl = ToolTest;

TEST_F(Ctl, VersionsReportTheLibraryTheDriverTheFirmwareAndTheDevice) {
    const auto r = run({"ctl", "versions"});
    ASSERT_EQ(r.code, 0) << r.text;
    EXPECT_TRUE(r.has("api version 0.17.0")) << r.text;
    EXPECT_TRUE(r.has("driver version 1.2.0")) << r.text;
    EXPECT_TRUE(r.has("firmware version 1.2.345")) << r.text;  // the model's firmware
    EXPECT_TRUE(r.has("embedded firmware version 1.4.0")) << r.text;
    EXPECT_TRUE(r.has("vendor id 0xb713")) << r.text;
    EXPECT_TRUE(r.has("product id 0x2e00")) << r.text;
    EXPECT_TRUE(r.has("boot device no")) << r.text;
}

TEST_F(Ctl, TheBufferLengthAndTheChannelsAreSetAndReadBack) {
    EXPECT_TRUE(run({"ctl", "buffer"}).has("buffer 8 ms"));
    const auto set = run({"ctl", "buffer", "12"});
    ASSERT_EQ(set.code, 0) << set.text;
    EXPECT_TRUE(run({"ctl", "buffer"}).has("buffer 12 ms"));

    EXPECT_TRUE(run({"ctl", "channels"}).has("channels in 0 out 1"));
    const auto channels = run({"ctl", "channels", "2", "5"});
    ASSERT_EQ(channels.code, 0) << channels.text;
    const auto back = run({"ctl", "channels"});
    EXPECT_EQ(back.code, 0);
    EXPECT_TRUE(back.has("channels in 2 out 5")) << back.text;

    EXPECT_TRUE(run({"ctl", "port"}).has("port 1 0 (device present)"));
}

TEST_F(Ctl, WatchPrintsAControlMovedOnTheDevice) {
    Child watch({"ctl", "watch", "--seconds", "2"});
    // The status monitor's first pass: from here on, what arrives is delivered.
    ASSERT_TRUE(watch.waitFor("port 1 0"));
    ASSERT_EQ(run({"machine", "control", "1", "7", "64"}).code, 0);
    EXPECT_TRUE(watch.waitFor("packet b0 07 40")) << watch.output();
    // The device settings move too (35: headphone tone low); there is no control 32.
    ASSERT_EQ(run({"machine", "control", "1", "35", "100"}).code, 0);
    EXPECT_TRUE(watch.waitFor("packet b0 23 64")) << watch.output();
    EXPECT_EQ(run({"machine", "control", "1", "32", "1"}).code, 1);
    EXPECT_EQ(watch.wait(), 0);
}

TEST_F(Ctl, AControlChangeReachesTheDevice) {
    Child watch({"ctl", "watch"});
    ASSERT_TRUE(watch.waitFor("port 1 0"));
    const auto cc = run({"ctl", "cc", "7", "99"});
    ASSERT_EQ(cc.code, 0) << cc.text;
    EXPECT_TRUE(cc.has("sent control change 7 99")) << cc.text;
    // The device answers the request for all controls with the values it holds.
    const auto all = run({"ctl", "all-controls"});
    ASSERT_EQ(all.code, 0) << all.text;
    EXPECT_TRUE(watch.waitFor("packet b0 07 63")) << watch.output();
    watch.interrupt();
    EXPECT_EQ(watch.wait(), 0);
}

TEST_F(Ctl, WatchPrintsChannelAndPortChangesUntilCtrlC) {
    Child watch({"ctl", "watch"});
    ASSERT_TRUE(watch.waitFor("port 1 0"));
    ASSERT_EQ(run({"ctl", "channels", "3", "4"}).code, 0);
    EXPECT_TRUE(watch.waitFor("channels in 3 out 4")) << watch.output();
    ASSERT_EQ(run({"machine", "unplug"}).code, 0);
    EXPECT_TRUE(watch.waitFor("port 0 0")) << watch.output();
    ASSERT_EQ(run({"machine", "plug"}).code, 0);
    EXPECT_TRUE(watch.waitFor("port 1 0")) << watch.output();
    watch.interrupt();
    EXPECT_EQ(watch.wait(), 0);
}

TEST_F(Ctl, TheAnswerOfTheControlPointIsPrinted) {
    const auto r = run({"ctl", "control-point", "2"});
    ASSERT_EQ(r.code, 0) << r.text;
    EXPECT_TRUE(r.has("sent control point 2")) << r.text;
    EXPECT_TRUE(r.has("packet f0 17 52 01 f7")) << r.text;
}

TEST_F(Ctl, ResultCodesOfTheLibraryAreNamedAndFail) {
    // 56 data bytes do not fit a packet with F0 17 and F7.
    std::vector<std::string> args = {"ctl", "sysex"};
    args.insert(args.end(), 56, "01");
    const auto r = run(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("VQ36_send_sys_ex: 8 (bad parameter)"), std::string::npos) << r.text;
}

TEST(CtlCommandLine, BadArgumentsExitNonZeroWithAMessage) {
    standin::win32::ScopedFreshMachine root;
    const std::vector<std::vector<std::string>> bad = {
        {"ctl"},
        {"ctl", "frobnicate"},
        {"ctl", "versions", "extra"},
        {"ctl", "buffer", "abc"},
        {"ctl", "buffer", "0"},
        {"ctl", "buffer", "51"},
        {"ctl", "buffer", "12x"},
        {"ctl", "buffer", "99999999999999999999999"},
        {"ctl", "channels", "1"},
        {"ctl", "channels", "-1", "2"},
        {"ctl", "channels", "1", "17"},
        {"ctl", "note", "128", "1"},
        {"ctl", "note", "60"},
        {"ctl", "cc", "7", "-1"},
        {"ctl", "sysex"},
        {"ctl", "sysex", "f0", "01", "f7"},
        {"ctl", "sysex", "zz"},
        {"ctl", "sysex", "80"},
        {"ctl", "sysex", "123"},
        {"ctl", "sysex", "+1"},
        {"ctl", "control-point", "3"},
        {"ctl", "watch", "--seconds", "0"},
        {"ctl", "watch", "--minutes", "1"},
        {"ctl", "--root"},
    };
    for (const auto& args : bad) {
        const auto r = run(args);
        EXPECT_EQ(r.code, 2) << args.back();
        EXPECT_NE(r.text.find("vq36 ctl"), std::string::npos) << args.back() << ": " << r.text;
    }
}

TEST(CtlCommandLine, NoMachineIsReported) {
    standin::win32::ScopedFreshMachine root;
    const auto none = run({"ctl", "versions"});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.text.find("no machine runs"), std::string::npos) << none.text;
}

TEST_F(Ctl, ALibraryThatDoesNotLoadIsReported) {
    const auto r = run({"ctl", "--dll", "/nonexistent/VexaAsioVq36.dll", "versions"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("cannot load"), std::string::npos) << r.text;
}

}  // namespace
