// The setup dialog's images, drawn with cairo: a dark faceplate with raised panels whose white
// titles and labels the dialog draws, recessed slots for the sliders and the LED row, amber
// LEDs and radio buttons, fader caps, light update buttons for black captions, and the two
// half-transparent overlays.

#include "setup_art.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace setupart {
namespace {

constexpr double kPi = 3.14159265358979323846;

// ---- palette ----
constexpr Rgba kPlateTop{0.125, 0.137, 0.157};
constexpr Rgba kPlateBottom{0.078, 0.086, 0.098};
constexpr Rgba kPanelTop{0.184, 0.200, 0.227};
constexpr Rgba kPanelBottom{0.137, 0.149, 0.173};
constexpr Rgba kBandTop{0.110, 0.122, 0.141};
constexpr Rgba kBandBottom{0.094, 0.102, 0.118};
constexpr Rgba kEdge{0.027, 0.031, 0.039};
constexpr Rgba kAmber{1.0, 0.655, 0.149};
constexpr Rgba kAmberDeep{0.851, 0.416, 0.0};
constexpr Rgba kEngrave{0.63, 0.66, 0.71};
constexpr Rgba kOverlay{0.031, 0.035, 0.043};

void setColour(cairo_t* cr, const Rgba& c, double alpha = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a * alpha);
}

void roundRect(cairo_t* cr, const Rect& r, double radius) {
    double x = r.l, y = r.t, w = r.w(), h = r.h();
    radius = std::min({radius, w / 2, h / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - radius, y + radius, radius, -kPi / 2, 0);
    cairo_arc(cr, x + w - radius, y + h - radius, radius, 0, kPi / 2);
    cairo_arc(cr, x + radius, y + h - radius, radius, kPi / 2, kPi);
    cairo_arc(cr, x + radius, y + radius, radius, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
}

Rect inset(const Rect& r, double d) {
    return {r.l + d, r.t + d, r.r - d, r.b - d};
}

// Fills the current path with a gradient of colour stops (the pattern is taken over).
using Stops = std::initializer_list<std::pair<double, Rgba>>;
void fillWith(cairo_t* cr, cairo_pattern_t* p, Stops stops) {
    for (const auto& [at, c] : stops) cairo_pattern_add_color_stop_rgba(p, at, c.r, c.g, c.b, c.a);
    cairo_set_source(cr, p);
    cairo_fill(cr);
    cairo_pattern_destroy(p);
}

void fillVertical(cairo_t* cr, const Rect& r, const Rgba& top, const Rgba& bottom) {
    fillWith(cr, cairo_pattern_create_linear(0, r.t, 0, r.b), {{0, top}, {1, bottom}});
}

void hline(cairo_t* cr, double x0, double x1, double y, const Rgba& c, double alpha = 1.0) {
    cairo_set_line_width(cr, 1);
    setColour(cr, c, alpha);
    cairo_move_to(cr, x0, y + 0.5);
    cairo_line_to(cr, x1, y + 0.5);
    cairo_stroke(cr);
}

void vline(cairo_t* cr, double x, double y0, double y1, const Rgba& c, double alpha = 1.0) {
    cairo_set_line_width(cr, 1);
    setColour(cr, c, alpha);
    cairo_move_to(cr, x + 0.5, y0);
    cairo_line_to(cr, x + 0.5, y1);
    cairo_stroke(cr);
}

// A soft shadow: stacked rounded rectangles of low alpha, widening outwards.
void softShadow(cairo_t* cr, const Rect& r, double radius, double spread, double strength) {
    for (int i = static_cast<int>(spread); i >= 1; --i) {
        roundRect(cr, inset(r, -i), radius + i);
        cairo_set_source_rgba(cr, 0, 0, 0, strength / spread);
        cairo_fill(cr);
    }
}

enum class Align { Left, Centre, Right };

void engraved(cairo_t* cr, const char* text, double x, double baseline, double size, bool bold,
              Align align, const Rgba& colour, double spacing = 0) {
    selectFace(cr, size, bold);
    // Width with letter spacing: character by character (UTF-8 sequences kept whole).
    std::vector<std::string> chars;
    for (const char* p = text; *p != '\0'; ++p) {
        if ((static_cast<unsigned char>(*p) & 0xC0) == 0x80 && !chars.empty())
            chars.back() += *p;
        else
            chars.emplace_back(1, *p);
    }
    double width = 0;
    std::vector<double> advances;
    for (const auto& one : chars) {
        cairo_text_extents_t e;
        cairo_text_extents(cr, one.c_str(), &e);
        advances.push_back(e.x_advance);
        width += e.x_advance + spacing;
    }
    if (!chars.empty()) width -= spacing;
    double start = align == Align::Left ? x : align == Align::Centre ? x - width / 2 : x - width;
    for (int pass = 0; pass < 2; ++pass) {
        double pen = start;
        for (std::size_t i = 0; i < chars.size(); ++i) {
            const char* one = chars[i].c_str();
            if (pass == 0) {
                cairo_set_source_rgba(cr, 0, 0, 0, 0.55);  // the cut's shadow
                cairo_move_to(cr, pen, baseline + 1);
            } else {
                setColour(cr, colour);
                cairo_move_to(cr, pen, baseline);
            }
            cairo_show_text(cr, one);
            pen += advances[i] + spacing;
        }
    }
}

// Brushed metal: fine horizontal streaks from a fixed sequence (same pixels on every run).
void brushed(cairo_t* cr, const Rect& r, double strength) {
    std::uint32_t x = 0x5EEDu;
    cairo_set_line_width(cr, 1);
    for (double y = r.t; y < r.b; y += 1) {
        double pos = r.l;
        while (pos < r.r) {
            x = x * 1664525u + 1013904223u;
            double len = 20 + (x >> 24) % 120;
            x = x * 1664525u + 1013904223u;
            double a = ((x >> 24) / 255.0) * strength;
            bool light = (x >> 8) & 1;
            cairo_set_source_rgba(cr, light ? 1 : 0, light ? 1 : 0, light ? 1 : 0, a);
            cairo_move_to(cr, pos, y + 0.5);
            cairo_line_to(cr, std::min(pos + len, r.r), y + 0.5);
            cairo_stroke(cr);
            pos += len;
        }
    }
}

// ---- building blocks of the backgrounds ----
void faceplate(cairo_t* cr) {
    Rect all{0, 0, kClientWidth, kClientHeight};
    cairo_rectangle(cr, 0, 0, all.r, all.b);
    fillVertical(cr, all, kPlateTop, kPlateBottom);
    brushed(cr, all, 0.035);
}

// The strip at the top: the page title sits in its middle, the page button at its left, the
// maker's name at its right.
void header(cairo_t* cr) {
    Rect band{0, 0, kClientWidth, 50};
    cairo_rectangle(cr, band.l, band.t, band.w(), band.h());
    fillVertical(cr, band, {0.176, 0.192, 0.220}, {0.102, 0.114, 0.133});
    brushed(cr, band, 0.03);
    hline(cr, 0, kClientWidth, 0, {1, 1, 1}, 0.10);
    hline(cr, 0, kClientWidth, 48, kEdge);
    hline(cr, 0, kClientWidth, 49, {1, 1, 1}, 0.06);
    // An amber rule under the page title's place.
    cairo_pattern_t* p = cairo_pattern_create_linear(232, 0, 432, 0);
    cairo_pattern_add_color_stop_rgba(p, 0, kAmber.r, kAmber.g, kAmber.b, 0);
    cairo_pattern_add_color_stop_rgba(p, 0.5, kAmber.r, kAmber.g, kAmber.b, 0.9);
    cairo_pattern_add_color_stop_rgba(p, 1, kAmber.r, kAmber.g, kAmber.b, 0);
    cairo_set_source(cr, p);
    cairo_rectangle(cr, 232, 40, 200, 2);
    cairo_fill(cr);
    cairo_pattern_destroy(p);
    engraved(cr, "VEXA", 606, 30, 17, true, Align::Right, {0.86, 0.88, 0.91}, 2.5);
    engraved(cr, "VQ36", 656, 30, 17, true, Align::Right, kAmber, 1);
}

// The page button: a raised key whose caption (the next page's name) the dialog writes from
// x 20; a double chevron at its right end says where it leads.
void pageButton(cairo_t* cr) {
    const Rect& b = kPageButton;
    softShadow(cr, b, 6, 3, 0.35);
    roundRect(cr, b, 6);
    fillVertical(cr, b, {0.302, 0.325, 0.365}, {0.157, 0.169, 0.192});
    roundRect(cr, inset(b, 0.5), 5.5);
    setColour(cr, kEdge);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    roundRect(cr, inset(b, 1.5), 4.5);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.10);
    cairo_stroke(cr);
    hline(cr, b.l + 6, b.r - 6, b.t + 1, {1, 1, 1}, 0.18);
    // Separator before the chevrons.
    vline(cr, 139, b.t + 7, b.b - 7, kEdge, 0.8);
    vline(cr, 140, b.t + 7, b.b - 7, {1, 1, 1}, 0.08);
    cairo_set_line_width(cr, 2);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (double x : {147.0, 154.0}) {
        setColour(cr, kAmber);
        cairo_move_to(cr, x, 19.5);
        cairo_line_to(cr, x + 5, 25);
        cairo_line_to(cr, x, 30.5);
        cairo_stroke(cr);
    }
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
}

// A raised panel with a darker title band (the dialog centres or left-aligns its title there).
void panel(cairo_t* cr, const Rect& r, double bandBottom) {
    softShadow(cr, r, 7, 4, 0.30);
    roundRect(cr, r, 7);
    fillVertical(cr, r, kPanelTop, kPanelBottom);
    if (bandBottom > r.t) {
        cairo_save(cr);
        roundRect(cr, r, 7);
        cairo_clip(cr);
        Rect band{r.l, r.t, r.r, bandBottom};
        cairo_rectangle(cr, band.l, band.t, band.w(), band.h());
        fillVertical(cr, band, kBandTop, kBandBottom);
        hline(cr, r.l, r.r, bandBottom - 1, kEdge);
        hline(cr, r.l, r.r, bandBottom, {1, 1, 1}, 0.07);
        cairo_restore(cr);
    }
    roundRect(cr, inset(r, 0.5), 6.5);
    setColour(cr, kEdge);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    hline(cr, r.l + 7, r.r - 7, r.t + 1, {1, 1, 1}, 0.10);
    // Four screws in the corners: the panels are plates on the faceplate.
    for (double x : {r.l + 6.5, r.r - 6.5})
        for (double y : {r.t + 6.5, r.b - 6.5}) {
            cairo_arc(cr, x, y, 2.2, 0, 2 * kPi);
            fillWith(cr, cairo_pattern_create_linear(x - 2, y - 2, x + 2, y + 2),
                     {{0, {0.45, 0.47, 0.51}}, {1, {0.13, 0.14, 0.16}}});
            cairo_set_line_width(cr, 0.8);
            cairo_set_source_rgba(cr, 0, 0, 0, 0.7);
            cairo_move_to(cr, x - 1.5, y + 1.5);
            cairo_line_to(cr, x + 1.5, y - 1.5);
            cairo_stroke(cr);
        }
}

// The shade that a raised edge casts into a sunken area, from its top down `depth` pixels.
void innerShadow(cairo_t* cr, const Rect& r, double radius, double depth, double alpha) {
    cairo_save(cr);
    roundRect(cr, r, radius);
    cairo_clip(cr);
    cairo_pattern_t* p = cairo_pattern_create_linear(0, r.t, 0, r.t + depth);
    cairo_pattern_add_color_stop_rgba(p, 0, 0, 0, 0, alpha);
    cairo_pattern_add_color_stop_rgba(p, 1, 0, 0, 0, 0);
    cairo_set_source(cr, p);
    cairo_paint(cr);
    cairo_pattern_destroy(p);
    cairo_restore(cr);
}

// A recessed area: dark, shaded at its top, lit at its lower edge.
void recess(cairo_t* cr, const Rect& r, double radius, const Rgba& fill = {0.043, 0.047, 0.055}) {
    roundRect(cr, inset(r, -1), radius + 1);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.07);
    cairo_fill(cr);
    roundRect(cr, r, radius);
    setColour(cr, fill);
    cairo_fill(cr);
    innerShadow(cr, r, radius, 5, 0.6);
    roundRect(cr, inset(r, 0.5), radius);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.8);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
}

// A vertical fader slot over a track's travel with scale ticks on both sides.
void faderSlot(cairo_t* cr, const Rect& track, int ticks, bool leftTicks, bool rightTicks) {
    double x = track.cx();
    recess(cr, {x - 3, track.t - 8, x + 3, track.b + 8}, 3, {0.0, 0.0, 0.0});
    for (int i = 0; i < ticks; ++i) {
        double y = std::round(track.b - (track.b - track.t) * i / (ticks - 1));
        bool major = i == 0 || i == ticks - 1 || i == (ticks - 1) / 2;
        double len = major ? 8 : 5;
        if (leftTicks) hline(cr, x - 26 - (major ? 2 : 0), x - 26 + len, y - 0.5, kEngrave, 0.75);
        if (rightTicks) hline(cr, x + 26 - len, x + 26 + (major ? 2 : 0), y - 0.5, kEngrave, 0.75);
    }
}

// Frame around a radio button's place (the dialog draws the button and its label).
void radioWell(cairo_t* cr, double x, double y) {
    cairo_arc(cr, x, y, 9, 0, 2 * kPi);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_fill(cr);
}

// A 1/4-inch jack socket in a hexagonal nut.
void jack(cairo_t* cr, double x, double y) {
    cairo_new_path(cr);
    for (int i = 0; i < 6; ++i) {
        double a = kPi / 6 + i * kPi / 3;
        cairo_line_to(cr, x + 19 * std::cos(a), y + 19 * std::sin(a));
    }
    cairo_close_path(cr);
    cairo_path_t* nut = cairo_copy_path(cr);
    fillWith(cr, cairo_pattern_create_linear(x - 15, y - 15, x + 15, y + 15),
             {{0, {0.62, 0.64, 0.68}}, {0.5, {0.36, 0.38, 0.42}}, {1, {0.17, 0.18, 0.20}}});
    cairo_append_path(cr, nut);
    cairo_path_destroy(nut);
    setColour(cr, kEdge);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    cairo_arc(cr, x, y, 12, 0, 2 * kPi);
    fillWith(cr, cairo_pattern_create_linear(x, y - 12, x, y + 12),
             {{0, {0.10, 0.11, 0.12}}, {1, {0.30, 0.32, 0.35}}});
    cairo_arc(cr, x, y, 6, 0, 2 * kPi);
    cairo_set_source_rgb(cr, 0.01, 0.01, 0.01);
    cairo_fill(cr);
    cairo_arc(cr, x, y, 6, kPi * 0.1, kPi * 0.9);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.15);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
}

// A five-pin DIN socket.
void dinSocket(cairo_t* cr, double x, double y) {
    cairo_arc(cr, x, y, 27, 0, 2 * kPi);
    fillWith(cr, cairo_pattern_create_linear(x - 20, y - 20, x + 20, y + 20),
             {{0, {0.60, 0.62, 0.66}}, {1, {0.18, 0.19, 0.21}}});
    cairo_arc(cr, x, y, 22, 0, 2 * kPi);
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.06);
    cairo_fill(cr);
    // The key notch at the top and the pins on an arc of 180 degrees.
    cairo_rectangle(cr, x - 3, y - 25, 6, 6);
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.06);
    cairo_fill(cr);
    for (int i = 0; i < 5; ++i) {
        double a = i * kPi / 4;
        double px = x + 13 * std::cos(a), py = y + 13 * std::sin(a);
        cairo_arc(cr, px, py, 2.6, 0, 2 * kPi);
        cairo_set_source_rgb(cr, 0.70, 0.62, 0.40);
        cairo_fill(cr);
    }
    cairo_arc(cr, x, y, 22, 0, 2 * kPi);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.9);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
}

// The product's badge: the maker, the model and what it is.
void badge(cairo_t* cr, const Rect& r, bool vertical) {
    recess(cr, inset(r, 8), 5, {0.063, 0.071, 0.082});
    double cx = r.cx();
    if (!vertical) {
        engraved(cr, "VEXA", cx, r.t + 29, 12, true, Align::Centre, kEngrave, 5);
        engraved(cr, "VQ36", cx, r.t + 59, 29, true, Align::Centre, {0.90, 0.91, 0.93}, 3);
        hline(cr, cx - 54, cx + 54, r.t + 65, kAmber, 0.8);
    } else {
        engraved(cr, "VEXA", cx, r.t + 70, 15, true, Align::Centre, kEngrave, 5);
        engraved(cr, "VQ36", cx, r.t + 118, 34, true, Align::Centre, {0.90, 0.91, 0.93}, 3);
        hline(cr, cx - 50, cx + 50, r.t + 128, kAmber, 0.8);
        engraved(cr, "USB 2.0", cx, r.t + 160, 10, false, Align::Centre, kEngrave, 2);
        engraved(cr, "AUDIO INTERFACE", cx, r.t + 176, 10, false, Align::Centre, kEngrave, 2);
        engraved(cr, "12 IN  /  10 OUT", cx, r.t + 200, 10, false, Align::Centre, kEngrave, 1);
    }
    if (!vertical)
        engraved(cr, "USB 2.0 AUDIO INTERFACE  \xC2\xB7  12 IN / 10 OUT", cx, r.t + 81, 9.5, false,
                 Align::Centre, kEngrave, 1.2);
}

// A row of LED sockets behind the dialog's LEDs.
void ledStrip(cairo_t* cr, double lastX) {
    recess(cr, {kLedFirstX - 11, kLedRowY - 11, lastX + 11, kLedRowY + 11}, 5);
}

// The plate under the update button.
void updateButtonWell(cairo_t* cr) {
    recess(cr, {kUpdateButtonX - 3, kUpdateButtonY - 3, kUpdateButtonX + 106, kUpdateButtonY + 26},
           5);
}

// The channel list's face is filled black by the dialog; its frame is the background's.
void comboWell(cairo_t* cr, const Rect& face) {
    recess(cr, inset(face, -3), 4, {0, 0, 0});
}

// ---- the backgrounds ----
void commonFrame(cairo_t* cr, bool withPageButton) {
    faceplate(cr);
    header(cr);
    if (withPageButton) pageButton(cr);
}

void footerPlates(cairo_t* cr) {
    panel(cr, kFooterPlate, 0);
    recess(cr, inset(kFooterPlate, 12), 5, {0.063, 0.071, 0.082});
    engraved(cr, "VEXA  VQ36", kFooterPlate.cx(), kFooterPlate.cy() - 2, 15, true, Align::Centre,
             kEngrave, 3);
    engraved(cr, "USB 2.0 AUDIO INTERFACE  \xC2\xB7  12 IN / 10 OUT", kFooterPlate.cx(),
             kFooterPlate.cy() + 17, 9.5, false, Align::Centre, kEngrave, 1.2);
    panel(cr, kFooterRightPlate, 0);
    // A USB trident on the right plate.
    double x = kFooterRightPlate.cx(), y = kFooterRightPlate.cy();
    setColour(cr, kEngrave, 0.8);
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, x - 34, y);
    cairo_line_to(cr, x + 30, y);
    cairo_stroke(cr);
    cairo_move_to(cr, x + 40, y);
    cairo_line_to(cr, x + 28, y - 7);
    cairo_line_to(cr, x + 28, y + 7);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_arc(cr, x - 36, y, 6, 0, 2 * kPi);
    cairo_fill(cr);
    cairo_move_to(cr, x - 20, y);
    cairo_line_to(cr, x - 8, y - 14);
    cairo_line_to(cr, x + 8, y - 14);
    cairo_stroke(cr);
    cairo_arc(cr, x + 11, y - 14, 4, 0, 2 * kPi);
    cairo_fill(cr);
    cairo_move_to(cr, x - 12, y);
    cairo_line_to(cr, x, y + 13);
    cairo_line_to(cr, x + 12, y + 13);
    cairo_stroke(cr);
    cairo_rectangle(cr, x + 12, y + 9, 8, 8);
    cairo_fill(cr);
}

void drawPage0(cairo_t* cr) {
    commonFrame(cr, true);
    // Headphone tone: two faders, the scale's ends ("+6", "Off") written between them.
    panel(cr, kTonePanel, kPage0TitleBand);
    faderSlot(cr, kToneLowTrack, 11, true, false);
    faderSlot(cr, kToneHighTrack, 11, false, true);
    // The scale between the faders, from "+6" (top) to "Off" (bottom).
    for (int i = 1; i < 10; ++i) {
        double y = std::round(kToneLowTrack.b - kToneLowTrack.h() * i / 10) - 0.5;
        double half = i == 5 ? 7 : 4;
        hline(cr, 88 - half, 88 + half, y, kEngrave, 0.75);
    }
    // Record source and backlight: the dialog's radio buttons on the panels.
    panel(cr, kRecordPanel, kPage0TitleBand);
    for (auto [x, y] : {std::pair{198.0, 89.0}, {198.0, 114.0}, {274.0, 114.0}})
        radioWell(cr, x, y);
    panel(cr, kBacklightPanel, kPage0TitleBand);
    for (double x : {364.0, 438.0}) radioWell(cr, x, 89);
    badge(cr, kBadgePlate, false);
    // Firmware: status lines, the update button and the progress LEDs.
    panel(cr, kFirmwarePanel, 258);
    updateButtonWell(cr);
    ledStrip(cr, kLedLastConnectedX);
    // Buffer size: the scale (labels right-aligned at x 543), the fader, the value's display.
    panel(cr, kBufferPanel, kPage0TitleBand);
    faderSlot(cr, kBufferTrack, 11, true, true);
    recess(cr, {538, 288, 622, 309}, 4, {0.02, 0.02, 0.025});
}

void drawPage1(cairo_t* cr) {
    commonFrame(cr, true);
    for (int i = 0; i < 4; ++i) {
        const Rect& p = kPgmPanels[i];
        panel(cr, p, kPage1TitleBand);
        jack(cr, kPgmCentres[i], 112);
        // The "Filter Resonance" group: caption at y 149, buttons at y 171 and 195.
        Rect group{p.l + 8, 138, p.r - 8, 222};
        recess(cr, group, 5, {0.090, 0.098, 0.114});
        double bx = kPgmCentres[i] - (i == 2 ? 45 : i == 0 ? 50 : 49);
        radioWell(cr, bx, 171);
        radioWell(cr, bx, 195);
    }
    footerPlates(cr);
}

// The ends of the MIDI ports beside them: the computer (left), whose messages go out to the
// device's control surface (right), which sends its own back in.
void computerPictogram(cairo_t* cr, double x, double y) {
    roundRect(cr, {x - 34, y - 26, x + 34, y + 20}, 3);
    setColour(cr, kEngrave, 0.7);
    cairo_fill(cr);
    cairo_rectangle(cr, x - 30, y - 22, 60, 37);
    cairo_set_source_rgb(cr, 0.05, 0.06, 0.07);
    cairo_fill(cr);
    for (int i = 0; i < 4; ++i)
        hline(cr, x - 24, x - 24 + 20 + (i * 11) % 24, y - 16 + i * 7, kAmber, 0.6);
    setColour(cr, kEngrave, 0.7);
    cairo_rectangle(cr, x - 5, y + 20, 10, 8);
    cairo_fill(cr);
    roundRect(cr, {x - 20, y + 28, x + 20, y + 32}, 2);
    cairo_fill(cr);
}

void surfacePictogram(cairo_t* cr, double x, double y) {
    roundRect(cr, {x - 40, y - 28, x + 40, y + 30}, 4);
    setColour(cr, kEngrave, 0.7);
    cairo_fill(cr);
    roundRect(cr, {x - 37, y - 25, x + 37, y + 27}, 3);
    cairo_set_source_rgb(cr, 0.10, 0.11, 0.12);
    cairo_fill(cr);
    for (int i = 0; i < 4; ++i) {
        double kx = x - 27 + i * 18;
        cairo_arc(cr, kx, y - 13, 5, 0, 2 * kPi);
        setColour(cr, kEngrave, 0.8);
        cairo_fill(cr);
        cairo_rectangle(cr, kx - 1, y - 2, 2, 24);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_fill(cr);
        double cy = y + 4 + (i * 7) % 14;
        cairo_rectangle(cr, kx - 5, cy - 2.5, 10, 5);
        setColour(cr, i == 1 ? kAmber : kEngrave, 0.9);
        cairo_fill(cr);
    }
}

void drawPage3(cairo_t* cr) {
    commonFrame(cr, true);
    const Rect left{8, 52, 168, 232}, right{502, 52, 660, 232};
    panel(cr, left, 0);
    recess(cr, inset(left, 12), 5, {0.063, 0.071, 0.082});
    computerPictogram(cr, left.cx(), 128);
    engraved(cr, "COMPUTER", left.cx(), 200, 10, false, Align::Centre, kEngrave, 2);
    panel(cr, right, 0);
    recess(cr, inset(right, 12), 5, {0.063, 0.071, 0.082});
    surfacePictogram(cr, right.cx(), 128);
    engraved(cr, "CONTROL SURFACE", right.cx(), 200, 10, false, Align::Centre, kEngrave, 1.5);
    for (int i = 0; i < 2; ++i) {
        panel(cr, kMidiPanels[i], kPage3TitleBand);
        comboWell(cr, kComboFaces[i]);
        dinSocket(cr, kMidiPanels[i].cx(), 168);
        // Which way the messages go: to the device (out) or from it (in).
        double x = kMidiPanels[i].cx(), y = 214;
        setColour(cr, kAmber, 0.85);
        cairo_set_line_width(cr, 2);
        double dir = i == 0 ? 1 : -1;
        cairo_move_to(cr, x - 22 * dir, y);
        cairo_line_to(cr, x + 18 * dir, y);
        cairo_stroke(cr);
        cairo_move_to(cr, x + 24 * dir, y);
        cairo_line_to(cr, x + 16 * dir, y - 5);
        cairo_line_to(cr, x + 16 * dir, y + 5);
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    footerPlates(cr);
}

void drawNotConnected(cairo_t* cr) {
    commonFrame(cr, false);
    panel(cr, kMessagePanel, 0);
    recess(cr, inset(kMessagePanel, 14), 6, {0.055, 0.063, 0.071});
    // A cable and a plug that do not meet, under the message at (248, 123).
    double y = 178, x = 248;
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    setColour(cr, kEngrave, 0.55);
    cairo_set_line_width(cr, 4);
    cairo_move_to(cr, x - 110, y);
    cairo_line_to(cr, x - 44, y);
    cairo_stroke(cr);
    roundRect(cr, {x - 44, y - 9, x - 14, y + 9}, 2);
    cairo_fill(cr);
    cairo_rectangle(cr, x - 14, y - 6, 12, 12);
    setColour(cr, kEngrave, 0.35);
    cairo_fill(cr);
    roundRect(cr, {x + 14, y - 11, x + 46, y + 11}, 3);
    setColour(cr, kEngrave, 0.55);
    cairo_fill(cr);
    cairo_rectangle(cr, x + 20, y - 5, 20, 10);
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.06);
    cairo_fill(cr);
    cairo_move_to(cr, x + 46, y);
    cairo_line_to(cr, x + 110, y);
    setColour(cr, kEngrave, 0.55);
    cairo_stroke(cr);
    setColour(cr, kAmber, 0.9);
    cairo_set_line_width(cr, 2);
    // Rays from the gap between plug and socket.
    for (int i = -1; i <= 1; ++i) {
        double a = -kPi / 2 + i * kPi / 4;
        cairo_move_to(cr, x + 6 + 14 * std::cos(a), y + 14 * std::sin(a));
        cairo_line_to(cr, x + 6 + 22 * std::cos(a), y + 22 * std::sin(a));
    }
    cairo_stroke(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    panel(cr, kSearchPanel, 0);
    ledStrip(cr, kLedLastSearchingX);
    panel(cr, kSideBadge, 0);
    badge(cr, kSideBadge, true);
}

// A page with only the faceplate (and the page button when asked).
void drawBlank(cairo_t* cr, bool withPageButton) {
    commonFrame(cr, withPageButton);
}

// ---- the small images ----
void drawRadio(cairo_t* cr, bool selected, bool enabled) {
    double c = 7;
    cairo_arc(cr, c, c, 6.5, 0, 2 * kPi);
    fillWith(cr, cairo_pattern_create_linear(0, 1, 0, 13),
             {{0, {0.55, 0.58, 0.63}}, {1, {0.20, 0.21, 0.24}}});
    cairo_arc(cr, c, c, 5, 0, 2 * kPi);
    fillWith(cr, cairo_pattern_create_linear(0, 2, 0, 12),
             {{0, {0.02, 0.02, 0.03}}, {1, {0.14, 0.15, 0.17}}});
    if (selected) {
        cairo_arc(cr, c, c, 3.6, 0, 2 * kPi);
        fillWith(cr, cairo_pattern_create_radial(c - 1, c - 1, 0.5, c, c, 3.6),
                 {{0, {1.0, 0.93, 0.70}}, {0.5, kAmber}, {1, kAmberDeep}});
    }
    if (!enabled) {
        cairo_arc(cr, c, c, 7, 0, 2 * kPi);
        cairo_set_source_rgba(cr, 0.08, 0.09, 0.10, 0.6);
        cairo_fill(cr);
    }
}

void drawLed(cairo_t* cr, bool on, const Rgba& lit, const Rgba& deep) {
    double c = 8;
    // Bezel.
    cairo_arc(cr, c, c, 7.5, 0, 2 * kPi);
    fillWith(cr, cairo_pattern_create_linear(0, 0, 0, 16),
             {{0, {0.03, 0.03, 0.04}}, {1, {0.42, 0.44, 0.48}}});
    cairo_arc(cr, c, c, 6.2, 0, 2 * kPi);
    cairo_set_source_rgb(cr, 0.02, 0.02, 0.02);
    cairo_fill(cr);
    // Lens, and when lit its glow on the bezel.
    cairo_arc(cr, c, c, 5.4, 0, 2 * kPi);
    cairo_pattern_t* lens = cairo_pattern_create_radial(c - 1.5, c - 1.5, 0.5, c, c, 5.4);
    if (on) {
        fillWith(cr, lens, {{0, {1.0, 0.97, 0.85}}, {0.35, lit}, {1, deep}});
        cairo_arc(cr, c, c, 7.8, 0, 2 * kPi);
        fillWith(cr, cairo_pattern_create_radial(c, c, 5.0, c, c, 7.8),
                 {{0, {lit.r, lit.g, lit.b, 0.75}}, {1, {lit.r, lit.g, lit.b, 0}}});
    } else {
        fillWith(cr, lens,
                 {{0, {deep.r * 0.30, deep.g * 0.30, deep.b * 0.30 + 0.03}},
                  {1, {deep.r * 0.12, deep.g * 0.12, deep.b * 0.12 + 0.02}}});
    }
    // Reflection.
    cairo_arc(cr, c - 1.8, c - 2.0, 1.5, 0, 2 * kPi);
    cairo_set_source_rgba(cr, 1, 1, 1, on ? 0.85 : 0.30);
    cairo_fill(cr);
}

// A fader cap of size w x h centred at (cx, cy), its shadow falling to the lower right. The
// line across it (along its short side) marks the value.
void drawThumb(cairo_t* cr, double cx, double cy, double w, double h, bool vertical) {
    Rect cap{cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2};
    Rect shade{cap.l + 3, cap.t + 4, cap.r + 3, cap.b + 4};
    softShadow(cr, shade, 4, 3, 0.45);
    roundRect(cr, shade, 4);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_fill(cr);
    roundRect(cr, cap, 4);
    fillWith(cr,
             vertical ? cairo_pattern_create_linear(0, cap.t, 0, cap.b)
                      : cairo_pattern_create_linear(cap.l, 0, cap.r, 0),
             {{0, {0.50, 0.53, 0.58}},
              {0.45, {0.30, 0.32, 0.36}},
              {0.55, {0.22, 0.23, 0.26}},
              {1, {0.36, 0.38, 0.42}}});
    // Grip ridges.
    for (int i = 1; i <= 3; ++i) {
        double d = i * (vertical ? h : w) / 9.0;
        for (double s : {-1.0, 1.0}) {
            if (vertical) {
                hline(cr, cap.l + 4, cap.r - 4, std::round(cy + s * d) - 1, {0, 0, 0}, 0.35);
                hline(cr, cap.l + 4, cap.r - 4, std::round(cy + s * d), {1, 1, 1}, 0.12);
            } else {
                vline(cr, std::round(cx + s * d) - 1, cap.t + 4, cap.b - 4, {0, 0, 0}, 0.35);
                vline(cr, std::round(cx + s * d), cap.t + 4, cap.b - 4, {1, 1, 1}, 0.12);
            }
        }
    }
    roundRect(cr, inset(cap, 0.5), 3.5);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.9);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    roundRect(cr, inset(cap, 1.5), 2.5);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.15);
    cairo_stroke(cr);
    // The value line.
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
    if (vertical)
        cairo_rectangle(cr, cap.l + 3, cy - 1, w - 6, 2);
    else
        cairo_rectangle(cr, cx - 1, cap.t + 3, 2, h - 6);
    cairo_fill(cr);
}

enum class ButtonFace { Normal, Busy, Offered, Disabled };

// An update button: light faces, so that the black caption reads on every one.
void drawUpdateButton(cairo_t* cr, double w, double h, ButtonFace face) {
    Rect b{0.5, 0.5, w - 0.5, h - 0.5};
    Rgba top, bottom, edge;
    switch (face) {
        case ButtonFace::Normal:
            top = {0.93, 0.94, 0.95};
            bottom = {0.72, 0.74, 0.77};
            edge = {0.22, 0.23, 0.26};
            break;
        case ButtonFace::Busy:  // pressed in: darker, lit from below
            top = {0.60, 0.62, 0.65};
            bottom = {0.80, 0.82, 0.84};
            edge = {0.10, 0.10, 0.12};
            break;
        case ButtonFace::Offered:
            top = {1.0, 0.86, 0.55};
            bottom = {1.0, 0.62, 0.10};
            edge = {0.45, 0.24, 0.0};
            break;
        case ButtonFace::Disabled:
            top = {0.55, 0.56, 0.58};
            bottom = {0.45, 0.46, 0.48};
            edge = {0.20, 0.20, 0.22};
            break;
    }
    roundRect(cr, b, 4);
    fillVertical(cr, b, top, bottom);
    roundRect(cr, b, 4);
    setColour(cr, edge);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    if (face == ButtonFace::Busy) {
        innerShadow(cr, {b.l, -0.5, b.r, b.b}, 4, 6, 0.35);
    } else {
        hline(cr, 4, w - 4, 1, {1, 1, 1}, 0.8);
    }
}

// The arrow at the right end of a channel list's face.
void drawArrow(cairo_t* cr, bool pressed) {
    Rect b{0.5, 0.5, 19.5, 19.5};
    roundRect(cr, b, 3);
    if (pressed)
        fillVertical(cr, b, {0.12, 0.13, 0.15}, {0.22, 0.23, 0.26});
    else
        fillVertical(cr, b, {0.32, 0.34, 0.38}, {0.16, 0.17, 0.19});
    roundRect(cr, b, 3);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.9);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    if (!pressed) hline(cr, 3, 17, 1, {1, 1, 1}, 0.18);
    double dy = pressed ? 1 : 0;
    cairo_move_to(cr, 5.5, 8 + dy);
    cairo_line_to(cr, 14.5, 8 + dy);
    cairo_line_to(cr, 10, 13 + dy);
    cairo_close_path(cr);
    setColour(cr, kAmber);
    cairo_fill(cr);
}

// Overlays: exactly kOverlayAlpha inside the covered area, 0 outside; the edge is not
// smoothed, so that every covered pixel has the same alpha.
void overlayFill(cairo_t* cr) {
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_source_rgba(cr, kOverlay.r, kOverlay.g, kOverlay.b, kOverlayAlpha / 255.0);
    cairo_fill(cr);
}

void drawFirmwareOverlay(cairo_t* cr) {
    roundRect(cr, kFirmwarePanel, 7);
    overlayFill(cr);
}

void drawUpdateOverlay(cairo_t* cr) {
    cairo_rectangle(cr, 0, 0, kClientWidth, kClientHeight);
    roundRect(cr, kFirmwarePanel, 7);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    overlayFill(cr);
}

void drawWholeOverlay(cairo_t* cr) {
    cairo_rectangle(cr, 0, 0, kClientWidth, kClientHeight);
    overlayFill(cr);
}

// The library's icon: a dark key with three faders, one of them amber.
void drawIcon(cairo_t* cr, int size) {
    double s = size / 48.0;
    Rect key{1 * s, 1 * s, 47 * s, 47 * s};
    roundRect(cr, key, 9 * s);
    fillVertical(cr, key, {0.22, 0.24, 0.27}, {0.08, 0.09, 0.10});
    roundRect(cr, inset(key, 0.5), 9 * s);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.9);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    const double xs[3] = {14, 24, 34};
    const double caps[3] = {30, 17, 25};
    for (int i = 0; i < 3; ++i) {
        double x = xs[i] * s;
        cairo_rectangle(cr, x - std::max(1.0, 1.5 * s), 9 * s, std::max(2.0, 3 * s), 30 * s);
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        cairo_fill(cr);
        Rect cap{x - 4.5 * s, (caps[i] - 3.5) * s, x + 4.5 * s, (caps[i] + 3.5) * s};
        roundRect(cr, cap, 1.5 * s);
        if (i == 1)
            setColour(cr, kAmber);
        else
            cairo_set_source_rgb(cr, 0.85, 0.86, 0.88);
        cairo_fill(cr);
    }
}

}  // namespace

void selectFace(cairo_t* cr, double pixelSize, bool bold) {
    cairo_select_font_face(cr, "Liberation Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, pixelSize);
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, o);
    cairo_font_options_destroy(o);
}

// The images the dialog loads but never draws (203, 204, 209, 210, 218, 220, 223, 224) are
// spares of the ones it draws: a blank page with and without the page button, a green LED off
// and on, a disabled update button, an overlay over the whole window, a disabled radio button
// and a pressed list arrow.
std::vector<Image> allImages() {
    const int W = kClientWidth, H = kClientHeight;
    const Rgba green{0.45, 1.0, 0.35}, greenDeep{0.05, 0.55, 0.10};
    std::vector<Image> v = {
        {"200", W, H, drawPage0},
        {"201", W, H, drawPage1},
        {"202", W, H, drawNotConnected},
        {"203", W, H, [](cairo_t* cr) { drawBlank(cr, true); }},
        {"204", W, H, [](cairo_t* cr) { drawBlank(cr, false); }},
        {"205", 14, 14, [](cairo_t* cr) { drawRadio(cr, false, true); }},
        {"206", 14, 14, [](cairo_t* cr) { drawRadio(cr, true, true); }},
        {"207", 16, 16, [](cairo_t* cr) { drawLed(cr, false, kAmber, kAmberDeep); }},
        {"208", 16, 16, [](cairo_t* cr) { drawLed(cr, true, kAmber, kAmberDeep); }},
        {"209", 16, 16, [=](cairo_t* cr) { drawLed(cr, false, green, greenDeep); }},
        {"210", 16, 16, [=](cairo_t* cr) { drawLed(cr, true, green, greenDeep); }},
        {"212", 20, 20, [](cairo_t* cr) { drawArrow(cr, false); }},
        // Thumbs: the dialog centres 213 at 3 right and 4 down of the slider's point (214 at 4
        // right and 3 down), so the cap's centre lies that far up and left of the image's.
        {"213", 65, 46, [](cairo_t* cr) { drawThumb(cr, 32 - 3, 23 - 4, 44, 24, true); }},
        {"214", 45, 63, [](cairo_t* cr) { drawThumb(cr, 22 - 4, 31 - 3, 24, 44, false); }},
        {"215", 102, 23, [](cairo_t* cr) { drawUpdateButton(cr, 102, 23, ButtonFace::Normal); }},
        {"216", 103, 23, [](cairo_t* cr) { drawUpdateButton(cr, 103, 23, ButtonFace::Busy); }},
        {"217", 103, 23, [](cairo_t* cr) { drawUpdateButton(cr, 103, 23, ButtonFace::Offered); }},
        {"218", 102, 23, [](cairo_t* cr) { drawUpdateButton(cr, 102, 23, ButtonFace::Disabled); }},
        {"219", W, H, drawFirmwareOverlay},
        {"220", W, H, drawWholeOverlay},
        {"221", W, H, drawUpdateOverlay},
        {"222", W, H, drawPage3},
        {"223", 14, 14, [](cairo_t* cr) { drawRadio(cr, false, false); }},
        {"224", 20, 20, [](cairo_t* cr) { drawArrow(cr, true); }},
    };
    for (int size : {16, 32, 48}) {
        std::string n = std::to_string(size);
        v.push_back(
            {"115_" + n + "x" + n, size, size, [size](cairo_t* cr) { drawIcon(cr, size); }});
    }
    return v;
}

cairo_surface_t* render(const Image& image) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image.width, image.height);
    cairo_t* cr = cairo_create(s);
    image.draw(cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_flush(s);
    if (status != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return cairo_image_surface_create(CAIRO_FORMAT_INVALID, 0, 0);  // an error surface
    }
    return s;
}

}  // namespace setupart
