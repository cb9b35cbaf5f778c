#pragma once
// The setup dialog's images: where the dialog puts its contents (client pixels of the 669 x 327
// window), the panels that the backgrounds draw around them, and the drawing of every image.
// The generator writes the images as PNG files; its preview mode draws the dialog's frames
// over them to show that the contents sit in their panels.

#include <cairo.h>

#include <functional>
#include <string>
#include <vector>

namespace setupart {

struct Rect {
    double l, t, r, b;
    double w() const { return r - l; }
    double h() const { return b - t; }
    double cx() const { return (l + r) / 2; }
    double cy() const { return (t + b) / 2; }
};

struct Rgba {
    double r, g, b, a = 1.0;
};

// ---- what the dialog draws, and where (client pixels) ----
inline constexpr int kClientWidth = 669;
inline constexpr int kClientHeight = 327;
inline constexpr Rect kPageButton{9, 7, 165, 43};
inline constexpr Rect kToneLowTrack{18, 110, 78, 211};
inline constexpr Rect kToneHighTrack{100, 110, 160, 211};
inline constexpr Rect kBufferTrack{552, 97, 610, 273};
inline constexpr double kUpdateButtonX = 27, kUpdateButtonY = 286;
inline constexpr double kLedRowY = 296, kLedFirstX = 144, kLedLastConnectedX = 477,
                        kLedLastSearchingX = 372;
inline constexpr Rect kComboFaces[2] = {{251, 82, 315, 102}, {414, 82, 478, 102}};
inline constexpr double kPgmCentres[4] = {86, 253, 415, 580};

// ---- the panels of the backgrounds ----
// Page 0: headphone tone, record source, backlight, the product badge, firmware, buffer.
inline constexpr Rect kTonePanel{8, 52, 168, 232};
inline constexpr Rect kRecordPanel{176, 52, 334, 132};
inline constexpr Rect kBacklightPanel{340, 52, 494, 132};
inline constexpr Rect kBadgePlate{176, 140, 494, 232};
inline constexpr Rect kFirmwarePanel{8, 238, 494, 318};
inline constexpr Rect kBufferPanel{502, 52, 660, 318};
inline constexpr double kPage0TitleBand = 80;  // bottom of the panels' title band
// Page 1: one panel per input, over the full height above the footer.
inline constexpr Rect kPgmPanels[4] = {
    {8, 52, 164, 232}, {175, 52, 331, 232}, {337, 52, 494, 232}, {502, 52, 660, 232}};
inline constexpr double kPage1TitleBand = 86;
// Page 3: the two channel lists.
inline constexpr Rect kMidiPanels[2] = {{176, 52, 331, 232}, {339, 52, 494, 232}};
inline constexpr double kPage3TitleBand = 78;
// Pages 1 and 3 carry plates where page 0 has its firmware panel and the foot of its buffer
// panel, so that the overlay of an update (which leaves the firmware panel clear) falls on
// panels there too.
inline constexpr Rect kFooterPlate{8, 238, 494, 318};
inline constexpr Rect kFooterRightPlate{502, 238, 660, 318};
// Not connected: the message, the search row and the product badge.
inline constexpr Rect kMessagePanel{8, 52, 494, 232};
inline constexpr Rect kSearchPanel{8, 238, 494, 318};
inline constexpr Rect kSideBadge{502, 52, 660, 318};

// The overlays' alpha over the panels they cover.
inline constexpr int kOverlayAlpha = 127;

// ---- the images ----
struct Image {
    std::string name;  // file name without ".png": the resource id, or the icon's "115_WxH"
    int width, height;
    std::function<void(cairo_t*)> draw;
};

// Every image of the library: PNG resources 200 to 210 and 212 to 224, and icon 115 at 16, 32
// and 48 pixels.
std::vector<Image> allImages();

// Draws one image into a new ARGB surface (owned by the caller); a drawing that failed gives a
// surface in an error state.
cairo_surface_t* render(const Image& image);

// The preview mode: writes frames of the dialog (its states and pages) composed from the
// images in imageDir, with its texts in Liberation Sans at their places, into outDir.
// Returns false with a message when an image is missing or a file cannot be written.
bool writePreviews(const std::string& imageDir, const std::string& outDir, std::string* error);

// Text in Liberation Sans with fixed font options (no hinting), so that the output is the same
// on every run.
void selectFace(cairo_t* cr, double pixelSize, bool bold);

}  // namespace setupart
