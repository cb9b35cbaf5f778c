// Helpers of the library's device-link and control tests (see link_fixture.h).

#include "link_fixture.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "standin/win32/machine.h"

namespace asiotest {
namespace {

std::mutex gIoMutex;
std::vector<IoCall> gIoCalls;
IoHook gIoHook;
int gClassDevsCalls = 0;
constexpr std::size_t kMaxRecordedCalls = 1 << 20;

const char* const kMarkerFiles[] = {
    "c:\\temp\\VexaOverrideSchedulingParams.flag", "c:\\temp\\VexaKernelLoopback.flag",
    "c:\\temp\\VexaEraseBuffers.flag", "c:\\temp\\VexaAsioNotifyTiming.flag",
    "c:\\temp\\VexaAutoLaunchLog.flag"};

// One machine root for the whole program; the log opens in it with the library's first line.
class LibraryEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        root_ = std::make_unique<standin::win32::ScopedFreshMachine>();
        std::filesystem::create_directories(root_->host("c:\\temp\\VexaAsioLog"));
        std::ofstream(root_->host("c:\\temp\\VexaEnableDebugLog.flag")).close();
        theApp.InitInstance();
    }
    void TearDown() override {
        uShutDownDeviceLink();
        root_.reset();
    }

  private:
    std::unique_ptr<standin::win32::ScopedFreshMachine> root_;
};

[[maybe_unused]] ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

}  // namespace

bool eventually(const std::function<bool()>& ready, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void resetIo() {
    std::lock_guard lock(gIoMutex);
    gIoCalls.clear();
    gIoHook = nullptr;
    gClassDevsCalls = 0;
}

std::vector<IoCall> ioCalls() {
    std::lock_guard lock(gIoMutex);
    return gIoCalls;
}

void setIoHook(IoHook hook) {
    std::lock_guard lock(gIoMutex);
    gIoHook = std::move(hook);
}

int classDevsCalls() {
    std::lock_guard lock(gIoMutex);
    return gClassDevsCalls;
}

std::string hostPath(const char* windowsPath) {
    std::string out;
    standin::win32::toHostPath(windowsPath, &out);
    return out;
}

std::string logText() {
    std::ifstream in(hostPath(DebugLogFileName()), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t p = 0; (p = text.find(needle, p)) != std::string::npos; p += needle.size())
        ++n;
    return n;
}

std::vector<standin::vq36::ReceivedCommand> commandsOf(standin::vq36::Vq36Device& device,
                                                       std::uint8_t command) {
    std::vector<standin::vq36::ReceivedCommand> out;
    for (auto& c : device.commands())
        if (c.command() == command) out.push_back(c);
    return out;
}

// ---- LinkTest --------------------------------------------------------------------------------

void LinkTest::SetUp() {
    ASSERT_STRNE(DebugLogFileName(), "") << "the test program's log did not open";
    RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36");
    for (const char* file : kMarkerFiles) DeleteFileA(file);
    gLogLevel.store(2);
    gFirmwareUpdateInProgress.store(0);
    gMonitorCloseRequest.store(0);
    resetIo();
    logStart = logText().size();
}

void LinkTest::TearDown() {
    EXPECT_EQ(uGetOpenWrapperCount(), 0u) << "a test left registered wrappers open";
    gFirmwareUpdateInProgress.store(0);
    setIoHook(nullptr);
    // As at unload: no monitor thread, no wrapper and no queue are left for the next test.
    uShutDownDeviceLink();
    machine.reset();
}

void LinkTest::startMachine(std::size_t devices, standin::host::PlugOptions plug) {
    standin::host::MachineOptions options;
    options.root = standin::win32::machineRoot();
    options.driverPath = VQ36_KERNEL_SYS_PATH;
    options.devices.assign(devices, plug);
    std::string error;
    machine = standin::host::Machine::start(std::move(options), &error);
    ASSERT_NE(machine, nullptr) << error;
    ASSERT_TRUE(machine->waitForInterfaces(devices, 10000));
}

std::shared_ptr<standin::vq36::Vq36Device> LinkTest::device(std::size_t index) {
    return machine->device(machine->ports().at(index));
}

std::size_t LinkTest::openHandles() {
    std::size_t n = 0;
    for (const auto& d : machine->status().deviceObjects) n += d.openHandles;
    return n;
}

std::string LinkTest::log() const {
    std::string all = logText();
    return all.size() > logStart ? all.substr(logStart) : std::string();
}

bool LinkTest::logHas(const std::string& text) const {
    return log().find(text) != std::string::npos;
}

std::size_t LinkTest::logCount(const std::string& text) const {
    return countOf(log(), text);
}

void LinkTest::storeSetting(const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace asiotest

// ---- The platform's calls, recorded and passed on --------------------------------------------
// The library's code is linked into this program, so its calls bind to these definitions; each
// passes the call on to the Win32 stand-in's own.

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    using Real = BOOL (*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "DeviceIoControl"));
    asiotest::IoCall call;
    call.handle = hDevice;
    call.code = dwIoControlCode;
    if (lpInBuffer != nullptr && nInBufferSize >= 8) std::memcpy(call.words, lpInBuffer, 8);
    if (dwIoControlCode == vq36::kIoCtlSendMessage && lpInBuffer != nullptr &&
        nInBufferSize >= 12) {
        const auto* in = static_cast<const BYTE*>(lpInBuffer);
        std::memcpy(&call.message, in, 4);
        std::memcpy(&call.operation, in + 4, 4);
        std::memcpy(&call.value, in + 8, 4);
    }
    asiotest::IoHook hook;
    {
        std::lock_guard lock(asiotest::gIoMutex);
        if (asiotest::gIoCalls.size() < asiotest::kMaxRecordedCalls)
            asiotest::gIoCalls.push_back(call);
        hook = asiotest::gIoHook;
    }
    if (hook) {
        BOOL result = FALSE;
        DWORD error = 0;
        if (hook(call, lpOutBuffer, nOutBufferSize, &result, &error)) {
            if (lpBytesReturned != nullptr) *lpBytesReturned = result ? nOutBufferSize : 0;
            if (!result) SetLastError(error);
            return result;
        }
    }
    return real(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                lpBytesReturned, lpOverlapped);
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator,
                                                HWND hwndParent, DWORD Flags) {
    using Real = HDEVINFO (*)(const GUID*, PCSTR, HWND, DWORD);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "SetupDiGetClassDevsA"));
    {
        std::lock_guard lock(asiotest::gIoMutex);
        ++asiotest::gClassDevsCalls;
    }
    return real(ClassGuid, Enumerator, hwndParent, Flags);
}
