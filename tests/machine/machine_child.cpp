// A client process of the machine tests: does one thing on the machine's first VQ36 interface
// and reports on standard output, line by line.
//
// With the tests' own driver:
//   keep-and-die EVENT        opens, has the driver keep the named event and map its record,
//                             then ends without closing anything
//   shared OFFSET             opens, maps the record, prints "seen V" (the word at OFFSET),
//                             writes V + 1 at OFFSET + 4, prints "written", waits for a line
//   set-event NAME            opens the named event and sets it
//   create-event NAME         creates the named event, prints "created E" (its last error),
//                             waits for a line
// With the VQ36 driver:
//   vq36-init-and-die BUFFER MIDI   opens, initialises buffers with the named event BUFFER,
//                             registers the named event MIDI, prints "ready SLOT", ends without
//                             closing anything
//   vq36-shared RO CO         opens, initialises buffers, prints "seen R C" (the words at RO of
//                             the record and CO of the capture region), writes R + 1 and C + 1
//                             four bytes further on, prints "written", waits for a line

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "public/vq36_shared.h"
#include "win32/windows.h"

namespace {

constexpr DWORD kClientId = 0x222000;
constexpr DWORD kKeepEvent = 0x222010;
constexpr DWORD kMapRecord = 0x222004;

const GUID kInterface = {
    0x5B1D8E42, 0x93A7, 0x4C6F, {0xB2, 0xE1, 0x7D, 0x0A, 0x6C, 0x39, 0xF8, 0x14}};

void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

[[noreturn]] void fail(const char* what) {
    report("failed %s %lu", what, static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

HANDLE openFirst() {
    HDEVINFO set =
        SetupDiGetClassDevsA(&kInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kInterface, 0, &data)) fail("enumerate");
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    std::vector<char> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
        fail("detail");
    SetupDiDestroyDeviceInfoList(set);
    HANDLE h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail("open");
    return h;
}

bool control(HANDLE h, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength) {
    DWORD bytes = 0;
    return DeviceIoControl(h, code, in, inLength, out, outLength, &bytes, nullptr) != FALSE;
}

std::uint32_t word(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void waitForLine() {
    char line[64];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
    }
}

vq36::InitBuffersResult initBuffers(HANDLE h, HANDLE event) {
    std::uint32_t in[2] = {static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event)), 0};
    vq36::InitBuffersResult result{};
    if (!control(h, vq36::kIoCtlInitBuffers, in, 8, &result, sizeof result)) fail("init");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return 2;
    const std::string& command = args[0];

    if (command == "keep-and-die" && args.size() == 2) {
        HANDLE h = openFirst();
        HANDLE event = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, args[1].c_str());
        if (event == nullptr) fail("event");
        std::uint32_t handle = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event));
        if (!control(h, kKeepEvent, &handle, 4, nullptr, 0)) fail("keep");
        std::uint64_t address = 0;
        if (!control(h, kMapRecord, nullptr, 0, &address, 8)) fail("map");
        std::uint32_t id = 0;
        control(h, kClientId, nullptr, 0, &id, 4);
        report("ready %u", id);
        _exit(0);
    }
    if (command == "shared" && args.size() == 2) {
        std::size_t offset = std::strtoul(args[1].c_str(), nullptr, 0);
        HANDLE h = openFirst();
        std::uint64_t address = 0;
        if (!control(h, kMapRecord, nullptr, 0, &address, 8)) fail("map");
        auto* record = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
        std::uint32_t seen = word(record + offset);
        report("seen %u", seen);
        std::uint32_t next = seen + 1;
        std::memcpy(record + offset + 4, &next, 4);
        report("written");
        waitForLine();
        CloseHandle(h);
        return 0;
    }
    if (command == "set-event" && args.size() == 2) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, args[1].c_str());
        if (event == nullptr) fail("event");
        SetEvent(event);
        report("set");
        CloseHandle(event);
        return 0;
    }
    if (command == "create-event" && args.size() == 2) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, args[1].c_str());
        if (event == nullptr) fail("event");
        report("created %lu", static_cast<unsigned long>(GetLastError()));
        waitForLine();
        CloseHandle(event);
        return 0;
    }
    if (command == "vq36-init-and-die" && args.size() == 3) {
        HANDLE h = openFirst();
        HANDLE buffer = CreateEventA(nullptr, TRUE, FALSE, args[1].c_str());
        HANDLE midi = CreateEventA(nullptr, TRUE, FALSE, args[2].c_str());
        if (buffer == nullptr || midi == nullptr) fail("event");
        vq36::InitBuffersResult result = initBuffers(h, buffer);
        std::uint32_t handle = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(midi));
        if (!control(h, vq36::kIoCtlSetupMidiEvent, &handle, 4, nullptr, 0)) fail("midi");
        report("ready %u", result.clientSlot);
        _exit(0);
    }
    if (command == "vq36-shared" && args.size() == 3) {
        std::size_t recordOffset = std::strtoul(args[1].c_str(), nullptr, 0);
        std::size_t captureOffset = std::strtoul(args[2].c_str(), nullptr, 0);
        HANDLE h = openFirst();
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        vq36::InitBuffersResult result = initBuffers(h, event);
        auto* record =
            reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(result.asioInfo));
        auto* capture =
            reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(result.captureBuffers));
        std::uint32_t r = word(record + recordOffset);
        std::uint32_t c = word(capture + captureOffset);
        report("seen %u %u", r, c);
        r += 1;
        c += 1;
        std::memcpy(record + recordOffset + 4, &r, 4);
        std::memcpy(capture + captureOffset + 4, &c, 4);
        report("written");
        waitForLine();
        CloseHandle(h);
        CloseHandle(event);
        return 0;
    }
    report("unknown command");
    return 2;
}
