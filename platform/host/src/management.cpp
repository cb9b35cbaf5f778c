// Management commands: what a person (or a test) does to the machine from outside, through
// `vq36 machine <command>` or Machine::manage.
//
//   status                                  devices, device objects, clients, record counters
//   plug [--variant V] [--signal S] [--drift PPM] [--boot-loader]
//                                           plugs a VQ36 into a new port; prints the port
//   unplug [PORT]                           pulls a device out (the only one when no port)
//   signal PORT CHANNEL|all SIGNAL          capture signal of channels (0 to 11)
//   control PORT CONTROL VALUE              moves a control (0-31 the surface, 33-36 settings)
//   button PORT NOTE VELOCITY               presses a button (velocity 0 releases it)
//   port PORT INDEX on|off                  sets a port state (index 0 or 1)
//   sleep | wake                            the machine sleeps (D0 exit) / wakes (D0 entry)
//   played PORT FILE                        writes what the device played as a WAV file
//   packets PORT [COUNT]                    the latest control packets the device took (10)
//   clock PORT                              the device's sample clock as T0:RATE: capture
//                                           frame 0 at monotonic time T0 (100 ns units),
//                                           RATE frames a second
//   shutdown                                stops the machine (the daemon exits)
//
// Variants: normal, full-speed, single-interface, no-playback, no-capture, one-message-pipe.
// Signals: counting, silence, sine:HZ[:AMPLITUDE], loopback:CHANNEL.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "internal.h"

namespace standin::host {

std::optional<vq36::CaptureSource> signalFromName(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string piece; std::getline(in, piece, ':');) parts.push_back(piece);
    if (parts.empty()) return std::nullopt;
    auto number = [](const std::string& s, double* v) {
        char* end = nullptr;
        *v = std::strtod(s.c_str(), &end);
        return !s.empty() && end != nullptr && *end == '\0';
    };
    if (parts[0] == "counting" && parts.size() == 1) return vq36::CaptureSource::counting();
    if (parts[0] == "silence" && parts.size() == 1) return vq36::CaptureSource::silence();
    if (parts[0] == "sine" && (parts.size() == 2 || parts.size() == 3)) {
        double hz = 0, amplitude = 0.5;
        if (!number(parts[1], &hz) || hz <= 0 || hz >= 24000) return std::nullopt;
        if (parts.size() == 3 && (!number(parts[2], &amplitude) || amplitude < 0 || amplitude > 1))
            return std::nullopt;
        return vq36::CaptureSource::sine(hz, amplitude);
    }
    if (parts[0] == "loopback" && parts.size() == 2) {
        double channel = 0;
        if (!number(parts[1], &channel) || channel < 0 || channel >= vq36::kPlaybackChannels ||
            channel != static_cast<unsigned>(channel))
            return std::nullopt;
        return vq36::CaptureSource::loopback(static_cast<unsigned>(channel));
    }
    return std::nullopt;
}

namespace {

bool parseUnsigned(const std::string& s, unsigned long max, unsigned long* v) {
    if (s.empty() || s.size() > 12) return false;
    char* end = nullptr;
    unsigned long n = std::strtoul(s.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || n > max) return false;
    *v = n;
    return true;
}

constexpr const char* kUsage =
    "usage: vq36 machine <command>\n"
    "  status\n"
    "  plug [--variant V] [--signal S] [--drift PPM] [--boot-loader]\n"
    "  unplug [PORT]\n"
    "  signal PORT CHANNEL|all SIGNAL\n"
    "  control PORT CONTROL VALUE\n"
    "  button PORT NOTE VELOCITY\n"
    "  port PORT INDEX on|off\n"
    "  sleep | wake\n"
    "  played PORT FILE\n"
    "  packets PORT [COUNT]\n"
    "  clock PORT\n"
    "  shutdown\n"
    "variants: normal, full-speed, single-interface, no-playback, no-capture, one-message-pipe\n"
    "signals: counting, silence, sine:HZ[:AMPLITUDE], loopback:CHANNEL\n";

// The latest `count` control packets among the commands a device took, oldest first: the bus
// frame, the command byte (0x41, or 0x42 for a packet the device answers) and the packet's used
// bytes, length byte first.
std::string formatControlPackets(const std::vector<vq36::ReceivedCommand>& commands,
                                 unsigned long count) {
    std::vector<const vq36::ReceivedCommand*> packets;
    for (const auto& c : commands) {
        if (c.valid() && (c.command() == vq36::kCmdControlPacket ||
                          c.command() == vq36::kCmdDirectControlPacket))
            packets.push_back(&c);
    }
    if (packets.empty()) return "no control packets\n";
    const std::size_t first = packets.size() > count ? packets.size() - count : 0;
    std::string text;
    for (std::size_t i = first; i < packets.size(); ++i) {
        const auto& c = *packets[i];
        char line[64];
        std::snprintf(line, sizeof line, "frame %u  %02x ", c.frameNumber, c.command());
        text += line;
        const std::size_t used = std::min<std::size_t>(c.data(0), vq36::kControlPacketMax);
        for (std::size_t b = 0; b <= used; ++b) {
            std::snprintf(line, sizeof line, " %02x", c.data(b));
            text += line;
        }
        text += "\n";
    }
    return text;
}

int fail(std::string* out, const std::string& message) {
    *out = message + "\n";
    return 1;
}

}  // namespace

int Machine::Impl::manage(const std::vector<std::string>& args, std::string* out) {
    Machine& machine = *owner;
    out->clear();
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        *out = kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    const std::size_t n = args.size();

    // The device of a port argument.
    auto deviceAt = [&](const std::string& text,
                        usb::PortId* port) -> std::shared_ptr<vq36::Vq36Device> {
        unsigned long p = 0;
        if (!parseUnsigned(text, 0xFFFFFFFFul, &p)) return nullptr;
        *port = static_cast<usb::PortId>(p);
        return machine.device(*port);
    };

    if (command == "status" && n == 1) {
        *out = formatStatus(machine.status());
        return 0;
    }
    if (command == "plug") {
        PlugOptions options;
        for (std::size_t i = 1; i < n; ++i) {
            const std::string& a = args[i];
            bool hasValue = i + 1 < n;
            if (a == "--variant" && hasValue) {
                auto v = variantFromName(args[++i]);
                if (!v) return fail(out, "unknown variant " + args[i]);
                options.config.variant = *v;
            } else if (a == "--signal" && hasValue) {
                auto s = signalFromName(args[++i]);
                if (!s) return fail(out, "unknown signal " + args[i]);
                options.signal = *s;
            } else if (a == "--drift" && hasValue) {
                char* end = nullptr;
                double ppm = std::strtod(args[++i].c_str(), &end);
                // Written so that a NaN (which compares false with everything) is refused too.
                if (end == nullptr || *end != '\0' || !(ppm >= -100000 && ppm <= 100000))
                    return fail(out, "drift must be between -100000 and 100000 ppm");
                options.config.driftPpm = ppm;
            } else if (a == "--boot-loader") {
                options.config.startInBootLoader = true;
            } else {
                return fail(out, "plug: unknown option " + a);
            }
        }
        usb::PortId port = machine.plug(std::move(options));
        if (port == 0) return fail(out, "the machine is stopping");
        *out = "plugged into port " + std::to_string(port) + "\n";
        return 0;
    }
    if (command == "unplug" && n <= 2) {
        usb::PortId port = 0;
        if (n == 2) {
            if (!deviceAt(args[1], &port)) return fail(out, "no device on port " + args[1]);
        } else {
            auto ports = machine.ports();
            if (ports.size() != 1) return fail(out, "unplug: name the port");
            port = ports[0];
        }
        if (!machine.unplug(port)) return fail(out, "no device on port " + std::to_string(port));
        *out = "unplugged port " + std::to_string(port) + "\n";
        return 0;
    }
    if (command == "signal" && n == 4) {
        usb::PortId port = 0;
        auto device = deviceAt(args[1], &port);
        if (!device) return fail(out, "no device on port " + args[1]);
        auto source = signalFromName(args[3]);
        if (!source) return fail(out, "unknown signal " + args[3]);
        if (args[2] == "all") {
            device->setAllCaptureSources(*source);
        } else {
            unsigned long channel = 0;
            if (!parseUnsigned(args[2], vq36::kCaptureChannels - 1, &channel))
                return fail(out, "channels are 0 to 11, or all");
            device->setCaptureSource(static_cast<unsigned>(channel), *source);
        }
        return 0;
    }
    if ((command == "control" || command == "button") && n == 4) {
        usb::PortId port = 0;
        auto device = deviceAt(args[1], &port);
        if (!device) return fail(out, "no device on port " + args[1]);
        unsigned long number = 0, value = 0;
        if (!parseUnsigned(args[2], 127, &number) || !parseUnsigned(args[3], 127, &value))
            return fail(out, command + ": numbers are 0 to 127");
        bool sent;
        if (command == "control")
            sent = device->moveControl(static_cast<std::uint8_t>(number),
                                       static_cast<std::uint8_t>(value));
        else if (value == 0)
            sent = device->releaseButton(static_cast<std::uint8_t>(number));
        else
            sent = device->pressButton(static_cast<std::uint8_t>(number),
                                       static_cast<std::uint8_t>(value));
        if (!sent)
            return fail(out, command +
                                 ": the device did not send it (not on the bus, "
                                 "no such control, or its queue is full)");
        return 0;
    }
    if (command == "port" && n == 4) {
        usb::PortId port = 0;
        auto device = deviceAt(args[1], &port);
        if (!device) return fail(out, "no device on port " + args[1]);
        unsigned long index = 0;
        if (!parseUnsigned(args[2], 1, &index) || (args[3] != "on" && args[3] != "off"))
            return fail(out, "port: PORT INDEX(0|1) on|off");
        if (!device->setPortState(static_cast<unsigned>(index), args[3] == "on"))
            return fail(out, "port: the device did not send it");
        return 0;
    }
    if (command == "clock" && n == 2) {
        usb::PortId port = 0;
        auto device = deviceAt(args[1], &port);
        if (!device) return fail(out, "no device on port " + args[1]);
        // The device counts its frames from the bus's first microframe, which starts the bus's
        // first frame.
        usb::Bus& bus = machine.bus();
        char line[64];
        std::snprintf(line, sizeof line, "%lld:%.17g\n",
                      static_cast<long long>(bus.frameStartTime(bus.options().frameBase)),
                      device->captureFramesPerSecond());
        *out = line;
        return 0;
    }
    if (command == "sleep" && n == 1) {
        if (!machine.sleep()) return fail(out, "the machine is asleep already");
        *out = "asleep\n";
        return 0;
    }
    if (command == "wake" && n == 1) {
        if (!machine.wake()) return fail(out, "the machine is awake");
        *out = "awake\n";
        return 0;
    }
    if (command == "played" && n == 3) {
        usb::PortId port = 0;
        auto device = deviceAt(args[1], &port);
        if (!device) return fail(out, "no device on port " + args[1]);
        if (!device->recorder().writeWav(args[2])) return fail(out, "cannot write " + args[2]);
        *out = std::to_string(device->recorder().framesRecorded()) + " frames recorded, wrote " +
               args[2] + "\n";
        return 0;
    }
    if (command == "packets" && (n == 2 || n == 3)) {
        usb::PortId port = 0;
        auto device = deviceAt(args[1], &port);
        if (!device) return fail(out, "no device on port " + args[1]);
        unsigned long count = 10;
        if (n == 3 && (!parseUnsigned(args[2], 1000, &count) || count == 0))
            return fail(out, "packets: COUNT is 1 to 1000");
        *out = formatControlPackets(device->commands(), count);
        return 0;
    }
    if (command == "shutdown" && n == 1) {
        machine.requestShutdown();
        *out = "shutting down\n";
        return 0;
    }
    *out = std::string("unknown command or wrong arguments: ") + command + "\n" + kUsage;
    return 2;
}

}  // namespace standin::host
