#pragma once
// Helpers of the library's device-link and control tests, which link the library's code into
// the test program:
//  - one machine root for the whole test program, with the debug log on, and the library's
//    application object started in it (the log opens once per process);
//  - an embedded machine running Vq36Kernel.sys, started by the tests that need a device;
//  - a recorder in front of DeviceIoControl and SetupDiGetClassDevsA (the library calls the
//    platform by name; the test program's definitions come first and pass each call on), which
//    can also fail or answer a call in the driver's place;
//  - the log written since the test began, and waiting with generous bounds.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control_exports.h"
#include "device_link.h"
#include "hidi_queue.h"
#include "library.h"
#include "public/vq36_shared.h"
#include "standin/host/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace asiotest {

// Waits up to `ms` (real time) for `ready`.
bool eventually(const std::function<bool()>& ready, int ms = 15000);

// ---- I/O controls as the library issues them ------------------------------------------------
struct IoCall {
    HANDLE handle = nullptr;
    DWORD code = 0;
    DWORD message = 0;  // kIoCtlSendMessage: the message number, operation and first word
    DWORD operation = 0;
    DWORD value = 0;
    DWORD words[2] = {0, 0};  // the input's first two 32-bit words (zero when shorter)
};

// Decides a call in the driver's place: return true when handled, with *result the call's
// result (on FALSE the last error is *error).
using IoHook = std::function<bool(const IoCall& call, void* output, DWORD outputSize, BOOL* result,
                                  DWORD* error)>;

void resetIo();
std::vector<IoCall> ioCalls();
void setIoHook(IoHook hook);
// SetupDiGetClassDevsA calls so far (each device open starts with one).
int classDevsCalls();

// ---- The log ---------------------------------------------------------------------------------
// The whole log of this process so far.
std::string logText();

// ---- Process-wide library state ---------------------------------------------------------------
// The machine root of the test program (host path of a Windows path).
std::string hostPath(const char* windowsPath);

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts an embedded machine with Vq36Kernel.sys and `devices` VQ36s.
    void startMachine(std::size_t devices = 1, standin::host::PlugOptions plug = {});
    std::shared_ptr<standin::vq36::Vq36Device> device(std::size_t index = 0);
    std::size_t openHandles();

    // The log written since the test began.
    std::string log() const;
    bool logHas(const std::string& text) const;
    std::size_t logCount(const std::string& text) const;

    // Registry settings.
    void storeSetting(const char* name, DWORD value);

    std::unique_ptr<standin::host::Machine> machine;
    std::size_t logStart = 0;
};

// Counts occurrences of `needle` in `text`.
std::size_t countOf(const std::string& text, const std::string& needle);

// The machine's device commands of one kind received so far.
std::vector<standin::vq36::ReceivedCommand> commandsOf(standin::vq36::Vq36Device& device,
                                                       std::uint8_t command);

}  // namespace asiotest
