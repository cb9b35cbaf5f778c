// The X11 display under Xvfb, with real input from xdotool: the demonstration program's
// dialog gets a click, its channel list is picked from with the mouse, scrolled with the wheel
// and driven with keys, Escape ends it, and what the server shows equals the offscreen
// rendering of the same frame. Skipped (with the reason) only when Xvfb cannot start.

#include <cairo.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "xvfb_server.h"

namespace {

using vq36tools::ChildProcess;

class X11Display : public testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = std::make_unique<xtest::XvfbServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        if (!server_->started())
            GTEST_SKIP() << "Xvfb could not start (is the xvfb package installed?)";
    }

    // Runs xdotool; its first output line.
    static std::string xdotool(const std::vector<std::string>& args) {
        EXPECT_TRUE(xtest::exists(xtest::kXdotool))
            << "xdotool is missing (tools/install-deps.sh installs it)";
        return xtest::xdotool(args);
    }

    static inline std::unique_ptr<xtest::XvfbServer> server_;
};

TEST_F(X11Display, RealClicksReachTheDialogAndPickFromItsChannelList) {
    ChildProcess demo(VQ_UI_DEMO, {"--events"});
    ASSERT_TRUE(demo.waitForLine("ready")) << demo.tail();
    int itemHeight = 0;
    for (std::size_t at = 0; at < demo.output().size();) {
        auto end = demo.output().find('\n', at);
        std::string l = demo.output().substr(at, end - at);
        if (l.rfind("itemheight ", 0) == 0) itemHeight = std::stoi(l.substr(11));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    ASSERT_GT(itemHeight, 8) << demo.tail();
    const std::string w = xdotool({"search", "--sync", "--name", "VQ36 UI Demo"});
    ASSERT_FALSE(w.empty());
    xdotool({"mousemove", "--window", w, "50", "60", "click", "1"});
    EXPECT_TRUE(demo.waitForLine("click 50 60 1", 10000)) << demo.tail();
    // The face of the channel list opens the drop-down (a popup of its own on the screen)...
    xdotool({"mousemove", "--window", w, "230", "50", "click", "1"});
    EXPECT_TRUE(demo.waitForLine("ctlcolor listbox", 10000)) << demo.tail();
    // ...whose item 5 lies under the face, 5 items down.
    xdotool({"mousemove", "--window", w, "215",
             std::to_string(60 + 5 * itemHeight + itemHeight / 2), "click", "1"});
    EXPECT_TRUE(demo.waitForLine("closeup 5", 10000)) << demo.tail();
    // Reopened, a notch of the wheel (button 5) scrolls the list by a row, so its last row
    // holds the last item; reopened on that, Home and Enter take the first.
    xdotool({"mousemove", "--window", w, "230", "50", "click", "1"});
    EXPECT_TRUE(demo.waitForLine("ctlcolor listbox", 10000)) << demo.tail();
    xdotool({"mousemove", "--window", w, "215", "100", "click", "5"});
    xdotool({"mousemove", "--window", w, "215",
             std::to_string(61 + 15 * itemHeight + itemHeight / 2), "click", "1"});
    EXPECT_TRUE(demo.waitForLine("closeup 16", 10000)) << demo.tail();
    xdotool({"mousemove", "--window", w, "230", "50", "click", "1"});
    EXPECT_TRUE(demo.waitForLine("ctlcolor listbox", 10000)) << demo.tail();
    xdotool({"key", "Home", "Return"});
    EXPECT_TRUE(demo.waitForLine("closeup 0", 10000)) << demo.tail();
    xdotool({"mousemove", "--window", w, "20", "20", "key", "Escape"});
    EXPECT_TRUE(demo.waitForLine("cancel", 10000)) << demo.tail();
    EXPECT_EQ(demo.wait(10000), 2) << demo.tail();  // IDCANCEL
}

TEST_F(X11Display, TheScreenShowsTheOffscreenFrame) {
    const std::string dir = testing::TempDir();
    const std::string offscreen = dir + "/vq_ui_offscreen.png", screen = dir + "/vq_ui_x11.png";
    ChildProcess still(VQ_UI_DEMO, {"--screenshot", offscreen});
    ASSERT_EQ(still.wait(20000), 2) << still.tail();
    ChildProcess shown(VQ_UI_DEMO, {"--events", "--x11-capture", screen});
    ASSERT_TRUE(shown.waitForLine("ready")) << shown.tail();
    const std::string w = xdotool({"search", "--sync", "--name", "VQ36 UI Demo"});
    xdotool({"mousemove", "--window", w, "20", "20", "key", "Escape"});
    ASSERT_EQ(shown.wait(10000), 2) << shown.tail();

    cairo_surface_t* a = cairo_image_surface_create_from_png(offscreen.c_str());
    cairo_surface_t* b = cairo_image_surface_create_from_png(screen.c_str());
    ASSERT_EQ(cairo_surface_status(a), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(cairo_surface_status(b), CAIRO_STATUS_SUCCESS);
    const int width = cairo_image_surface_get_width(a), height = cairo_image_surface_get_height(a);
    ASSERT_EQ(width, cairo_image_surface_get_width(b));
    ASSERT_EQ(height, cairo_image_surface_get_height(b));
    long off = 0;
    for (int y = 0; y < height; ++y) {
        const auto* ra = reinterpret_cast<const std::uint32_t*>(
            cairo_image_surface_get_data(a) + y * cairo_image_surface_get_stride(a));
        const auto* rb = reinterpret_cast<const std::uint32_t*>(
            cairo_image_surface_get_data(b) + y * cairo_image_surface_get_stride(b));
        for (int x = 0; x < width; ++x) {
            for (int s : {0, 8, 16}) {
                if (std::abs(static_cast<int>((ra[x] >> s) & 0xFF) -
                             static_cast<int>((rb[x] >> s) & 0xFF)) > 2) {
                    ++off;
                    break;
                }
            }
        }
    }
    // Anti-aliased edges may differ a little; the frame itself is the same.
    EXPECT_LE(off, width * height / 200) << off << " pixels differ";
    cairo_surface_destroy(a);
    cairo_surface_destroy(b);
}

}  // namespace
