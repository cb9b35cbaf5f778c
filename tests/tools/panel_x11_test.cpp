// `vq36 asio panel` in a real window under Xvfb, with real input from xdotool, on a machine
// daemon with one VQ36: the page button turns the pages, a drag of the "Low" headphone-tone
// slider sends control change 35 to the device (as the device model's record of the packets it
// took shows), and Escape closes the dialog. Refusals: no machine, no driver, no device.
// Skipped (with the reason) when Xvfb or xdotool is missing.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tool_fixture.h"
#include "xvfb_server.h"

// Last: Xlib's macros (None, Status, Bool) would clash with the declarations above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using tooltest::Child;
using tooltest::run;

constexpr const char* kCaption = "VQ36 Audio Driver Control Panel";

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// What the server shows of a rectangle of the window, pixel by pixel.
std::vector<unsigned long> grab(const std::string& window, int x, int y, int w, int h) {
    std::vector<unsigned long> pixels;
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) return pixels;
    if (XImage* image = XGetImage(d, std::stoul(window), x, y, w, h, AllPlanes, ZPixmap)) {
        for (int py = 0; py < h; ++py)
            for (int px = 0; px < w; ++px) pixels.push_back(XGetPixel(image, px, py));
        XDestroyImage(image);
    }
    XCloseDisplay(d);
    return pixels;
}

class PanelOnX11 : public tooltest::ToolTest {
  protected:
    static void SetUpTestSuite() { server_ = std::make_unique<xtest::XvfbServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (!server_->started()) GTEST_SKIP() << "Xvfb could not start (is xvfb installed?)";
        if (!xtest::exists(xtest::kXdotool)) GTEST_SKIP() << "xdotool is not installed";
        ToolTest::SetUp();
    }

    static void click(const std::string& window, int x, int y) {
        xtest::xdotool(
            {"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
    }

    // The page title's band: it changes with the page and with nothing else.
    static std::vector<unsigned long> titleBand(const std::string& window) {
        return grab(window, 200, 8, 264, 34);
    }

    static inline std::unique_ptr<xtest::XvfbServer> server_;
};

TEST_F(PanelOnX11, RealClicksTurnThePagesAndARealDragOfLowSendsControlChange35) {
    ASSERT_EQ(run({"regsvr"}).code, 0);
    Child panel({"asio", "panel"});
    ASSERT_TRUE(panel.waitFor("the setup dialog of", 20000)) << panel.tail();
    const std::string w = xtest::xdotool({"search", "--sync", "--name", kCaption});
    ASSERT_FALSE(w.empty());
    // Once connected the dialog asks the device for all its controls, and draws page 0.
    ASSERT_TRUE(waitUntil(
        [] {
            return !run({"machine", "packets", "1"}).has("no control packets");
        },
        std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const auto preferences = titleBand(w);
    ASSERT_EQ(preferences.size(), 264u * 34u);
    click(w, 87, 25);
    EXPECT_TRUE(waitUntil([&] { return titleBand(w) != preferences; }, std::chrono::seconds(5)));
    const auto pgmInputs = titleBand(w);
    click(w, 87, 25);
    EXPECT_TRUE(waitUntil([&] { return titleBand(w) != pgmInputs; }, std::chrono::seconds(5)));
    EXPECT_NE(titleBand(w), preferences);
    click(w, 87, 25);  // page 3 -> page 0
    EXPECT_TRUE(waitUntil([&] { return titleBand(w) == preferences; }, std::chrono::seconds(5)));

    // The "Low" track runs from y 110 (127) to 211 (0) at x 18 to 78: pressed at y 160 the
    // value jumps there, and follows the pointer to y 130.
    EXPECT_EQ(run({"machine", "packets", "1", "100"}).text.find(" b0 23 "), std::string::npos);
    xtest::xdotool({"mousemove", "--window", w, "48", "160", "mousedown", "1", "mousemove",
                    "--window", w, "48", "130", "mouseup", "1"});
    EXPECT_TRUE(waitUntil(
        [] {
            return run({"machine", "packets", "1", "100"}).text.find(" b0 23 ") !=
                   std::string::npos;
        },
        std::chrono::seconds(10)))
        << run({"machine", "packets", "1", "100"}).text;

    xtest::xdotool({"mousemove", "--window", w, "600", "300", "key", "Escape"});
    EXPECT_EQ(panel.wait(30000), 0) << panel.tail();
}

TEST_F(PanelOnX11, WithoutADriverOrADeviceThePanelIsRefused) {
    auto r = run({"asio", "panel"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("no ASIO driver named \"Vexa VQ36\""), std::string::npos) << r.text;
    ASSERT_EQ(run({"regsvr"}).code, 0);
    ASSERT_EQ(run({"machine", "unplug"}).code, 0);
    r = run({"asio", "panel"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("no VQ36 on the machine"), std::string::npos) << r.text;
    run({"machine", "shutdown"});
    EXPECT_EQ(daemon->wait(), 0);
    daemon.reset();
    r = run({"asio", "panel"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("no machine runs on"), std::string::npos) << r.text;
}

}  // namespace
