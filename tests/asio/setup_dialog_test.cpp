// The setup dialog on the offscreen display against an embedded machine with the device model,
// driven by real input messages at client coordinates. Frames are checked pixel by pixel
// against the library's own images (an LED, a radio button, the overlays' blending), never
// against whole stored pictures.

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <mutex>

#include "asio_driver.h"
#include "com_base.h"
#include "link_fixture.h"
#include "setup/setup_dialog.h"
#include "ui/standin_ui.h"

namespace {

using asiotest::eventually;
using asiotest::LinkTest;
using Bytes = std::vector<std::uint8_t>;
namespace ui = standin::ui;
namespace model = standin::vq36;

// Read at the first window and at the first fixed wait, after this.
[[maybe_unused]] const int kSetUp =
    setenv("VQ36_UI_DISPLAY", "offscreen", 1) + setenv("VQ36_TEST_FIRMWARE_WAIT_DIVISOR", "10", 1);

// ---- The library's images, as premultiplied 0xAARRGGBB --------------------------------------
const ui::Image& png(int id) {
    static std::map<int, ui::Image> cache;
    auto it = cache.find(id);
    if (it != cache.end()) return it->second;
    const std::string path = std::string(VQ36_SETUP_IMAGE_DIR) + "/" + std::to_string(id) + ".png";
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    ui::Image image;
    image.width = cairo_image_surface_get_width(s);
    image.height = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            image.pixels.push_back(
                *reinterpret_cast<const std::uint32_t*>(data + y * stride + 4 * x));
    cairo_surface_destroy(s);
    return cache.emplace(id, std::move(image)).first->second;
}

// Source over destination, premultiplied.
std::uint32_t over(std::uint32_t src, std::uint32_t dst) {
    const std::uint32_t a = src >> 24;
    std::uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const std::uint32_t s = (src >> shift) & 0xFF, d = (dst >> shift) & 0xFF;
        out |= std::min<std::uint32_t>(255, s + (d * (255 - a) + 127) / 255) << shift;
    }
    return out;
}

int distance(std::uint32_t a, std::uint32_t b) {
    int most = 0;
    for (int shift = 0; shift < 32; shift += 8)
        most = std::max(most, std::abs(static_cast<int>((a >> shift) & 0xFF) -
                                       static_cast<int>((b >> shift) & 0xFF)));
    return most;
}

// Whether the frame shows image `on` rather than image `off` centred at (x, y) over background.
bool shows(const ui::Image& frame, int background, int on, int off, float x, float y) {
    const ui::Image& a = png(on);
    const ui::Image& b = png(off);
    const int px = static_cast<int>(std::lround(x)), py = static_cast<int>(std::lround(y));
    const std::uint32_t bg = png(background).at(px, py);
    const std::uint32_t withOn = over(a.at(a.width / 2, a.height / 2), bg);
    const std::uint32_t withOff = over(b.at(b.width / 2, b.height / 2), bg);
    return distance(frame.at(px, py), withOn) < distance(frame.at(px, py), withOff);
}

// How many LEDs of the row the frame shows lit, and which.
std::vector<int> litLeds(const ui::Image& frame, int background, bool connected) {
    const int n = connected ? 19 : 14;
    const float end = connected ? 477.0f : 372.0f;
    std::vector<int> lit;
    for (int i = 0; i < n; ++i)
        if (shows(frame, background, 208, 207, 144.0f + i * (end - 144.0f) / (n - 1), 296))
            lit.push_back(i);
    return lit;
}

DWORD readRawBufferSetting() {
    HKEY key = nullptr;
    DWORD value = 0xFFFFFFFF, size = sizeof value;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36", 0, KEY_READ, &key) == 0) {
        RegQueryValueExA(key, "BufferSizeMillisecs", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

class SetupDialogTest : public LinkTest {
  protected:
    void TearDown() override {
        ui::setModalIdleHook(nullptr);
        WaitForDetachedSetupPollThread();
        uCloseVexaAudioDevice(probe);
        LinkTest::TearDown();
    }

    // Runs the dialog modally on this thread; `script` runs at its first idle moment and ends
    // it. The result of DoModal.
    INT_PTR run(const std::function<void(HWND)>& script) {
        bool started = false;
        ui::setModalIdleHook([&](HWND dialog) {
            if (started) return;
            started = true;
            window = dialog;
            script(dialog);
            // A script that stopped at a failed assertion leaves the dialog to be closed here.
            if (HasFatalFailure()) ui::postKey(dialog, VK_ESCAPE);
        });
        INT_PTR result = -1;
        {
            AFX_MANAGE_STATE(AfxGetStaticModuleState());
            AAsioSetupDialog dialog(nullptr);
            result = dialog.DoModal();
        }
        ui::setModalIdleHook(nullptr);
        return result;
    }

    // Runs the dialog's messages until `ready` (generous bound).
    bool until(const std::function<bool()>& ready, int ms = 15000) {
        return eventually(
            [&] {
                ui::pumpUntilIdle(200);
                return ready();
            },
            ms);
    }
    // Lets the dialog run for about `ms`.
    void idle(int ms) {
        until([] { return false; }, ms);
    }
    ui::Image frame() {
        ui::pumpUntilIdle(2000);
        return ui::captureClient(window);
    }
    void click(int x, int y) {
        ui::postClick(window, x, y);
        ui::pumpUntilIdle(2000);
    }
    void drag(int x, int y0, int y1) {
        ui::postMouse(window, WM_LBUTTONDOWN, x, y0, MK_LBUTTON);
        if (y1 != y0) ui::postMouse(window, WM_MOUSEMOVE, x, y1, MK_LBUTTON);
        ui::postMouse(window, WM_LBUTTONUP, x, y1, 0);
        ui::postMouse(window, WM_MOUSEMOVE, x, y1, 0);  // the slider is let go here
        ui::pumpUntilIdle(2000);
    }
    // The frame once the poll thread has repainted what the device reported.
    ui::Image settled() {
        until([&] { return repaintPending.load() == 0 && !GetUpdateRect(window, nullptr, FALSE); });
        return frame();
    }
    // Whether the frame's status lines read `left` and `right`: its firmware panel rows against
    // the texts drawn on background 200 at the lines' places (left middle, right middle).
    bool statusLinesRead(const ui::Image& f, const wchar_t* left, const wchar_t* right) {
        using namespace Gdiplus;
        CGdiPlusBitmapResource background;
        background.Load(200, "PNG", AfxGetResourceHandle());
        Bitmap expected(669, 327, PixelFormat32bppARGB);
        Graphics g(&expected);
        g.SetSmoothingMode(SmoothingModeAntiAlias);
        g.SetTextRenderingHint(TextRenderingHintAntiAliasGridFit);
        g.DrawImage(background, 0, 0);
        FontFamily arial(L"Arial");
        Font font(&arial, 9, FontStyleRegular, UnitPoint);
        SolidBrush white(Color(0xFFFFFFFF));
        RectF box;
        g.MeasureString(left, -1, &font, RectF(36, 269, 0, 0), nullptr, &box);
        g.DrawString(left, -1, &font, RectF(36, 269 - box.Height / 2, 0, 0), nullptr, &white);
        g.MeasureString(right, -1, &font, RectF(469, 269, 0, 0), nullptr, &box);
        g.DrawString(right, -1, &font, RectF(469 - box.Width, 269 - box.Height / 2, 0, 0), nullptr,
                     &white);
        for (int y = 260; y < 280; ++y)
            for (int x = 30; x < 476; ++x) {
                Color c;
                expected.GetPixel(x, y, &c);
                if (distance(c.GetValue(), f.at(x, y)) > 2) return false;
            }
        return true;
    }
    bool connectedAndReported() {
        return isConnected.load() == 1 && ControlMirror[36].load() == 1 &&
               deviceFirmwareVersion.load().major != 0;
    }
    // Control changes the device took, as (controller, value).
    std::vector<std::pair<int, int>> controlChanges() {
        std::vector<std::pair<int, int>> out;
        for (const auto& c : asiotest::commandsOf(*device(), vq36::kDeviceCmdHidiPacket)) {
            const int length = c.data(0);
            for (int i = 1; i + 2 <= length; ++i)
                if (c.data(i) == 0xB0) out.push_back({c.data(i + 1), c.data(i + 2)});
        }
        return out;
    }
    std::size_t allControlsRequests() {
        std::size_t n = 0;
        for (const auto& c : asiotest::commandsOf(*device(), vq36::kDeviceCmdHidiPacket))
            if (c.data(1) == 0xF0 && c.data(3) == kHidiSysExAllControls) ++n;
        return n;
    }
    void startDevice(model::FirmwareVersion firmware, bool bootLoader = false) {
        standin::host::PlugOptions plug;
        plug.config.firmware = firmware;
        plug.config.startInBootLoader = bootLoader;
        startMachine(1, plug);
        probe = uCreateVexaAudioDeviceInterfaceWrapper(0);
    }

    HWND window = nullptr;
    AudioDeviceInterfaceWrapper* probe = nullptr;
};

// ---- Not connected, and the way in through the driver object --------------------------------

TEST_F(SetupDialogTest, WithoutADeviceItSearchesWithOneOfFourteenLedsAndRequestsNothing) {
    // controlPanel after the private selector, as a host calls it.
    HRESULT hr = S_OK;
    CUnknown* unknown = AAsio::CreateInstance(nullptr, &hr);
    ASSERT_NE(unknown, nullptr);
    IASIO* asio = nullptr;
    unknown->NonDelegatingQueryInterface(CLSID_VexaAsioVq36, reinterpret_cast<void**>(&asio));
    ASSERT_EQ(asio->future(kAsioFutureUseBuiltInDialog, nullptr), ASE_SUCCESS);
    std::vector<std::vector<int>> leds;
    std::set<int> indexes;
    ui::setModalIdleHook([&](HWND dialog) {
        if (window != nullptr) return;
        window = dialog;
        RECT client;
        GetClientRect(dialog, &client);
        EXPECT_EQ(client.right, 669);
        EXPECT_EQ(client.bottom, 327);
        char title[64];
        GetWindowTextA(dialog, title, sizeof title);
        EXPECT_STREQ(title, "VQ36 Audio Driver Control Panel");
        EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), 0);
        for (int k = 0; k < 8; ++k) {
            idle(300);
            const ui::Image f = frame();
            leds.push_back(litLeds(f, 202, false));
            indexes.insert(searchLedIndex.load());
        }
        // Clicks change nothing while nothing is connected.
        click(20, 25);
        EXPECT_EQ(SetupDialogPage.load(), 0);
        ui::postKey(dialog, VK_ESCAPE);
    });
    EXPECT_EQ(asio->controlPanel(), ASE_OK);
    ui::setModalIdleHook(nullptr);
    asio->Release();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(isConnected.load(), 0);
    EXPECT_GE(indexes.size(), 3u);  // the searching LED moves every 500 ms
    for (const auto& lit : leds) EXPECT_EQ(lit.size(), 1u) << testing::PrintToString(lit);
    EXPECT_FALSE(logHas("Requesting all controls"));
    EXPECT_EQ(readRawBufferSetting(), 8u);  // the default, stored at the close
    EXPECT_EQ(activeDialog.load(), nullptr);
}

// ---- Page 0 ------------------------------------------------------------------------------------

TEST_F(SetupDialogTest, PreferencesPageClicksDragsAndDeviceMessages) {
    startDevice({1, 2, 345});
    const INT_PTR result = run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return connectedAndReported(); }));
        // The device answered the request of all controls: it is not repeated.
        idle(2600);
        EXPECT_EQ(allControlsRequests(), 1u);
        EXPECT_EQ(logCount("Requesting all controls"), 1u);
        EXPECT_EQ(isNewerFirmwareAvailable.load(), 1);  // 1.2 against the built-in 1.4
        EXPECT_EQ(embeddedFirmwareVersion.load().minor, 4u);

        // The label belongs to the click area: left of the button to the end of its text.
        ui::Image f = frame();
        EXPECT_TRUE(
            statusLinesRead(f, L"Device Firmware Version: 1.02", L"New Firmware Version: 1.04"));
        EXPECT_FALSE(
            statusLinesRead(f, L"Device Firmware Version: 1.03", L"New Firmware Version: 1.04"));
        Gdiplus::Bitmap scratch(1, 1);
        Gdiplus::Graphics g(&scratch);
        Gdiplus::FontFamily arial(L"Arial");
        Gdiplus::Font labelFont(&arial, 9, Gdiplus::FontStyleRegular, Gdiplus::UnitPoint);
        Gdiplus::RectF box;
        g.MeasureString(L"Mic 1", -1, &labelFont, Gdiplus::RectF(0, 0, 0, 0), nullptr, &box);
        const int* hit = gSetupRadioButtons[1].hitRect;
        EXPECT_EQ(hit[0], 183);
        EXPECT_EQ(hit[1], 99);
        EXPECT_EQ(hit[2], static_cast<int>(198 + 11 + box.Width));
        EXPECT_EQ(hit[3], 129);
        device()->clearCommands();
        click(hit[2], 114);  // just outside
        click(hit[2] - 1, 114);
        // The selected "On" sends its control again.
        EXPECT_TRUE(shows(f, 200, 206, 205, 364, 89));
        EXPECT_FALSE(shows(f, 200, 206, 205, 438, 89));
        click(364, 89);
        EXPECT_TRUE(eventually([&] { return controlChanges().size() >= 2; }));
        EXPECT_EQ(controlChanges(), (std::vector<std::pair<int, int>>{{33, 2}, {36, 1}}));
        EXPECT_TRUE(logHas("Clicked on radio button 33"));
        // With newer firmware offered there is no overlay on the firmware panel.
        EXPECT_EQ(distance(frame().at(485, 245), png(200).at(485, 245)), 0);

        // The buffer slider: the pointer's height sets the value, 50 pixels beyond the track's
        // ends nothing changes, and near the bottom it rests at 0 (1 ms).
        const int x = 581;
        auto thumbY = [] {
            float cx, cy;
            AAsioSetupDialog::GetSliderThumbCentre(0, &cx, &cy);
            return static_cast<int>(cy);
        };
        // (a press on the slider moves it to the pointer at once)
        drag(x, 268, 268);
        EXPECT_EQ(gSetupSliders[0].value.load(), 2);
        const ui::Image at2 = frame();
        drag(x, 270, 270);
        EXPECT_EQ(gSetupSliders[0].value.load(), 1);  // from 2: a 1 stays 1
        const ui::Image at1 = frame();
        drag(x, 271, 271);
        EXPECT_EQ(gSetupSliders[0].value.load(), 0);  // from 1: a 1 gives 0
        const ui::Image at0 = frame();
        // The value text below the thumb reads the same at 0 as at 1 ("1 ms"), not as at 2.
        int same = 0, differ = 0;
        for (int y = 301; y < 309; ++y)
            for (int px = 550; px < 611; ++px) {
                same += at0.at(px, y) != at1.at(px, y);
                differ += at0.at(px, y) != at2.at(px, y);
            }
        EXPECT_EQ(same, 0);
        EXPECT_GT(differ, 0);
        EXPECT_TRUE(until([&] { return logHas("Setting kernel driver buffer millisecs to 1"); }));
        drag(x, thumbY(), 323);  // 50 below the track's bottom
        drag(x, thumbY(), 47);   // 50 above its top
        EXPECT_EQ(gSetupSliders[0].value.load(), 0);
        drag(x, thumbY(), 48);
        EXPECT_EQ(gSetupSliders[0].value.load(), 50);
        drag(x, thumbY(), 322);
        EXPECT_EQ(gSetupSliders[0].value.load(), 0);

        // Control change 35 moves the "Low" slider and nothing goes back to the device.
        device()->clearCommands();
        device()->moveControl(35, 100);
        EXPECT_TRUE(until([&] { return gSetupSliders[1].value.load() == 100; }));
        ui::postMouse(dialog, WM_MOUSEMOVE, 300, 200, 0);
        idle(400);
        EXPECT_EQ(ControlMirror[35].load(), 100);
        EXPECT_TRUE(controlChanges().empty());

        // A held slider: the button released outside the window leaves it held, and every packet
        // is ignored until the pointer comes back with the button up.
        ui::postMouse(dialog, WM_LBUTTONDOWN, 130, 211, MK_LBUTTON);
        ui::postMouse(dialog, WM_LBUTTONUP, 700, 400, 0);
        ui::pumpUntilIdle(2000);
        EXPECT_EQ(gSetupSliders[2].isDragging.load(), 1);
        device()->moveControl(34, 50);
        device()->moveControl(35, 20);
        idle(500);
        EXPECT_EQ(ControlMirror[34].load(), 0);
        EXPECT_EQ(gSetupSliders[1].value.load(), 100);
        ui::postMouse(dialog, WM_MOUSEMOVE, 300, 200, 0);
        ui::pumpUntilIdle(2000);
        EXPECT_EQ(gSetupSliders[2].isDragging.load(), 0);
        device()->moveControl(34, 60);
        EXPECT_TRUE(until([&] { return gSetupSliders[2].value.load() == 60; }));
        // Dragging "High" sends control change 34 at once.
        drag(130, 150, 160);
        const std::pair<int, int> last{34, gSetupSliders[2].value.load()};
        EXPECT_TRUE(eventually([&] {
            const auto sent = controlChanges();
            return !sent.empty() && sent.back() == last;
        }));

        ui::postKey(dialog, VK_ESCAPE);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(readRawBufferSetting(), 0u);    // the slider at 0 is stored as 0 ...
    EXPECT_EQ(getBufferSizeMillisecs(), 1u);  // ... and reads as 1
    EXPECT_EQ(activeDialog.load(), nullptr);
}

TEST_F(SetupDialogTest, AnUnansweredRequestIsRepeatedEveryTwoSecondsAndOnlyOffIsSelected) {
    standin::host::PlugOptions plug;
    plug.config.controls = {};  // a surface that reports nothing
    plug.config.startValues = {};
    startMachine(1, plug);
    run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return allControlsRequests() >= 3; }, 20000));
        std::vector<std::uint32_t> frames;
        for (const auto& c : asiotest::commandsOf(*device(), vq36::kDeviceCmdHidiPacket))
            if (c.data(1) == 0xF0 && c.data(3) == kHidiSysExAllControls)
                frames.push_back(c.frameNumber);
        for (std::size_t i = 1; i < frames.size(); ++i) {
            EXPECT_GE(frames[i] - frames[i - 1], 1900u);  // bus frames of 1 ms
            EXPECT_LE(frames[i] - frames[i - 1], 6000u);
        }
        // Nothing reported: of the radio buttons only "Off" (value 0) is selected.
        const ui::Image f = settled();
        EXPECT_TRUE(shows(f, 200, 206, 205, 438, 89));
        EXPECT_FALSE(shows(f, 200, 206, 205, 364, 89));
        EXPECT_FALSE(shows(f, 200, 206, 205, 198, 89));
        ui::postKey(dialog, VK_ESCAPE);
    });
}

// ---- Pages 1 and 3, and the repaint rules ----------------------------------------------------

TEST_F(SetupDialogTest, PagesCycleFilterResonanceChannelListsAndRepaintRules) {
    startDevice({1, 2, 345});
    const INT_PTR result = run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return connectedAndReported(); }));
        std::vector<int> pages;
        for (int k = 0; k < 3; ++k) {
            click(20, 25);
            pages.push_back(SetupDialogPage.load());
        }
        EXPECT_EQ(pages, (std::vector<int>{1, 3, 0}));
        click(20, 25);
        ASSERT_EQ(SetupDialogPage.load(), 1);

        device()->moveControl(25, 65);
        EXPECT_TRUE(until([&] { return ControlMirror[25].load() == 96; }));
        EXPECT_TRUE(logHas("Filter resonance: 41\n"));
        EXPECT_TRUE(shows(settled(), 201, 206, 205, 204, 171));  // "High" of "PGM 2"
        device()->moveControl(25, 64);
        EXPECT_TRUE(until([&] { return ControlMirror[25].load() == 32; }));
        const ui::Image f = settled();
        EXPECT_FALSE(shows(f, 201, 206, 205, 204, 171));
        EXPECT_TRUE(shows(f, 201, 206, 205, 204, 195));

        // Page 3: the faces show the stored channels (two faces 163 pixels apart look alike
        // exactly when their channels do), and a list opens on its channel.
        click(20, 25);
        ASSERT_EQ(SetupDialogPage.load(), 3);
        auto facesAlike = [&](MidiChannelPair pair) {
            EXPECT_EQ(VQ36_set_midi_channels(probe, &pair), 0);
            InvalidateRect(dialog, nullptr, TRUE);
            const ui::Image f = frame();
            for (int y = 82; y < 102; ++y)
                for (int x = 251; x < 315; ++x)
                    if (f.at(x, y) != f.at(x + 163, y)) return false;
            return true;
        };
        EXPECT_TRUE(facesAlike({5, 5}));
        EXPECT_FALSE(facesAlike({0, 5}));
        HWND out = GetDlgItem(dialog, 400), in = GetDlgItem(dialog, 401);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(SendMessageA(out, CB_GETCURSEL, 0, 0), 5);
        EXPECT_EQ(SendMessageA(in, CB_GETCURSEL, 0, 0), 0);
        EXPECT_FALSE(IsWindowVisible(out));
        click(283, 92);
        EXPECT_EQ(SendMessageA(out, CB_GETDROPPEDSTATE, 0, 0), 1);
        const int itemHeight = static_cast<int>(SendMessageA(out, CB_GETITEMHEIGHT, 0, 0));
        ASSERT_GT(itemHeight, 0);
        // The list lies under the face: pick the eighth item ("7").
        click(283, 102 + 7 * itemHeight + itemHeight / 2);
        EXPECT_EQ(SendMessageA(out, CB_GETDROPPEDSTATE, 0, 0), 0);
        MidiChannelPair now{};
        ASSERT_EQ(VQ36_get_midi_channels(probe, &now), 0);
        EXPECT_EQ(now.midiOutChannel, 7);
        EXPECT_EQ(now.midiInChannel, 0);

        // Repaint rule: a packet with a note on, an unknown system-exclusive command and a
        // control change asks for a repaint; one with only the unknown command does not.
        auto deliver = [](std::initializer_list<BYTE> bytes) {
            vq36::HidiInEntry entry{};
            entry.data[0] = static_cast<BYTE>(bytes.size());
            std::copy(bytes.begin(), bytes.end(), entry.data + 1);
            // As the status monitor delivers: under the link's lock, never beside it.
            EnterCriticalSection(&gOpenWrapperLock);
            AAsioSetupDialog::OnDeviceHidiMessage(&entry);
            LeaveCriticalSection(&gOpenWrapperLock);
        };
        ASSERT_TRUE(until([] { return repaintPending.load() == 0; }));
        deliver({0xF0, 0x17, 0x33, 0x05, 0xF7});
        EXPECT_EQ(repaintPending.load(), 0);
        deliver({0x90, 0x10, 0x7F, 0xF0, 0x17, 0x33, 0x05, 0xF7, 0xB0, 0x20, 0x11});
        EXPECT_EQ(repaintPending.load(), 1);
        EXPECT_EQ(ControlMirror[0x20].load(), 0x11);
        EXPECT_TRUE(logHas("Unknown sysex cmd: 33, 05"));
        deliver({0xF0, 0x17, 0x52, 0x01, 0xF7});
        EXPECT_EQ(controlPoint.load(), 1);
        EXPECT_TRUE(logHas("Current control point: 1"));

        // A progress value reported twice asks for one repaint.
        bool once = false;
        for (int attempt = 0; attempt < 5 && !once; ++attempt) {
            ui::pumpUntilIdle(2000);
            BYTE percent = static_cast<BYTE>(40 + attempt);
            OnFirmwareUpdateProgress(&percent);
            const bool first = GetUpdateRect(dialog, nullptr, FALSE);
            ui::pumpUntilIdle(2000);
            OnFirmwareUpdateProgress(&percent);
            // (the poll thread's own repaints may fall in between: then try again)
            once = first && !GetUpdateRect(dialog, nullptr, FALSE);
        }
        EXPECT_TRUE(once);
        ui::postKey(dialog, VK_RETURN);  // Enter closes as the close button does
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(activeDialog.load(), nullptr);
    EXPECT_EQ(readRawBufferSetting(), 8u);
}

// ---- Firmware versions and the boot loader ---------------------------------------------------

class SetupDialogVersionTest : public SetupDialogTest,
                               public testing::WithParamInterface<model::FirmwareVersion> {};

TEST_P(SetupDialogVersionTest, AnEqualOrNewerDeviceGetsNoUpdateButtonAndTheOverlay) {
    startDevice(GetParam());
    run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return connectedAndReported(); }));
        EXPECT_EQ(isNewerFirmwareAvailable.load(), 0);
        EXPECT_EQ(deviceFirmwareVersion.load().major, GetParam().major);
        // Overlay 219 at alpha 127 over the firmware panel, clear elsewhere.
        const ui::Image f = frame();
        EXPECT_LE(distance(f.at(485, 245), over(png(219).at(485, 245), png(200).at(485, 245))), 2);
        EXPECT_EQ(png(219).at(485, 245) >> 24, 127u);
        EXPECT_EQ(f.at(160, 60), png(200).at(160, 60));
        ui::postKey(dialog, VK_ESCAPE);
    });
}

INSTANTIATE_TEST_SUITE_P(Versions, SetupDialogVersionTest,
                         testing::Values(model::FirmwareVersion{1, 4, 0},
                                         model::FirmwareVersion{2, 0, 0}));

// A device in its boot loader that another port controlled a moment ago, or that an update in
// another process is working on, is left alone.
class SetupDialogBootLoaderTest : public SetupDialogTest,
                                  public testing::WithParamInterface<bool> {};

TEST_P(SetupDialogBootLoaderTest, IsNotUpdatedWhileAnotherPortOrProcessHasIt) {
    const bool otherPort = GetParam();
    startDevice({1, 2, 345}, true);
    auto stampUpdate = [&] {
        if (vq36::AsioInfo* info = uGetAsioInfo(probe))
            vq36::Store32(&info->lastFwUp, GetTickCount());
    };
    if (otherPort) {
        ASSERT_TRUE(device()->reportOtherPort());
        ASSERT_TRUE(eventually([&] {
            vq36::AsioInfo* info = uGetAsioInfo(probe);
            return info != nullptr && vq36::Load32(&info->lastOtherPortControlStatus) != 0;
        }));
    } else {
        stampUpdate();
    }
    run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return isConnected.load() == 1; }));
        // Long enough for the first sight (handle dropped, 500 ms here) and several later ones.
        for (int k = 0; k < 15; ++k) {
            if (!otherPort) stampUpdate();
            idle(200);
            EXPECT_EQ(isUpdating.load(), 0);
        }
        EXPECT_TRUE(logHas(otherPort ? "asioinfo lastotherportcontrolstatus: " : ", last fwup: "));
        EXPECT_FALSE(logHas("Starting firmware update;"));
        EXPECT_TRUE(device()->inBootLoader());
        // Without another port the boot loader offers the update; with one the versions decide
        // (0.9 against 1.4).
        EXPECT_EQ(isNewerFirmwareAvailable.load(), 1);
        ui::postKey(dialog, VK_ESCAPE);
    });
}

INSTANTIATE_TEST_SUITE_P(OtherPortOrProcess, SetupDialogBootLoaderTest, testing::Bool());

// ---- Updates ---------------------------------------------------------------------------------

// Holds the poll thread in the update's next flash write once `hold` is set, until released.
struct UpdateGate {
    std::mutex mu;
    std::condition_variable cv;
    bool hold = false;
    bool held = false;
    bool release = false;

    void install() {
        asiotest::setIoHook([this](const asiotest::IoCall& call, void*, DWORD, BOOL*, DWORD*) {
            if (call.code != vq36::kIoCtlSendMessage || call.message != vq36::kDeviceMsgFlash)
                return false;
            std::unique_lock lock(mu);
            if (!hold) return false;
            hold = false;
            held = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
            return false;
        });
    }
    void arm() {
        std::lock_guard lock(mu);
        hold = true;
        held = false;
        release = false;
    }
    bool isHeld() {
        std::lock_guard lock(mu);
        return held;
    }
    void open() {
        std::lock_guard lock(mu);
        release = true;
        cv.notify_all();
    }
};

TEST_F(SetupDialogTest, TheBootLoaderIsUpdatedAutomaticallyFrom12To14WithProgressShown) {
    startDevice({1, 2, 345}, true);
    UpdateGate gate;
    gate.install();
    run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return isUpdating.load() == 1; }, 20000)) << log();
        EXPECT_TRUE(logHas("asioinfo lastotherportcontrolstatus: 0, last fwup: 0"));
        // Half way: the update held in a write while the frame is checked.
        ASSERT_TRUE(until([&] { return updateProgress.load() >= 50; }));
        gate.arm();
        ASSERT_TRUE(eventually([&] { return gate.isHeld(); }));
        ui::Image f = frame();
        const std::uint32_t percent = updateProgress.load();
        EXPECT_EQ(litLeds(f, 200, true).size(), percent * 19 / 100 + 1);
        EXPECT_TRUE(statusLinesRead(f, L"Updating From 0.09 To 1.04: Do Not Unplug!", L""));
        // Overlay 221 over every panel but the firmware panel.
        EXPECT_LE(distance(f.at(160, 60), over(png(221).at(160, 60), png(200).at(160, 60))), 2);
        EXPECT_EQ(f.at(485, 245), png(200).at(485, 245));
        click(20, 25);  // the page button does nothing during an update
        EXPECT_EQ(SetupDialogPage.load(), 0);
        gate.open();
        // Complete: all 19 LEDs until the device reboots.
        ASSERT_TRUE(until([&] { return updateProgress.load() == 100; }));
        f = frame();
        if (isUpdating.load() == 1) {
            EXPECT_EQ(litLeds(f, 200, true).size(), 19u);
            EXPECT_TRUE(statusLinesRead(f, L"Device Firmware Version: 1.04",
                                        L"Update Complete: Rebooting"));
        }
        ASSERT_TRUE(until(
            [&] {
                return isUpdating.load() == 0 && isConnected.load() == 1 &&
                       deviceFirmwareVersion.load().minor == 4;
            },
            30000))
            << log();
        EXPECT_EQ(isNewerFirmwareAvailable.load(), 0);
        EXPECT_FALSE(device()->inBootLoader());
        EXPECT_EQ(device()->runningVersion().minor, 4);
        ui::postKey(dialog, VK_ESCAPE);
    });
    gate.open();
    asiotest::setIoHook(nullptr);
    EXPECT_EQ(activeDialog.load(), nullptr);
}

TEST_F(SetupDialogTest, ClosingDuringAnUpdateLetsItFinishWithoutTheDialog) {
    startDevice({1, 2, 345});
    UpdateGate gate;
    gate.install();
    run([&](HWND dialog) {
        ASSERT_TRUE(until([&] { return connectedAndReported(); }));
        click(60, 297);  // the update button
        EXPECT_TRUE(logHas("Starting firmware update\n"));
        ASSERT_TRUE(until([&] { return updateProgress.load() >= 10; }, 20000)) << log();
        // The update is held in a write until the dialog has gone.
        gate.arm();
        ASSERT_TRUE(eventually([&] { return gate.isHeld(); }));
        EXPECT_TRUE(statusLinesRead(frame(), L"Updating From 1.02 To 1.04: Do Not Unplug!", L""));
        ui::postKey(dialog, VK_ESCAPE);
    });
    gate.open();
    EXPECT_EQ(activeDialog.load(), nullptr);
    EXPECT_TRUE(logHas("Setup dialog closed during an update; the update goes on"));
    // The update goes on without the dialog and ends; then its thread ends.
    WaitForDetachedSetupPollThread();
    EXPECT_TRUE(eventually(
        [&] { return !device()->inBootLoader() && device()->runningVersion().minor == 4; }));
    EXPECT_TRUE(logHas("Firmware update, successfully marked as finished"));
    asiotest::setIoHook(nullptr);
    EXPECT_EQ(uGetOpenWrapperCount(), 0u);  // the thread closed the handle it was left
}

}  // namespace
