// `vq36 machine`: the daemon, and the management commands sent to it (see machine_command.h).

#include "machine_command.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "standin/host/machine.h"
#include "standin/host/protocol.h"
#include "standin/host/wire.h"
#include "standin/win32/machine.h"
#include "stream_command.h"

namespace vq36tools {
namespace {

namespace wire = standin::host::wire;
namespace protocol = standin::host::protocol;

#ifndef VQ36_DEFAULT_KERNEL_DRIVER
#define VQ36_DEFAULT_KERNEL_DRIVER "Vq36Kernel.sys"
#endif

constexpr int kManageTimeoutMs = 60000;

constexpr const char* kUsage =
    "usage: vq36 machine [--root DIR] <command>\n"
    "  run [--driver PATH] [--devices N] [--variant V] [--signal S] [--group G]\n"
    "                              runs the machine here until Ctrl-C or shutdown; it serves\n"
    "                              only you, and the members of group G when given\n"
    "  status                      devices, device objects, clients, record counters\n"
    "  plug [--variant V] [--signal S] [--drift PPM] [--boot-loader]\n"
    "  unplug [PORT]\n"
    "  signal PORT CHANNEL|all SIGNAL\n"
    "  control PORT CONTROL VALUE  0-31 the surface; 33 record source, 34/35 tone high/low,\n"
    "                              36 backlight\n"
    "  button PORT NOTE VELOCITY   (velocity 0 releases)\n"
    "  port PORT INDEX on|off\n"
    "  sleep | wake\n"
    "  played PORT FILE            writes what the device played as WAV\n"
    "  packets PORT [COUNT]        the latest control packets the device took (10)\n"
    "  clock PORT                  the device's sample clock as T0:RATE (for vq36 asio stream\n"
    "                              --device-clock)\n"
    "  shutdown\n"
    "  stream [--block FRAMES] [--seconds S]\n"
    "                              streams as an audio program does and prints the counters\n"
    "variants: normal, full-speed, single-interface, no-playback, no-capture, "
    "one-message-pipe\n"
    "signals: counting, silence, sine:HZ[:AMPLITUDE], loopback:CHANNEL\n"
    "The machine root is DIR, else VQ36_MACHINE_ROOT.\n";

int runDaemon(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    standin::host::MachineOptions options;
    const char* fromEnvironment = std::getenv("VQ36_KERNEL_DRIVER");
    options.driverPath = fromEnvironment != nullptr && fromEnvironment[0] != '\0'
                             ? fromEnvironment
                             : VQ36_DEFAULT_KERNEL_DRIVER;
    unsigned long devices = 1;
    standin::host::PlugOptions plug;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--driver" && hasValue) {
            options.driverPath = args[++i];
        } else if (a == "--devices" && hasValue) {
            char* end = nullptr;
            devices = std::strtoul(args[++i].c_str(), &end, 10);
            if (end == nullptr || *end != '\0' || devices > 16) {
                std::fprintf(err, "vq36 machine run: --devices takes 0 to 16\n");
                return 2;
            }
        } else if (a == "--variant" && hasValue) {
            auto v = standin::host::variantFromName(args[++i]);
            if (!v) {
                std::fprintf(err, "vq36 machine run: unknown variant %s\n", args[i].c_str());
                return 2;
            }
            plug.config.variant = *v;
        } else if (a == "--signal" && hasValue) {
            auto s = standin::host::signalFromName(args[++i]);
            if (!s) {
                std::fprintf(err, "vq36 machine run: unknown signal %s\n", args[i].c_str());
                return 2;
            }
            plug.signal = *s;
        } else if (a == "--group" && hasValue) {
            options.group = args[++i];
        } else {
            std::fprintf(err, "vq36 machine run: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    options.devices.assign(devices, plug);

    // Ctrl-C and SIGTERM stop the machine cleanly; a thread of its own takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto machine = standin::host::Machine::start(std::move(options), &error);
    if (!machine) {
        std::fprintf(err, "vq36 machine run: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(out,
                 "machine running at %s with %lu device(s); stop it with Ctrl-C or "
                 "`vq36 machine shutdown`\n",
                 machine->root().c_str(), devices);
    std::fflush(out);

    std::atomic<bool> done{false};
    std::thread signals([&] {
        while (!done.load()) {
            timespec wait{0, 200 * 1000 * 1000};
            if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) {
                machine->requestShutdown();
                return;
            }
        }
    });
    machine->waitForShutdownRequest();
    done = true;
    signals.join();
    machine.reset();
    std::fprintf(out, "machine stopped\n");
    return 0;
}

int sendCommand(std::vector<std::string> args, std::FILE* out, std::FILE* err) {
    // Files are the daemon's to write: give it an absolute path.
    if (args.size() == 3 && args[0] == "played" && !args[2].empty() && args[2][0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) != nullptr) args[2] = std::string(here) + "/" + args[2];
    }
    if (args.size() > protocol::kMaxManageArgs) {
        std::fprintf(err, "vq36 machine: too many arguments\n");
        return 2;
    }
    wire::Writer w;
    w.u32(static_cast<std::uint32_t>(args.size()));
    for (const auto& a : args) w.string(a);
    if (w.data().size() > wire::kMaxIoBuffer) {
        std::fprintf(err, "vq36 machine: the command is too long (%zu bytes; at most %zu)\n",
                     w.data().size(), wire::kMaxIoBuffer);
        return 2;
    }
    const std::string root = standin::win32::machineRoot();
    wire::Fd s(wire::connectTo(root));
    if (!s.valid()) {
        if (errno == EACCES || errno == EPERM) {
            std::fprintf(err,
                         "vq36 machine: no permission to reach the machine's socket %s (the "
                         "machine serves only its owner, and the group it was started with)\n",
                         wire::socketPath(root).c_str());
        } else {
            std::fprintf(err,
                         "vq36 machine: no machine runs on %s (start one with `vq36 machine "
                         "run`)\n",
                         root.c_str());
        }
        return 1;
    }
    wire::Message reply;
    const bool answered =
        wire::send(s.get(), protocol::kManage, w.data()) &&
        wire::receive(s.get(), &reply, kManageTimeoutMs) == wire::Received::Message;
    if (answered && reply.type == protocol::kRefused) {
        wire::Reader r(reply.payload);
        r.i32();
        std::string why = r.string(wire::kMaxIoBuffer);
        std::fprintf(err, "vq36 machine: the machine on %s refused the connection: %s\n",
                     root.c_str(), why.c_str());
        return 1;
    }
    if (!answered || reply.type != protocol::kManageReply) {
        std::fprintf(err, "vq36 machine: the machine on %s did not answer\n", root.c_str());
        return 1;
    }
    wire::Reader r(reply.payload);
    int code = r.i32();
    std::string text = r.string(wire::kMaxIoBuffer);
    if (!r.atEnd()) {
        std::fprintf(err, "vq36 machine: a garbled answer\n");
        return 1;
    }
    std::fputs(text.c_str(), code == 0 ? out : err);
    return code;
}

}  // namespace

int runMachineCommand(const std::vector<std::string>& input, std::FILE* out, std::FILE* err) {
    std::vector<std::string> args = input;
    if (args.size() >= 2 && args[0] == "--root") {
        standin::win32::setMachineRoot(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        std::fprintf(err,
                     "usage: vq36 machine [--root DIR] run [options] | <command>\n"
                     "       vq36 machine help\n");
        return 2;
    }
    if (args[0] == "run") return runDaemon(args, out, err);
    if (args[0] == "stream") return runStreamCommand({args.begin() + 1, args.end()}, out, err);
    if (args[0] == "help" || args[0] == "--help") {
        std::fputs(kUsage, out);
        return 0;
    }
    return sendCommand(args, out, err);
}

}  // namespace vq36tools
