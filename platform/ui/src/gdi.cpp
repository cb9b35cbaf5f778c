// GDI on cairo: objects, device contexts, text and icons.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

#include <fontconfig/fontconfig.h>

#include "standin/win32/text.h"
#include "ui_internal.h"

namespace standin::ui::detail {
namespace {

struct Gdi {
    std::mutex mu;
    std::map<HGDIOBJ, std::shared_ptr<GdiObject>> objects;
    std::map<int, HGDIOBJ> stock;
    std::uintptr_t next = 0x6D0010;
    std::map<HICON, std::vector<unsigned char>> icons;
};

Gdi& gdi() {
    static Gdi g;
    return g;
}

HGDIOBJ addObject(std::shared_ptr<GdiObject> o) {
    std::lock_guard lock(gdi().mu);
    auto h = reinterpret_cast<HGDIOBJ>(gdi().next);
    gdi().next += 8;
    gdi().objects[h] = std::move(o);
    return h;
}

}  // namespace

std::shared_ptr<GdiObject> gdiObject(HGDIOBJ h) {
    std::lock_guard lock(gdi().mu);
    auto it = gdi().objects.find(h);
    return it == gdi().objects.end() ? nullptr : it->second;
}

std::string resolveFamily(const std::string& family) {
    static const char* const kSansAliases[] = {
        "arial",  "ms shell dlg", "ms shell dlg 2", "microsoft sans serif",
        "tahoma", "segoe ui",     "ms sans serif"};
    std::string lower = family;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* a : kSansAliases) {
        if (lower == a) return "Liberation Sans";
    }
    return family.empty() ? "Liberation Sans" : family;
}

void useFont(cairo_t* cr, const FontSpec& font) {
    cairo_select_font_face(cr, resolveFamily(font.family).c_str(),
                           font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           font.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font.emPixels);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

// A surface to measure on, released with the font caches.
struct Scratch {
    std::mutex mu;
    cairo_surface_t* surface = nullptr;
    cairo_surface_t* get() {
        if (surface == nullptr) surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
        return surface;
    }
    void release() {
        std::lock_guard lock(mu);
        if (surface) cairo_surface_destroy(surface);
        surface = nullptr;
    }
};

// Constant-initialised with nothing to destroy, so that it serves static destruction too.
constinit Scratch gScratch;

Scratch& measureScratch() {
    return gScratch;
}

TextExtent measure(const FontSpec& font, const std::string& utf8) {
    Scratch& scratch = measureScratch();
    std::lock_guard lock(scratch.mu);
    cairo_t* cr = cairo_create(scratch.get());
    useFont(cr, font);
    cairo_text_extents_t te;
    cairo_text_extents(cr, utf8.c_str(), &te);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    cairo_destroy(cr);
    return {te.x_advance, fe.ascent, fe.descent, fe.height};
}

void releaseFontCaches() {
    measureScratch().release();
    cairo_debug_reset_static_data();
    FcFini();
}

FontSpec dcFont(const DeviceContext& dc) {
    if (auto f = gdiObject(dc.font); f && f->kind == GdiKind::Font) return f->font;
    FontSpec def;
    def.family = "MS Shell Dlg";
    def.emPixels = 11;
    return def;
}

void setSourceColor(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
}

std::vector<unsigned char> iconPng(HICON icon) {
    std::lock_guard lock(gdi().mu);
    auto it = gdi().icons.find(icon);
    return it == gdi().icons.end() ? std::vector<unsigned char>{} : it->second;
}

}  // namespace standin::ui::detail

using namespace standin::ui::detail;

HGDIOBJ WINAPI GetStockObject(int i) {
    {
        std::lock_guard lock(gdi().mu);
        auto it = gdi().stock.find(i);
        if (it != gdi().stock.end()) return it->second;
    }
    auto o = std::make_shared<GdiObject>();
    o->stock = true;
    switch (i) {
        case WHITE_BRUSH:
            o->kind = GdiKind::Brush;
            o->color = RGB(255, 255, 255);
            break;
        case LTGRAY_BRUSH:
            o->kind = GdiKind::Brush;
            o->color = RGB(192, 192, 192);
            break;
        case GRAY_BRUSH:
            o->kind = GdiKind::Brush;
            o->color = RGB(128, 128, 128);
            break;
        case DKGRAY_BRUSH:
            o->kind = GdiKind::Brush;
            o->color = RGB(64, 64, 64);
            break;
        case BLACK_BRUSH:
            o->kind = GdiKind::Brush;
            o->color = RGB(0, 0, 0);
            break;
        case NULL_BRUSH:
            o->kind = GdiKind::Brush;
            o->nullBrush = true;
            break;
        case SYSTEM_FONT:
        case DEFAULT_GUI_FONT:
            o->kind = GdiKind::Font;
            o->font.family = "MS Shell Dlg";
            o->font.emPixels = 11;
            break;
        default:
            return nullptr;
    }
    HGDIOBJ h = addObject(o);
    std::lock_guard lock(gdi().mu);
    auto [it, inserted] = gdi().stock.emplace(i, h);
    if (!inserted) gdi().objects.erase(h);
    return it->second;
}

namespace {

HFONT createFont(const LOGFONTA& lf, const std::string& face) {
    auto o = std::make_shared<GdiObject>();
    o->kind = GdiKind::Font;
    o->font.family = face;
    o->font.bold = lf.lfWeight >= 600;
    o->font.italic = lf.lfItalic != 0;
    if (lf.lfHeight < 0) {
        o->font.emPixels = -lf.lfHeight;
    } else if (lf.lfHeight > 0) {
        // A cell height: the em is that share of ascent + descent.
        FontSpec unit = o->font;
        unit.emPixels = 100;
        TextExtent e = measure(unit, "M");
        o->font.emPixels = lf.lfHeight * 100.0 / std::max(1.0, e.ascent + e.descent);
    } else {
        o->font.emPixels = 11;
    }
    return static_cast<HFONT>(addObject(o));
}

}  // namespace

HFONT WINAPI CreateFontIndirectA(const LOGFONTA* lplf) {
    if (lplf == nullptr) return nullptr;
    return createFont(*lplf, std::string(lplf->lfFaceName, strnlen(lplf->lfFaceName, LF_FACESIZE)));
}

HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf) {
    if (lplf == nullptr) return nullptr;
    LOGFONTA a{};
    a.lfHeight = lplf->lfHeight;
    a.lfWeight = lplf->lfWeight;
    a.lfItalic = lplf->lfItalic;
    return createFont(a, standin::win32::toUtf8(lplf->lfFaceName, LF_FACESIZE));
}

HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
    auto o = std::make_shared<GdiObject>();
    o->kind = GdiKind::Brush;
    o->color = color & 0xFFFFFF;
    return static_cast<HBRUSH>(addObject(o));
}

BOOL WINAPI DeleteObject(HGDIOBJ ho) {
    std::lock_guard lock(gdi().mu);
    auto it = gdi().objects.find(ho);
    if (it == gdi().objects.end()) return FALSE;
    if (!it->second->stock) gdi().objects.erase(it);
    return TRUE;
}

int WINAPI GetObjectA(HANDLE h, int c, LPVOID pv) {
    auto o = gdiObject(h);
    if (!o || o->kind != GdiKind::Font) return 0;
    if (pv == nullptr) return sizeof(LOGFONTA);
    if (c < static_cast<int>(sizeof(LOGFONTA))) return 0;
    LOGFONTA lf{};
    lf.lfHeight = -static_cast<LONG>(std::lround(o->font.emPixels));
    lf.lfWeight = o->font.bold ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = o->font.italic;
    std::strncpy(lf.lfFaceName, o->font.family.c_str(), LF_FACESIZE - 1);
    std::memcpy(pv, &lf, sizeof lf);
    return sizeof lf;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h) {
    DeviceContext* dc = deviceContext(hdc);
    auto o = gdiObject(h);
    if (dc == nullptr || !o) return nullptr;
    HGDIOBJ& slot = o->kind == GdiKind::Font ? dc->font : dc->brush;
    HGDIOBJ previous = slot;
    slot = h;
    if (previous == nullptr) {
        previous = GetStockObject(o->kind == GdiKind::Font ? SYSTEM_FONT : WHITE_BRUSH);
    }
    return previous;
}

COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color) {
    DeviceContext* dc = deviceContext(hdc);
    if (dc == nullptr) return CLR_INVALID;
    COLORREF old = dc->textColor;
    dc->textColor = color & 0xFFFFFF;
    return old;
}
COLORREF WINAPI GetTextColor(HDC hdc) {
    DeviceContext* dc = deviceContext(hdc);
    return dc ? dc->textColor : CLR_INVALID;
}
COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color) {
    DeviceContext* dc = deviceContext(hdc);
    if (dc == nullptr) return CLR_INVALID;
    COLORREF old = dc->bkColor;
    dc->bkColor = color & 0xFFFFFF;
    return old;
}
COLORREF WINAPI GetBkColor(HDC hdc) {
    DeviceContext* dc = deviceContext(hdc);
    return dc ? dc->bkColor : CLR_INVALID;
}
int WINAPI SetBkMode(HDC hdc, int mode) {
    DeviceContext* dc = deviceContext(hdc);
    if (dc == nullptr || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    int old = dc->bkMode;
    dc->bkMode = mode;
    return old;
}
int WINAPI GetBkMode(HDC hdc) {
    DeviceContext* dc = deviceContext(hdc);
    return dc ? dc->bkMode : 0;
}

namespace {

BOOL textExtent(HDC hdc, const std::string& text, LPSIZE psizl) {
    DeviceContext* dc = deviceContext(hdc);
    if (dc == nullptr || psizl == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TextExtent e = measure(dcFont(*dc), text);
    psizl->cx = static_cast<LONG>(std::lround(e.width));
    psizl->cy = static_cast<LONG>(std::ceil(e.ascent + e.descent));
    return TRUE;
}

BOOL textOut(HDC hdc, int x, int y, const std::string& text) {
    DeviceContext* dc = deviceContext(hdc);
    if (dc == nullptr) return FALSE;
    FontSpec font = dcFont(*dc);
    TextExtent e = measure(font, text);
    cairo_save(dc->cr);
    if (dc->bkMode == OPAQUE) {
        setSourceColor(dc->cr, dc->bkColor);
        cairo_rectangle(dc->cr, x, y, e.width, e.ascent + e.descent);
        cairo_fill(dc->cr);
    }
    useFont(dc->cr, font);
    setSourceColor(dc->cr, dc->textColor);
    cairo_move_to(dc->cr, x, y + e.ascent);
    cairo_show_text(dc->cr, text.c_str());
    cairo_restore(dc->cr);
    return TRUE;
}

std::string narrow(LPCSTR s, int c) {
    if (s == nullptr) return {};
    return c < 0 ? std::string(s) : std::string(s, static_cast<std::size_t>(c));
}

}  // namespace

BOOL WINAPI GetTextExtentPoint32A(HDC hdc, LPCSTR lpString, int c, LPSIZE psizl) {
    return textExtent(hdc, narrow(lpString, c), psizl);
}
BOOL WINAPI GetTextExtentPoint32W(HDC hdc, LPCWSTR lpString, int c, LPSIZE psizl) {
    return textExtent(
        hdc, standin::win32::toUtf8(lpString, static_cast<std::size_t>(std::max(c, 0))), psizl);
}
BOOL WINAPI TextOutA(HDC hdc, int x, int y, LPCSTR lpString, int c) {
    return textOut(hdc, x, y, narrow(lpString, c));
}
BOOL WINAPI TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c) {
    return textOut(hdc, x, y,
                   standin::win32::toUtf8(lpString, static_cast<std::size_t>(std::max(c, 0))));
}

int WINAPI FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
    DeviceContext* dc = deviceContext(hDC);
    auto o = gdiObject(hbr);
    if (dc == nullptr || lprc == nullptr || !o || o->kind != GdiKind::Brush) return 0;
    if (o->nullBrush) return 1;
    cairo_save(dc->cr);
    setSourceColor(dc->cr, o->color);
    cairo_rectangle(dc->cr, lprc->left, lprc->top, lprc->right - lprc->left,
                    lprc->bottom - lprc->top);
    cairo_fill(dc->cr);
    cairo_restore(dc->cr);
    return 1;
}

int WINAPI GetDeviceCaps(HDC /*hdc*/, int index) {
    return index == LOGPIXELSX || index == LOGPIXELSY ? 96 : 0;
}

int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator) {
    if (nDenominator == 0) return -1;
    long long p = static_cast<long long>(nNumber) * nNumerator;
    long long half = std::llabs(nDenominator) / 2;
    long long r = (p >= 0) == (nDenominator > 0)
                      ? (std::llabs(p) + half) / std::llabs(nDenominator)
                      : -((std::llabs(p) + half) / std::llabs(nDenominator));
    return static_cast<int>(r);
}

// ---- Icons
// ------------------------------------------------------------------------------------------
namespace {

HICON loadIcon(HINSTANCE instance, LPCSTR name) {
    HRSRC res = FindResourceA(instance, name, RT_GROUP_ICON);
    if (res == nullptr) return nullptr;
    HGLOBAL data = LoadResource(instance, res);
    auto* bytes = static_cast<const unsigned char*>(LockResource(data));
    DWORD size = SizeofResource(instance, res);
    if (bytes == nullptr || size == 0) return nullptr;
    std::lock_guard lock(gdi().mu);
    auto h = reinterpret_cast<HICON>(gdi().next);
    gdi().next += 8;
    gdi().icons[h] = std::vector<unsigned char>(bytes, bytes + size);
    return h;
}

LPCSTR narrowName(LPCWSTR name, std::string& keep) {
    if (IS_INTRESOURCE(name)) return reinterpret_cast<LPCSTR>(name);
    keep = standin::win32::toUtf8(name);
    return keep.c_str();
}

}  // namespace

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
    return loadIcon(hInstance, lpIconName);
}
HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
    std::string keep;
    return loadIcon(hInstance, narrowName(lpIconName, keep));
}
HANDLE WINAPI LoadImageA(HINSTANCE hInst, LPCSTR name, UINT type, int, int, UINT) {
    if (type != IMAGE_ICON) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return loadIcon(hInst, name);
}
HANDLE WINAPI LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad) {
    std::string keep;
    return LoadImageA(hInst, narrowName(name, keep), type, cx, cy, fuLoad);
}
BOOL WINAPI DestroyIcon(HICON hIcon) {
    std::lock_guard lock(gdi().mu);
    return gdi().icons.erase(hIcon) ? TRUE : FALSE;
}
