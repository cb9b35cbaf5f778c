#pragma once
// Helpers of the machine tests: a fresh machine root per test, an embedded machine with a
// driver, the device interfaces through SetupAPI, I/O controls, programs started as child
// processes, and waiting with generous bounds.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "standin/host/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

extern char** environ;

namespace machinetest {

inline constexpr GUID kVq36Interface = {
    0x5B1D8E42, 0x93A7, 0x4C6F, {0xB2, 0xE1, 0x7D, 0x0A, 0x6C, 0x39, 0xF8, 0x14}};

// Waits up to `ms` (real time) for `ready`.
inline bool eventually(const std::function<bool()>& ready, int ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The present interface paths of the VQ36 class, through SetupAPI.
inline std::vector<std::string> interfacePaths(const GUID& guid = kVq36Interface) {
    std::vector<std::string> paths;
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) break;
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<char> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

inline HANDLE openDevice(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

struct IoResult {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD bytes = 0;
};

inline IoResult ioctl(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out,
                      DWORD outLength) {
    IoResult r;
    SetLastError(0);
    r.ok = DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &r.bytes,
                           nullptr);
    r.error = r.ok ? 0 : GetLastError();
    return r;
}

inline IoResult ioctlWord(HANDLE h, DWORD code, std::uint32_t word) {
    return ioctl(h, code, &word, 4, nullptr, 0);
}

// A program run as a child process (posix_spawn): its output goes to a pipe.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args) {
        int fds[2], input[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        if (pipe2(input, O_CLOEXEC) != 0) {
            close(fds[0]);
            close(fds[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        close(input[0]);
        out_ = fds[0];
        in_ = input[1];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    // Writes a line to the program's standard input.
    void say(const std::string& text) {
        std::string l = text + "\n";
        if (in_ >= 0 && write(in_, l.data(), l.size()) < 0) {
        }
    }

    // The next line the program writes (without its end), waiting up to `ms`; empty at its
    // end or on time-out.
    std::string line(int ms = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0 || out_ < 0) return {};
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) return {};
            char chunk[512];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Waits up to `ms` for the program to end; its exit code (128 + signal), or -1.
    int wait(int ms = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0 && !exited_) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return code_;
    }

    void kill9() {
        if (pid_ > 0 && !exited_) kill(pid_, SIGKILL);
    }

  private:
    pid_t pid_ = 0;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;
    bool exited_ = false;
    int code_ = -1;
};

// A fresh machine root, and an embedded machine on it running the tests' own driver.
class MachineTest : public ::testing::Test {
  protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    void startMachine(std::size_t devices = 1, const char* driver = nullptr) {
        standin::host::MachineOptions options;
        options.root = root.root();
        options.driverPath = driver != nullptr ? driver : kDriverPath;
        options.devices.resize(devices);
        std::string error;
        machine = standin::host::Machine::start(std::move(options), &error);
        ASSERT_NE(machine, nullptr) << error;
        ASSERT_TRUE(machine->waitForInterfaces(devices, 10000));
    }

    void TearDown() override { machine.reset(); }

    static constexpr const char* kDriverPath = VQ_TEST_KERNEL_PATH;

    standin::win32::ScopedFreshMachine root;
    std::unique_ptr<standin::host::Machine> machine;
};

}  // namespace machinetest
