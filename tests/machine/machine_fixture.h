#pragma once
// Helpers of the machine tests: a fresh machine root per test, an embedded machine with a
// driver, the device interfaces through SetupAPI, I/O controls, programs started as child
// processes, and waiting with generous bounds.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "standin/host/machine.h"
#include "standin/win32/testing.h"
#include "stream_client.h"
#include "win32/windows.h"

namespace machinetest {

inline const GUID kVq36Interface = vq36tools::vq36InterfaceClass();

// Waits up to `ms` (real time) for `ready`.
inline bool eventually(const std::function<bool()>& ready, int ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The present interface paths of the class, through SetupAPI.
inline std::vector<std::string> interfacePaths(const GUID& guid = kVq36Interface) {
    return vq36tools::interfacePaths(guid);
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

// A program run as a child process, with a pipe to its standard input.
using Child = vq36tools::ChildProcess;
inline constexpr Child::Input kWithInput = Child::Input::Pipe;

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
