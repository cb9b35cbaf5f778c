// `vq36 demo` (see demo_command.h).

#include "demo_command.h"

#include <cairo.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "asio_host.h"
#include "child_process.h"
#include "command_line.h"
#include "flat_json.h"
#include "mix_check.h"
#include "public/vq36_shared.h"
#include "standin/host/machine.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace vq36tools {
namespace {

#ifndef VQ36_DEFAULT_KERNEL_DRIVER
#define VQ36_DEFAULT_KERNEL_DRIVER ""
#endif
#ifndef VQ36_DEFAULT_ASIO_DLL
#define VQ36_DEFAULT_ASIO_DLL ""
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: vq36 demo [--seconds S] [--out DIR]\n"
    "  two ASIO programs stream to one VQ36 at once on a fresh machine: a 440 Hz sine and\n"
    "  (a second later) a 660 Hz sine on outputs 1-2, for about S seconds together (1 to 600,\n"
    "  default 5). Checks that the device played their clipped sum bit for bit and that the\n"
    "  inputs 1-2 (looped back from outputs 1-2) captured it; writes played.wav, captured.wav\n"
    "  and waveforms.png into DIR (default out/demo). Exits 0 when every check passed.\n";

constexpr long kDefaultSeconds = 5;
constexpr double kAmplitude = 0.6;
constexpr std::uint32_t kFirstHz = 440;
constexpr std::uint32_t kSecondHz = 660;
constexpr int kStartupMs = 20000;  // a host's start, and the kernel's
constexpr auto kStagger = std::chrono::milliseconds(1000);
constexpr long kExtraSecondsFirst = 4;  // the hosts run on past the snapshot of the mix
constexpr long kExtraSecondsSecond = 2;
constexpr double kMaxRateError = 100.0;   // Hz
constexpr double kMinBlockShare = 0.8;    // of the blocks S seconds hold
constexpr std::size_t kPlotFrames = 240;  // 5 ms
constexpr std::size_t kMarginBlocks = 4;
// A client that falls two blocks behind catches up without delivering the blocks it skips, and
// a joined client that comes after the kernel cleared its block for the next lap does not mix
// it (both count slips); the device then plays those ring blocks' previous lap again. On a loaded
// machine that happens now and then and is reported; more repeats than this share of the checked
// frames fail the demo.
constexpr double kMaxRepeatShare = 0.02;
// The buffer length setting whose blocks are 384 frames (8 ms at 48 kHz): the library turns a
// setting of 24 into 384 frames. At the default of 8 (96 frames, 2 ms) on a loaded machine a host
// now and then takes its buffer switch after its block's next boundary and reads an input half
// that the kernel is already writing over: a few such blocks a second leave no second of host
// 1's inputs equal to the played mix, which the loopback check fails (and, rarely, one block is
// played that is neither the mix nor a lap's repeat).
constexpr std::int32_t kBufferMillisecs = 24;
constexpr std::uint32_t kBlockFrames = 384;

// ---- The library: registered, and a handle open so that its status monitor runs ---------------

class Library {
  public:
    ~Library() {
        closeHandle();
        if (module_ != nullptr) FreeLibrary(module_);
    }

    // Closes the handle (the status monitor of this process ends with it).
    void closeHandle() {
        if (handle_ != nullptr && close_ != nullptr) close_(handle_);
        handle_ = nullptr;
    }

    // Loads it, registers it (DllRegisterServer), opens a handle and sets the buffer length;
    // false (and `error`) when any step fails.
    bool start(std::int32_t bufferMillisecs, std::string* error) {
        const char* path = VQ36_DEFAULT_ASIO_DLL;
        module_ = LoadLibraryA(path);
        if (module_ == nullptr) {
            *error = std::string("cannot load ") + path + " (" +
                     standin::win32::lastLoaderMessage() + ")";
            return false;
        }
        auto registerServer =
            reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllRegisterServer"));
        auto open = reinterpret_cast<void* (*)()>(GetProcAddress(module_, "VQ36_open"));
        close_ = reinterpret_cast<void (*)(void*)>(GetProcAddress(module_, "VQ36_close"));
        auto setBuffer = reinterpret_cast<std::int32_t (*)(void*, std::int32_t)>(
            GetProcAddress(module_, "VQ36_set_buffer_millisecs"));
        if (registerServer == nullptr || open == nullptr || close_ == nullptr ||
            setBuffer == nullptr) {
            *error =
                "the library lacks DllRegisterServer, VQ36_open, VQ36_close or "
                "VQ36_set_buffer_millisecs";
            return false;
        }
        const HRESULT registered = registerServer();
        if (registered != S_OK) {
            char text[64];
            std::snprintf(text, sizeof text, "DllRegisterServer failed: 0x%08x",
                          static_cast<unsigned>(registered));
            *error = text;
            return false;
        }
        handle_ = open();
        if (handle_ == nullptr) {
            *error = "VQ36_open gave no handle";
            return false;
        }
        if (setBuffer(handle_, bufferMillisecs) != 0) {
            *error = "VQ36_set_buffer_millisecs failed";
            return false;
        }
        return true;
    }

  private:
    HMODULE module_ = nullptr;
    void* handle_ = nullptr;
    void (*close_)(void*) = nullptr;
};

// ---- What the demo found -----------------------------------------------------------------------

struct HostRun {
    std::string name;
    std::uint32_t hz = 0;
    std::string reportPath;
    std::string recordPath;
    std::map<std::string, double> report;
    int exitCode = -1;
};

double number(const std::map<std::string, double>& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? -1.0 : it->second;
}

struct LoopbackResult {
    bool found = false;
    std::size_t compared = 0;
    std::size_t mismatching = 0;
    std::size_t longestRun = 0;  // equal frames in a row
    long long shift = 0;         // captured frame k is played frame k + shift
};

// Finds where the captured frames (2 channels) sit in the played frames (10 channels, the first
// two compared) and counts the frames that differ over the captured stretch, less `margin` at
// both ends.
LoopbackResult checkLoopback(const std::vector<float>& played, const vq36host::WavData& captured,
                             std::size_t margin) {
    LoopbackResult best;
    const std::size_t np = played.size() / vq36::kPlaybackChannels;
    const std::size_t nc = captured.frames();
    if (captured.channels != 2 || nc < 2 * margin + 1024 || np < 1024) return best;
    auto equal = [&](std::size_t p, std::size_t k) {
        return played[p * vq36::kPlaybackChannels] == captured.samples[2 * k] &&
               played[p * vq36::kPlaybackChannels + 1] == captured.samples[2 * k + 1];
    };
    // A window in the middle of the capture that is not silent.
    constexpr std::size_t kWindow = 480;
    std::size_t k0 = nc / 2;
    while (k0 + kWindow < nc - margin && captured.samples[2 * k0] == 0.0f) ++k0;
    if (k0 + kWindow >= nc) return best;
    for (std::size_t p = 0; p + kWindow <= np; ++p) {
        std::size_t i = 0;
        while (i < kWindow && equal(p + i, k0 + i)) ++i;
        if (i < kWindow) continue;
        // A candidate (a periodic mix fits every period): the one that fits the whole stretch.
        LoopbackResult r;
        r.found = true;
        r.shift = static_cast<long long>(p) - static_cast<long long>(k0);
        std::size_t run = 0;
        for (std::size_t k = margin; k + margin < nc; ++k) {
            const long long q = static_cast<long long>(k) + r.shift;
            if (q < 0 || q >= static_cast<long long>(np)) continue;
            ++r.compared;
            if (equal(static_cast<std::size_t>(q), k)) {
                run += 1;
                r.longestRun = std::max(r.longestRun, run);
            } else {
                run = 0;
                ++r.mismatching;
            }
        }
        if (!best.found || r.longestRun > best.longestRun) {
            best = r;
        }
    }
    return best;
}

// ---- The picture -------------------------------------------------------------------------------

struct Panel {
    std::string label;
    std::vector<float> samples;
    double red, green, blue;
};

bool drawWaveforms(const std::string& path, const std::vector<Panel>& panels, std::string* error) {
    constexpr int kWidth = 960;
    constexpr int kPanelHeight = 220;
    constexpr int kTop = 50;
    constexpr int kLeft = 70;
    constexpr int kRight = 30;
    constexpr int kGap = 30;
    const int height = kTop + static_cast<int>(panels.size()) * (kPanelHeight + kGap) + 30;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 16);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, kLeft, 28);
    cairo_show_text(cr, "VQ36: two ASIO programs and what the device played");

    const double plotWidth = kWidth - kLeft - kRight;
    const double ms = static_cast<double>(kPlotFrames) * 1000.0 / mix::kSampleRate;
    for (std::size_t p = 0; p < panels.size(); ++p) {
        const double y0 = kTop + static_cast<double>(p) * (kPanelHeight + kGap) + 20;
        const double h = kPanelHeight - 20;
        auto yOf = [&](double v) { return y0 + h / 2 - v / 1.25 * (h / 2); };
        auto xOf = [&](double frame) { return kLeft + frame / kPlotFrames * plotWidth; };
        // Label.
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
        cairo_set_font_size(cr, 13);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, kLeft, y0 - 6);
        cairo_show_text(cr, panels[p].label.c_str());
        // Frame and axes.
        cairo_set_line_width(cr, 1);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_rectangle(cr, kLeft + 0.5, y0 + 0.5, plotWidth, h);
        cairo_stroke(cr);
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, 11);
        for (double v : {-1.0, 0.0, 1.0}) {
            const double y = yOf(v);
            if (v == 0.0) {
                cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
                const double dashes[] = {};
                cairo_set_dash(cr, dashes, 0, 0);
            } else {
                cairo_set_source_rgb(cr, 0.85, 0.2, 0.2);
                const double dashes[] = {6, 4};
                cairo_set_dash(cr, dashes, 2, 0);
            }
            cairo_move_to(cr, kLeft, y);
            cairo_line_to(cr, kLeft + plotWidth, y);
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0);
            char text[16];
            std::snprintf(text, sizeof text, "%+.0f", v);
            if (v == 0.0) std::snprintf(text, sizeof text, "0");
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_move_to(cr, kLeft - 28, y + 4);
            cairo_show_text(cr, text);
        }
        for (int t = 0; t <= 5; ++t) {
            const double x = xOf(t * (kPlotFrames / ms));
            cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
            cairo_move_to(cr, x, y0 + h);
            cairo_line_to(cr, x, y0 + h + 5);
            cairo_stroke(cr);
            char text[32];
            std::snprintf(text, sizeof text, "%d ms", t);
            cairo_move_to(cr, x - 14, y0 + h + 17);
            cairo_show_text(cr, text);
        }
        // The samples.
        cairo_set_source_rgb(cr, panels[p].red, panels[p].green, panels[p].blue);
        cairo_set_line_width(cr, 1.8);
        const auto& s = panels[p].samples;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double x = xOf(static_cast<double>(i));
            const double y = yOf(s[i]);
            if (i == 0) {
                cairo_move_to(cr, x, y);
            } else {
                cairo_line_to(cr, x, y);
            }
        }
        cairo_stroke(cr);
    }
    cairo_destroy(cr);
    const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        *error = std::string("cannot write ") + path + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

// ---- The run -----------------------------------------------------------------------------------

struct Options {
    long seconds = kDefaultSeconds;
    std::string out = "out/demo";
};

class Demo {
  public:
    Demo(const Options& options, std::FILE* out, std::FILE* err)
        : options_(options), out_(out), err_(err) {}
    int run();

  private:
    bool fail(const std::string& message) {
        failures_.push_back(message);
        return false;
    }
    int finish();
    bool startMachine();
    bool waitForBlockSize();
    bool streaming() const;
    std::unique_ptr<ChildProcess> startHost(HostRun* host, long seconds);
    void printReport(const mix::MixResult& mix, const LoopbackResult& loop, double rate);

    const Options options_;
    std::FILE* const out_;
    std::FILE* const err_;
    std::vector<std::string> failures_;
    // Released in the reverse order: the library's handle, the machine, the root.
    std::optional<standin::win32::ScopedFreshMachine> root_;
    std::unique_ptr<standin::host::Machine> machine_;
    std::shared_ptr<standin::vq36::Vq36Device> device_;
    std::unique_ptr<Library> library_;
    std::uint32_t blockFrames_ = 0;
    std::uint32_t ringBlocks_ = 0;
    std::string work_;  // the hosts' files, below the machine root
    HostRun hosts_[2];
};

bool Demo::startMachine() {
    standin::host::MachineOptions options;
    const char* kernel = std::getenv("VQ36_KERNEL_DRIVER");
    options.driverPath =
        kernel != nullptr && kernel[0] != '\0' ? kernel : VQ36_DEFAULT_KERNEL_DRIVER;
    options.devices.push_back({});
    std::string error;
    machine_ = standin::host::Machine::start(std::move(options), &error);
    if (!machine_) return fail("the machine did not start: " + error);
    const auto ports = machine_->ports();
    if (ports.empty() || !(device_ = machine_->device(ports[0]))) {
        return fail("the machine has no VQ36");
    }
    // Inputs 1-2 hear outputs 1-2.
    device_->setCaptureSource(0, standin::vq36::CaptureSource::loopback(0));
    device_->setCaptureSource(1, standin::vq36::CaptureSource::loopback(1));
    return true;
}

// The status monitor of this process gives the kernel its block size (from the
// "BufferSizeMillisecs" setting); the first client's buffers then start the stream. The kernel
// records the size at once and lays out its ring for it a little later: the mixing check needs
// the ring's length to tell a lap's repeat, so both are waited for.
bool Demo::waitForBlockSize() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartupMs);
    while (Clock::now() < deadline) {
        const auto status = machine_->status();
        if (!status.deviceObjects.empty() && status.deviceObjects[0].record &&
            status.deviceObjects[0].record->blockFrames == kBlockFrames &&
            status.deviceObjects[0].record->ringBlocks != 0) {
            blockFrames_ = status.deviceObjects[0].record->blockFrames;
            ringBlocks_ = status.deviceObjects[0].record->ringBlocks;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fail("the kernel did not take blocks of " + std::to_string(kBlockFrames) + " frames");
}

bool Demo::streaming() const {
    const auto status = machine_->status();
    return !status.deviceObjects.empty() && status.deviceObjects[0].record &&
           status.deviceObjects[0].record->streamingEnabled != 0;
}

std::unique_ptr<ChildProcess> Demo::startHost(HostRun* host, long seconds) {
    const std::string sine = "sine:" + std::to_string(host->hz) + ":0.6";
    auto child = std::make_unique<ChildProcess>(
        "/proc/self/exe",
        std::vector<std::string>{"asio", "stream", "--seconds", std::to_string(seconds),
                                 "--outputs", "1-2", "--inputs", "1-2", "--play", "1=" + sine,
                                 "--play", "2=" + sine, "--record", host->recordPath, "--report",
                                 host->reportPath, "--ready-line"});
    if (!child->started()) {
        fail(host->name + " did not start");
        return nullptr;
    }
    if (!child->waitForLine("streaming", kStartupMs)) {
        child->wait(0);
        fail(host->name + " did not start streaming:\n" + child->tail(8, "    | "));
        return nullptr;
    }
    return child;
}

int Demo::run() {
    std::error_code ec;
    const fs::path outDir = fs::absolute(options_.out, ec);
    fs::create_directories(outDir, ec);
    if (ec || !fs::is_directory(outDir)) {
        std::fprintf(err_, "vq36 demo: cannot make the folder %s\n", options_.out.c_str());
        return 1;
    }
    const std::string playedPath = (outDir / "played.wav").string();
    const std::string capturedPath = (outDir / "captured.wav").string();
    const std::string plotPath = (outDir / "waveforms.png").string();
    for (const auto& p : {playedPath, capturedPath, plotPath}) fs::remove(p, ec);

    // A fresh machine root for this process and the hosts it starts; removed at the end.
    root_.emplace();
    work_ = root_->root() + "/demo";
    fs::create_directories(work_, ec);
    hosts_[0] = {"host 1", kFirstHz, work_ + "/host1.json", work_ + "/host1.wav", {}, -1};
    hosts_[1] = {"host 2", kSecondHz, work_ + "/host2.json", work_ + "/host2.wav", {}, -1};

    std::fprintf(out_, "vq36 demo: a fresh machine with Vq36Kernel.sys and one VQ36 at %s\n",
                 root_->root().c_str());
    std::fflush(out_);
    if (!startMachine()) return finish();
    library_ = std::make_unique<Library>();
    {
        std::string error;
        if (!library_->start(kBufferMillisecs, &error)) {
            fail("VexaAsioVq36.dll: " + error);
            return finish();
        }
    }
    if (!waitForBlockSize()) return finish();
    std::fprintf(out_,
                 "  the kernel streams blocks of %u frames; starting two ASIO programs "
                 "(`vq36 asio stream`) about a second apart\n",
                 blockFrames_);
    std::fflush(out_);

    const long seconds = options_.seconds;
    auto first = startHost(&hosts_[0], seconds + kExtraSecondsFirst);
    if (!first) return finish();
    if (!streaming()) {
        fail("the kernel does not stream with host 1");
        return finish();
    }
    std::this_thread::sleep_for(kStagger);
    auto second = startHost(&hosts_[1], seconds + kExtraSecondsSecond);
    if (!second) return finish();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));

    // What the device played while both streamed, and the kernel's view then.
    const std::vector<float> snapshot = device_->recorder().samples();
    const auto during = machine_->status();

    ChildProcess* children[2] = {first.get(), second.get()};
    for (int i = 0; i < 2; ++i) {
        hosts_[i].exitCode = children[i]->wait(static_cast<int>(seconds + 30) * 1000);
        if (hosts_[i].exitCode != 0) {
            fail(hosts_[i].name + " ended with " + std::to_string(hosts_[i].exitCode) + ":\n" +
                 children[i]->tail(8, "    | "));
        }
        if (!readNumbers(hosts_[i].reportPath, &hosts_[i].report)) {
            fail(hosts_[i].name + " wrote no report");
        }
    }
    const std::vector<float> played = device_->recorder().samples();

    // The mix while both played.
    mix::MixInput in;
    in.played = snapshot;
    in.stride = vq36::kPlaybackChannels;
    in.channels = {0, 1};
    for (const HostRun& h : hosts_) {
        in.clients.push_back({h.name, {{h.hz, kAmplitude}, {h.hz, kAmplitude}}});
    }
    in.marginFrames = kMarginBlocks * blockFrames_;
    in.lapFrames = static_cast<std::size_t>(ringBlocks_) * blockFrames_;
    const mix::MixResult mixResult = mix::checkMix(in);
    if (!mixResult.aligned) fail("mixing check: " + mixResult.error);

    // The loopback: what host 1 recorded on inputs 1-2.
    LoopbackResult loop;
    vq36host::WavData captured;
    {
        std::string error;
        if (!vq36host::readWav(hosts_[0].recordPath, &captured, &error)) {
            fail("host 1's recording: " + error);
        } else {
            loop = checkLoopback(played, captured, in.marginFrames);
            if (!loop.found) fail("the captured inputs are nowhere in what the device played");
        }
    }

    // The files.
    if (!device_->recorder().writeWav(playedPath)) fail("cannot write " + playedPath);
    fs::copy_file(hosts_[0].recordPath, capturedPath, fs::copy_options::overwrite_existing, ec);
    if (ec) fail("cannot write " + capturedPath + ": " + ec.message());
    if (mixResult.aligned) {
        // 5 ms of the stretch both played, from a little before the first clipped frame.
        const std::size_t frames = snapshot.size() / vq36::kPlaybackChannels;
        std::size_t start = mixResult.firstChecked;
        for (std::size_t f = mixResult.firstChecked; f + kPlotFrames < mixResult.endChecked; ++f) {
            const float a =
                mix::quantisedSine(kFirstHz, kAmplitude,
                                   (f + mixResult.clients[0].offset) % mix::sinePeriod(kFirstHz));
            const float b =
                mix::quantisedSine(kSecondHz, kAmplitude,
                                   (f + mixResult.clients[1].offset) % mix::sinePeriod(kSecondHz));
            if (a + b > 1.0f || a + b < -1.0f) {
                start = f > mixResult.firstChecked + 60 ? f - 60 : mixResult.firstChecked;
                break;
            }
        }
        if (start + kPlotFrames <= frames) {
            std::vector<Panel> panels(3);
            panels[0] = {"host 1 (440 Hz, amplitude 0.6): its output 1", {}, 0.1, 0.35, 0.8};
            panels[1] = {"host 2 (660 Hz, amplitude 0.6): its output 1", {}, 0.1, 0.6, 0.25};
            panels[2] = {"what the device played on output 1: the mix, clipped to [-1, 1]",
                         {},
                         0.55,
                         0.1,
                         0.55};
            for (std::size_t f = start; f < start + kPlotFrames; ++f) {
                for (int j = 0; j < 2; ++j) {
                    const std::uint32_t hz = hosts_[j].hz;
                    panels[j].samples.push_back(mix::quantisedSine(
                        hz, kAmplitude, (f + mixResult.clients[j].offset) % mix::sinePeriod(hz)));
                }
                panels[2].samples.push_back(snapshot[f * vq36::kPlaybackChannels]);
            }
            std::string error;
            if (!drawWaveforms(plotPath, panels, &error)) fail(error);
        } else {
            fail("too few played frames for the picture");
        }
    } else {
        fail("no picture without the mixing check");
    }

    double rate = during.deviceObjects.empty() || !during.deviceObjects[0].record
                      ? 0.0
                      : during.deviceObjects[0].record->estimatedSampleRate;
    for (const HostRun& h : hosts_) {
        const double r = number(h.report, "estSampleRate");
        if (r > 0) rate = r;
    }
    printReport(mixResult, loop, rate);
    std::fprintf(out_, "  files: %s, %s, %s\n", playedPath.c_str(), capturedPath.c_str(),
                 plotPath.c_str());
    return finish();
}

int Demo::finish() {
    if (failures_.empty()) {
        std::fprintf(out_, "PASS: every check passed\n");
        std::fflush(out_);
        return 0;
    }
    for (const std::string& f : failures_) std::fprintf(out_, "FAILED: %s\n", f.c_str());
    std::fflush(out_);
    return 1;
}

void Demo::printReport(const mix::MixResult& m, const LoopbackResult& loop, double rate) {
    const double expectedBlocks =
        static_cast<double>(options_.seconds) * mix::kSampleRate / std::max(blockFrames_, 1u);
    std::uint64_t kernelSlips = 0;
    for (const HostRun& h : hosts_) {
        const double blocks = number(h.report, "blocks");
        const double resets = number(h.report, "resets");
        const double slips = number(h.report, "userSlips");
        std::fprintf(out_,
                     "  %s (%u Hz on outputs 1-2): %.0f blocks of %.0f frames, %.0f reset "
                     "requests, %.0f switches after their block's next boundary (%s), exit %d\n",
                     h.name.c_str(), h.hz, blocks, number(h.report, "bufferSize"), resets,
                     number(h.report, "lateSwitches"),
                     number(h.report, "switchRealTime") > 0 ? "real-time class" : "ordinary class",
                     h.exitCode);
        if (h.report.empty()) continue;
        if (blocks < kMinBlockShare * expectedBlocks) {
            fail(h.name + " streamed too few blocks");
        }
        if (resets != 0) fail(h.name + " got reset requests");
        if (slips > 0) kernelSlips = std::max<std::uint64_t>(kernelSlips, slips);
    }
    std::fprintf(out_, "  slips: %llu (kernel's user slips), %llu (re-alignments of the mix)\n",
                 static_cast<unsigned long long>(kernelSlips),
                 static_cast<unsigned long long>(m.realignments));
    if (m.realignments != 0) fail("a client's samples slipped against the others");
    std::fprintf(out_, "  estimated sample rate: %.0f Hz\n", rate);
    if (!(std::fabs(rate - mix::kSampleRate) <= kMaxRateError)) {
        fail("the estimated sample rate is off 48000 Hz");
    }
    if (m.aligned) {
        std::fprintf(out_,
                     "  mixing check: %llu frames while both played (%.1f s), %llu mismatching, "
                     "%llu repeated from the previous lap, %llu clipped: %s\n",
                     static_cast<unsigned long long>(m.framesChecked),
                     static_cast<double>(m.framesChecked) / mix::kSampleRate,
                     static_cast<unsigned long long>(m.framesMismatching),
                     static_cast<unsigned long long>(m.framesRepeated),
                     static_cast<unsigned long long>(m.framesClipped),
                     m.passed() ? "bit-exact" : "NOT the clipped sum");
        if (!m.passed()) {
            std::string where;
            for (std::size_t f : m.firstMismatches) {
                where += ' ';
                where += std::to_string(f);
            }
            fail("the played frames are not the clipped sum (first at frames" + where + ")");
        }
        if (static_cast<double>(m.framesRepeated) >
            kMaxRepeatShare * static_cast<double>(m.framesChecked)) {
            fail("the clients were late for too many blocks");
        }
        if (static_cast<double>(m.framesChecked) <
            0.5 * static_cast<double>(options_.seconds) * mix::kSampleRate) {
            fail("the mixing check covered too few frames");
        }
    }
    if (loop.found) {
        // The loopback places each played frame by the microframe it arrived in, so a stretch
        // of the capture equals the played mix exactly while the two stay in step.
        const std::size_t needed = std::min<std::size_t>(
            mix::kSampleRate, static_cast<std::size_t>(options_.seconds) * mix::kSampleRate / 2);
        std::fprintf(out_,
                     "  loopback check: host 1's inputs 1-2 equal the played mix for %zu frames "
                     "in a row (%.1f s; %zu of %zu captured frames equal): %s\n",
                     loop.longestRun, static_cast<double>(loop.longestRun) / mix::kSampleRate,
                     loop.compared - loop.mismatching, loop.compared,
                     loop.longestRun >= needed ? "equal" : "NOT equal");
        if (loop.longestRun < needed) fail("the captured inputs differ from the played mix");
    }
}

}  // namespace

int runDemoCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "help" || a == "--help") {
            std::fputs(kUsage, out);
            return 0;
        } else if (a == "--seconds" && hasValue) {
            if (!parseNumber(args[++i], 1, 600, &options.seconds)) {
                std::fprintf(err, "vq36 demo: --seconds takes 1 to 600\n");
                return 2;
            }
        } else if (a == "--out" && hasValue) {
            options.out = args[++i];
            if (options.out.empty()) {
                std::fprintf(err, "vq36 demo: --out takes a folder\n");
                return 2;
            }
        } else {
            std::fprintf(err, "vq36 demo: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    Demo demo(options, out, err);
    return demo.run();
}

}  // namespace vq36tools
