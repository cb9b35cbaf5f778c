// The MIDI driver as applications reach it: VexaMidiVq36.dll listed in the registry and loaded
// by the multimedia layer stand-in (with VexaAsioVq36.dll, which it imports), against a VQ36 on
// an embedded machine running Vq36Kernel.sys.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "public/vq36_shared.h"
#include "standin/host/machine.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "standin/winmm/layer.h"
#include "win32/windows.h"
#include "winmm/mmddk.h"

namespace {

using Bytes = std::vector<BYTE>;

bool eventually(const std::function<bool()>& ready, int ms = 15000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// What the function callbacks received.
struct Call {
    HMIDI handle;
    UINT message;
    DWORD_PTR instance;
    DWORD_PTR param1;
    DWORD_PTR param2;
};
std::mutex gCallsMu;
std::vector<Call> gCalls;

void CALLBACK record(HMIDI handle, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    std::lock_guard lock(gCallsMu);
    gCalls.push_back({handle, message, instance, p1, p2});
}
std::vector<Call> callsOf(UINT message, DWORD_PTR instance) {
    std::lock_guard lock(gCallsMu);
    std::vector<Call> out;
    for (const Call& c : gCalls)
        if (c.message == message && c.instance == instance) out.push_back(c);
    return out;
}

// Writes (data non-null) or deletes a value, creating the key.
void setValue(HKEY root, const char* path, const char* name, DWORD type, const void* data,
              DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (data == nullptr)
        RegDeleteValueA(key, name);
    else
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

// Output port channel (the first word of the pair), input port channel (the second).
void setChannels(DWORD output, DWORD input) {
    setValue(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36", "MidiInChannel", REG_DWORD, &output, 4);
    setValue(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36", "MidiOutChannel", REG_DWORD, &input, 4);
}

void listDriver(const char* slot, const char* library) {
    setValue(HKEY_LOCAL_MACHINE, standin::winmm::kDrivers32Key, slot, REG_SZ, library,
             library ? static_cast<DWORD>(std::strlen(library) + 1) : 0);
}

std::string logText() {
    std::string path;
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log",
                  GetCurrentProcessId());
    standin::win32::toHostPath(name, &path);
    std::ifstream in(path, std::ios::binary);
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

class MidiLayer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root = new standin::win32::ScopedFreshMachine();
        std::filesystem::create_directories(root->host("c:\\temp\\VexaAsioLog"));
        std::ofstream(root->host("c:\\temp\\VexaEnableDebugLog.flag")).close();
        standin::host::MachineOptions options;
        options.root = standin::win32::machineRoot();
        options.driverPath = VQ36_KERNEL_SYS_PATH;
        options.devices.resize(1);
        std::string error;
        machine = standin::host::Machine::start(std::move(options), &error).release();
        ASSERT_NE(machine, nullptr) << error;
        listDriver("midi", VQ36_MIDI_DLL_PATH);
        standin::winmm::reloadDrivers();
    }
    static void TearDownTestSuite() {
        standin::winmm::unloadDrivers();
        delete machine;
        delete root;
    }
    void SetUp() override {
        ASSERT_NE(machine, nullptr);
        setChannels(5, 3);
        std::lock_guard lock(gCallsMu);
        gCalls.clear();
        device().clearCommands();
    }

    standin::vq36::Vq36Device& device() { return *machine->device(machine->ports().at(0)); }

    // Control packets the device took, as length byte and data.
    std::vector<Bytes> packets() {
        std::vector<Bytes> out;
        for (const auto& c : device().commands()) {
            if (c.command() != vq36::kDeviceCmdHidiPacket) continue;
            Bytes b;
            for (std::size_t i = 0; i <= c.data(0) && i < 59; ++i) b.push_back(c.data(i));
            out.push_back(b);
        }
        return out;
    }

    // Moves control 7 until the input port with `instance` has a MIM_DATA (the status monitor
    // delivers only packets that arrive after its device opened).
    bool inputArrives(DWORD_PTR instance) {
        return eventually([&] {
            if (!callsOf(MIM_DATA, instance).empty()) return true;
            device().moveControl(7, 0x40);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return false;
        });
    }

    static standin::win32::ScopedFreshMachine* root;
    static standin::host::Machine* machine;
};
standin::win32::ScopedFreshMachine* MidiLayer::root = nullptr;
standin::host::Machine* MidiLayer::machine = nullptr;

HMIDIOUT openOut(DWORD_PTR instance, DWORD kind = CALLBACK_FUNCTION, DWORD_PTR callback = 0) {
    HMIDIOUT h = nullptr;
    if (kind == CALLBACK_FUNCTION && callback == 0) callback = reinterpret_cast<DWORD_PTR>(record);
    EXPECT_EQ(midiOutOpen(&h, 0, callback, instance, kind), MMSYSERR_NOERROR);
    return h;
}
HMIDIIN openIn(DWORD_PTR instance, DWORD kind = CALLBACK_FUNCTION, DWORD_PTR callback = 0) {
    HMIDIIN h = nullptr;
    if (kind == CALLBACK_FUNCTION && callback == 0) callback = reinterpret_cast<DWORD_PTR>(record);
    EXPECT_EQ(midiInOpen(&h, 0, callback, instance, kind), MMSYSERR_NOERROR);
    return h;
}

// The lines of `lines` appear in the log in this order, after `from`.
void expectInOrder(const std::string& log, std::size_t from, std::vector<std::string> lines) {
    for (const std::string& line : lines) {
        from = log.find("VQ36: VexaMidi " + line + "\n", from);
        ASSERT_NE(from, std::string::npos) << line << "\n" << log;
    }
}

TEST_F(MidiLayer, PortsCapabilitiesAndDeviceIds) {
    EXPECT_EQ(midiOutGetNumDevs(), 1u);
    EXPECT_EQ(midiInGetNumDevs(), 1u);
    MIDIOUTCAPSW out,
        expectedOut = {0x00FF, 1, 0x0100, L"Vexa VQ36 MIDI", MOD_MIDIPORT, 0, 0, 0xFFFF, 0};
    std::memset(&out, 0xAA, sizeof out);
    ASSERT_EQ(midiOutGetDevCapsW(0, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(std::memcmp(&out, &expectedOut, sizeof out), 0);
    MIDIINCAPSW in, expectedIn = {0x00FF, 1, 0x0100, L"Vexa VQ36 MIDI", 0};
    ASSERT_EQ(midiInGetDevCapsW(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(std::memcmp(&in, &expectedIn, sizeof in), 0);
    // A smaller record gets its first bytes and nothing beyond.
    BYTE small[8];
    std::memset(small, 0xAA, sizeof small);
    ASSERT_EQ(midiInGetDevCapsW(0, reinterpret_cast<LPMIDIINCAPSW>(small), 4), MMSYSERR_NOERROR);
    EXPECT_EQ(small[0], 0xFF);
    EXPECT_EQ(small[4], 0xAA);
    EXPECT_EQ(midiOutGetDevCapsW(1, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInGetDevCapsW(0, nullptr, sizeof in), MMSYSERR_INVALPARAM);
    HMIDIOUT h = nullptr;
    EXPECT_EQ(midiOutOpen(&h, MIDI_MAPPER, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);

    // A second listing of the driver: its ports follow the first driver's.
    listDriver("midi3", VQ36_MIDI_DLL_PATH);
    standin::winmm::reloadDrivers();
    EXPECT_EQ(midiOutGetNumDevs(), 2u);
    HMIDIIN second = nullptr;
    ASSERT_EQ(midiInOpen(&second, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    UINT id = 0;
    EXPECT_EQ(midiInGetID(second, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(midiInClose(second), MMSYSERR_NOERROR);
    listDriver("midi3", nullptr);

    // Unloading and loading the driver, as the layer sends them.
    standin::winmm::unloadDrivers();
    std::string log = logText();
    expectInOrder(log, log.rfind("VQ36: VexaMidi DriverProc: DRV_CLOSE"),
                  {"DriverProc: DRV_CLOSE", "DriverProc: DRV_DISABLE", "DriverProc: DRV_FREE",
                   "DllMain: detach"});
    standin::winmm::reloadDrivers();
    expectInOrder(logText(), 0,
                  {"DllMain: attach", "DriverProc: DRV_LOAD", "DriverProc: DRV_ENABLE",
                   "DriverProc: DRV_OPEN"});
    EXPECT_EQ(midiOutGetNumDevs(), 1u);
}

TEST_F(MidiLayer, DriverProcAnswersAndPassesTheRestOn) {
    HMODULE module = GetModuleHandleA("VexaMidiVq36.dll");
    ASSERT_NE(module, nullptr);
    auto proc = reinterpret_cast<DRIVERPROC>(GetProcAddress(module, "DriverProc"));
    ASSERT_NE(proc, nullptr);
    auto hdrvr = reinterpret_cast<HDRVR>(static_cast<std::uintptr_t>(0x77));
    EXPECT_EQ(proc(1, hdrvr, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    EXPECT_EQ(proc(1, hdrvr, DRV_CONFIGURE, 0, 0), 0);
    EXPECT_EQ(proc(1, hdrvr, DRV_QUERYCONFIGURE, 0, 0), 0);
    EXPECT_EQ(proc(1, hdrvr, DRV_CLOSE, 0, 0), 1);
    EXPECT_EQ(proc(5, hdrvr, DRV_REMOVE, 11, 12), DRVCNF_OK);
    auto def = standin::winmm::lastDefDriverProcCall();
    EXPECT_EQ(def.driverId, 5u);
    EXPECT_EQ(def.driver, hdrvr);
    EXPECT_EQ(def.message, static_cast<UINT>(DRV_REMOVE));
    EXPECT_EQ(def.param1, 11);
    EXPECT_EQ(def.param2, 12);
    EXPECT_EQ(proc(6, hdrvr, DRV_USER + 3, -1, 2), 0);
    EXPECT_EQ(standin::winmm::lastDefDriverProcCall().message, static_cast<UINT>(DRV_USER + 3));
    expectInOrder(logText(), 0, {"DriverProc: DRV_INSTALL", "DriverProc: DRV_????"});
}

TEST_F(MidiLayer, OutputFiltersOnTheChannelAndSendsPackets) {
    HMIDIOUT out = openOut(1);
    ASSERT_EQ(callsOf(MOM_OPEN, 1).size(), 1u);
    EXPECT_EQ(midiOutShortMsg(out, 0x00643C94), MMSYSERR_NOERROR);  // channel 5: sent on 1
    EXPECT_EQ(midiOutShortMsg(out, 0x00643C93), MMSYSERR_NOERROR);  // channel 4: dropped
    EXPECT_EQ(midiOutShortMsg(out, 0x00000AC4), MMSYSERR_NOERROR);  // program change: dropped
    EXPECT_EQ(midiOutShortMsg(out, 0x00070BB4), MMSYSERR_NOERROR);  // control change: sent
    ASSERT_TRUE(eventually([&] { return packets().size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(packets(), (std::vector<Bytes>{{3, 0x90, 0x3C, 0x64}, {3, 0xB0, 0x0B, 0x07}}));

    // A long message: two notes, a program change and a lone status at the end.
    device().clearCommands();
    char data[] = {'\x94', '\x3C', '\x64', '\xC4', '\x05', '\x84', '\x3C', '\x00', '\x94', '\x3C'};
    MIDIHDR header = {};
    header.lpData = data;
    header.dwBufferLength = sizeof data;
    EXPECT_EQ(midiOutLongMsg(out, &header, sizeof header), MIDIERR_UNPREPARED);
    EXPECT_EQ(header.dwFlags, 0u);
    EXPECT_TRUE(callsOf(MOM_DONE, 1).empty());
    ASSERT_EQ(midiOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, static_cast<DWORD>(MHDR_PREPARED));
    ASSERT_EQ(midiOutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    auto done = callsOf(MOM_DONE, 1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].param1, reinterpret_cast<DWORD_PTR>(&header));
    EXPECT_EQ(done[0].handle, reinterpret_cast<HMIDI>(out));
    ASSERT_TRUE(eventually([&] { return packets().size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(packets(), (std::vector<Bytes>{{3, 0x90, 0x3C, 0x64}, {3, 0x80, 0x3C, 0x00}}));
    EXPECT_EQ(midiOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & MHDR_PREPARED, 0u);
    EXPECT_EQ(midiOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(callsOf(MOM_CLOSE, 1).size(), 1u);

    // Channel 0: nothing goes out.
    setChannels(0, 3);
    device().clearCommands();
    out = openOut(2);
    EXPECT_EQ(midiOutShortMsg(out, 0x00643C90), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(out, 0x00643C94), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(packets().empty());
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(MidiLayer, HandlesFlagsAndHeadersGetThePlatformsResults) {
    HMIDIOUT out = openOut(1);
    HMIDIIN in = openIn(2);
    EXPECT_EQ(midiInStart(reinterpret_cast<HMIDIIN>(out)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutShortMsg(reinterpret_cast<HMIDIOUT>(in), 0x90), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutLongMsg(out, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    char byte = 0;
    MIDIHDR header = {};
    header.lpData = &byte;
    header.dwBufferLength = 1;
    EXPECT_EQ(midiInAddBuffer(in, &header, sizeof header), MIDIERR_UNPREPARED);
    EXPECT_EQ(midiInPrepareHeader(in, &header, sizeof header - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInPrepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInAddBuffer(in, &header, sizeof header), MMSYSERR_NOERROR);
    for (MMRESULT r : {midiInUnprepareHeader(in, &header, sizeof header), midiInStart(in),
                       midiInStop(in), midiInReset(in), midiInClose(in), midiOutClose(out)})
        EXPECT_EQ(r, MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutShortMsg(out, 0x90), MMSYSERR_INVALHANDLE);

    HMIDIIN h = nullptr;
    EXPECT_EQ(midiInOpen(nullptr, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInOpen(&h, 0, 1, 0, CALLBACK_WINDOW), MMSYSERR_INVALFLAG);
    EXPECT_EQ(midiInOpen(&h, 0, 0, 0, 0x00400000), MMSYSERR_INVALFLAG);
    EXPECT_EQ(midiInOpen(&h, 0, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(h, nullptr);
}

TEST_F(MidiLayer, OnePortOpensTheDeviceAndTheLastCloseClosesIt) {
    const std::size_t opensBefore = countOf(logText(), "uVexaAudioOpen()");
    HMIDIOUT out = openOut(1);
    HMIDIIN in = openIn(2);
    EXPECT_EQ(countOf(logText(), "uVexaAudioOpen()"), opensBefore + 1);
    const std::size_t endsBefore = countOf(logText(), "End ASIO event notification thread");
    ASSERT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    // The input port still has the device: a control moved on the surface arrives.
    EXPECT_TRUE(inputArrives(2));
    EXPECT_EQ(countOf(logText(), "End ASIO event notification thread"), endsBefore);
    ASSERT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    // The last close closed the library's handle, whose monitor thread has ended.
    EXPECT_EQ(countOf(logText(), "End ASIO event notification thread"), endsBefore + 1);
}

TEST_F(MidiLayer, InputReachesEveryInputPortOnItsChannelWithItsOwnTimeStamp) {
    HMIDIIN first = openIn(1);
    EXPECT_EQ(midiInStart(first), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    HMIDIIN second = openIn(2);
    HMIDIOUT out = openOut(3);  // output ports get no input
    EXPECT_EQ(midiInStart(second), MMSYSERR_NOERROR);
    ASSERT_TRUE(inputArrives(2));
    ASSERT_TRUE(eventually([] { return !callsOf(MIM_DATA, 1).empty(); }));
    const Call a = callsOf(MIM_DATA, 1).back();
    const Call b = callsOf(MIM_DATA, 2).back();
    EXPECT_EQ(a.param1, 0x004007B2u);
    EXPECT_EQ(b.param1, 0x004007B2u);
    EXPECT_EQ(a.handle, reinterpret_cast<HMIDI>(first));
    EXPECT_EQ(b.handle, reinterpret_cast<HMIDI>(second));
    EXPECT_GE(a.param2, b.param2 + 20);  // started at least 30 ms earlier, stamped apart
    EXPECT_LT(a.param2, 60000u);
    EXPECT_TRUE(callsOf(MIM_DATA, 3).empty());

    // New channels {2, 9}: input arrives on channel 9, output goes out from channel 2 only.
    setChannels(2, 9);
    ASSERT_TRUE(eventually([&] {
        device().moveControl(7, 0x41);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto calls = callsOf(MIM_DATA, 1);
        return !calls.empty() && calls.back().param1 == 0x004107B8u;
    }));
    device().clearCommands();
    EXPECT_EQ(midiOutShortMsg(out, 0x00643C94), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(out, 0x00643C91), MMSYSERR_NOERROR);
    ASSERT_TRUE(eventually([&] { return !packets().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(packets(), (std::vector<Bytes>{{3, 0x90, 0x3C, 0x64}}));
    for (HMIDIIN h : {first, second}) EXPECT_EQ(midiInClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(MidiLayer, EventAndThreadCallbacks) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HMIDIIN byEvent = openIn(0, CALLBACK_EVENT, reinterpret_cast<DWORD_PTR>(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // MIM_OPEN

    std::atomic<DWORD> threadId{0};
    std::promise<std::vector<MSG>> received;
    std::thread listener([&] {
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        threadId = GetCurrentThreadId();
        std::vector<MSG> got;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) got.push_back(m);
        received.set_value(got);
    });
    ASSERT_TRUE(eventually([&] { return threadId.load() != 0; }));
    HMIDIIN byThread = openIn(0, CALLBACK_THREAD, threadId.load());
    HMIDIOUT outByThread = openOut(0, CALLBACK_THREAD, threadId.load());
    ASSERT_TRUE(eventually([&] {
        device().moveControl(7, 0x40);
        return WaitForSingleObject(event, 50) == WAIT_OBJECT_0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char data[] = {'\x94', '\x3C', '\x64'};
    MIDIHDR header = {};
    header.lpData = data;
    header.dwBufferLength = sizeof data;
    ASSERT_EQ(midiOutPrepareHeader(outByThread, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(outByThread, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(byThread), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(outByThread), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(byEvent), MMSYSERR_NOERROR);
    PostThreadMessageA(threadId.load(), WM_QUIT, 0, 0);
    listener.join();
    std::vector<MSG> got = received.get_future().get();
    ASSERT_GE(got.size(), 5u);
    EXPECT_EQ(got[0].message, static_cast<UINT>(MM_MIM_OPEN));
    EXPECT_EQ(got[0].wParam, reinterpret_cast<WPARAM>(byThread));
    EXPECT_EQ(got[1].message, static_cast<UINT>(MM_MOM_OPEN));
    bool data_seen = false, done_seen = false;
    for (const MSG& m : got) {
        if (m.message == MM_MIM_DATA && m.lParam == 0x004007B2) data_seen = true;
        if (m.message == MM_MOM_DONE && m.lParam == reinterpret_cast<LPARAM>(&header))
            done_seen = true;
    }
    EXPECT_TRUE(data_seen);
    EXPECT_TRUE(done_seen);
    EXPECT_EQ(got[got.size() - 2].message, static_cast<UINT>(MM_MIM_CLOSE));
    EXPECT_EQ(got.back().message, static_cast<UINT>(MM_MOM_CLOSE));
    CloseHandle(event);
}

TEST_F(MidiLayer, TheHundredAndFirstOpenIsRefused) {
    std::vector<HMIDIIN> ins;
    std::vector<HMIDIOUT> outs;
    for (int i = 0; i < 100; ++i) {
        if (i % 2 == 0)
            ins.push_back(openIn(100 + i));
        else
            outs.push_back(openOut(100 + i));
    }
    HMIDIIN refused = nullptr;
    EXPECT_EQ(midiInOpen(&refused, 0, reinterpret_cast<DWORD_PTR>(record), 999, CALLBACK_FUNCTION),
              MMSYSERR_ALLOCATED);
    EXPECT_EQ(refused, nullptr);
    EXPECT_TRUE(callsOf(MIM_OPEN, 999).empty());
    HMIDIOUT refusedOut = nullptr;
    EXPECT_EQ(midiOutOpen(&refusedOut, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    ASSERT_EQ(midiOutClose(outs.back()), MMSYSERR_NOERROR);
    outs.pop_back();
    ins.push_back(openIn(999));
    EXPECT_EQ(callsOf(MIM_OPEN, 999).size(), 1u);
    for (HMIDIIN h : ins) EXPECT_EQ(midiInClose(h), MMSYSERR_NOERROR);
    for (HMIDIOUT h : outs) EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
}

// A slow application callback: the status monitor stays inside the driver's fan-out, holding
// the library's lock and the driver's, for a while.
void CALLBACK slowRecord(HMIDI h, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    record(h, message, instance, p1, p2);
    if (message == MIM_DATA) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Threads open and close ports (and so, again and again, the shared device) while the surface
// sends packets that the library's status monitor delivers into the driver's fan-out.
TEST_F(MidiLayer, OpensAndClosesFromSeveralThreadsWhilePacketsArriveNeverDeadlock) {
    std::atomic<bool> stop{false};
    std::thread surface([&] {
        for (int v = 0; !stop.load(); v = (v + 1) & 0x7F) {
            device().moveControl(7, static_cast<std::uint8_t>(v));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    constexpr int kThreads = 4, kRounds = 8;
    auto work = std::async(std::launch::async, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kRounds; ++i) {
                    HMIDIIN in = openIn(1000 + t, CALLBACK_FUNCTION,
                                        reinterpret_cast<DWORD_PTR>(slowRecord));
                    midiInStart(in);
                    std::this_thread::sleep_for(
                        std::chrono::milliseconds(100 + (t * 37 + i * 53) % 150));
                    midiInClose(in);
                    HMIDIOUT out = openOut(2000 + t);
                    midiOutShortMsg(out, 0x00643C94);
                    midiOutClose(out);
                }
            });
        }
        for (auto& th : threads) th.join();
    });
    if (work.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "opening and closing ports did not finish: a deadlock";
        std::_Exit(1);
    }
    stop = true;
    surface.join();
    std::size_t delivered = 0;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(callsOf(MIM_OPEN, 1000 + t).size(), std::size_t{kRounds});
        EXPECT_EQ(callsOf(MIM_CLOSE, 1000 + t).size(), std::size_t{kRounds});
        EXPECT_EQ(callsOf(MOM_CLOSE, 2000 + t).size(), std::size_t{kRounds});
        delivered += callsOf(MIM_DATA, 1000 + t).size();
    }
    EXPECT_GT(delivered, 0u);
    // Every port is gone and the device works afterwards.
    HMIDIIN in = openIn(7);
    EXPECT_TRUE(inputArrives(7));
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

}  // namespace
