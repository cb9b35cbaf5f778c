// The generator's preview mode: frames of the setup dialog composed as the dialog composes
// them (background, texts, radio buttons, thumbs, LEDs, update button, overlay), from the
// generated images, with the texts in Liberation Sans at the dialog's places and sizes. They
// show whether every content sits in its panel; the dialog itself paints the real frames.

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "setup_art.h"

namespace setupart {
namespace {

// GDI+ lays a string out in a box 1/6 em wider than the glyphs on each side and one line
// (1.15 em for this face) high; the dialog places that box's centre, left middle or right
// middle at its point. The text sizes are points at 96 dots per inch.
enum class Align { Left, Centre, Right };

void text(cairo_t* cr, const std::string& s, double x, double y, double points, Align align,
          double grey = 1.0) {
    double em = points * 96 / 72;
    selectFace(cr, em, false);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    double w = e.x_advance + em / 3, h = em * 1.15;
    double ox = align == Align::Left ? x : align == Align::Centre ? x - w / 2 : x - w;
    double oy = y - h / 2;
    cairo_set_source_rgb(cr, grey, grey, grey);
    cairo_move_to(cr, ox + em / 6, oy + em * 0.905);
    cairo_show_text(cr, s.c_str());
}

constexpr double kTitle = 11, kLabel = 9, kSmall = 8;

struct Frame {
    bool connected = true;
    int page = 0;
    bool updating = false;
    bool newer = false;
    unsigned progress = 0;
    int searchLed = 0;
    int toneLow = 0, toneHigh = 0, buffer = 0;
    std::map<int, int> mirror;  // control -> value
    int outChannel = 0, inChannel = 0;
};

struct Radio {
    double x, y;
    const char* label;
    int control, value, page;
};
constexpr Radio kRadios[] = {
    {198, 89, "Main Mix", 33, 1, 0}, {198, 114, "Mic 1", 33, 2, 0}, {274, 114, "Mic 2", 33, 3, 0},
    {364, 89, "On", 36, 1, 0},       {438, 89, "Off", 36, 0, 0},    {36, 171, "High", 22, 96, 1},
    {36, 195, "Low", 22, 32, 1},     {204, 171, "High", 25, 96, 1}, {204, 195, "Low", 25, 32, 1},
    {370, 171, "High", 28, 96, 1},   {370, 195, "Low", 28, 32, 1},  {531, 171, "High", 31, 96, 1},
    {531, 195, "Low", 31, 32, 1},
};

class Composer {
  public:
    explicit Composer(const std::string& dir) : dir_(dir) {}
    ~Composer() {
        for (auto& [id, s] : images_) cairo_surface_destroy(s);
    }

    cairo_surface_t* image(const std::string& id) {
        auto it = images_.find(id);
        if (it != images_.end()) return it->second;
        cairo_surface_t* s =
            cairo_image_surface_create_from_png((dir_ + "/" + id + ".png").c_str());
        if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(s);
            missing_ = id;
            return nullptr;
        }
        images_[id] = s;
        return s;
    }
    const std::string& missing() const { return missing_; }

    void at(cairo_t* cr, const std::string& id, double x, double y) {
        if (cairo_surface_t* s = image(id)) {
            cairo_set_source_surface(cr, s, x, y);
            cairo_paint(cr);
        }
    }
    void centred(cairo_t* cr, const std::string& id, double x, double y) {
        if (cairo_surface_t* s = image(id))
            at(cr, id, x - (cairo_image_surface_get_width(s) >> 1),
               y - (cairo_image_surface_get_height(s) >> 1));
    }

    cairo_surface_t* compose(const Frame& f);

  private:
    void page0(cairo_t* cr, const Frame& f);
    void leds(cairo_t* cr, const Frame& f);

    std::string dir_;
    std::map<std::string, cairo_surface_t*> images_;
    std::string missing_;
};

void Composer::page0(cairo_t* cr, const Frame& f) {
    text(cr, "Update Device Firmware", 253, 250, kTitle, Align::Centre);
    std::string button = f.updating ? "216" : f.newer ? "217" : "215";
    at(cr, button, kUpdateButtonX, kUpdateButtonY);
    if (cairo_surface_t* b = image(button))
        text(cr, "Update Firmware", kUpdateButtonX + (cairo_image_surface_get_width(b) >> 1),
             kUpdateButtonY + (cairo_image_surface_get_height(b) >> 1), kSmall, Align::Centre, 0);
    char status[96], second[96] = "";
    if (f.updating && f.progress == 100) {
        std::snprintf(status, sizeof status, "Device Firmware Version: 1.04");
        std::snprintf(second, sizeof second, "Update Complete: Rebooting");
    } else if (f.updating) {
        std::snprintf(status, sizeof status, "Updating From 1.02 To 1.04: Do Not Unplug!");
    } else {
        std::snprintf(status, sizeof status, "Device Firmware Version: %s",
                      f.newer ? "1.02" : "1.04");
        if (f.newer) std::snprintf(second, sizeof second, "New Firmware Version: 1.04");
    }
    text(cr, status, 36, 269, kLabel, Align::Left);
    text(cr, second, 469, 269, kLabel, Align::Right);
    text(cr, "Preferences", 332, 24, kTitle, Align::Centre);
    text(cr, "PGM Inputs 1-4", 20, 25, kTitle, Align::Left);
    text(cr, "Headphone Tone", 88, 68, kTitle, Align::Centre);
    text(cr, "Low", 46, 90, kLabel, Align::Centre);
    text(cr, "High", 128, 90, kLabel, Align::Centre);
    text(cr, "+6", 88, 110, kLabel, Align::Centre);
    text(cr, "Off", 88, 211, kLabel, Align::Centre);
    text(cr, "USB-6 Record", 210, 68, kTitle, Align::Left);
    text(cr, "Button Backlight", 416, 68, kTitle, Align::Centre);
    text(cr, "Buffer Size", 580, 68, kTitle, Align::Centre);
    for (int v = 0; v <= 50; v += 5)
        text(cr, std::to_string(v < 1 ? 1 : v), 543, 273 - v * 176.0 / 50, kLabel, Align::Right);
    struct {
        Rect track;
        int value, max;
    } sliders[] = {{kBufferTrack, f.buffer, 50},
                   {kToneLowTrack, f.toneLow, 127},
                   {kToneHighTrack, f.toneHigh, 127}};
    for (const auto& s : sliders) {
        float cx = static_cast<float>((s.track.l + s.track.r) * 0.5);
        float cy = static_cast<float>(s.track.b - s.track.h() * s.value / s.max);
        centred(cr, "213", cx + 3, cy + 4);
    }
    text(cr, std::to_string(f.buffer < 1 ? 1 : f.buffer) + " ms", 580, 298, kTitle, Align::Centre);
}

void Composer::leds(cairo_t* cr, const Frame& f) {
    int n = f.connected ? 19 : 14;
    double end = f.connected ? kLedLastConnectedX : kLedLastSearchingX;
    for (int i = 0; i < n; ++i) {
        bool on = f.connected ? f.updating && i <= static_cast<int>(f.progress * 19 / 100)
                              : i == f.searchLed;
        centred(cr, on ? "208" : "207",
                static_cast<float>(kLedFirstX + i * (end - kLedFirstX) / (n - 1)), kLedRowY);
    }
}

cairo_surface_t* Composer::compose(const Frame& f) {
    cairo_surface_t* out =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kClientWidth, kClientHeight);
    cairo_t* cr = cairo_create(out);
    at(cr, !f.connected ? "202" : f.page == 1 ? "201" : f.page == 0 ? "200" : "222", 0, 0);
    if (!f.connected) {
        text(cr, "VQ36 is not connected", 248, 123, kTitle, Align::Centre);
        text(cr, "SEARCHING...", 248, 272, kLabel, Align::Centre);
    } else {
        if (f.page == 0) {
            page0(cr, f);
        } else if (f.page == 1) {
            text(cr, "PGM Inputs 1-4", 332, 24, kTitle, Align::Centre);
            text(cr, "MIDI", 20, 25, kTitle, Align::Left);
            for (int i = 0; i < 4; ++i) {
                text(cr, "PGM " + std::to_string(i + 1), kPgmCentres[i], 71, kTitle, Align::Centre);
                text(cr, "Filter Resonance", kPgmCentres[i] - 65, 149, kLabel, Align::Left);
            }
        } else {
            text(cr, "MIDI Configuration", 332, 24, kTitle, Align::Centre);
            text(cr, "Preferences", 20, 25, kTitle, Align::Left);
            text(cr, "MIDI Out Port", 253, 68, kTitle, Align::Centre);
            text(cr, "MIDI In Port", 416, 68, kTitle, Align::Centre);
            for (int i = 0; i < 2; ++i) {
                const Rect& r = kComboFaces[i];
                int channel = i == 0 ? f.outChannel : f.inChannel;
                cairo_rectangle(cr, r.l, r.t, r.w(), r.h());
                cairo_set_source_rgb(cr, 0, 0, 0);
                cairo_fill(cr);
                at(cr, "212", r.r - 20, r.t);
                text(cr, channel == 0 ? "off" : std::to_string(channel), (r.l + r.r - 20) * 0.5, 92,
                     kSmall, Align::Centre);
                text(cr, "Channel", r.l - 7, 92, kLabel, Align::Right);
            }
        }
        for (const Radio& r : kRadios) {
            if (r.page != f.page) continue;
            auto it = f.mirror.find(r.control);
            int held = it == f.mirror.end() ? 0 : it->second;
            centred(cr, held == r.value ? "206" : "205", r.x, r.y);
            text(cr, r.label, r.x + 11, r.y, kLabel, Align::Left);
        }
    }
    if (!f.connected || f.page == 0) leds(cr, f);
    if (f.updating)
        at(cr, "221", 0, 0);
    else if (f.connected && f.page == 0 && !f.newer)
        at(cr, "219", 0, 0);
    cairo_destroy(cr);
    return out;
}

}  // namespace

bool writePreviews(const std::string& imageDir, const std::string& outDir, std::string* error) {
    Composer c(imageDir);
    Frame base;
    base.toneLow = 64;
    base.toneHigh = 100;
    base.buffer = 8;
    base.mirror = {{33, 1}, {36, 1}, {22, 96}, {25, 32}, {28, 96}, {31, 32}};
    base.outChannel = 5;
    base.inChannel = 0;

    std::vector<std::pair<std::string, Frame>> frames;
    Frame f = base;
    f.connected = false;
    f.searchLed = 4;
    frames.push_back({"searching", f});
    frames.push_back({"page0", base});
    f = base;
    f.newer = true;
    f.buffer = 0;
    f.toneLow = 0;
    f.toneHigh = 127;
    frames.push_back({"page0_newer_firmware", f});
    f = base;
    f.updating = true;
    f.progress = 50;
    frames.push_back({"page0_update_50", f});
    f.progress = 100;
    frames.push_back({"page0_update_100", f});
    f = base;
    f.page = 1;
    frames.push_back({"page1", f});
    f.page = 3;
    frames.push_back({"page3", f});

    // The small images at four times their size, on the panels' colour, with their names.
    {
        const char* parts[] = {"205", "206", "223", "207",       "208",       "209",
                               "210", "212", "224", "213",       "214",       "215",
                               "216", "217", "218", "115_16x16", "115_32x32", "115_48x48"};
        cairo_surface_t* sheet = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1000, 800);
        cairo_t* cr = cairo_create(sheet);
        cairo_set_source_rgb(cr, 0.16, 0.175, 0.2);
        cairo_paint(cr);
        double x = 10, y = 30, rowHeight = 0;
        for (const char* id : parts) {
            cairo_surface_t* img = c.image(id);
            if (img == nullptr) break;
            double w = cairo_image_surface_get_width(img) * 4.0;
            double h = cairo_image_surface_get_height(img) * 4.0;
            if (x + w > 990) {
                x = 10;
                y += rowHeight + 30;
                rowHeight = 0;
            }
            text(cr, id, x, y - 12, kLabel, Align::Left);
            cairo_save(cr);
            cairo_translate(cr, x, y);
            cairo_scale(cr, 4, 4);
            cairo_set_source_surface(cr, img, 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
            cairo_paint(cr);
            cairo_restore(cr);
            x += w + 20;
            rowHeight = std::max(rowHeight, h);
        }
        cairo_destroy(cr);
        std::string path = outDir + "/preview_parts.png";
        bool ok = c.missing().empty() &&
                  cairo_surface_write_to_png(sheet, path.c_str()) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(sheet);
        if (!ok) {
            *error = c.missing().empty() ? "cannot write " + path
                                         : "no image " + c.missing() + ".png in " + imageDir;
            return false;
        }
    }
    for (const auto& [name, frame] : frames) {
        cairo_surface_t* s = c.compose(frame);
        std::string path = outDir + "/preview_" + name + ".png";
        bool ok = c.missing().empty() &&
                  cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(s);
        if (!c.missing().empty()) {
            *error = "no image " + c.missing() + ".png in " + imageDir;
            return false;
        }
        if (!ok) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

}  // namespace setupart
