// `vq36 midi`: a MIDI application through the multimedia layer (see midi_command.h).

#include "midi_command.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "command_line.h"
#include "standin/host/wire.h"
#include "standin/win32/machine.h"
#include "standin/winmm/layer.h"
#include "stream_client.h"
#include "win32/windows.h"
#include "winmm/mmsystem.h"

namespace vq36tools {
namespace {

#ifndef VQ36_DEFAULT_MIDI_DLL
#define VQ36_DEFAULT_MIDI_DLL ""
#endif

constexpr const char* kDriverFile = "VexaMidiVq36.dll";
constexpr const char* kSystemCopy = "c:\\Windows\\System32\\VexaMidiVq36.dll";
constexpr const wchar_t* kPortName = L"Vexa VQ36 MIDI";

// The outgoing packets leave through the ASIO driver library's status monitor, which the first
// open starts: a sender keeps the port open a while after it sent, so that the packets leave
// before the port (and with it the monitor) goes.
constexpr auto kSendLinger = std::chrono::milliseconds(500);

constexpr const char* kUsage =
    "usage: vq36 midi [--root DIR] <command>\n"
    "  install [--driver PATH]   lists VexaMidiVq36.dll as a MIDI driver (copied to\n"
    "                            c:\\Windows\\System32; PATH, else the one this build makes)\n"
    "  uninstall                 unlists it\n"
    "  list                      the MIDI ports, with their capabilities\n"
    "  monitor [--seconds S]     prints each message of the VQ36 input port until Ctrl-C\n"
    "  send note|off|cc CHANNEL DATA1 DATA2\n"
    "                            a note on, note off or control change (channel 1 to 16,\n"
    "                            data 0 to 127) through the VQ36 output port\n"
    "  send --hex BYTES...       a long message (hexadecimal bytes) through the output port\n"
    "The machine root is DIR, else VQ36_MACHINE_ROOT.\n";

int usage(std::FILE* err, const std::string& problem) {
    std::fprintf(err, "vq36 midi: %s\nsee `vq36 midi help`\n", problem.c_str());
    return 2;
}

bool machineRuns(std::FILE* err) {
    const std::string root = standin::win32::machineRoot();
    if (standin::host::wire::Fd(standin::host::wire::connectTo(root)).valid()) return true;
    std::fprintf(err, "vq36 midi: no machine runs on %s (start one with `vq36 machine run`)\n",
                 root.c_str());
    return false;
}

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text != L'\0'; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

bool namesOurDriver(const std::string& value) {
    std::size_t slash = value.find_last_of("\\/");
    std::string base = slash == std::string::npos ? value : value.substr(slash + 1);
    return base.size() == std::strlen(kDriverFile) &&
           strncasecmp(base.c_str(), kDriverFile, base.size()) == 0;
}

HKEY openDrivers32() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, standin::winmm::kDrivers32Key, 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

std::string slotValue(HKEY key, const std::string& slot) {
    char value[MAX_PATH] = {};
    DWORD type = 0, size = sizeof value - 1;
    if (RegQueryValueExA(key, slot.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(value),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return value;
}

int install(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::string driver = VQ36_DEFAULT_MIDI_DLL;
    if (args.size() == 2 && args[0] == "--driver") {
        driver = args[1];
    } else if (!args.empty()) {
        return usage(err, "install takes only --driver PATH");
    }
    std::error_code ec;
    if (driver.empty() || !std::filesystem::is_regular_file(driver, ec)) {
        std::fprintf(err, "vq36 midi: no driver file at '%s'\n", driver.c_str());
        return 1;
    }
    std::string target;
    standin::win32::toHostPath(kSystemCopy, &target);
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
    std::filesystem::copy_file(driver, target, std::filesystem::copy_options::overwrite_existing,
                               ec);
    if (ec) {
        std::fprintf(err, "vq36 midi: cannot copy the driver to %s: %s\n", kSystemCopy,
                     ec.message().c_str());
        return 1;
    }
    HKEY key = openDrivers32();
    if (key == nullptr) {
        std::fprintf(err, "vq36 midi: cannot open the Drivers32 key\n");
        return 1;
    }
    std::string chosen;
    for (int slot = 0; slot < standin::winmm::kMidiDriverSlots && chosen.empty(); ++slot) {
        const std::string name = standin::winmm::midiSlotName(slot);
        if (namesOurDriver(slotValue(key, name))) chosen = name;
    }
    for (int slot = 0; slot < standin::winmm::kMidiDriverSlots && chosen.empty(); ++slot) {
        const std::string name = standin::winmm::midiSlotName(slot);
        if (slotValue(key, name).empty()) chosen = name;
    }
    if (chosen.empty()) {
        RegCloseKey(key);
        std::fprintf(err, "vq36 midi: every MIDI driver slot (midi to midi9) is taken\n");
        return 1;
    }
    const LONG rc =
        RegSetValueExA(key, chosen.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kDriverFile),
                       static_cast<DWORD>(std::strlen(kDriverFile) + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(err, "vq36 midi: cannot write the value %s\n", chosen.c_str());
        return 1;
    }
    std::fprintf(out, "installed %s as %s\n", kDriverFile, chosen.c_str());
    return 0;
}

int uninstall(std::FILE* out, std::FILE* err) {
    HKEY key = openDrivers32();
    int removed = 0;
    if (key != nullptr) {
        for (int slot = 0; slot < standin::winmm::kMidiDriverSlots; ++slot) {
            const std::string name = standin::winmm::midiSlotName(slot);
            if (namesOurDriver(slotValue(key, name)) &&
                RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS) {
                std::fprintf(out, "removed %s\n", name.c_str());
                ++removed;
            }
        }
        RegCloseKey(key);
    }
    std::string copy;
    std::error_code ec;
    if (standin::win32::toHostPath(kSystemCopy, &copy)) std::filesystem::remove(copy, ec);
    if (removed == 0) {
        std::fprintf(err, "vq36 midi: %s is not installed\n", kDriverFile);
        return 1;
    }
    return 0;
}

int list(std::FILE* out, std::FILE* err) {
    const UINT outs = midiOutGetNumDevs(), ins = midiInGetNumDevs();
    if (outs == 0 && ins == 0) {
        std::fprintf(err, "vq36 midi: no MIDI driver is installed (`vq36 midi install`)\n");
        return 1;
    }
    for (UINT id = 0; id < outs; ++id) {
        MIDIOUTCAPSW c = {};
        if (midiOutGetDevCapsW(id, &c, sizeof c) != MMSYSERR_NOERROR) continue;
        std::fprintf(out,
                     "out %u: %s  manufacturer %u product %u version %u.%u technology %u voices %u "
                     "notes %u channels %04x support %x\n",
                     id, narrow(c.szPname).c_str(), c.wMid, c.wPid, c.vDriverVersion >> 8,
                     c.vDriverVersion & 0xFF, c.wTechnology, c.wVoices, c.wNotes, c.wChannelMask,
                     c.dwSupport);
    }
    for (UINT id = 0; id < ins; ++id) {
        MIDIINCAPSW c = {};
        if (midiInGetDevCapsW(id, &c, sizeof c) != MMSYSERR_NOERROR) continue;
        std::fprintf(out, "in %u: %s  manufacturer %u product %u version %u.%u support %x\n", id,
                     narrow(c.szPname).c_str(), c.wMid, c.wPid, c.vDriverVersion >> 8,
                     c.vDriverVersion & 0xFF, c.dwSupport);
    }
    return 0;
}

// The device id of the VQ36 port each way, or nothing (with the reason said).
std::optional<UINT> findPort(bool input, std::FILE* err) {
    const UINT count = input ? midiInGetNumDevs() : midiOutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        if (input) {
            MIDIINCAPSW c = {};
            if (midiInGetDevCapsW(id, &c, sizeof c) == 0 && std::wcscmp(c.szPname, kPortName) == 0)
                return id;
        } else {
            MIDIOUTCAPSW c = {};
            if (midiOutGetDevCapsW(id, &c, sizeof c) == 0 && std::wcscmp(c.szPname, kPortName) == 0)
                return id;
        }
    }
    std::fprintf(err, "vq36 midi: the VQ36 MIDI driver is not installed (`vq36 midi install`)\n");
    return std::nullopt;
}

// The output port passes one channel: the setting "MidiInChannel" (missing: 0, none).
DWORD outputPortChannel() {
    DWORD value = 0, type = 0, size = sizeof value;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExA(key, "MidiInChannel", nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        value = 0;
    RegCloseKey(key);
    return value;
}

bool devicePresent(std::FILE* err) {
    if (!vq36InterfacePaths().empty()) return true;
    std::fprintf(err, "vq36 midi: no VQ36 is plugged into the machine\n");
    return false;
}

std::mutex gPrintMutex;
std::FILE* gMonitorOut = stdout;

void CALLBACK onInput(HMIDI, UINT message, DWORD_PTR, DWORD_PTR word, DWORD_PTR stamp) {
    if (message != MIM_DATA) return;
    const unsigned status = word & 0xFF, data1 = (word >> 8) & 0xFF, data2 = (word >> 16) & 0xFF;
    const char* kind = "other";
    switch (status & 0xF0) {
        case 0x80:
            kind = "note-off";
            break;
        case 0x90:
            kind = "note-on";
            break;
        case 0xB0:
            kind = "control";
            break;
    }
    std::lock_guard lock(gPrintMutex);
    std::fprintf(gMonitorOut, "%10lu ms  ch %2u  %-8s %3u %3u\n", static_cast<unsigned long>(stamp),
                 (status & 0x0F) + 1, kind, data1, data2);
    std::fflush(gMonitorOut);
}

int monitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    long seconds = 0;
    if (args.size() == 2 && args[0] == "--seconds") {
        if (!parseNumber(args[1], 1, 86400, &seconds))
            return usage(err, "monitor: --seconds takes 1 to 86400");
    } else if (!args.empty()) {
        return usage(err, "monitor takes only --seconds S");
    }
    StopSignals stop;  // before the layer starts any thread
    if (!machineRuns(err) || !devicePresent(err)) return 1;
    auto id = findPort(true, err);
    if (!id) return 1;
    gMonitorOut = out;
    HMIDIIN in = nullptr;
    MMRESULT rc = midiInOpen(&in, *id, reinterpret_cast<DWORD_PTR>(onInput), 0, CALLBACK_FUNCTION);
    if (rc != MMSYSERR_NOERROR) {
        std::fprintf(err, "vq36 midi: midiInOpen failed (%u)\n", rc);
        return 1;
    }
    midiInStart(in);
    {
        std::lock_guard lock(gPrintMutex);
        std::fprintf(out, "monitoring Vexa VQ36 MIDI (in %u); Ctrl-C stops\n", *id);
        std::fflush(out);
    }
    stop.wait(seconds > 0 ? seconds * 1000 : 0x7FFFFFFF);
    midiInStop(in);
    midiInClose(in);
    return 0;
}

int send(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    DWORD shortMessage = 0;
    std::vector<char> bytes;
    if (!args.empty() && args[0] == "--hex") {
        if (args.size() < 2) return usage(err, "send --hex takes one or more bytes");
        for (std::size_t i = 1; i < args.size(); ++i) {
            long v = 0;
            char* end = nullptr;
            const std::string& t = args[i];
            v = std::strtol(t.c_str(), &end, 16);
            if (t.empty() || t.size() > 2 || end == nullptr || *end != '\0' || v < 0)
                return usage(err, "send --hex: bytes are hexadecimal, 00 to ff (not '" + t + "')");
            bytes.push_back(static_cast<char>(v));
        }
    } else if (args.size() == 4 && (args[0] == "note" || args[0] == "off" || args[0] == "cc")) {
        long channel = 0, d1 = 0, d2 = 0;
        if (!parseNumber(args[1], 1, 16, &channel)) return usage(err, "send: channels are 1 to 16");
        if (!parseNumber(args[2], 0, 127, &d1) || !parseNumber(args[3], 0, 127, &d2))
            return usage(err, "send: data are 0 to 127");
        const DWORD kind = args[0] == "note" ? 0x90 : args[0] == "off" ? 0x80 : 0xB0;
        shortMessage = (kind | static_cast<DWORD>(channel - 1)) | (static_cast<DWORD>(d1) << 8) |
                       (static_cast<DWORD>(d2) << 16);
        if (const DWORD passed = outputPortChannel(); passed != static_cast<DWORD>(channel)) {
            std::fprintf(err,
                         "vq36 midi: note: the VQ36 output port passes channel %u only (0: "
                         "none), so the device will not get this; `vq36 ctl channels %ld IN` "
                         "changes it\n",
                         passed, channel);
        }
    } else {
        return usage(err, "send note|off|cc CHANNEL DATA1 DATA2, or send --hex BYTES...");
    }
    if (!machineRuns(err) || !devicePresent(err)) return 1;
    auto id = findPort(false, err);
    if (!id) return 1;
    HMIDIOUT port = nullptr;
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    MMRESULT rc = midiOutOpen(&port, *id, reinterpret_cast<DWORD_PTR>(done), 0, CALLBACK_EVENT);
    if (rc != MMSYSERR_NOERROR) {
        CloseHandle(done);
        std::fprintf(err, "vq36 midi: midiOutOpen failed (%u)\n", rc);
        return 1;
    }
    WaitForSingleObject(done, 0);  // MOM_OPEN
    if (bytes.empty()) {
        rc = midiOutShortMsg(port, shortMessage);
        std::fprintf(out, "sent %02x %02x %02x (%u)\n", shortMessage & 0xFF,
                     (shortMessage >> 8) & 0xFF, (shortMessage >> 16) & 0xFF, rc);
    } else {
        MIDIHDR header = {};
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<DWORD>(bytes.size());
        rc = midiOutPrepareHeader(port, &header, sizeof header);
        if (rc == MMSYSERR_NOERROR) rc = midiOutLongMsg(port, &header, sizeof header);
        if (rc == MMSYSERR_NOERROR) {
            WaitForSingleObject(done, 5000);  // MOM_DONE
            midiOutUnprepareHeader(port, &header, sizeof header);
        }
        std::fprintf(out, "sent %zu bytes (%u)\n", bytes.size(), rc);
    }
    std::this_thread::sleep_for(kSendLinger);
    midiOutClose(port);
    CloseHandle(done);
    return rc == MMSYSERR_NOERROR ? 0 : 1;
}

}  // namespace

int runMidiCommand(const std::vector<std::string>& input, std::FILE* out, std::FILE* err) {
    std::vector<std::string> args = input;
    if (args.size() >= 2 && args[0] == "--root") {
        standin::win32::setMachineRoot(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        std::fputs(kUsage, err);
        return 2;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "help" || command == "--help") {
        std::fputs(kUsage, out);
        return 0;
    }
    if (command == "install") return install(args, out, err);
    if (command == "uninstall") {
        if (!args.empty()) return usage(err, "uninstall takes no arguments");
        return uninstall(out, err);
    }
    if (command == "list") {
        if (!args.empty()) return usage(err, "list takes no arguments");
        return list(out, err);
    }
    if (command == "monitor") return monitor(args, out, err);
    if (command == "send") return send(args, out, err);
    return usage(err, "unknown command " + command);
}

}  // namespace vq36tools
