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
    // The firmware panel's contents: title, both status lines, the update button's corners,
    // the first and the last LED.
    const std::pair<int, int> firmware[] = {{253, 250}, {40, 269},  {465, 269}, {28, 287},
                                            {129, 308}, {144, 296}, {477, 296}};
    // Everything else: thumbs at both ends of their travel, the buffer value, radio buttons,
    // the page button and the page title.
    const std::pair<int, int> others[] = {{48, 110}, {130, 211}, {581, 97}, {581, 273}, {580, 298},
                                          {198, 89}, {438, 89},  {20, 25},  {160, 40},  {332, 24}};
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

struct Point {
    int x, y;
};

// Where the dialog writes white text on each background: a point of the text's box beside its
// anchor (the centre, or a few pixels inside from a left or right end).
struct Text {
    const char* background;
    std::vector<Point> points;
};

std::vector<Text> whiteText() {
    std::vector<Point> page0 = {{253, 250}, {46, 269}, {459, 269}, {332, 24}, {30, 25},
                                {88, 68},   {46, 90},  {128, 90},  {88, 110}, {88, 211},
                                {220, 68},  {416, 68}, {580, 68},  {580, 298}};
    for (int v = 0; v <= 50; v += 5) page0.push_back({536, 273 - v * 176 / 50});
    for (Point radio : {Point{198, 89}, {198, 114}, {274, 114}, {364, 89}, {438, 89}})
        page0.push_back({radio.x + 16, radio.y});
    std::vector<Point> page1 = {{332, 24}, {30, 25}};
    for (int x : {86, 253, 415, 580}) {
        page1.push_back({x, 71});
        page1.push_back({x - 55, 149});
    }
    for (Point radio : {Point{36, 171},
                        {36, 195},
                        {204, 171},
                        {204, 195},
                        {370, 171},
                        {370, 195},
                        {531, 171},
                        {531, 195}})
        page1.push_back({radio.x + 16, radio.y});
    return {{"200", page0},
            {"201", page1},
            {"222", {{332, 24}, {30, 25}, {253, 68}, {416, 68}, {237, 92}, {400, 92}}},
            {"202", {{248, 123}, {248, 272}}}};
}

TEST(SetupImages, WhiteTextFallsOnDarkPanelsAndThumbsPointAtTheirValue) {
    const std::string dir = VQ36_SETUP_IMAGE_DIR;
    for (const auto& t : whiteText()) {
        Png b(imagePath(dir, t.background));
        for (Point p : t.points)
            EXPECT_LT(b.brightness(p.x, p.y), 3 * 80) << t.background << " " << p.x << "," << p.y;
    }
    // The dialog centres 213 at 3 right and 4 down of the slider's point, 214 at 4 right and
    // 3 down: the thumbs' white value line must cross that point.
    Png vertical(imagePath(dir, "213")), horizontal(imagePath(dir, "214"));
    for (int y : {18, 19}) EXPECT_GT(vertical.brightness(29, y), 3 * 200) << y;
    for (int y : {15, 22}) EXPECT_LT(vertical.brightness(29, y), 3 * 200) << y;
    for (int x : {17, 18}) EXPECT_GT(horizontal.brightness(x, 28), 3 * 200) << x;
    for (int x : {14, 21}) EXPECT_LT(horizontal.brightness(x, 28), 3 * 200) << x;
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
    // The preview mode composes frames from them; a folder it cannot write to fails the run.
    const std::string preview = std::string("'") + VQ36_SETUP_IMAGE_GENERATOR + "' --preview '" +
                                again + "' '" + again + "'";
    ASSERT_EQ(std::system(preview.c_str()), 0);
    EXPECT_TRUE(Png(again + "/preview_page0_update_50.png").ok());
    const std::string nowhere =
        std::string("'") + VQ36_SETUP_IMAGE_GENERATOR + "' '" + again + "/none' 2>/dev/null";
    EXPECT_NE(std::system(nowhere.c_str()), 0);
    fs::remove_all(again);
}

}  // namespace
