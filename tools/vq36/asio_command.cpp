// `vq36 asio` and `vq36 regsvr` (see asio_command.h).

#include "asio_command.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>

#include "asio_host.h"
#include "panel_command.h"
#include "command_line.h"
#include "standin/win32/scheduling.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace vq36tools {
namespace {

#ifndef VQ36_DEFAULT_ASIO_DLL
#define VQ36_DEFAULT_ASIO_DLL "VexaAsioVq36.dll"
#endif

constexpr const char* kAsioUsage =
    "usage: vq36 asio list | vq36 asio stream [options] | vq36 asio panel [options]\n"
    "  list                       the registered ASIO drivers: name, class id, server module\n"
    "  stream                     creates the driver through COM, streams, then reports\n"
    "    --driver NAME            the driver's registered name (default \"Vexa VQ36\")\n"
    "    --seconds S              how long to stream from the first buffer switch on\n"
    "                             (default 5; fractions allowed)\n"
    "    --outputs LIST           output channels, 1-based: 1-2, 1,2,5 (default 1-2)\n"
    "    --inputs LIST            input channels (default none)\n"
    "    --play CH=SIGNAL         what output CH plays: sine:HZ[:AMP], silence, file:PATH\n"
    "                             (a WAV file's first channel, looped); default silence\n"
    "    --record FILE            the inputs as a 32-bit float WAV file\n"
    "    --output-ready           calls outputReady() from the buffer switch\n"
    "    --buffer-size N          frames per buffer (default: the driver's preferred size)\n"
    "    --report FILE            also writes the report as JSON\n"
    "    --device-clock T0:RATE   also measures from the moment the device's sample clock\n"
    "                             passed each block's last sample, as `vq36 machine clock\n"
    "                             PORT` gives the clock; the first of --inputs must carry\n"
    "                             the device's counting signal\n"
    "    --ready-line             prints \"streaming\" after the first buffer switch\n"
    "  panel                      opens the driver's built-in setup dialog in a window, as\n"
    "                             a host's settings button does (needs an X display)\n"
    "    --driver NAME            the driver's registered name (default \"Vexa VQ36\")\n"
    "    --screenshots DIR        instead: a machine of its own, the dialog off screen driven\n"
    "                             by a fixed script, one PNG per state written into DIR\n"
    "                             (VQ36_TEST_FIRMWARE_WAIT_DIVISOR=N shortens the update's\n"
    "                             two fixed waits N times)\n"
    "Ctrl-C ends the stream early. The machine is the one of VQ36_MACHINE_ROOT. When the\n"
    "driver asks for a reset (the device or its machine went away and came back, a new buffer\n"
    "length), the stream re-creates the driver and goes on. It ends with exit code 1 when the\n"
    "driver cannot be re-created for 30 seconds, when neither a buffer switch nor a reset\n"
    "request comes for 30 seconds, or when the stream is not running at its end (no buffer\n"
    "switch in its last 2 seconds).\n";

constexpr const char* kRegsvrUsage =
    "usage: vq36 regsvr [/u] [--dll PATH]\n"
    "  calls DllRegisterServer (with /u DllUnregisterServer) of PATH, else of the\n"
    "  VexaAsioVq36.dll this build makes\n";

constexpr long kMaxChannel = 64;
constexpr auto kFirstBlockWait = std::chrono::seconds(10);
// A driver that gives neither a buffer switch nor a reset request for this long is stuck.
constexpr auto kStallLimit = vq36host::kRecreateLimit;
// A stream whose last buffer switch is older than this at its end did not run to its end.
constexpr auto kEndGap = std::chrono::seconds(2);

// "1-2", "1,2,5", "1-3,7": 1-based channel numbers to 0-based ones, in the order given.
bool parseChannels(const std::string& text, std::vector<long>* channels) {
    std::vector<long> out;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const std::size_t dash = item.find('-');
        long first = 0, last = 0;
        if (dash == std::string::npos) {
            if (!parseNumber(item, 1, kMaxChannel, &first)) return false;
            last = first;
        } else if (!parseNumber(item.substr(0, dash), 1, kMaxChannel, &first) ||
                   !parseNumber(item.substr(dash + 1), first, kMaxChannel, &last)) {
            return false;
        }
        for (long c = first; c <= last; ++c) {
            if (std::find(out.begin(), out.end(), c - 1) != out.end()) return false;
            out.push_back(c - 1);
        }
        at = comma + 1;
    }
    if (out.empty()) return false;
    *channels = std::move(out);
    return true;
}

bool parseSeconds(const std::string& text, double* seconds) {
    double v = 0.0;
    if (!parseDouble(text, &v) || v <= 0.0 || v > 86400.0) return false;
    *seconds = v;
    return true;
}

// "T0:RATE": capture frame 0 at monotonic time T0 (100 ns units), RATE frames a second.
bool parseDeviceClock(const std::string& text, vq36host::HostOptions* options) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    long origin = 0;
    double rate = 0;
    if (!parseNumber(text.substr(0, colon), 0, std::numeric_limits<long>::max(), &origin) ||
        !parseDouble(text.substr(colon + 1), &rate) || rate < 1000 || rate > 1e6)
        return false;
    options->deviceClockOrigin = origin;
    options->deviceClockRate = rate;
    return true;
}

int usageError(std::FILE* err, const std::string& what, const char* command = "stream") {
    std::fprintf(err, "vq36 asio %s: %s\n%s", command, what.c_str(), kAsioUsage);
    return 2;
}

int list(std::FILE* out, std::FILE* err) {
    std::string error;
    const auto drivers = vq36host::listDrivers(&error);
    if (!error.empty()) {
        std::fprintf(err, "vq36 asio list: %s\n", error.c_str());
        return 1;
    }
    if (drivers.empty()) {
        std::fprintf(out, "no ASIO drivers are registered\n");
        return 0;
    }
    for (const auto& d : drivers) {
        std::fprintf(out, "%s\n  class id: %s\n  server:   %s\n", d.name.c_str(),
                     d.clsid.empty() ? "(none)" : d.clsid.c_str(),
                     d.serverPath.empty() ? "(not registered)" : d.serverPath.c_str());
    }
    return 0;
}

int stream(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    // The driver's streaming thread is time-critical and only waits between blocks.
    standin::win32::setRealTimeForTimeCritical(true);
    vq36host::HostOptions options;
    double seconds = 5.0;
    std::string reportPath;
    bool readyLine = false;
    std::map<long, vq36host::SignalSpec> plays;  // 0-based output -> signal
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--driver" && hasValue) {
            options.driver = args[++i];
        } else if (a == "--seconds" && hasValue) {
            if (!parseSeconds(args[++i], &seconds)) {
                return usageError(err, "--seconds takes more than 0, up to 86400");
            }
        } else if (a == "--outputs" && hasValue) {
            if (!parseChannels(args[++i], &options.outputs)) {
                return usageError(err, "bad --outputs " + args[i]);
            }
        } else if (a == "--inputs" && hasValue) {
            if (!parseChannels(args[++i], &options.inputs)) {
                return usageError(err, "bad --inputs " + args[i]);
            }
        } else if (a == "--play" && hasValue) {
            const std::string& p = args[++i];
            const std::size_t eq = p.find('=');
            long channel = 0;
            vq36host::SignalSpec spec;
            std::string why;
            if (eq == std::string::npos ||
                !parseNumber(p.substr(0, eq), 1, kMaxChannel, &channel)) {
                return usageError(err, "--play takes CH=SIGNAL, not " + p);
            }
            if (!vq36host::parseSignal(p.substr(eq + 1), &spec, &why)) return usageError(err, why);
            plays[channel - 1] = spec;
        } else if (a == "--record" && hasValue) {
            options.recordPath = args[++i];
        } else if (a == "--report" && hasValue) {
            reportPath = args[++i];
        } else if (a == "--device-clock" && hasValue) {
            if (!parseDeviceClock(args[++i], &options)) {
                return usageError(err, "--device-clock takes T0:RATE, not " + args[i]);
            }
        } else if (a == "--buffer-size" && hasValue) {
            if (!parseNumber(args[++i], 1, 3000, &options.bufferSize)) {
                return usageError(err, "--buffer-size takes 1 to 3000");
            }
        } else if (a == "--output-ready") {
            options.outputReady = true;
        } else if (a == "--ready-line") {
            readyLine = true;
        } else {
            return usageError(err, "unknown option " + a);
        }
    }
    if (!options.recordPath.empty() && options.inputs.empty()) {
        return usageError(err, "--record needs --inputs");
    }
    if (options.deviceClockRate > 0 && options.inputs.empty()) {
        return usageError(err, "--device-clock needs --inputs");
    }
    options.outputSignals.assign(options.outputs.size(), vq36host::SignalSpec{});
    for (const auto& [channel, spec] : plays) {
        const auto at = std::find(options.outputs.begin(), options.outputs.end(), channel);
        if (at == options.outputs.end()) {
            return usageError(err, "--play " + std::to_string(channel + 1) + "=...: output " +
                                       std::to_string(channel + 1) + " is not among --outputs");
        }
        options.outputSignals[static_cast<std::size_t>(at - options.outputs.begin())] = spec;
    }

    // Before anything starts a thread (see StopSignals).
    StopSignals signals;
    vq36host::AsioHost host;
    std::string error;
    if (!host.start(options, &error)) {
        std::fprintf(err, "vq36 asio stream: %s\n", error.c_str());
        return 1;
    }
    // The stream's seconds count from its first buffer switch: a device whose block size the
    // library has yet to set starts about a second after the driver does.
    int code = 0;
    bool stopRequested = false;
    const auto firstBlockLimit = std::chrono::steady_clock::now() + kFirstBlockWait;
    while (!host.waitFirstBlock(0)) {
        if (std::chrono::steady_clock::now() >= firstBlockLimit) break;
        if (!host.serve(5, &error)) {
            std::fprintf(err, "vq36 asio stream: %s\n", error.c_str());
            code = 1;
            break;
        }
        if (signals.wait(0)) {
            stopRequested = true;
            break;
        }
    }
    if (code == 0 && !stopRequested && host.waitFirstBlock(0)) {
        if (readyLine) {
            std::fputs("streaming\n", out);
            std::fflush(out);
        }
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(seconds));
        std::uint64_t seen = host.blocks();
        std::uint64_t resets = host.resets();
        auto lastSwitch = std::chrono::steady_clock::now();
        auto lastWord = lastSwitch;  // the last buffer switch or reset request
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (const std::uint64_t b = host.blocks(); b != seen) {
                seen = b;
                lastSwitch = now;
                lastWord = now;
            }
            if (const std::uint64_t r = host.resets(); r != resets) {
                resets = r;
                lastWord = now;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            if (left <= 0) {
                if (now - lastSwitch > kEndGap) {
                    std::fprintf(
                        err,
                        "vq36 asio stream: the stream stopped: no buffer switch in its "
                        "last %lld seconds\n",
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::seconds>(now - lastSwitch)
                                .count()));
                    code = 1;
                }
                break;
            }
            if (now - lastWord > kStallLimit) {
                std::fprintf(err,
                             "vq36 asio stream: neither a buffer switch nor a reset request for "
                             "%lld seconds: the driver is stuck\n",
                             static_cast<long long>(kStallLimit.count()));
                code = 1;
                break;
            }
            if (!host.serve(std::min<long>(static_cast<long>(left), 20), &error)) {
                std::fprintf(err, "vq36 asio stream: %s\n", error.c_str());
                code = 1;
                break;
            }
            if (signals.wait(0)) break;
        }
    }
    if (!host.stop(&error)) {
        std::fprintf(err, "vq36 asio stream: %s\n", error.c_str());
        code = 1;
    }
    const vq36host::StreamReport report = host.report();
    std::fputs(report.toText().c_str(), out);
    std::fflush(out);
    if (!reportPath.empty()) {
        std::FILE* f = std::fopen(reportPath.c_str(), "w");
        const std::string json = report.toJson() + "\n";
        const bool written = f != nullptr && std::fputs(json.c_str(), f) >= 0;
        if (f == nullptr || std::fclose(f) != 0 || !written) {
            std::fprintf(err, "vq36 asio stream: cannot write %s\n", reportPath.c_str());
            code = 1;
        }
    }
    if (report.blocks == 0) {
        std::fprintf(err, "vq36 asio stream: no buffer switch came from the driver%s\n",
                     stopRequested ? "" : " within 10 seconds");
        code = 1;
    }
    return code;
}

int panel(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    PanelOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size() && !args[i + 1].empty();
        if (a == "--driver" && hasValue) {
            options.driver = args[++i];
        } else if (a == "--screenshots" && hasValue) {
            options.screenshots = args[++i];
        } else {
            return usageError(err, "unknown or incomplete option " + a, "panel");
        }
    }
    return runPanel(options, out, err);
}

}  // namespace

HRESULT callRegistration(const std::string& path, bool unregister, std::string* problem) {
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *problem = "cannot load " + path + " (" + standin::win32::lastLoaderMessage() + ")";
        return E_FAIL;
    }
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto call = reinterpret_cast<Entry>(GetProcAddress(module, entry));
    if (call == nullptr) {
        *problem = path + " does not export " + entry;
        FreeLibrary(module);
        return E_FAIL;
    }
    const HRESULT hr = call();
    FreeLibrary(module);
    return hr;
}

int runAsioCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.empty()) {
        std::fputs(kAsioUsage, err);
        return 2;
    }
    if (args[0] == "help" || args[0] == "--help") {
        std::fputs(kAsioUsage, out);
        return 0;
    }
    if (args[0] == "list") {
        if (args.size() != 1) {
            std::fprintf(err, "vq36 asio list: takes no arguments\n%s", kAsioUsage);
            return 2;
        }
        return list(out, err);
    }
    if (args[0] == "stream") return stream(args, out, err);
    if (args[0] == "panel") return panel(args, out, err);
    std::fprintf(err, "vq36 asio: unknown command %s\n%s", args[0].c_str(), kAsioUsage);
    return 2;
}

int runRegsvrCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    bool unregister = false;
    std::string path = VQ36_DEFAULT_ASIO_DLL;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "help" || a == "--help") {
            std::fputs(kRegsvrUsage, out);
            return 0;
        } else if (a == "/u" || a == "-u") {
            unregister = true;
        } else if (a == "--dll" && i + 1 < args.size() && !args[i + 1].empty()) {
            path = args[++i];
        } else {
            std::fprintf(err, "vq36 regsvr: unknown option %s\n%s", a.c_str(), kRegsvrUsage);
            return 2;
        }
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    std::string problem;
    const HRESULT hr = callRegistration(path, unregister, &problem);
    if (!problem.empty()) {
        std::fprintf(err, "vq36 regsvr: %s\n", problem.c_str());
        return 1;
    }
    std::fprintf(hr == S_OK ? out : err, "%s%s of %s: 0x%08lx%s\n",
                 hr == S_OK ? "" : "vq36 regsvr: ", entry, path.c_str(),
                 static_cast<unsigned long>(hr) & 0xFFFFFFFFul, hr == S_OK ? " (S_OK)" : "");
    return hr == S_OK ? 0 : 1;
}

}  // namespace vq36tools
