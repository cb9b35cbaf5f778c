// The setup dialog's images as the generator draws them at build time: every resource and icon
// exists as a valid PNG of the size the dialog lays out, the overlays cover exactly their
// panels at half alpha, and the generator gives the same bytes on every run.

#include <cairo.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Expected {
    const char* name;
    int width, height;
};

constexpr Expected kImages[] = {
    {"200", 669, 327},
    {"201", 669, 327},
    {"222", 669, 327},
    {"202", 669, 327},
    {"205", 14, 14},
    {"206", 14, 14},
    {"207", 16, 16},
    {"208", 16, 16},
    {"212", 20, 20},
    {"213", 65, 46},
    {"214", 45, 63},
    {"215", 102, 23},
    {"216", 103, 23},
    {"217", 103, 23},
    {"219", 669, 327},
    {"221", 669, 327},
    // Loaded by the dialog, never drawn: sizes of our choosing.
    {"203", 669, 327},
    {"204", 669, 327},
    {"209", 16, 16},
    {"210", 16, 16},
    {"218", 102, 23},
    {"220", 669, 327},
    {"223", 14, 14},
    {"224", 20, 20},
    // The library's icon.
    {"115_16x16", 16, 16},
    {"115_32x32", 32, 32},
    {"115_48x48", 48, 48},
};

std::string imagePath(const std::string& dir, const std::string& name) {
    return dir + "/" + name + ".png";
}

std::vector<char> bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class Png {
  public:
    explicit Png(const std::string& path) : s_(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Png() { cairo_surface_destroy(s_); }
    bool ok() const { return cairo_surface_status(s_) == CAIRO_STATUS_SUCCESS; }
    int width() const { return cairo_image_surface_get_width(s_); }
    int height() const { return cairo_image_surface_get_height(s_); }
    std::uint32_t pixel(int x, int y) const {  // premultiplied ARGB
        const unsigned char* row =
            cairo_image_surface_get_data(s_) + y * cairo_image_surface_get_stride(s_);
        return reinterpret_cast<const std::uint32_t*>(row)[x];
    }
    int alpha(int x, int y) const { return static_cast<int>(pixel(x, y) >> 24); }
    int brightness(int x, int y) const {  // sum of the colour channels
        std::uint32_t p = pixel(x, y);
        return static_cast<int>(((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF));
    }

  private:
    cairo_surface_t* s_;
};

TEST(SetupImages, EveryImageIsAPngOfTheSizeTheDialogLaysOut) {
    for (const auto& e : kImages) {
        const std::string path = imagePath(VQ36_SETUP_IMAGE_DIR, e.name);
        const auto data = bytes(path);
        ASSERT_GE(data.size(), 8u) << path;
        EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "\x89PNG\r\n\x1a\n") << path;
        Png png(path);
        ASSERT_TRUE(png.ok()) << path;
        EXPECT_EQ(png.width(), e.width) << path;
        EXPECT_EQ(png.height(), e.height) << path;
    }
    for (const char* absent : {"211", "225", "226"})
        EXPECT_FALSE(fs::exists(imagePath(VQ36_SETUP_IMAGE_DIR, absent))) << absent;
}

TEST(SetupImages, OverlaysHalfCoverTheirPanelsAndLitPartsReadAsLit) {
    const std::string dir = VQ36_SETUP_IMAGE_DIR;
    // Inside the firmware panel (status line, LED row) and inside the other panels (headphone
    // tone, buffer size, the page button).
    const std::pair<int, int> firmware[] = {{40, 269}, {300, 296}};
    const std::pair<int, int> others[] = {{88, 150}, {580, 150}, {60, 25}, {416, 100}};
    Png under(imagePath(dir, "219")), during(imagePath(dir, "221"));
    for (auto [x, y] : firmware) {
        EXPECT_EQ(under.alpha(x, y), 127) << x << "," << y;
        EXPECT_EQ(during.alpha(x, y), 0) << x << "," << y;
    }
    for (auto [x, y] : others) {
        EXPECT_EQ(under.alpha(x, y), 0) << x << "," << y;
        EXPECT_EQ(during.alpha(x, y), 127) << x << "," << y;
    }
    for (const char* background : {"200", "201", "202", "222"}) {
        Png b(imagePath(dir, background));
        for (auto [x, y] : {std::pair{0, 0}, {668, 326}, {334, 160}})
            EXPECT_EQ(b.alpha(x, y), 255) << background;
    }
    // A lit LED and a selected radio button are far brighter at their centre than their
    // unlit and unselected faces.
    Png ledOff(imagePath(dir, "207")), ledOn(imagePath(dir, "208"));
    EXPECT_GT(ledOn.brightness(8, 8), 3 * ledOff.brightness(8, 8) + 150);
    Png radioOff(imagePath(dir, "205")), radioOn(imagePath(dir, "206"));
    EXPECT_GT(radioOn.brightness(7, 7), 3 * radioOff.brightness(7, 7) + 150);
    // The update buttons carry a black caption: their faces are light.
    for (const char* button : {"215", "216", "217"}) {
        Png b(imagePath(dir, button));
        EXPECT_GT(b.brightness(51, 11), 3 * 150) << button;
    }
}

TEST(SetupImages, TheGeneratorDrawsTheSameBytesOnEveryRun) {
    char templ[] = "/tmp/vq36-setup-images-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const std::string again = templ;
    const std::string command = std::string("'") + VQ36_SETUP_IMAGE_GENERATOR + "' '" + again + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const auto& e : kImages)
        EXPECT_EQ(bytes(imagePath(again, e.name)), bytes(imagePath(VQ36_SETUP_IMAGE_DIR, e.name)))
            << e.name;
    fs::remove_all(again);
}

}  // namespace
