// The window-sized images: the faceplate with its header, the page button and the panels of
// each page (where the dialog puts its contents), and the two half-transparent overlays.

#include <cmath>

#include "drawing.h"

namespace setupart {
namespace {

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

}  // namespace

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
    panel(cr, kBadgePlate, 0);
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

// Overlays: exactly kOverlayAlpha inside the covered area, 0 outside; the edge is not
// smoothed, so that every covered pixel has the same alpha.
namespace {
void overlayFill(cairo_t* cr) {
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_source_rgba(cr, kOverlay.r, kOverlay.g, kOverlay.b, kOverlayAlpha / 255.0);
    cairo_fill(cr);
}
}  // namespace

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

}  // namespace setupart
