#pragma once
// Helpers of the front door's tests: the tool run as a child process (its standard output and
// error on one pipe), and a fresh machine root with a machine daemon (`vq36 machine run` with
// Vq36Kernel.sys and one VQ36) for each test.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "standin/win32/testing.h"

extern char** environ;

namespace tooltest {

inline constexpr const char* kTool = VQ36_TOOL_PATH;
inline constexpr const char* kKernel = VQ36_KERNEL_SYS_PATH;

// `vq36 ARGS` as a child process.
class Child {
  public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), kTool);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kTool, &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Child() {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The next line (without its end) within `ms`; none at the end of the output or on time-out.
    std::optional<std::string> line(int ms = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                output_ += l + "\n";
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{out_, POLLIN, 0};
            if (out_ < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads lines until one starts with `prefix`, within `ms`.
    bool waitFor(const std::string& prefix, int ms = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            auto l = line(static_cast<int>(left > 0 ? left : 0));
            if (!l) return false;
            if (l->rfind(prefix, 0) == 0) return true;
        }
    }

    // Every line that follows, up to the end of the output (within `ms`).
    std::vector<std::string> rest(int ms = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::vector<std::string> lines;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            auto l = line(static_cast<int>(left > 0 ? left : 0));
            if (!l) return lines;
            lines.push_back(*l);
        }
    }

    // Everything read so far.
    const std::string& output() const { return output_; }

    // Waits up to `ms` for the end; the exit code (128 + the signal), or -1.
    int wait(int ms = 30000) {
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

    // Ctrl-C.
    void interrupt() {
        if (pid_ > 0 && !ended_) kill(pid_, SIGINT);
    }

  private:
    pid_t pid_ = 0;
    int out_ = -1;
    bool ended_ = false;
    int code_ = -1;
    std::string buffer_;
    std::string output_;
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
