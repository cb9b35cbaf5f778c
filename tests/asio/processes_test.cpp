// The control path across processes: a machine daemon (`vq36 machine run` with Vq36Kernel.sys)
// and two programs that each load VexaAsioVq36.dll, open a handle and set callbacks.

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

constexpr const char* kTool = VQ36_TOOL_PATH;
constexpr const char* kKernel = VQ36_KERNEL_SYS_PATH;
constexpr const char* kLibrary = VQ36_ASIO_DLL_PATH;
constexpr const char* kChild = VQ36_CONTROL_CHILD_PATH;

using Child = vq36tools::ChildProcess;

// Runs `vq36 machine ARGS`; its exit code.
int manage(std::vector<std::string> args) {
    args.insert(args.begin(), "machine");
    Child tool(kTool, args);
    return tool.wait();
}

class AcrossProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        std::filesystem::create_directories(root.host("c:\\temp\\VexaAsioLog"));
        std::ofstream(root.host("c:\\temp\\VexaEnableDebugLog.flag")).close();
        daemon = std::make_unique<Child>(
            kTool, std::vector<std::string>{"machine", "run", "--driver", kKernel});
        ASSERT_TRUE(daemon->waitFor("machine running at", 20000));
        a = std::make_unique<Child>(kChild, std::vector<std::string>{kLibrary}, Child::Input::Pipe);
        b = std::make_unique<Child>(kChild, std::vector<std::string>{kLibrary}, Child::Input::Pipe);
        for (Child* c : {a.get(), b.get()}) {
            ASSERT_TRUE(c->waitForLine("open"));
            // The first pass of each process's status monitor: the device is there.
            ASSERT_TRUE(c->waitForLine("port 1 0"));
            ASSERT_TRUE(c->waitFor("channels", 20000));
        }
    }
    void TearDown() override {
        for (Child* c : {a.get(), b.get()}) {
            if (c == nullptr) continue;
            c->say("close");
            c->wait();
        }
        a.reset();
        b.reset();
        if (daemon) {
            manage({"shutdown"});
            daemon->wait();
        }
    }

    standin::win32::ScopedFreshMachine root;
    std::unique_ptr<Child> daemon, a, b;
};

TEST_F(AcrossProcesses, AControlMovedOnTheDeviceReachesBoth) {
    ASSERT_EQ(manage({"control", "1", "7", "64"}), 0);
    EXPECT_TRUE(a->waitForLine("hidi 03 b0 07 40"));
    EXPECT_TRUE(b->waitForLine("hidi 03 b0 07 40"));
}

TEST_F(AcrossProcesses, AControlChangeSentByOneReachesTheDevice) {
    a->say("cc 9 33");
    ASSERT_TRUE(a->waitForLine("cc 0"));
    // The device answers the request for all controls with what it holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    b->say("all");
    ASSERT_TRUE(b->waitForLine("all 0"));
    EXPECT_TRUE(b->waitForLine("hidi 03 b0 09 21"));
    EXPECT_TRUE(a->waitForLine("hidi 03 b0 09 21"));
}

TEST_F(AcrossProcesses, AChannelChangeMadeByOneReachesTheOthersCallback) {
    a->say("channels 0 5");
    ASSERT_TRUE(a->waitForLine("set 0"));
    EXPECT_TRUE(b->waitForLine("channels 0 5"));
    EXPECT_TRUE(a->waitForLine("channels 0 5"));
}

TEST_F(AcrossProcesses, KillingOneMidStreamLeavesTheOthersDeliveriesIntact) {
    std::thread mover([] {
        for (int i = 0; i < 40; ++i) manage({"control", "1", "2", std::to_string(i)});
    });
    ASSERT_TRUE(a->waitForLine("hidi 03 b0 02 05"));
    a->kill9();
    mover.join();
    for (int i = 0; i < 40; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "hidi 03 b0 02 %02x", i);
        EXPECT_TRUE(b->waitForLine(line)) << i;
    }
    a.reset();
    // The survivor goes on: new packets, and a change it sends itself.
    ASSERT_EQ(manage({"control", "1", "3", "99"}), 0);
    EXPECT_TRUE(b->waitForLine("hidi 03 b0 03 63"));
    b->say("cc 4 12");
    ASSERT_TRUE(b->waitForLine("cc 0"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    b->say("all");
    EXPECT_TRUE(b->waitForLine("hidi 03 b0 04 0c"));
}

}  // namespace
