// The drawing kit: shapes, gradients, shades, engraved text and brushed metal.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "drawing.h"

namespace setupart {
void setColour(cairo_t* cr, const Rgba& c, double alpha) {
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
void fillWith(cairo_t* cr, cairo_pattern_t* p, Stops stops) {
    for (const auto& [at, c] : stops) cairo_pattern_add_color_stop_rgba(p, at, c.r, c.g, c.b, c.a);
    cairo_set_source(cr, p);
    cairo_fill(cr);
    cairo_pattern_destroy(p);
}

void fillVertical(cairo_t* cr, const Rect& r, const Rgba& top, const Rgba& bottom) {
    fillWith(cr, cairo_pattern_create_linear(0, r.t, 0, r.b), {{0, top}, {1, bottom}});
}

void hline(cairo_t* cr, double x0, double x1, double y, const Rgba& c, double alpha) {
    cairo_set_line_width(cr, 1);
    setColour(cr, c, alpha);
    cairo_move_to(cr, x0, y + 0.5);
    cairo_line_to(cr, x1, y + 0.5);
    cairo_stroke(cr);
}

void vline(cairo_t* cr, double x, double y0, double y1, const Rgba& c, double alpha) {
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

void engraved(cairo_t* cr, const char* text, double x, double baseline, double size, bool bold,
              Align align, const Rgba& colour, double spacing) {
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
void recess(cairo_t* cr, const Rect& r, double radius, const Rgba& fill) {
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

}  // namespace setupart
