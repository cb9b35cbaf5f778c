#pragma once
// The drawing kit of the setup dialog's images (palette, shapes, shades, engraved text) and the
// drawers of the images themselves.

#include <cairo.h>

#include <initializer_list>
#include <utility>

#include "setup_art.h"

namespace setupart {

inline constexpr double kPi = 3.14159265358979323846;

// ---- palette ----
inline constexpr Rgba kPlateTop{0.125, 0.137, 0.157};
inline constexpr Rgba kPlateBottom{0.078, 0.086, 0.098};
inline constexpr Rgba kPanelTop{0.184, 0.200, 0.227};
inline constexpr Rgba kPanelBottom{0.137, 0.149, 0.173};
inline constexpr Rgba kBandTop{0.110, 0.122, 0.141};
inline constexpr Rgba kBandBottom{0.094, 0.102, 0.118};
inline constexpr Rgba kEdge{0.027, 0.031, 0.039};
inline constexpr Rgba kAmber{1.0, 0.655, 0.149};
inline constexpr Rgba kAmberDeep{0.851, 0.416, 0.0};
inline constexpr Rgba kEngrave{0.63, 0.66, 0.71};
inline constexpr Rgba kOverlay{0.031, 0.035, 0.043};

// ---- the kit ----
void setColour(cairo_t* cr, const Rgba& c, double alpha = 1.0);
void roundRect(cairo_t* cr, const Rect& r, double radius);
Rect inset(const Rect& r, double d);  // negative d: outset
// Fills the current path with a gradient of colour stops (the pattern is taken over).
using Stops = std::initializer_list<std::pair<double, Rgba>>;
void fillWith(cairo_t* cr, cairo_pattern_t* p, Stops stops);
void fillVertical(cairo_t* cr, const Rect& r, const Rgba& top, const Rgba& bottom);
// One-pixel lines on the pixel grid.
void hline(cairo_t* cr, double x0, double x1, double y, const Rgba& c, double alpha = 1.0);
void vline(cairo_t* cr, double x, double y0, double y1, const Rgba& c, double alpha = 1.0);
void softShadow(cairo_t* cr, const Rect& r, double radius, double spread, double strength);
void innerShadow(cairo_t* cr, const Rect& r, double radius, double depth, double alpha);
void recess(cairo_t* cr, const Rect& r, double radius, const Rgba& fill = {0.043, 0.047, 0.055});
enum class Align { Left, Centre, Right };
// Text cut into the plate (Liberation Sans, `size` pixels, extra `spacing` between letters).
void engraved(cairo_t* cr, const char* text, double x, double baseline, double size, bool bold,
              Align align, const Rgba& colour, double spacing = 0);
void brushed(cairo_t* cr, const Rect& r, double strength);

// ---- the window-sized images ----
void drawPage0(cairo_t* cr);
void drawPage1(cairo_t* cr);
void drawPage3(cairo_t* cr);
void drawNotConnected(cairo_t* cr);
void drawBlank(cairo_t* cr, bool withPageButton);
void drawFirmwareOverlay(cairo_t* cr);
void drawUpdateOverlay(cairo_t* cr);
void drawWholeOverlay(cairo_t* cr);

// ---- the small images ----
void drawRadio(cairo_t* cr, bool selected, bool enabled);
void drawLed(cairo_t* cr, bool on, const Rgba& lit, const Rgba& deep);
void drawThumb(cairo_t* cr, double cx, double cy, double w, double h, bool vertical);
enum class ButtonFace { Normal, Busy, Offered, Disabled };
void drawUpdateButton(cairo_t* cr, double w, double h, ButtonFace face);
void drawArrow(cairo_t* cr, bool pressed);
void drawIcon(cairo_t* cr, int size);

}  // namespace setupart
