// `vq36 ctl`: the control functions of VexaAsioVq36.dll for a person (see ctl_command.h).

#include "ctl_command.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "asio_library.h"
#include "command_line.h"
#include "control_exports.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace vq36tools {
namespace {

// The outgoing control packets are the status monitor's: the queue exists once the monitor of
// the process has started, and the monitor sends what is queued at its next pass (its passes
// are 100 ms apart at most, and a queued packet wakes it at once). A command that sends waits
// for the monitor's first pass, queues, and keeps its handle open a while so that the packet
// leaves before the handle (and with the last handle, the monitor) goes.
constexpr auto kMonitorReady = std::chrono::seconds(10);
constexpr auto kQueueRetry = std::chrono::seconds(2);
constexpr auto kSendLinger = std::chrono::milliseconds(500);

constexpr const char* kUsage =
    "usage: vq36 ctl [--root DIR] [--dll PATH] <command>\n"
    "  versions                  api, driver, firmware and embedded firmware versions,\n"
    "                            vendor and product id, boot device\n"
    "  buffer [MS]               the buffer length in milliseconds (sets it: 1 to 50)\n"
    "  channels [IN OUT]         the MIDI channels (sets them: 0 to 16)\n"
    "  note NOTE VELOCITY        sends a note on (velocity 0: a note off); 0 to 127\n"
    "  cc CONTROL VALUE          sends a control change; 0 to 127\n"
    "  sysex HEX...              sends a system-exclusive message: the bytes between\n"
    "                            F0 17 and F7 (which the library adds), each 00 to 7f\n"
    "  control-point P           selects control point 1 or 2\n"
    "  all-controls              asks the device for the values of all its controls\n"
    "  port                      the USB port status\n"
    "  watch [--seconds S]       prints every control packet, port status change and MIDI\n"
    "                            channel change until Ctrl-C (or for S seconds)\n"
    "Commands that send print what the device sends back while they run (the answers of\n"
    "all-controls and control-point). The library is PATH, else VexaAsioVq36.dll as the\n"
    "module loader finds it (the program's folder, c:\\Windows\\System32, VQ36_MODULE_PATH),\n"
    "else the one this build makes. The machine root is DIR, else VQ36_MACHINE_ROOT.\n";

// ---- The command line ------------------------------------------------------------------------

struct Command {
    std::string name;
    std::vector<long> numbers;       // the command's numbers, in order
    std::vector<std::uint8_t> data;  // sysex: the bytes
    long seconds = 0;                // watch: 0 until Ctrl-C
};

bool parseHexByte(const std::string& text, std::uint8_t* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2) return false;
    for (char d : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(d))) return false;
    }
    *value = static_cast<std::uint8_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

// The command and its arguments; an error message when they do not fit.
std::optional<std::string> parseCommand(const std::vector<std::string>& words, Command* c) {
    c->name = words[0];
    const std::size_t n = words.size() - 1;
    auto numbers = [&](long min, long max, const char* what) -> std::optional<std::string> {
        for (std::size_t i = 1; i < words.size(); ++i) {
            long v = 0;
            if (!parseNumber(words[i], min, max, &v)) {
                return c->name + ": " + what + " (not '" + words[i] + "')";
            }
            c->numbers.push_back(v);
        }
        return std::nullopt;
    };
    if ((c->name == "versions" || c->name == "all-controls" || c->name == "port") && n == 0) {
        return std::nullopt;
    }
    if (c->name == "buffer" && n <= 1) return numbers(1, 50, "milliseconds are 1 to 50");
    if (c->name == "channels" && (n == 0 || n == 2)) return numbers(0, 16, "channels are 0 to 16");
    if ((c->name == "note" || c->name == "cc") && n == 2) {
        return numbers(0, 127, "numbers are 0 to 127");
    }
    if (c->name == "control-point" && n == 1) return numbers(1, 2, "the control point is 1 or 2");
    if (c->name == "sysex" && n >= 1) {
        for (std::size_t i = 1; i < words.size(); ++i) {
            std::uint8_t b = 0;
            if (!parseHexByte(words[i], &b)) {
                return "sysex: bytes are hexadecimal, 00 to 7f (not '" + words[i] + "')";
            }
            if (b == 0xF0 || b == 0xF7) {
                return std::string(
                    "sysex: leave out F0 and F7 (and the device byte 17): the "
                    "library adds them");
            }
            if (b > 0x7F) return "sysex: data bytes are 00 to 7f (not '" + words[i] + "')";
            c->data.push_back(b);
        }
        return std::nullopt;
    }
    if (c->name == "watch" && (n == 0 || n == 2)) {
        if (n == 2 && (words[1] != "--seconds" || !parseNumber(words[2], 1, 86400, &c->seconds))) {
            return std::string("watch: --seconds takes 1 to 86400");
        }
        return std::nullopt;
    }
    static const char* const kKnown[] = {
        "versions", "buffer", "channels", "note",          "cc",
        "sysex",    "port",   "watch",    "control-point", "all-controls"};
    for (const char* known : kKnown) {
        if (c->name == known) return c->name + ": wrong number of arguments";
    }
    return "unknown command " + c->name;
}

// ---- Printing from the status monitor's callbacks ----------------------------------------

std::mutex gPrintMutex;
std::FILE* gPrintTo = stdout;
// watch prints the port status and the MIDI channels; the other commands only note them.
std::atomic<bool> gPrintStatus{false};
std::atomic<int> gPortDeliveries{0};
std::atomic<int> gPortPresent{-1};

void printLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void printLine(const char* format, ...) {
    std::lock_guard lock(gPrintMutex);
    va_list args;
    va_start(args, format);
    std::vfprintf(gPrintTo, format, args);
    va_end(args);
    std::fputc('\n', gPrintTo);
    std::fflush(gPrintTo);
}

std::string hexBytes(const std::uint8_t* data, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", data[i]);
        text += hex;
    }
    return text;
}

// An entry's first byte is the packet's length, the messages follow.
void CALLBACK onPacket(vq36::HidiInEntry* entry) {
    const std::size_t length =
        entry->data[0] > kHidiPacketMaxData ? kHidiPacketMaxData : entry->data[0];
    printLine("packet %s", hexBytes(entry->data + 1, length).c_str());
}

void CALLBACK onPort(std::int32_t* status) {
    gPortPresent.store(status[0] != 0 ? 1 : 0);
    gPortDeliveries.fetch_add(1);
    if (gPrintStatus.load()) printLine("port %d %d", status[0], status[1]);
}

void CALLBACK onChannels(MidiChannelPair* pair) {
    if (gPrintStatus.load()) {
        printLine("channels in %d out %d", pair->midiInChannel, pair->midiOutChannel);
    }
}

// ---- The commands ----------------------------------------------------------------------

const char* resultName(std::int32_t rc) {
    switch (rc) {
        case kVq36Failed:
            return "device message failed";
        case kVq36NoRecord:
            return "no shared record / no monitor yet";
        case kVq36BadParameter:
            return "bad parameter";
        case kVq36PacketFull:
            return "packet full";
        case kVq36PacketEmpty:
            return "packet empty";
        default:
            return "unknown result";
    }
}

// True for 0; otherwise says which function answered what.
bool succeeded(const char* function, std::int32_t rc, std::FILE* err) {
    if (rc == kVq36Ok) return true;
    std::fprintf(err, "vq36 ctl: %s: %d (%s)\n", function, rc, resultName(rc));
    return false;
}

int versions(ControlSession& s, std::FILE* out, std::FILE* err) {
    bool ok = true;
    VersionRecord v{};
    auto version = [&](const char* label, const char* function, std::int32_t rc) {
        if (succeeded(function, rc, err)) {
            std::fprintf(out, "%s %s\n", label, versionText(v).c_str());
        } else {
            ok = false;
        }
    };
    version("api version", "VQ36_get_api_version", s.x.apiVersion(&v));
    version("driver version", "VQ36_get_driver_version", s.x.driverVersion(s.handle, &v));
    version("firmware version", "VQ36_get_firmware_version", s.x.firmwareVersion(s.handle, &v));
    version("embedded firmware version", "VQ36_get_firmware_embedded_version",
            s.x.embeddedVersion(s.handle, &v));
    std::uint32_t id = 0;
    if (succeeded("VQ36_get_vendor_id", s.x.vendorId(s.handle, &id), err)) {
        std::fprintf(out, "vendor id 0x%04x\n", id);
    } else {
        ok = false;
    }
    if (succeeded("VQ36_get_product_id", s.x.productId(s.handle, &id), err)) {
        std::fprintf(out, "product id 0x%04x\n", id);
    } else {
        ok = false;
    }
    std::int32_t boot = 0;
    if (succeeded("VQ36_is_boot_device", s.x.isBootDevice(s.handle, &boot), err)) {
        std::fprintf(out, "boot device %s\n", boot != 0 ? "yes" : "no");
    } else {
        ok = false;
    }
    return ok ? 0 : 1;
}

int buffer(ControlSession& s, const Command& c, std::FILE* out, std::FILE* err) {
    std::int32_t milliseconds = 0;
    if (!c.numbers.empty()) {
        milliseconds = static_cast<std::int32_t>(c.numbers[0]);
        if (!succeeded("VQ36_set_buffer_millisecs", s.x.setBuffer(s.handle, milliseconds), err)) {
            return 1;
        }
    } else if (!succeeded("VQ36_get_buffer_millisecs", s.x.getBuffer(s.handle, &milliseconds),
                          err)) {
        return 1;
    }
    std::fprintf(out, "buffer %d ms\n", milliseconds);
    return 0;
}

int channels(ControlSession& s, const Command& c, std::FILE* out, std::FILE* err) {
    MidiChannelPair pair{};
    if (!c.numbers.empty()) {
        pair.midiInChannel = static_cast<std::int32_t>(c.numbers[0]);
        pair.midiOutChannel = static_cast<std::int32_t>(c.numbers[1]);
        if (!succeeded("VQ36_set_midi_channels", s.x.setChannels(s.handle, &pair), err)) return 1;
    } else if (!succeeded("VQ36_get_midi_channels", s.x.getChannels(s.handle, &pair), err)) {
        return 1;
    }
    std::fprintf(out, "channels in %d out %d\n", pair.midiInChannel, pair.midiOutChannel);
    return 0;
}

int port(ControlSession& s, std::FILE* out, std::FILE* err) {
    std::int32_t status[kPortStatusWords] = {0, 0};
    if (!succeeded("VQ36_get_usb_port_status", s.x.portStatus(s.handle, status), err)) return 1;
    std::fprintf(out, "port %d %d (%s)\n", status[0], status[1],
                 status[0] != 0 ? "device present" : "no device");
    return 0;
}

// Queues one packet through the status monitor (see kMonitorReady).
int send(ControlSession& s, const Command& c, std::FILE* err) {
    s.x.setPortCallback(s.handle, onPort);
    s.x.setPacketCallback(s.handle, onPacket);
    // The monitor's first pass reports the port status to every handle.
    const auto readyBy = std::chrono::steady_clock::now() + kMonitorReady;
    while (gPortDeliveries.load() == 0 && std::chrono::steady_clock::now() < readyBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (gPortPresent.load() == 0) {
        std::fprintf(err, "vq36 ctl: no VQ36 on the machine\n");
        return 1;
    }

    const char* function = nullptr;
    std::string what;
    std::int32_t point = 0;
    auto queue = [&]() -> std::int32_t {
        if (c.name == "note" && c.numbers[1] == 0) {
            function = "VQ36_send_note_off";
            what = "note off " + std::to_string(c.numbers[0]);
            return s.x.noteOff(s.handle, static_cast<std::int32_t>(c.numbers[0]));
        }
        if (c.name == "note") {
            function = "VQ36_send_note_on";
            what = "note on " + std::to_string(c.numbers[0]) + " " + std::to_string(c.numbers[1]);
            return s.x.noteOn(s.handle, static_cast<std::int32_t>(c.numbers[0]),
                              static_cast<std::int32_t>(c.numbers[1]));
        }
        if (c.name == "cc") {
            function = "VQ36_send_control_change";
            what = "control change " + std::to_string(c.numbers[0]) + " " +
                   std::to_string(c.numbers[1]);
            return s.x.controlChange(s.handle, static_cast<std::int32_t>(c.numbers[0]),
                                     static_cast<std::int32_t>(c.numbers[1]));
        }
        if (c.name == "sysex") {
            function = "VQ36_send_sys_ex";
            what = "sys-ex f0 17 " + hexBytes(c.data.data(), c.data.size()) + " f7";
            return s.x.sysEx(s.handle, c.data.data(), static_cast<std::int32_t>(c.data.size()));
        }
        if (c.name == "control-point") {
            function = "VQ36_set_control_point";
            point = static_cast<std::int32_t>(c.numbers[0]);
            what = "control point " + std::to_string(point);
            return s.x.controlPoint(s.handle, &point);
        }
        function = "VQ36_get_all_controls";
        what = "request for all controls";
        return s.x.allControls(s.handle);
    };
    std::int32_t rc = queue();
    // The queue appears as the monitor starts; a monitor slower than usual is given time.
    const auto retryUntil = std::chrono::steady_clock::now() + kQueueRetry;
    while (rc == kVq36NoRecord && std::chrono::steady_clock::now() < retryUntil) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rc = queue();
    }
    if (!succeeded(function, rc, err)) return 1;
    printLine("sent %s", what.c_str());
    std::this_thread::sleep_for(kSendLinger);
    return 0;
}

int watch(ControlSession& s, const Command& c, StopSignals& stop) {
    gPrintStatus.store(true);
    s.x.setPortCallback(s.handle, onPort);
    s.x.setChannelsCallback(s.handle, onChannels);
    s.x.setPacketCallback(s.handle, onPacket);
    printLine("watching control packets, port status and MIDI channels; Ctrl-C stops");
    // What arrives from the monitor's first pass on is delivered (the pass reports the port
    // status): the seconds count from there.
    const auto readyBy = std::chrono::steady_clock::now() + kMonitorReady;
    while (gPortDeliveries.load() == 0 && std::chrono::steady_clock::now() < readyBy) {
        if (stop.wait(10)) return 0;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(c.seconds);
    for (;;) {
        long slice = 1000;
        if (c.seconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            slice = std::min<long>(slice, static_cast<long>(left));
        }
        if (stop.wait(slice)) break;
    }
    return 0;
}

}  // namespace

int runCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::string root, dll;
    std::size_t i = 0;
    for (; i < args.size(); i += 2) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--root" && hasValue) {
            root = args[i + 1];
        } else if (args[i] == "--dll" && hasValue) {
            dll = args[i + 1];
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        std::fputs(kUsage, err);
        return 2;
    }
    if (args[i] == "help" || args[i] == "--help") {
        std::fputs(kUsage, out);
        return 0;
    }
    const std::vector<std::string> words(args.begin() + static_cast<long>(i), args.end());
    Command command;
    if (auto problem = parseCommand(words, &command)) {
        std::fprintf(err, "vq36 ctl: %s\nsee `vq36 ctl help`\n", problem->c_str());
        return 2;
    }
    // Before anything starts a thread (see StopSignals).
    std::optional<StopSignals> stop;
    if (command.name == "watch") stop.emplace();

    if (!machineAnswers("vq36 ctl", root, err)) return 1;

    gPrintTo = out;
    ControlSession session("vq36 ctl", err);
    if (!session.start(dll)) return 1;
    if (command.name == "versions") return versions(session, out, err);
    if (command.name == "buffer") return buffer(session, command, out, err);
    if (command.name == "channels") return channels(session, command, out, err);
    if (command.name == "port") return port(session, out, err);
    if (command.name == "watch") return watch(session, command, *stop);
    return send(session, command, err);
}

}  // namespace vq36tools
