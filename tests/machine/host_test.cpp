// The machine embedded in the test program, with the tests' own driver: device interfaces and
// SetupAPI, CreateFileA, DeviceIoControl and its errors, the call-backs into the calling
// process (views, events, thread objects), device objects coming and going, sleep, status and
// management, and what a process may send on the socket.

#include <sched.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "machine_fixture.h"
#include "standin/win32/handles.h"
#include "public/vq36_shared.h"
#include "standin/host/protocol.h"
#include "standin/host/wire.h"
#include "standin/kernel/thread_object.h"
#include "test_kernel_driver.h"

namespace {

using machinetest::eventually;
using machinetest::interfacePaths;
using machinetest::ioctl;
using machinetest::ioctlWord;
using machinetest::MachineTest;
using machinetest::openDevice;
namespace wire = standin::host::wire;
namespace protocol = standin::host::protocol;

std::uint32_t clientId(HANDLE h) {
    std::uint32_t id = 0xFFFFFFFF;
    auto r = ioctl(h, testdriver::kClientId, nullptr, 0, &id, 4);
    EXPECT_TRUE(r.ok) << r.error;
    return id;
}

std::uint8_t* mapRecord(HANDLE h) {
    std::uint64_t address = 0;
    auto r = ioctl(h, testdriver::kMapRecord, nullptr, 0, &address, 8);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, 8u);
    return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
}

struct ThreadInfo {
    std::uint32_t priority = 0;
    std::uint32_t policy = 0;  // of the machine's thread that ran the request
    std::uint64_t object = 0;
};

ThreadInfo threadInfo(HANDLE h) {
    std::uint32_t words[4] = {};
    auto r = ioctl(h, testdriver::kThread, nullptr, 0, words, 16);
    EXPECT_TRUE(r.ok) << r.error;
    ThreadInfo info;
    info.priority = words[0];
    info.policy = words[1];
    std::memcpy(&info.object, &words[2], 8);
    return info;
}

// ---------------------------------------------------------------------------------------------
TEST_F(MachineTest, SetupApiListsThePresentInterfacesWithTheirDetail) {
    startMachine(2);
    const GUID& guid = machinetest::kVq36Interface;
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(data.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    SP_DEVICE_INTERFACE_DATA second{};
    second.cbSize = sizeof second;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &second));
    SP_DEVICE_INTERFACE_DATA none{};
    none.cbSize = sizeof none;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 2, &none));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    none.cbSize = 28;  // a 32-bit record
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &none));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    // The size query, then the detail.
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::string path = machine->interfacePaths(guid).at(0);
    EXPECT_EQ(needed, 4 + path.size() + 1);
    std::vector<char> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = 5;  // the 32-bit record's size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed - 1, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, &info));
    EXPECT_EQ(std::string(detail->DevicePath), path);
    const std::string prefix = "\\\\?\\usb#vid_b713&pid_2e00#";
    const std::string suffix = "#{5b1d8e42-93a7-4c6f-b2e1-7d0a6c39f814}";
    ASSERT_GT(path.size(), prefix.size() + suffix.size()) << path;
    EXPECT_EQ(path.substr(0, prefix.size()), prefix);
    EXPECT_EQ(path.substr(path.size() - suffix.size()), suffix);
    const std::string instance =
        path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    EXPECT_EQ(instance.find_first_not_of("0123456789"), std::string::npos) << path;

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Another class lists nothing.
    const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_TRUE(interfacePaths(other).empty());
    EXPECT_EQ(interfacePaths().size(), 2u);
}

TEST_F(MachineTest, WithoutAMachineNothingIsPresentAndNothingOpens) {
    EXPECT_TRUE(interfacePaths().empty());
    SetLastError(0);
    EXPECT_EQ(openDevice("\\\\?\\usb#vid_b713&pid_2e00#1#{5b1d8e42-93a7-4c6f-b2e1-7d0a6c39f814}"),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(openDevice("c:\\not-a-device.txt"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(MachineTest, RunsOnAManualClockToo) {
    standin::host::MachineOptions options;
    options.root = root.root();
    options.driverPath = kDriverPath;
    options.clock = standin::makeManualClock(standin::kUnitsPerSecond);
    options.devices.resize(1);
    std::string error;
    machine = standin::host::Machine::start(options, &error);
    ASSERT_NE(machine, nullptr) << error;
    ASSERT_EQ(interfacePaths().size(), 1u);
    HANDLE h = openDevice(interfacePaths().at(0));
    EXPECT_EQ(clientId(h), 0u);
    // A request that waits in the driver moves the clock itself.
    const auto before = machine->clock()->now();
    EXPECT_TRUE(ioctlWord(h, testdriver::kWait, 5000).ok);
    EXPECT_GE(machine->clock()->now() - before, 5000 * standin::kUnitsPerMs);
    CloseHandle(h);
}

TEST_F(MachineTest, ASecondMachineOnTheRootIsRefused) {
    startMachine(0);
    standin::host::MachineOptions options;
    options.root = root.root();
    options.driverPath = kDriverPath;
    std::string error;
    EXPECT_EQ(standin::host::Machine::start(options, &error), nullptr);
    EXPECT_NE(error.find("another machine"), std::string::npos) << error;
}

TEST_F(MachineTest, DeviceObjectsComeAndGoWithTheirDevice) {
    startMachine(1);
    const std::string path = interfacePaths().at(0);
    HANDLE a = openDevice(path);
    HANDLE b = openDevice(path);
    HANDLE c = openDevice(path);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(clientId(a), 0u);
    EXPECT_EQ(clientId(b), 1u);
    EXPECT_EQ(clientId(c), 2u);
    CloseHandle(b);

    const auto port = machine->ports().at(0);
    ASSERT_TRUE(machine->unplug(port));
    // The path is gone; the open handles stay until closed, and their requests fail as the
    // framework fails those of a removed device.
    EXPECT_TRUE(interfacePaths().empty());
    EXPECT_EQ(openDevice(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    auto r = ioctl(a, testdriver::kClientId, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_EQ(machine->status().deviceObjects.size(), 1u);
    CloseHandle(a);
    EXPECT_EQ(machine->status().deviceObjects.size(), 1u);
    CloseHandle(c);
    EXPECT_TRUE(machine->status().deviceObjects.empty());  // gone with its last handle

    // A device that arrives gets a new device object: client ids start at 0 again.
    machine->plug();
    ASSERT_TRUE(machine->waitForInterfaces(1, 10000));
    HANDLE d = openDevice(interfacePaths().at(0));
    ASSERT_NE(d, INVALID_HANDLE_VALUE);
    EXPECT_EQ(clientId(d), 0u);
    auto status = machine->status();
    ASSERT_EQ(status.deviceObjects.size(), 1u);
    EXPECT_EQ(status.deviceObjects[0].instance, 2u);
    EXPECT_EQ(status.deviceObjects[0].openHandles, 1u);
    CloseHandle(d);
}

TEST_F(MachineTest, DeviceIoControlMapsEveryStatusAsThePlatformDoes) {
    startMachine(1);
    HANDLE h = openDevice(interfacePaths().at(0));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        std::uint32_t status;
        DWORD error;
    };
    const Case cases[] = {
        {0xC0000008, ERROR_INVALID_HANDLE},      {0xC0000010, ERROR_INVALID_FUNCTION},
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER}, {0xC00000E5, ERROR_INTERNAL_ERROR},
        {0xC0000001, ERROR_GEN_FAILURE},         {0xC000000D, ERROR_INVALID_PARAMETER},
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES}, {0xC00000B5, ERROR_SEM_TIMEOUT},
        {0xC000000E, ERROR_NO_SUCH_DEVICE},      {0xC0000024, ERROR_INVALID_HANDLE},
        {0xC00002B6, ERROR_DEVICE_REMOVED},      {0xC0000184, ERROR_BAD_COMMAND},
        {0xC0000120, ERROR_OPERATION_ABORTED},   {0xC0000022, ERROR_ACCESS_DENIED},
        {0xC00000BB, ERROR_NOT_SUPPORTED},       {0xC0ABCDEF, ERROR_MR_MID_NOT_FOUND},
    };
    for (const Case& c : cases) {
        DWORD bytes = 77;
        SetLastError(0);
        std::uint32_t in = c.status;
        EXPECT_FALSE(
            DeviceIoControl(h, testdriver::kComplete, &in, 4, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(standin::win32::errorFromNtStatus(static_cast<LONG>(c.status)), c.error);
    }
    // Success and informational statuses succeed.
    EXPECT_TRUE(ioctlWord(h, testdriver::kComplete, 0).ok);
    EXPECT_TRUE(ioctlWord(h, testdriver::kComplete, 0x40000000).ok);

    // The reply's bytes, and what the driver refuses.
    char text[] = "forty-two bytes of input for the echo code";
    char out[64] = {};
    auto r = ioctl(h, testdriver::kEcho, text, sizeof text, out, sizeof out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, sizeof text);
    EXPECT_STREQ(out, text);
    r = ioctl(h, 0x222FFC, nullptr, 0, nullptr, 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    r = ioctl(h, testdriver::kClientId, nullptr, 0, out, 3);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    r = ioctl(h, testdriver::kEcho, text, sizeof text, out, 0);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 0u);

    // What never reaches the driver.
    std::vector<char> huge(65 * 1024);
    r = ioctl(h, testdriver::kEcho, huge.data(), static_cast<DWORD>(huge.size()), nullptr, 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    r = ioctl(h, testdriver::kEcho, nullptr, 8, nullptr, 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_FALSE(DeviceIoControl(h, testdriver::kEcho, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r = ioctl(event, testdriver::kEcho, nullptr, 0, nullptr, 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // An OVERLAPPED record is filled in and its event set.
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_TRUE(DeviceIoControl(h, testdriver::kEcho, text, 4, out, 4, nullptr, &overlapped));
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(event);

    EXPECT_TRUE(CloseHandle(h));
    r = ioctl(h, testdriver::kEcho, nullptr, 0, nullptr, 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(MachineTest, TheDriverMapsViewsIntoTheCallingProcessAndUnmapsThemAtCleanup) {
    startMachine(1);
    const std::size_t before = standin::win32::mappedKernelViews();
    HANDLE h = openDevice(interfacePaths().at(0));
    std::uint8_t* view = mapRecord(h);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(mapRecord(h), view);  // one view per handle
    EXPECT_EQ(standin::win32::mappedKernelViews(), before + 1);

    // The view is the driver's own memory.
    std::uint32_t write[2] = {0x1E02F, 0xA5A55A5A};
    EXPECT_TRUE(ioctl(h, testdriver::kWriteRecord, write, 8, nullptr, 0).ok);
    std::uint32_t seen;
    std::memcpy(&seen, view + 0x1E02F, 4);
    EXPECT_EQ(seen, 0xA5A55A5Au);
    // And the machine's status reads the record through its driver.
    std::uint32_t blocks[2] = {0x335, 1234};
    ioctl(h, testdriver::kWriteRecord, blocks, 8, nullptr, 0);
    auto status = machine->status();
    ASSERT_EQ(status.deviceObjects.size(), 1u);
    ASSERT_TRUE(status.deviceObjects[0].record.has_value());
    EXPECT_EQ(status.deviceObjects[0].record->blockCount, 1234u);

    HANDLE second = openDevice(interfacePaths().at(0));
    std::uint8_t* other = mapRecord(second);
    EXPECT_NE(other, view);
    EXPECT_EQ(other[0x335], view[0x335]);
    EXPECT_TRUE(ioctl(second, testdriver::kUnmapRecord, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(standin::win32::mappedKernelViews(), before + 1);
    CloseHandle(second);
    CloseHandle(h);
    EXPECT_EQ(standin::win32::mappedKernelViews(), before);
}

TEST_F(MachineTest, TheDriverResolvesEventHandlesOfTheCallingProcess) {
    startMachine(1);
    HANDLE h = openDevice(interfacePaths().at(0));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::uint32_t word = standin::win32::handleToWord(event);
    EXPECT_TRUE(ioctlWord(h, testdriver::kSetEvent, word).ok);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));

    // Not a handle, not an event: the reference's status.
    auto r = ioctlWord(h, testdriver::kSetEvent, 0x7FFFFFF0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    r = ioctlWord(h, testdriver::kSetEvent, standin::win32::handleToWord(thread));
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);

    // A kept event is set at the handle's cleanup, also when its handle was closed first.
    ResetEvent(event);
    HANDLE named = CreateEventA(nullptr, TRUE, FALSE, "MachineTestKeptEvent");
    HANDLE watcher = OpenEventA(SYNCHRONIZE, FALSE, "MachineTestKeptEvent");
    EXPECT_TRUE(ioctlWord(h, testdriver::kKeepEvent, standin::win32::handleToWord(named)).ok);
    CloseHandle(named);
    EXPECT_EQ(WaitForSingleObject(watcher, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(h);
    EXPECT_EQ(WaitForSingleObject(watcher, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(watcher);
    CloseHandle(event);
}

TEST_F(MachineTest, EachThreadHasItsThreadObjectWithItsPriority) {
    startMachine(1);
    HANDLE h = openDevice(interfacePaths().at(0));
    ThreadInfo mine = threadInfo(h);
    EXPECT_EQ(threadInfo(h).object, mine.object);
    std::thread([&] {
        EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
        ThreadInfo other = threadInfo(h);
        EXPECT_NE(other.object, mine.object);
        EXPECT_EQ(other.priority, 15u);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        EXPECT_EQ(threadInfo(h).priority, 8u);
        EXPECT_EQ(threadInfo(h).object, other.object);
        // The machine runs a real-time thread's request in the real-time class (a streaming
        // client's attach must not wait behind ordinary programs), an ordinary one's not.
        sched_param param{};
        param.sched_priority = 5;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
            EXPECT_EQ(threadInfo(h).policy, static_cast<std::uint32_t>(SCHED_FIFO));
            param.sched_priority = 0;
            pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
        }
        EXPECT_EQ(threadInfo(h).policy, static_cast<std::uint32_t>(SCHED_OTHER));
    }).join();
    CloseHandle(h);
}

struct HeldThread {
    HANDLE device;
    HANDLE go;
    std::atomic<std::uint64_t> object{0};
};

DWORD WINAPI holdMe(LPVOID p) {
    auto* held = static_cast<HeldThread*>(p);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    ioctl(held->device, testdriver::kHoldThread, nullptr, 0, nullptr, 0);
    held->object = threadInfo(held->device).object;
    WaitForSingleObject(held->go, INFINITE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    return 0;
}

DWORD WINAPI reportObject(LPVOID p) {
    auto* held = static_cast<HeldThread*>(p);
    return threadInfo(held->device).object == held->object.load() ? 1 : 0;
}

TEST_F(MachineTest, AThreadObjectTheKernelHoldsOutlivesItsThread) {
    startMachine(1);
    HeldThread held;
    held.device = openDevice(interfacePaths().at(0));
    held.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, holdMe, &held, 0, nullptr);
    ASSERT_TRUE(eventually([&] { return held.object.load() != 0; }));

    // The kernel raises the thread (as at a block boundary): the thread reads time-critical.
    EXPECT_TRUE(ioctlWord(held.device, testdriver::kPokeHeldThread, 31).ok);
    EXPECT_EQ(standin::win32::threadObjectPriority(t), 31);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);

    SetEvent(held.go);
    ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    // The thread ended; the kernel still writes into its object, which no new thread gets.
    EXPECT_TRUE(ioctlWord(held.device, testdriver::kPokeHeldThread, 31).ok);
    for (int i = 0; i < 20; ++i) {
        HANDLE n = CreateThread(nullptr, 0, reportObject, &held, 0, nullptr);
        WaitForSingleObject(n, 5000);
        DWORD same = 1;
        GetExitCodeThread(n, &same);
        EXPECT_EQ(same, 0u) << "a new thread got the held thread's object";
        CloseHandle(n);
    }
    CloseHandle(t);
    CloseHandle(held.device);  // cleanup lets the object go
    CloseHandle(held.go);
}

TEST_F(MachineTest, RequestsOfSeveralHandlesRunAtOnce) {
    startMachine(1);
    const std::string path = interfacePaths().at(0);
    constexpr int kHandles = 4;
    constexpr std::uint32_t kWaitMs = 600;
    std::vector<HANDLE> handles;
    for (int i = 0; i < kHandles; ++i) handles.push_back(openDevice(path));
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (HANDLE h : handles) {
        threads.emplace_back([h, &done] {
            if (ioctlWord(h, testdriver::kWait, kWaitMs).ok) ++done;
        });
    }
    for (auto& t : threads) t.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(done.load(), kHandles);
    EXPECT_LT(ms, kHandles * kWaitMs - 200) << "the requests ran one after the other";
    for (HANDLE h : handles) CloseHandle(h);
}

TEST_F(MachineTest, ASleepingMachineHoldsNewRequestsUntilItWakes) {
    startMachine(1);
    HANDLE h = openDevice(interfacePaths().at(0));
    ASSERT_TRUE(machine->sleep());
    EXPECT_EQ(machine->status().deviceObjects.at(0).state,
              standin::host::DeviceObjectState::Sleeping);
    std::atomic<bool> answered{false};
    std::thread caller([&] {
        clientId(h);
        answered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(answered.load());
    ASSERT_TRUE(machine->wake());
    caller.join();
    EXPECT_TRUE(answered.load());
    EXPECT_EQ(machine->status().deviceObjects.at(0).state,
              standin::host::DeviceObjectState::Working);
    CloseHandle(h);
}

TEST_F(MachineTest, ManagementCommandsDriveTheDevicesAndReport) {
    startMachine(1);
    std::string out;
    HANDLE h = openDevice(interfacePaths().at(0));
    EXPECT_EQ(machine->manage({"status"}, &out), 0);
    EXPECT_NE(out.find("device 1 (port 1): working, open handles 1"), std::string::npos) << out;
    EXPECT_NE(out.find("interface \\\\?\\usb#vid_b713&pid_2e00#1#"), std::string::npos) << out;
    EXPECT_NE(out.find("record: blocks 0, streaming off"), std::string::npos) << out;

    EXPECT_EQ(
        machine->manage({"plug", "--variant", "single-interface", "--signal", "sine:440"}, &out), 0)
        << out;
    EXPECT_EQ(out, "plugged into port 2\n");
    ASSERT_TRUE(machine->waitForInterfaces(2, 10000));
    EXPECT_EQ(machine->device(2)->config().variant, standin::vq36::Variant::SingleInterface);
    EXPECT_EQ(machine->manage({"plug", "--variant", "sideways"}, &out), 1);
    EXPECT_EQ(machine->manage({"unplug"}, &out), 1);  // which one?
    EXPECT_EQ(machine->manage({"signal", "1", "3", "silence"}, &out), 0) << out;
    EXPECT_EQ(machine->manage({"signal", "1", "12", "silence"}, &out), 1);
    EXPECT_EQ(machine->manage({"control", "9", "1", "2"}, &out), 1);
    EXPECT_EQ(machine->manage({"control", "1", "200", "2"}, &out), 1);

    const std::string wav = root.root() + "/played.wav";
    EXPECT_EQ(machine->manage({"played", "1", wav}, &out), 0) << out;
    std::ifstream file(wav, std::ios::binary);
    char riff[4] = {};
    file.read(riff, 4);
    EXPECT_EQ(std::string(riff, 4), "RIFF");

    EXPECT_EQ(machine->manage({"sleep"}, &out), 0);
    EXPECT_EQ(machine->manage({"sleep"}, &out), 1);
    EXPECT_EQ(machine->manage({"wake"}, &out), 0);
    EXPECT_EQ(machine->manage({"unplug", "2"}, &out), 0) << out;
    EXPECT_EQ(machine->manage({"unplug", "2"}, &out), 1);
    EXPECT_EQ(machine->manage({"frobnicate"}, &out), 2);
    EXPECT_EQ(machine->manage({}, &out), 2);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// What a process may send: nothing it sends brings the machine down.
class RawSocket {
  public:
    explicit RawSocket(const std::string& root) : fd_(wire::connectTo(root)) {}
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }

  private:
    wire::Fd fd_;
};

// A thread-object block as a process shares it.
wire::Fd makeBlock(bool sealed = true) {
    int fd = memfd_create("test-block", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (ftruncate(fd, static_cast<off_t>(protocol::kThreadBlockBytes)) != 0) return wire::Fd();
    if (sealed) fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
    return wire::Fd(fd);
}

TEST_F(MachineTest, MalformedPacketsNeverBringTheMachineDown) {
    startMachine(1);
    const std::string path = interfacePaths().at(0);
    std::mt19937 random(1234);
    auto bytes = [&](std::size_t n) {
        std::vector<std::uint8_t> b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(random());
        return b;
    };
    for (int round = 0; round < 300; ++round) {
        RawSocket s(root.root());
        ASSERT_TRUE(s.valid());
        const std::uint32_t type = round % 3 == 0 ? random() : random() % 60;
        auto payload = bytes(random() % 200);
        wire::Fd extra(eventfd(0, EFD_CLOEXEC));
        int fds[] = {extra.get()};
        if (round % 4 == 0) {
            // Not even a packet of ours.
            auto raw = bytes(1 + random() % 64);
            send(s.fd(), raw.data(), raw.size(), MSG_NOSIGNAL);
        } else {
            wire::send(s.fd(), type, payload,
                       round % 2 ? std::span<const int>(fds) : std::span<const int>());
        }
        wire::Message reply;
        wire::receive(s.fd(), &reply, round % 10 == 0 ? 2000 : 20);
    }

    // A device connection that opens properly, then talks nonsense, or sends a block that is
    // not one (unsealed, a pipe), or asks with slots and lengths out of range.
    auto key = bytes(16);
    auto open = [&](wire::Fd block, std::uint32_t slot) {
        auto s = std::make_unique<RawSocket>(root.root());
        wire::Writer w;
        w.bytes(key).u32(slot).string(path);
        int fds[] = {block.get()};
        wire::send(s->fd(), protocol::kOpenDevice, w.data(), fds);
        wire::Message reply;
        wire::receive(s->fd(), &reply, 5000);
        wire::Reader r(reply.payload);
        return std::make_pair(std::move(s), r.i32());
    };
    EXPECT_NE(open(makeBlock(false), 0).second, 0);
    EXPECT_NE(open(makeBlock(), protocol::kThreadSlots).second, 0);
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    close(pipes[1]);
    EXPECT_NE(open(wire::Fd(pipes[0]), 0).second, 0);
    for (int round = 0; round < 50; ++round) {
        auto [s, status] = open(makeBlock(), 0);
        ASSERT_EQ(status, 0);
        wire::Writer w;
        switch (round % 5) {
            case 0:
                w.u32(testdriver::kEcho).u32(1 << 20).u32(0).u32(0);
                break;
            case 1:
                w.u32(testdriver::kEcho).u32(4).u32(protocol::kThreadSlots + 1).u32(0);
                break;
            case 2:
                w.u32(testdriver::kEcho);  // cut short
                break;
            case 3:
                w.bytes(bytes(random() % 40));
                break;
            default:
                w.u32(testdriver::kMapRecord)
                    .u32(8)
                    .u32(0)
                    .u32(0);  // then no answer to the call-back
                break;
        }
        std::uint32_t type = round % 5 == 3 ? static_cast<std::uint32_t>(random() % 40)
                                            : static_cast<std::uint32_t>(protocol::kIoControl);
        wire::send(s->fd(), type, w.data());
        if (round % 5 == 4) {
            wire::Message callback;
            wire::receive(s->fd(), &callback, 5000);
            wire::send(s->fd(), protocol::kLookupReply, wire::Writer().data());  // the wrong one
        }
    }
    // Every one of those handles has been cleaned up, and the machine serves on.
    ASSERT_TRUE(eventually([&] {
        auto st = machine->status();
        return !st.deviceObjects.empty() && st.deviceObjects[0].openHandles == 0;
    }));
    HANDLE h = openDevice(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(clientId(h), 50u + 0u);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// One handle in several threads and in a child process; how many connections the machine
// takes, and what it does when it can take none.
TEST_F(MachineTest, RequestsOfOneHandleRunAtOnceAndAChildSharesTheHandle) {
    startMachine(1);
    HANDLE h = openDevice(interfacePaths().at(0));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    constexpr int kThreads = 4;
    constexpr std::uint32_t kWaitMs = 600;
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([h, &done] { done += ioctlWord(h, testdriver::kWait, kWaitMs).ok; });
    for (auto& t : threads) t.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(done.load(), kThreads);
    EXPECT_LT(ms, kThreads * kWaitMs - 200) << "the requests ran one after the other";

    // A child inherits the handle: the same file object, which lives until both have closed it.
    HANDLE cleaned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(ioctlWord(h, testdriver::kKeepEvent, standin::win32::handleToWord(cleaned)).ok);
    const std::uint32_t id = clientId(h);
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        char c = 0;
        bool ok = clientId(h) == id;
        ok = write(toParent[1], "j", 1) == 1 && ok;
        ok = read(toChild[0], &c, 1) == 1 && ok;
        ok = ok && clientId(h) == id;  // the parent has closed its handle meanwhile
        CloseHandle(h);
        _exit(ok && !::testing::Test::HasFailure() ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    CloseHandle(h);
    EXPECT_EQ(WaitForSingleObject(cleaned, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(write(toChild[1], "c", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not use it";
    EXPECT_EQ(WaitForSingleObject(cleaned, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
    CloseHandle(cleaned);
}

TEST_F(MachineTest, ConnectionsBeyondAUsersCapAreRefusedWithTheReason) {
    standin::host::MachineOptions options;
    options.root = root.root();
    options.driverPath = kDriverPath;
    options.devices.resize(1);
    options.maxConnectionsPerUser = 6;
    std::string error;
    machine = standin::host::Machine::start(std::move(options), &error);
    ASSERT_NE(machine, nullptr) << error;
    ASSERT_TRUE(machine->waitForInterfaces(1, 10000));
    const std::string path = interfacePaths().at(0);
    ASSERT_TRUE(eventually([&] { return machine->status().connections == 0; }));
    std::vector<HANDLE> handles;
    for (int i = 0; i < 6; ++i) {
        handles.push_back(openDevice(path));
        ASSERT_NE(handles.back(), INVALID_HANDLE_VALUE) << i;
    }
    EXPECT_EQ(openDevice(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    RawSocket manage(root.root());
    wire::Writer w;
    w.u32(1).string("status");
    wire::send(manage.fd(), protocol::kManage, w.data());  // the machine may have closed first
    wire::Message reply;
    ASSERT_EQ(wire::receive(manage.fd(), &reply, 5000), wire::Received::Message);
    ASSERT_EQ(reply.type, static_cast<std::uint32_t>(protocol::kRefused));
    wire::Reader r(reply.payload);
    r.i32();
    EXPECT_NE(r.string().find("connections of one user"), std::string::npos);

    // Threads of a handle share its connection when the machine takes no more.
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { done += ioctlWord(handles[0], testdriver::kWait, 50).ok; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(done.load(), 4);
    EXPECT_LE(machine->status().connections, 6u);

    CloseHandle(handles.back());
    handles.pop_back();
    HANDLE again = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(eventually([&] { return (again = openDevice(path)) != INVALID_HANDLE_VALUE; }));
    handles.push_back(again);
    for (HANDLE h : handles) CloseHandle(h);
}

TEST_F(MachineTest, AcceptErrorsBackOffInsteadOfSpinning) {
    startMachine(0);
    // Leave the process one descriptor, for a connection the machine then cannot accept.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(dup(0)) + 64;
    close(static_cast<int>(low.rlim_cur - 64));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
    close(fillers.back());
    fillers.pop_back();
    RawSocket pending(root.root());
    const bool connected = pending.valid();

    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    getrusage(RUSAGE_SELF, &after);
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    auto cpuMs = [](const rusage& u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
    };
    EXPECT_LT(cpuMs(after) - cpuMs(before), 400.0) << "the machine spun on the failed accept";

    // Descriptors free again: the waiting connection is served.
    GUID any{};
    wire::Writer w;
    w.bytes(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&any), sizeof any));
    ASSERT_TRUE(wire::send(pending.fd(), protocol::kEnumerate, w.data()));
    wire::Message reply;
    ASSERT_EQ(wire::receive(pending.fd(), &reply, 10000), wire::Received::Message);
    EXPECT_EQ(reply.type, static_cast<std::uint32_t>(protocol::kEnumerateReply));
}

}  // namespace
