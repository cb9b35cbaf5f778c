#pragma once
// Helpers of the front door's tests: the tool run as a child process (its standard output and
// error on one pipe), and a fresh machine root with a machine daemon (`vq36 machine run` with
// Vq36Kernel.sys and one VQ36) for each test.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "standin/win32/testing.h"

namespace tooltest {

inline constexpr const char* kTool = VQ36_TOOL_PATH;
inline constexpr const char* kKernel = VQ36_KERNEL_SYS_PATH;

// `vq36 ARGS` as a child process.
class Child : public vq36tools::ChildProcess {
  public:
    explicit Child(const std::vector<std::string>& args) : ChildProcess(kTool, args) {}
};

// A run of `vq36 ARGS` to its end.
struct Run {
    int code = -1;
    std::vector<std::string> lines;
    std::string text;  // the lines, each with its end
    bool has(const std::string& l) const {
        for (const auto& x : lines) {
            if (x == l) return true;
        }
        return false;
    }
};

inline Run run(const std::vector<std::string>& args) {
    Child child(args);
    Run r;
    r.lines = child.rest();
    r.code = child.wait();
    for (const auto& l : r.lines) r.text += l + "\n";
    return r;
}

// A fresh machine root and a daemon on it with one VQ36.
class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        daemon = std::make_unique<Child>(
            std::vector<std::string>{"machine", "run", "--driver", kKernel});
        ASSERT_TRUE(daemon->waitFor("machine running at"));
    }
    void TearDown() override {
        if (daemon) {
            run({"machine", "shutdown"});
            EXPECT_EQ(daemon->wait(), 0);
        }
    }

    standin::win32::ScopedFreshMachine root;
    std::unique_ptr<Child> daemon;
};

}  // namespace tooltest
