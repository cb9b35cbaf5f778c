// The scripted run of the setup dialog that writes its pictures (see panel_script.h).

#include "panel_script.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "asio_command.h"
#include "standin/host/machine.h"
#include "standin/win32/testing.h"
#include "ui/standin_ui.h"
#include "win32/windows.h"

#ifndef VQ36_DEFAULT_KERNEL_DRIVER
#define VQ36_DEFAULT_KERNEL_DRIVER "Vq36Kernel.sys"
#endif
#ifndef VQ36_DEFAULT_ASIO_DLL
#define VQ36_DEFAULT_ASIO_DLL "VexaAsioVq36.dll"
#endif

namespace vq36tools {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using standin::ui::Image;

constexpr const char* kCommand = "vq36 asio panel";

// Where the dialog draws what the script clicks and reads, in client pixels.
constexpr int kClientWidth = 669;
constexpr int kClientHeight = 327;
constexpr POINT kPageButton = {87, 25};     // the button spans 9,7 to 165,43
constexpr POINT kUpdateButton = {78, 297};  // the button: 103 x 23 from 27,286
constexpr POINT kUpdateButtonAt = {27, 286};
constexpr POINT kMidiOutFace = {283, 92};  // the face spans 251,82 to 315,102
constexpr POINT kOffTheList = {600, 300};  // nothing of page 3 lies here
constexpr POINT kMainMixRadio = {198, 89};
constexpr POINT kBacklightOnRadio = {364, 89};
constexpr int kLeds = 19;  // the LED row of a connected device: centres from x 144 to 477
constexpr double kLedFirstX = 144.0;
constexpr double kLedLastX = 477.0;
constexpr int kLedY = 296;
// The status line's second half, right-aligned at x 469 on y 269: "Update Complete: Rebooting"
// at 100 %, empty while the update runs.
constexpr RECT kSecondLine = {320, 262, 467, 277};

// The library's PNG resources the script compares frames with.
enum ImageId : int {
    kPreferencesBackground = 200,
    kPgmInputsBackground = 201,
    kNotConnectedBackground = 202,
    kRadioOff = 205,
    kRadioOn = 206,
    kLedOff = 207,
    kLedOn = 208,
    kUpdateButtonNormal = 215,
    kUpdateButtonBusy = 216,
    kUpdateButtonNewer = 217,
    kMidiBackground = 222,
};

// The device the script plugs in: firmware 1.2, older than the library's built-in image.
constexpr standin::vq36::FirmwareVersion kDeviceFirmware = {1, 2, 0};

// ---- Pixels ----------------------------------------------------------------------------------

int channelDistance(std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift : {0, 8, 16}) {
        d +=
            std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
    }
    return d;
}

constexpr int kClose = 30;  // colour distance of "the same pixel" (anti-aliasing, blending)

// Whether the frame shows `image` with its top-left corner at (x, y) rather than any of
// `others` drawn there: over the pixels where the image is opaque and clearly differs from
// each other one, at least `share` of the frame's are the image's (text and controls drawn on
// top cover the rest). False when nothing tells them apart.
bool shows(const Image& frame, const Image& image, int x, int y,
           const std::vector<const Image*>& others, double share) {
    long telling = 0, matching = 0;
    for (int py = 0; py < image.height; ++py) {
        for (int px = 0; px < image.width; ++px) {
            const int fx = x + px, fy = y + py;
            if (fx < 0 || fy < 0 || fx >= frame.width || fy >= frame.height) continue;
            const std::uint32_t p = image.at(px, py);
            if ((p >> 24) != 0xFF) continue;
            bool differs = true;
            for (const Image* o : others) {
                if (px >= o->width || py >= o->height ||
                    channelDistance(p, o->at(px, py)) <= 3 * kClose) {
                    differs = false;
                    break;
                }
            }
            if (!differs) continue;
            ++telling;
            if (channelDistance(p, frame.at(fx, fy)) <= kClose) ++matching;
        }
    }
    return telling >= 16 && static_cast<double>(matching) >= share * static_cast<double>(telling);
}

// The mean colour of the 6 x 6 pixels around (x, y).
std::uint32_t meanAround(const Image& image, int x, int y) {
    long sum[3] = {0, 0, 0};
    long n = 0;
    for (int py = y - 3; py < y + 3; ++py) {
        for (int px = x - 3; px < x + 3; ++px) {
            if (px < 0 || py < 0 || px >= image.width || py >= image.height) continue;
            const std::uint32_t p = image.at(px, py);
            for (int c = 0; c < 3; ++c) sum[c] += (p >> (8 * c)) & 0xFF;
            ++n;
        }
    }
    if (n == 0) return 0;
    return static_cast<std::uint32_t>(sum[0] / n) | static_cast<std::uint32_t>(sum[1] / n) << 8 |
           static_cast<std::uint32_t>(sum[2] / n) << 16;
}

// Whether white text stands in the rectangle: a few pixels near white.
bool textIn(const Image& frame, const RECT& r) {
    int white = 0;
    for (int y = r.top; y < r.bottom && y < frame.height; ++y)
        for (int x = r.left; x < r.right && x < frame.width; ++x)
            white += channelDistance(frame.at(x, y), 0xFFFFFFFFu) < 3 * kClose ? 1 : 0;
    return white >= 12;
}

// ---- The script ------------------------------------------------------------------------------

// The states in the order the script goes through them.
enum class Stage {
    kNotConnected,
    kPreferences,
    kPgmInputs,
    kMidiPage,
    kListOpen,
    kListClosed,
    kPreferencesAgain,
    kUpdateHalf,
    kUpdateMissed,
    kUpdateComplete,
    kUpdateEnd,
    kClosing,
};

// What the dialog is waited for in each stage, for the message when it does not come.
constexpr const char* kAwaited[] = {"the searching dialog",
                                    "page 0 with the update offered",
                                    "page 1",
                                    "page 3",
                                    "the dropped-down MIDI Out list",
                                    "page 3 with the list closed",
                                    "page 0 again",
                                    "the update at 50 %",
                                    "the end of an update whose 50 % was not drawn",
                                    "the update at 100 %",
                                    "the end of the update",
                                    "the end"};
static_assert(std::size(kAwaited) == static_cast<std::size_t>(Stage::kClosing) + 1);

constexpr auto kStepLimit = std::chrono::seconds(30);
constexpr auto kUpdateLimit = std::chrono::seconds(180);
// The searching LED moves every 500 ms: the first picture shows it after a step or two.
constexpr auto kSearchingShown = std::chrono::milliseconds(1200);
// A busy machine may keep the dialog from drawing while the update passes 50 % (about a
// twentieth of its writing, a few hundred milliseconds): the script then lets that update end,
// plugs in a new VQ36 with the old firmware and updates again, this many times in all.
constexpr int kMaxUpdates = 3;

class Script {
  public:
    Script(const std::string& dir, standin::host::Machine& machine, std::FILE* out)
        : dir_(dir), machine_(machine), out_(out) {}
    ~Script() {
        if (plugger_.joinable()) plugger_.join();
    }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    // The dialog's modal loop calls this whenever it has nothing to do.
    void step(HWND dialog);

    bool succeeded() const { return stage_ == Stage::kClosing && problem_.empty(); }
    const std::string& problem() const { return problem_; }
    const std::vector<std::string>& written() const { return written_; }

  private:
    bool loadImages();
    const Image& image(int id) const { return images_.at(id); }
    bool background(const Image& frame, int id) const;
    bool updateButton(const Image& frame, int id) const;
    bool radioOn(const Image& frame, POINT centre) const;
    std::vector<bool> leds(const Image& frame) const;
    Image withList(const Image& frame, HWND dialog, HWND list) const;
    bool save(const Image& frame, const char* name);
    void next(Stage stage, Clock::duration limit = kStepLimit);
    void fail(HWND dialog, const Image& frame, const std::string& why);
    static void click(HWND dialog, POINT at) { standin::ui::postClick(dialog, at.x, at.y); }
    void plugNewDevice();

    const std::string dir_;
    standin::host::Machine& machine_;
    std::FILE* const out_;
    std::map<int, Image> images_;
    Stage stage_ = Stage::kNotConnected;
    Clock::time_point started_{};
    Clock::time_point deadline_{};
    std::thread plugger_;
    std::atomic<bool> plugged_{false};
    int updates_ = 0;
    std::string problem_;
    std::vector<std::string> written_;
};

bool Script::loadImages() {
    HMODULE library = GetModuleHandleA("VexaAsioVq36.dll");
    for (int id : {kPreferencesBackground, kPgmInputsBackground, kNotConnectedBackground, kRadioOff,
                   kRadioOn, kLedOff, kLedOn, kUpdateButtonNormal, kUpdateButtonBusy,
                   kUpdateButtonNewer, kMidiBackground}) {
        HRSRC found =
            library != nullptr ? FindResourceA(library, MAKEINTRESOURCEA(id), "PNG") : nullptr;
        const void* bytes = found != nullptr ? LockResource(LoadResource(library, found)) : nullptr;
        std::optional<Image> decoded;
        if (bytes != nullptr)
            decoded = standin::ui::decodePng(bytes, SizeofResource(library, found));
        if (!decoded) {
            problem_ = "the library has no PNG resource " + std::to_string(id);
            return false;
        }
        images_[id] = std::move(*decoded);
    }
    return true;
}

bool Script::background(const Image& frame, int id) const {
    std::vector<const Image*> others;
    for (int other :
         {kPreferencesBackground, kPgmInputsBackground, kNotConnectedBackground, kMidiBackground})
        if (other != id) others.push_back(&image(other));
    return shows(frame, image(id), 0, 0, others, 0.6);
}

bool Script::updateButton(const Image& frame, int id) const {
    std::vector<const Image*> others;
    for (int other : {kUpdateButtonNormal, kUpdateButtonBusy, kUpdateButtonNewer})
        if (other != id) others.push_back(&image(other));
    return shows(frame, image(id), kUpdateButtonAt.x, kUpdateButtonAt.y, others, 0.6);
}

bool Script::radioOn(const Image& frame, POINT centre) const {
    const Image& on = image(kRadioOn);
    return shows(frame, on, centre.x - (on.width >> 1), centre.y - (on.height >> 1),
                 {&image(kRadioOff)}, 0.8);
}

// Each LED of the row is lit when the colour at its centre is nearer to the lit image's centre
// than to the unlit one's.
std::vector<bool> Script::leds(const Image& frame) const {
    const Image& on = image(kLedOn);
    const Image& off = image(kLedOff);
    const std::uint32_t onColour = meanAround(on, on.width / 2, on.height / 2);
    const std::uint32_t offColour = meanAround(off, off.width / 2, off.height / 2);
    std::vector<bool> lit(kLeds);
    for (int i = 0; i < kLeds; ++i) {
        const int x =
            static_cast<int>(kLedFirstX + i * (kLedLastX - kLedFirstX) / (kLeds - 1) + 0.5);
        const std::uint32_t c = meanAround(frame, x, kLedY);
        lit[i] = channelDistance(c, onColour) < channelDistance(c, offColour);
    }
    return lit;
}

// The frame with the drop-down list's window drawn where it lies over the client area.
Image Script::withList(const Image& frame, HWND dialog, HWND list) const {
    Image composed = frame;
    const Image shown = standin::ui::captureClient(list);
    POINT origin = {0, 0};
    ClientToScreen(dialog, &origin);
    RECT at{};
    GetWindowRect(list, &at);
    for (int y = 0; y < shown.height; ++y) {
        for (int x = 0; x < shown.width; ++x) {
            const int fx = at.left - origin.x + x, fy = at.top - origin.y + y;
            if (fx < 0 || fy < 0 || fx >= composed.width || fy >= composed.height) continue;
            composed.pixels[static_cast<std::size_t>(fy) * composed.width + fx] = shown.at(x, y);
        }
    }
    return composed;
}

// Pulls out what is plugged in and plugs in a VQ36 with the old firmware, on a thread of its
// own: the dialog's thread draws on meanwhile.
void Script::plugNewDevice() {
    if (plugger_.joinable()) plugger_.join();
    plugged_.store(false);
    plugger_ = std::thread([this] {
        for (auto port : machine_.ports()) machine_.unplug(port);
        standin::host::PlugOptions plug;
        plug.config.firmware = kDeviceFirmware;
        plugged_.store(machine_.plug(std::move(plug)) != 0);
    });
}

bool Script::save(const Image& frame, const char* name) {
    const std::string path = (fs::path(dir_) / name).string();
    if (!standin::ui::savePng(frame, path)) {
        problem_ = "cannot write " + path;
        return false;
    }
    written_.push_back(path);
    std::fprintf(out_, "wrote %s\n", path.c_str());
    std::fflush(out_);
    return true;
}

void Script::next(Stage stage, Clock::duration limit) {
    stage_ = stage;
    deadline_ = Clock::now() + limit;
}

// Ends the run: the last frame is kept for a look, and the dialog is closed as a person closes
// it (Escape).
void Script::fail(HWND dialog, const Image& frame, const std::string& why) {
    if (problem_.empty()) problem_ = why;
    if (frame.width > 0) {
        const std::string path = (fs::path(dir_) / "failed-last-frame.png").string();
        if (standin::ui::savePng(frame, path)) problem_ += " (the last frame: " + path + ")";
    }
    stage_ = Stage::kClosing;
    standin::ui::postKey(dialog, VK_ESCAPE);
}

void Script::step(HWND dialog) {
    if (stage_ == Stage::kClosing) return;
    const auto now = Clock::now();
    if (started_ == Clock::time_point{}) {
        started_ = now;
        deadline_ = now + kStepLimit;
        if (!loadImages()) return fail(dialog, Image{}, problem_);
    }
    const Image frame = standin::ui::captureClient(dialog);
    if (now > deadline_) {
        return fail(dialog, frame,
                    std::string("the dialog did not show ") + kAwaited[static_cast<int>(stage_)] +
                        " in time");
    }
    if (frame.width != kClientWidth || frame.height != kClientHeight) return;

    switch (stage_) {
        case Stage::kNotConnected:
            if (now - started_ < kSearchingShown || !background(frame, kNotConnectedBackground))
                return;
            if (!save(frame, "1-not-connected.png")) return fail(dialog, frame, problem_);
            plugNewDevice();
            return next(Stage::kPreferences);
        case Stage::kPreferences:
            // The device has answered: its versions (the update offered) and its settings (the
            // main mix recorded, the backlight on) are shown.
            if (!plugged_.load() || !background(frame, kPreferencesBackground) ||
                !updateButton(frame, kUpdateButtonNewer) || !radioOn(frame, kMainMixRadio) ||
                !radioOn(frame, kBacklightOnRadio))
                return;
            if (!save(frame, "2-preferences.png")) return fail(dialog, frame, problem_);
            click(dialog, kPageButton);
            return next(Stage::kPgmInputs);
        case Stage::kPgmInputs:
            if (!background(frame, kPgmInputsBackground)) return;
            if (!save(frame, "3-pgm-inputs.png")) return fail(dialog, frame, problem_);
            click(dialog, kPageButton);
            return next(Stage::kMidiPage);
        case Stage::kMidiPage:
            if (!background(frame, kMidiBackground)) return;
            click(dialog, kMidiOutFace);
            return next(Stage::kListOpen);
        case Stage::kListOpen: {
            // The open list holds the mouse: it is the window with the capture.
            HWND list = GetCapture();
            if (list == nullptr || list == dialog || !IsWindowVisible(list)) return;
            if (!save(withList(frame, dialog, list), "4-midi-out-list.png"))
                return fail(dialog, frame, problem_);
            // A click beside the list closes it without a choice.
            standin::ui::postMouse(dialog, WM_LBUTTONDOWN, kOffTheList.x, kOffTheList.y,
                                   MK_LBUTTON);
            standin::ui::postMouse(dialog, WM_LBUTTONUP, kOffTheList.x, kOffTheList.y, 0);
            return next(Stage::kListClosed);
        }
        case Stage::kListClosed:
            if (GetCapture() != nullptr || !background(frame, kMidiBackground)) return;
            click(dialog, kPageButton);
            return next(Stage::kPreferencesAgain);
        case Stage::kPreferencesAgain:
            if (!plugged_.load() || !background(frame, kPreferencesBackground) ||
                !updateButton(frame, kUpdateButtonNewer))
                return;
            click(dialog, kUpdateButton);
            ++updates_;
            return next(Stage::kUpdateHalf, kUpdateLimit);
        case Stage::kUpdateHalf:
        case Stage::kUpdateMissed:
        case Stage::kUpdateComplete:
        case Stage::kUpdateEnd: {
            const std::vector<bool> lit = leds(frame);
            int first = 0;  // LEDs lit from the first on
            while (first < kLeds && lit[first]) ++first;
            int count = 0;
            for (bool l : lit) count += l ? 1 : 0;
            if (stage_ == Stage::kUpdateMissed) {
                // That update is over once its row is dark.
                if (count != 0) return;
                plugNewDevice();
                return next(Stage::kPreferencesAgain);
            }
            if (stage_ == Stage::kUpdateEnd) {
                // The update is over once its LEDs are no longer all lit.
                if (count == kLeds) return;
                stage_ = Stage::kClosing;
                standin::ui::postKey(dialog, VK_ESCAPE);
                return;
            }
            if (count == 0) return fail(dialog, frame, "the update ended before it completed");
            if (count != first) return;  // not a row lit from its start: not a progress frame
            if (stage_ == Stage::kUpdateHalf) {
                if (first > 10 && updates_ < kMaxUpdates) {
                    std::fprintf(out_,
                                 "the dialog drew no frame at 50 %% of update %d: a new VQ36 with "
                                 "the old firmware is updated once more\n",
                                 updates_);
                    std::fflush(out_);
                    return next(Stage::kUpdateMissed, kUpdateLimit);
                }
                if (first > 10) {
                    return fail(dialog, frame,
                                "the update passed 50 % between two frames in each of " +
                                    std::to_string(kMaxUpdates) + " updates");
                }
                if (first != 10) return;
                if (!save(frame, "5-update-50.png")) return fail(dialog, frame, problem_);
                return next(Stage::kUpdateComplete, kUpdateLimit);
            }
            // From 95 % on every LED is lit; 100 % also brings the second status line.
            if (first != kLeds || !textIn(frame, kSecondLine)) return;
            if (!save(frame, "6-update-complete.png")) return fail(dialog, frame, problem_);
            return next(Stage::kUpdateEnd, kUpdateLimit);
        }
        case Stage::kClosing:
            return;
    }
}

}  // namespace

int writePanelScreenshots(const PanelOptions& options, std::FILE* out, std::FILE* err) {
    std::error_code ec;
    const fs::path dir = fs::absolute(options.screenshots, ec);
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
        std::fprintf(err, "%s: cannot make the folder %s\n", kCommand, options.screenshots.c_str());
        return 1;
    }
    // Before the first window: the dialog draws off screen whatever DISPLAY says.
    setenv("VQ36_UI_DISPLAY", "offscreen", 1);

    // A machine of its own, with no device yet, and the driver registered on it.
    standin::win32::ScopedFreshMachine root;
    standin::host::MachineOptions machineOptions;
    const char* kernel = std::getenv("VQ36_KERNEL_DRIVER");
    machineOptions.driverPath =
        kernel != nullptr && kernel[0] != '\0' ? kernel : VQ36_DEFAULT_KERNEL_DRIVER;
    std::string error;
    auto machine = standin::host::Machine::start(std::move(machineOptions), &error);
    if (!machine) {
        std::fprintf(err, "%s: the machine did not start: %s\n", kCommand, error.c_str());
        return 1;
    }
    const HRESULT registered = callRegistration(VQ36_DEFAULT_ASIO_DLL, false, &error);
    vq36host::DriverEntry entry;
    if (!error.empty() || registered != S_OK ||
        !vq36host::findDriver(options.driver, &entry, &error)) {
        std::fprintf(err, "%s: the driver is not registered: %s\n", kCommand,
                     error.empty() ? "DllRegisterServer failed" : error.c_str());
        return 1;
    }

    Script script(dir.string(), *machine, out);
    standin::ui::setModalIdleHook([&script](HWND dialog) { script.step(dialog); });
    // A thread timer wakes the dialog's loop now and then, so that the script looks at the
    // frame even while the dialog has nothing to draw.
    const UINT_PTR waker = SetTimer(nullptr, 0, 250, nullptr);
    const bool shown = showSetupDialog(entry, &error);
    KillTimer(nullptr, waker);
    standin::ui::setModalIdleHook(nullptr);
    if (!shown) {
        std::fprintf(err, "%s: %s\n", kCommand, error.c_str());
        return 1;
    }
    if (!script.succeeded()) {
        std::fprintf(err, "%s: %s\n", kCommand,
                     script.problem().empty() ? "the dialog was closed before the script ended"
                                              : script.problem().c_str());
        return 1;
    }
    std::fprintf(out, "%zu pictures of the setup dialog in %s\n", script.written().size(),
                 dir.string().c_str());
    return 0;
}

}  // namespace vq36tools
