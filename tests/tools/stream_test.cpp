// `vq36 machine stream`: a raw kernel client streaming on a machine daemon while `vq36 machine
// status` watches, and ending when its machine dies.

#include <cstdio>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

using tooltest::Child;
using tooltest::run;
using tooltest::ToolTest;

using Stream = ToolTest;

struct Report {
    long second = 0;
    unsigned long long blocks = 0;
    double rate = 0;
    unsigned frames = 0;
};

std::vector<Report> reports(const std::vector<std::string>& lines) {
    std::vector<Report> r;
    for (const auto& l : lines) {
        Report x;
        if (std::sscanf(l.c_str(), "%lds: blocks %llu (%lf a second), block %u frames", &x.second,
                        &x.blocks, &x.rate, &x.frames) == 4) {
            r.push_back(x);
        }
    }
    return r;
}

bool streamingIs(const char* state) {
    const auto status = run({"machine", "status"});
    return status.text.find(std::string("streaming ") + state) != std::string::npos;
}

TEST_F(Stream, BlockCountsRiseEverySecondWhileTheStatusShowsStreaming) {
    ASSERT_TRUE(streamingIs("off"));
    Child stream({"machine", "stream", "--seconds", "2"});
    ASSERT_TRUE(stream.waitFor("streaming from"));
    ASSERT_TRUE(stream.waitFor("1s: blocks")) << stream.output();
    EXPECT_TRUE(streamingIs("on"));
    stream.rest();
    ASSERT_EQ(stream.wait(), 0) << stream.output();

    std::vector<std::string> lines;
    for (std::size_t at = 0, nl; (nl = stream.output().find('\n', at)) != std::string::npos;
         at = nl + 1) {
        lines.push_back(stream.output().substr(at, nl - at));
    }
    const auto r = reports(lines);
    ASSERT_EQ(r.size(), 2u) << stream.output();
    EXPECT_EQ(r[0].second, 1);
    EXPECT_EQ(r[1].second, 2);
    EXPECT_GT(r[0].blocks, 0u);
    EXPECT_GT(r[1].blocks, r[0].blocks);
    EXPECT_EQ(r[1].frames, 96u);
    // 500 blocks a second at 96 frames.
    EXPECT_NEAR(r[1].rate, 500.0, 100.0) << stream.output();
    EXPECT_NE(stream.output().find("estimated rate 48000 Hz"), std::string::npos);

    // The client is gone with the program.
    bool off = false;
    for (int i = 0; i < 100 && !off; ++i) {
        off = streamingIs("off");
        if (!off) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(off);
}

TEST_F(Stream, TheBlockSizeIsTheOneAskedFor) {
    Child stream({"machine", "stream", "--block", "192", "--seconds", "2"});
    const auto lines = stream.rest();
    ASSERT_EQ(stream.wait(), 0) << stream.output();
    const auto r = reports(lines);
    ASSERT_EQ(r.size(), 2u) << stream.output();
    EXPECT_EQ(r[1].frames, 192u);
    EXPECT_NEAR(r[1].rate, 250.0, 50.0) << stream.output();
}

TEST_F(Stream, CtrlCEndsTheStream) {
    Child stream({"machine", "stream"});
    ASSERT_TRUE(stream.waitFor("1s: blocks"));
    stream.interrupt();
    EXPECT_EQ(stream.wait(), 0);
}

TEST_F(Stream, AStreamWhoseMachineDiesEndsWithAnError) {
    // A lost connection leaves the device marked gone, as a removal does.
    Child stream({"machine", "stream"});
    ASSERT_TRUE(stream.waitFor("1s: blocks"));
    daemon->kill9();
    daemon.reset();
    EXPECT_EQ(stream.wait(10000), 1) << stream.output();
    EXPECT_NE(stream.output().find("the device went away"), std::string::npos) << stream.output();
}

TEST(StreamCommandLine, BadArgumentsExitNonZeroWithAMessage) {
    standin::win32::ScopedFreshMachine root;
    const std::vector<std::vector<std::string>> bad = {
        {"machine", "stream", "--block", "0"},    {"machine", "stream", "--block", "47"},
        {"machine", "stream", "--block", "3001"}, {"machine", "stream", "--block", "ninety"},
        {"machine", "stream", "--seconds", "-1"}, {"machine", "stream", "--seconds"},
        {"machine", "stream", "--frames", "96"},
    };
    for (const auto& args : bad) {
        const auto r = run(args);
        EXPECT_EQ(r.code, 2) << args.back();
        EXPECT_NE(r.text.find("vq36 machine stream"), std::string::npos) << r.text;
    }
    const auto none = run({"machine", "stream", "--seconds", "1"});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.text.find("no machine runs"), std::string::npos) << none.text;
}

}  // namespace
