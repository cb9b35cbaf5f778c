// The setup dialog's images, drawn with cairo: a dark faceplate with raised panels whose white
// titles and labels the dialog draws, recessed slots for the sliders and the LED row, amber
// LEDs and radio buttons, fader caps, light update buttons for black captions, and the two
// half-transparent overlays. This file lists them with their sizes and renders them.

#include "setup_art.h"

#include <string>

#include "drawing.h"

namespace setupart {

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
