#pragma once
// Shared by the UI stand-in's own source files.

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/win_gdi.h"

namespace standin::ui::detail {

// ---- GDI objects
// ----------------------------------------------------------------------------------
enum class GdiKind { Font, Brush };

struct FontSpec {
    std::string family;  // as asked for
    double emPixels = 11;
    bool bold = false;
    bool italic = false;
};

struct GdiObject {
    GdiKind kind;
    bool stock = false;
    FontSpec font;           // fonts
    COLORREF color = 0;      // brushes
    bool nullBrush = false;  // the hollow brush
};

std::shared_ptr<GdiObject> gdiObject(HGDIOBJ h);

// ---- Device contexts
// --------------------------------------------------------------------------------
struct DeviceContext {
    cairo_t* cr = nullptr;
    HWND hwnd = nullptr;
    HWND topLevel = nullptr;
    RECT clip{};  // client coordinates of hwnd
    COLORREF textColor = 0;
    COLORREF bkColor = 0xFFFFFF;
    int bkMode = OPAQUE;
    HGDIOBJ font = nullptr;
    HGDIOBJ brush = nullptr;
};

DeviceContext* deviceContext(HDC hdc);  // null when not a live device context

// ---- Fonts
// ---------------------------------------------------------------------------------------- The face
// that stands in for a family name (through fontconfig).
std::string resolveFamily(const std::string& family);
// Selects a font into a cairo context with the stand-in's text options (anti-aliased, unhinted).
void useFont(cairo_t* cr, const FontSpec& font);
// Advance width and font height (ascent + descent), in pixels.
struct TextExtent {
    double width = 0;
    double ascent = 0;
    double descent = 0;
    double lineHeight = 0;  // the face's line spacing at this size
};
TextExtent measure(const FontSpec& font, const std::string& utf8);
FontSpec dcFont(const DeviceContext& dc);
// Frees cairo's and fontconfig's font caches (when the library goes).
void releaseFontCaches();

void setSourceColor(cairo_t* cr, COLORREF color);

// Decodes PNG bytes into an ARGB32 image surface; the caller destroys it and checks its status
// (an error surface for anything that is not a PNG).
cairo_surface_t* pngSurface(const unsigned char* data, std::size_t size);

// ---- Display
// ---------------------------------------------------------------------------------------- The
// surface of a top-level window (created at its size when missing); null when the window is not a
// top-level window. Owned by the display.
cairo_surface_t* windowSurface(HWND topLevel);
// Registers the system window classes ("ComboBox", "ComboLBox", "#32770") once.
void registerSystemClasses();
// Takes them away again when the library is unloaded (their procedures go with it).
void unregisterSystemClasses();

// ---- Icons
// -------------------------------------------------------------------------------------------- The
// PNG bytes of an icon (empty when not an icon of this stand-in).
std::vector<unsigned char> iconPng(HICON icon);

}  // namespace standin::ui::detail
