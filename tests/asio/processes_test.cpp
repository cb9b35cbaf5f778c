// The control path across processes: a machine daemon (`vq36 machine run` with Vq36Kernel.sys)
// and two programs that each load VexaAsioVq36.dll, open a handle and set callbacks.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "standin/win32/testing.h"
#include "win32/windows.h"

extern char** environ;

namespace {

constexpr const char* kTool = VQ36_TOOL_PATH;
constexpr const char* kKernel = VQ36_KERNEL_SYS_PATH;
constexpr const char* kLibrary = VQ36_ASIO_DLL_PATH;
constexpr const char* kChild = VQ36_CONTROL_CHILD_PATH;

// A program run as a child process, its standard input and output on pipes.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args) {
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(in[0]);
        out_ = out[0];
        in_ = in[1];
    }
    ~Child() {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void say(const std::string& text) {
        const std::string l = text + "\n";
        if (write(in_, l.data(), l.size()) < 0) {
        }
    }

    // Reads lines until one equals `text` (or starts with it, when `prefix`), up to `ms`.
    bool waitFor(const std::string& text, int ms = 20000, bool prefix = false) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (; seen_ < lines_.size(); ++seen_) {
                const std::string& l = lines_[seen_];
                if (l == text || (prefix && l.rfind(text, 0) == 0)) {
                    ++seen_;
                    return true;
                }
            }
            if (!readSome(deadline)) return false;
        }
    }

    // Every line so far (reading what is there within `ms`).
    const std::vector<std::string>& lines(int ms = 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (readSome(deadline)) {
        }
        return lines_;
    }

    int wait(int ms = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0 && !ended_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                ended_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return code_;
    }

    void kill9() {
        if (pid_ > 0 && !ended_) kill(pid_, SIGKILL);
        wait();
    }

  private:
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0 || poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) <= 0) return false;
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
            lines_.push_back(buffer_.substr(0, nl));
            buffer_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = 0;
    int out_ = -1;
    int in_ = -1;
    bool ended_ = false;
    int code_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
    std::size_t seen_ = 0;
};

// Runs `vq36 machine ARGS`; its exit code.
int manage(std::vector<std::string> args) {
    args.insert(args.begin(), {kTool, "machine"});
    Child tool(args);
    tool.lines(20000);
    return tool.wait();
}

class AcrossProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        std::filesystem::create_directories(root.host("c:\\temp\\VexaAsioLog"));
        std::ofstream(root.host("c:\\temp\\VexaEnableDebugLog.flag")).close();
        daemon = std::make_unique<Child>(
            std::vector<std::string>{kTool, "machine", "run", "--driver", kKernel});
        ASSERT_TRUE(daemon->waitFor("machine running at", 20000, true));
        a = std::make_unique<Child>(std::vector<std::string>{kChild, kLibrary});
        b = std::make_unique<Child>(std::vector<std::string>{kChild, kLibrary});
        for (Child* c : {a.get(), b.get()}) {
            ASSERT_TRUE(c->waitFor("open"));
            // The first pass of each process's status monitor: the device is there.
            ASSERT_TRUE(c->waitFor("port 1 0"));
            ASSERT_TRUE(c->waitFor("channels", 20000, true));
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
    EXPECT_TRUE(a->waitFor("hidi 03 b0 07 40"));
    EXPECT_TRUE(b->waitFor("hidi 03 b0 07 40"));
}

TEST_F(AcrossProcesses, AControlChangeSentByOneReachesTheDevice) {
    a->say("cc 9 33");
    ASSERT_TRUE(a->waitFor("cc 0"));
    // The device answers the request for all controls with what it holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    b->say("all");
    ASSERT_TRUE(b->waitFor("all 0"));
    EXPECT_TRUE(b->waitFor("hidi 03 b0 09 21"));
    EXPECT_TRUE(a->waitFor("hidi 03 b0 09 21"));
}

TEST_F(AcrossProcesses, AChannelChangeMadeByOneReachesTheOthersCallback) {
    a->say("channels 0 5");
    ASSERT_TRUE(a->waitFor("set 0"));
    EXPECT_TRUE(b->waitFor("channels 0 5"));
    EXPECT_TRUE(a->waitFor("channels 0 5"));
}

TEST_F(AcrossProcesses, KillingOneMidStreamLeavesTheOthersDeliveriesIntact) {
    std::thread mover([] {
        for (int i = 0; i < 40; ++i) manage({"control", "1", "2", std::to_string(i)});
    });
    ASSERT_TRUE(a->waitFor("hidi 03 b0 02 05"));
    a->kill9();
    mover.join();
    for (int i = 0; i < 40; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "hidi 03 b0 02 %02x", i);
        EXPECT_TRUE(b->waitFor(line)) << i;
    }
    a.reset();
    // The survivor goes on: new packets, and a change it sends itself.
    ASSERT_EQ(manage({"control", "1", "3", "99"}), 0);
    EXPECT_TRUE(b->waitFor("hidi 03 b0 03 63"));
    b->say("cc 4 12");
    ASSERT_TRUE(b->waitFor("cc 0"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    b->say("all");
    EXPECT_TRUE(b->waitFor("hidi 03 b0 04 0c"));
}

}  // namespace
