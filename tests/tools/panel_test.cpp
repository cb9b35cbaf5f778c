// `vq36 asio panel`: the scripted run writes the six pictures of the setup dialog, each its
// client area and showing what its state shows; without a display the window is refused with
// a pointer to the pictures.

#include <cairo.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tool_fixture.h"

namespace {

using tooltest::run;

// A PNG's pixels (0xAARRGGBB), or none.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

Picture load(const std::string& path) {
    Picture p;
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        p.width = cairo_image_surface_get_width(s);
        p.height = cairo_image_surface_get_height(s);
        const int stride = cairo_image_surface_get_stride(s);
        for (int y = 0; y < p.height; ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(
                cairo_image_surface_get_data(s) + static_cast<std::size_t>(y) * stride);
            p.pixels.insert(p.pixels.end(), row, row + p.width);
        }
    }
    cairo_surface_destroy(s);
    return p;
}

int distance(std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift : {0, 8, 16})
        d +=
            std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
    return d;
}

// The centre of LED i of the row of 19 (x 144 to 477, y 296).
std::uint32_t led(const Picture& p, int i) {
    return p.at(static_cast<int>(144 + i * (477.0 - 144.0) / 18 + 0.5), 296);
}

TEST(PanelScreenshots, TheScriptWritesSixPicturesOfTheClientAreaInTheirStates) {
    const std::string dir = testing::TempDir() + "/vq36_panel_" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    // The update's two fixed waits (3 s and 8 s) shortened; the 100 % frame has 1.6 s to come.
    setenv("VQ36_TEST_FIRMWARE_WAIT_DIVISOR", "5", 1);
    const auto r = run({"asio", "panel", "--screenshots", dir});
    ASSERT_EQ(r.code, 0) << r.text;

    const char* names[] = {"1-not-connected.png", "2-preferences.png", "3-pgm-inputs.png",
                           "4-midi-out-list.png", "5-update-50.png",   "6-update-complete.png"};
    std::vector<Picture> shots;
    for (const char* name : names) {
        shots.push_back(load(dir + "/" + name));
        EXPECT_EQ(shots.back().width, 669) << name;
        EXPECT_EQ(shots.back().height, 327) << name;
        EXPECT_TRUE(r.has("wrote " + dir + "/" + name)) << r.text;
    }
    for (const auto& s : shots)
        if (s.width != 669 || s.height != 327) return;

    // Searching and connected, and the three pages, are different pictures.
    for (std::size_t a = 0; a < 4; ++a) {
        for (std::size_t b = a + 1; b < 4; ++b) {
            long differing = 0;
            for (std::size_t i = 0; i < shots[a].pixels.size(); ++i)
                differing += distance(shots[a].pixels[i], shots[b].pixels[i]) > 30 ? 1 : 0;
            EXPECT_GT(differing, 669 * 327 / 100) << names[a] << " and " << names[b];
        }
    }
    // The dropped-down list is black below the face (x 251 to 315 from y 102).
    long black = 0, inList = 0;
    for (int y = 110; y < 320; y += 2) {
        for (int x = 256; x < 310; x += 2) {
            ++inList;
            black += distance(shots[3].at(x, y), 0xFF000000u) < 40 ? 1 : 0;
        }
    }
    EXPECT_GT(black, inList / 2);
    // At 50 % LEDs 0 to 9 are lit and 10 to 18 are not; at 100 % all are.
    const Picture& half = shots[4];
    const Picture& full = shots[5];
    EXPECT_LT(distance(led(half, 9), led(half, 0)), 30);
    EXPECT_LT(distance(led(half, 10), led(half, 18)), 30);
    EXPECT_GT(distance(led(half, 9), led(half, 10)), 60);
    EXPECT_LT(distance(led(full, 18), led(half, 0)), 30);
    // Only at 100 % does the second status line ("Update Complete: Rebooting") stand at the right.
    auto whiteAtRight = [](const Picture& p) {
        int white = 0;
        for (int y = 262; y < 277; ++y)
            for (int x = 320; x < 467; ++x) white += distance(p.at(x, y), 0xFFFFFFFFu) < 90 ? 1 : 0;
        return white;
    };
    EXPECT_EQ(whiteAtRight(half), 0);
    EXPECT_GT(whiteAtRight(full), 12);
    std::filesystem::remove_all(dir);
}

TEST(PanelCommand, WithoutADisplayTheWindowIsRefusedWithAPointerToThePictures) {
    standin::win32::ScopedFreshMachine root;
    unsetenv("DISPLAY");
    const auto r = run({"asio", "panel"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("no X display"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("--screenshots DIR"), std::string::npos) << r.text;
}

}  // namespace
