// The small images: radio buttons, LEDs, fader caps, update buttons, the channel list's arrow
// and the library's icon.

#include <algorithm>
#include <cmath>

#include "drawing.h"

namespace setupart {

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

}  // namespace setupart
