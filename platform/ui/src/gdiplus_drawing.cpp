// GDI+ drawing on cairo: images, graphics, brushes, fonts and text.

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "standin/win32/text.h"
#include "ui/gdiplus.h"
#include "ui_internal.h"

namespace standin::ui::detail {
bool gdiplusStarted();
}

namespace Gdiplus {

using standin::ui::detail::FontSpec;

struct GpImage {
    cairo_surface_t* surface = nullptr;  // ARGB32, premultiplied
    int width = 0;
    int height = 0;
    PixelFormat format = PixelFormat32bppARGB;
    IStream* stream = nullptr;  // the stream the image came from, held while it lives
    ~GpImage() {
        if (surface) cairo_surface_destroy(surface);
        if (stream) stream->Release();
    }
};

struct GpGraphics {
    cairo_t* cr = nullptr;
    SmoothingMode smoothing = SmoothingModeNone;
    TextRenderingHint textHint = TextRenderingHintSystemDefault;
    CompositingQuality quality = CompositingQualityDefault;
    CompositingMode mode = CompositingModeSourceOver;
    InterpolationMode interpolation = InterpolationModeBilinear;
    ~GpGraphics() {
        if (cr) {
            cairo_restore(cr);
            cairo_destroy(cr);
        }
    }
};

struct GpFontFamily {
    std::wstring name;
    bool available = false;
};

struct GpFont {
    std::wstring family;
    REAL size = 0;
    Unit unit = UnitPoint;
    INT style = FontStyleRegular;
    FontSpec spec;
};

struct GpBrush {
    ARGB color = 0;
};

namespace {

Status notStarted() {
    return standin::ui::detail::gdiplusStarted() ? Ok : GdiplusNotInitialized;
}

// True when fontconfig knows a face of the family (after the stand-in's aliases).
bool familyAvailable(const std::wstring& name) {
    const std::string wanted =
        standin::ui::detail::resolveFamily(standin::win32::toUtf8(name.c_str()));
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(wanted.c_str()));
    if (pattern == nullptr) return false;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    bool found = false;
    if (match) {
        FcChar8* family = nullptr;
        for (int i = 0; FcPatternGetString(match, FC_FAMILY, i, &family) == FcResultMatch; ++i) {
            if (FcStrCmpIgnoreCase(family, reinterpret_cast<const FcChar8*>(wanted.c_str())) == 0) {
                found = true;
                break;
            }
        }
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return found;
}

bool emPixels(REAL size, Unit unit, double* out) {
    switch (unit) {
        case UnitPoint:
            *out = size * 96.0 / 72.0;
            return true;
        case UnitWorld:
        case UnitPixel:
            *out = size;
            return true;
        case UnitInch:
            *out = size * 96.0;
            return true;
        case UnitDocument:
            *out = size * 96.0 / 300.0;
            return true;
        case UnitMillimeter:
            *out = size * 96.0 / 25.4;
            return true;
        default:
            return false;
    }
}

std::string textOf(const WCHAR* string, INT length) {
    if (string == nullptr) return {};
    return standin::win32::toUtf8(
        string, length < 0 ? std::wstring::npos : static_cast<std::size_t>(length));
}

void setArgb(cairo_t* cr, ARGB c) {
    cairo_set_source_rgba(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0,
                          (c & 0xFF) / 255.0, (c >> 24) / 255.0);
}

void applyMode(const GpGraphics& g) {
    cairo_set_operator(
        g.cr, g.mode == CompositingModeSourceCopy ? CAIRO_OPERATOR_SOURCE : CAIRO_OPERATOR_OVER);
    cairo_set_antialias(
        g.cr, g.smoothing == SmoothingModeAntiAlias || g.smoothing == SmoothingModeHighQuality
                  ? CAIRO_ANTIALIAS_DEFAULT
                  : CAIRO_ANTIALIAS_NONE);
}

// Decodes a PNG stream into a new image; InvalidParameter for anything else.
Status decode(IStream* stream, GpImage* image) {
    if (stream == nullptr) return InvalidParameter;
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (;;) {
        ULONG got = 0;
        HRESULT hr = stream->Read(chunk, sizeof chunk, &got);
        if (FAILED(hr)) return InvalidParameter;
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) break;
    }
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return InvalidParameter;
    cairo_surface_t* png = standin::ui::detail::pngSurface(bytes.data(), bytes.size());
    if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(png);
        return InvalidParameter;
    }
    const int w = cairo_image_surface_get_width(png), h = cairo_image_surface_get_height(png);
    image->surface = png;
    image->width = w;
    image->height = h;
    image->format = PixelFormat32bppARGB;
    stream->AddRef();
    image->stream = stream;
    return Ok;
}

}  // namespace

// ---- Brushes
// --------------------------------------------------------------------------------------
Brush::~Brush() {
    delete nativeBrush;
}
Status Brush::GetLastStatus() const {
    Status s = lastResult;
    lastResult = Ok;
    return s;
}
SolidBrush::~SolidBrush() = default;

SolidBrush::SolidBrush(const Color& color) {
    lastResult = notStarted();
    if (lastResult == Ok) nativeBrush = new GpBrush{color.GetValue()};
}
Status SolidBrush::GetColor(Color* color) const {
    if (nativeBrush == nullptr || color == nullptr) return lastResult = InvalidParameter;
    color->SetValue(nativeBrush->color);
    return Ok;
}
Status SolidBrush::SetColor(const Color& color) {
    if (nativeBrush == nullptr) return lastResult = InvalidParameter;
    nativeBrush->color = color.GetValue();
    return Ok;
}

// ---- Fonts
// ----------------------------------------------------------------------------------------
FontFamily::FontFamily() = default;
FontFamily::FontFamily(const WCHAR* name, const void* /*fontCollection*/) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    if (name == nullptr) {
        lastResult = InvalidParameter;
        return;
    }
    nativeFamily = new GpFontFamily{name, familyAvailable(name)};
    if (!nativeFamily->available) lastResult = FontFamilyNotFound;
}
FontFamily::~FontFamily() {
    delete nativeFamily;
}
Status FontFamily::GetFamilyName(WCHAR name[32], LANGID) const {
    if (name == nullptr || nativeFamily == nullptr) return lastResult = InvalidParameter;
    std::size_t n = std::min<std::size_t>(nativeFamily->name.size(), 31);
    std::wmemcpy(name, nativeFamily->name.data(), n);
    name[n] = 0;
    return Ok;
}
BOOL FontFamily::IsAvailable() const {
    return nativeFamily != nullptr && nativeFamily->available;
}
Status FontFamily::GetLastStatus() const {
    Status s = lastResult;
    lastResult = Ok;
    return s;
}

namespace {

GpFont* makeFont(const std::wstring& family, REAL emSize, INT style, Unit unit, Status* status) {
    double px;
    if (emSize <= 0 || !emPixels(emSize, unit, &px)) {
        *status = InvalidParameter;
        return nullptr;
    }
    if (!familyAvailable(family)) {
        *status = FontFamilyNotFound;
        return nullptr;
    }
    auto* f = new GpFont();
    f->family = family;
    f->size = emSize;
    f->unit = unit;
    f->style = style;
    f->spec.family = standin::win32::toUtf8(family.c_str());
    f->spec.emPixels = px;
    f->spec.bold = (style & FontStyleBold) != 0;
    f->spec.italic = (style & FontStyleItalic) != 0;
    *status = Ok;
    return f;
}

}  // namespace

Font::Font(const FontFamily* family, REAL emSize, INT style, Unit unit) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    if (family == nullptr || family->nativeFamily == nullptr) {
        lastResult = InvalidParameter;
        return;
    }
    nativeFont = makeFont(family->nativeFamily->name, emSize, style, unit, &lastResult);
}
Font::Font(const WCHAR* familyName, REAL emSize, INT style, Unit unit, const void*) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    if (familyName == nullptr) {
        lastResult = InvalidParameter;
        return;
    }
    nativeFont = makeFont(familyName, emSize, style, unit, &lastResult);
}
Font::Font(HDC /*hdc*/, const HFONT hfont) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    auto o = standin::ui::detail::gdiObject(hfont);
    if (!o || o->kind != standin::ui::detail::GdiKind::Font) {
        lastResult = InvalidParameter;
        return;
    }
    nativeFont =
        makeFont(standin::win32::fromUtf8(o->font.family), static_cast<REAL>(o->font.emPixels),
                 (o->font.bold ? FontStyleBold : 0) | (o->font.italic ? FontStyleItalic : 0),
                 UnitPixel, &lastResult);
}
Font::~Font() {
    delete nativeFont;
}
REAL Font::GetSize() const {
    return nativeFont ? nativeFont->size : 0;
}
Unit Font::GetUnit() const {
    return nativeFont ? nativeFont->unit : UnitPoint;
}
INT Font::GetStyle() const {
    return nativeFont ? nativeFont->style : 0;
}
REAL Font::GetHeight(REAL dpi) const {
    if (nativeFont == nullptr) return 0;
    auto e = standin::ui::detail::measure(nativeFont->spec, "");
    return static_cast<REAL>(e.lineHeight * dpi / 96.0);
}
Status Font::GetFamily(FontFamily* family) const {
    if (family == nullptr || nativeFont == nullptr) return lastResult = InvalidParameter;
    delete family->nativeFamily;
    family->nativeFamily = new GpFontFamily{nativeFont->family, true};
    return Ok;
}
BOOL Font::IsAvailable() const {
    return nativeFont != nullptr;
}
Status Font::GetLastStatus() const {
    Status s = lastResult;
    lastResult = Ok;
    return s;
}

// ---- Images
// ---------------------------------------------------------------------------------------
Image::~Image() {
    delete nativeImage;
}
Image* Image::FromStream(IStream* stream, BOOL useEmbeddedColorManagement) {
    return Bitmap::FromStream(stream, useEmbeddedColorManagement);
}
UINT Image::GetWidth() {
    return nativeImage ? static_cast<UINT>(nativeImage->width) : 0;
}
UINT Image::GetHeight() {
    return nativeImage ? static_cast<UINT>(nativeImage->height) : 0;
}
PixelFormat Image::GetPixelFormat() {
    return nativeImage ? nativeImage->format : 0;
}
Status Image::GetLastStatus() const {
    Status s = lastResult;
    lastResult = Ok;
    return s;
}

Bitmap::~Bitmap() = default;

Bitmap::Bitmap(INT width, INT height, PixelFormat format) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    if (width <= 0 || height <= 0 ||
        (format != PixelFormat32bppARGB && format != PixelFormat32bppPARGB &&
         format != PixelFormat32bppRGB && format != PixelFormat24bppRGB)) {
        lastResult = InvalidParameter;
        return;
    }
    auto* img = new GpImage();
    img->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(img->surface) != CAIRO_STATUS_SUCCESS) {
        delete img;
        lastResult = OutOfMemory;
        return;
    }
    img->width = width;
    img->height = height;
    img->format = format;
    nativeImage = img;
}

Bitmap::Bitmap(IStream* stream, BOOL) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    auto* img = new GpImage();
    lastResult = decode(stream, img);
    if (lastResult != Ok) {
        delete img;
        return;
    }
    nativeImage = img;
}

Bitmap* Bitmap::FromStream(IStream* stream, BOOL useEmbeddedColorManagement) {
    return new Bitmap(stream, useEmbeddedColorManagement);
}

Status Bitmap::GetPixel(INT x, INT y, Color* color) {
    if (nativeImage == nullptr || color == nullptr || x < 0 || y < 0 || x >= nativeImage->width ||
        y >= nativeImage->height)
        return lastResult = InvalidParameter;
    cairo_surface_flush(nativeImage->surface);
    const unsigned char* row = cairo_image_surface_get_data(nativeImage->surface) +
                               y * cairo_image_surface_get_stride(nativeImage->surface);
    std::uint32_t p;
    std::memcpy(&p, row + 4 * x, 4);
    BYTE a = static_cast<BYTE>(p >> 24);
    auto un = [a](std::uint32_t c) -> BYTE {
        return a == 0 ? 0 : static_cast<BYTE>(std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
    };
    *color = Color(a, un((p >> 16) & 0xFF), un((p >> 8) & 0xFF), un(p & 0xFF));
    return Ok;
}

Status Bitmap::SetPixel(INT x, INT y, const Color& color) {
    if (nativeImage == nullptr || x < 0 || y < 0 || x >= nativeImage->width ||
        y >= nativeImage->height)
        return lastResult = InvalidParameter;
    cairo_surface_flush(nativeImage->surface);
    unsigned char* row = cairo_image_surface_get_data(nativeImage->surface) +
                         y * cairo_image_surface_get_stride(nativeImage->surface);
    const std::uint32_t a = color.GetA();
    auto pre = [a](std::uint32_t c) { return (c * a + 127) / 255; };
    std::uint32_t p =
        (a << 24) | (pre(color.GetR()) << 16) | (pre(color.GetG()) << 8) | pre(color.GetB());
    std::memcpy(row + 4 * x, &p, 4);
    cairo_surface_mark_dirty(nativeImage->surface);
    return Ok;
}

// ---- Graphics
// -------------------------------------------------------------------------------------
Graphics::Graphics(HDC hdc) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    standin::ui::detail::DeviceContext* dc = standin::ui::detail::deviceContext(hdc);
    if (dc == nullptr) {
        lastResult = OutOfMemory;  // what the platform reports for a device context it cannot use
        return;
    }
    nativeGraphics = new GpGraphics();
    nativeGraphics->cr = cairo_reference(dc->cr);
    cairo_save(nativeGraphics->cr);
}

Graphics::Graphics(Image* image) {
    lastResult = notStarted();
    if (lastResult != Ok) return;
    if (image == nullptr || image->nativeImage == nullptr) {
        lastResult = InvalidParameter;
        return;
    }
    nativeGraphics = new GpGraphics();
    nativeGraphics->cr = cairo_create(image->nativeImage->surface);
    cairo_save(nativeGraphics->cr);
}

Graphics* Graphics::FromHDC(HDC hdc) {
    return new Graphics(hdc);
}
Graphics* Graphics::FromImage(Image* image) {
    return new Graphics(image);
}
Graphics::~Graphics() {
    delete nativeGraphics;
}

#define GDIP_NEED_GRAPHICS()                                 \
    if (nativeGraphics == nullptr) {                         \
        if (lastResult == Ok) lastResult = InvalidParameter; \
        return lastResult;                                   \
    }

Status Graphics::SetSmoothingMode(SmoothingMode mode) {
    GDIP_NEED_GRAPHICS();
    if (mode == SmoothingModeInvalid) return lastResult = InvalidParameter;
    nativeGraphics->smoothing =
        mode == SmoothingModeDefault || mode == SmoothingModeHighSpeed ? SmoothingModeNone : mode;
    return Ok;
}
SmoothingMode Graphics::GetSmoothingMode() const {
    return nativeGraphics ? nativeGraphics->smoothing : SmoothingModeInvalid;
}
Status Graphics::SetTextRenderingHint(TextRenderingHint hint) {
    GDIP_NEED_GRAPHICS();
    if (hint < TextRenderingHintSystemDefault || hint > TextRenderingHintClearTypeGridFit)
        return lastResult = InvalidParameter;
    nativeGraphics->textHint = hint;
    return Ok;
}
TextRenderingHint Graphics::GetTextRenderingHint() const {
    return nativeGraphics ? nativeGraphics->textHint : TextRenderingHintSystemDefault;
}
Status Graphics::SetCompositingQuality(CompositingQuality quality) {
    GDIP_NEED_GRAPHICS();
    if (quality == CompositingQualityInvalid) return lastResult = InvalidParameter;
    nativeGraphics->quality = quality;
    return Ok;
}
CompositingQuality Graphics::GetCompositingQuality() const {
    return nativeGraphics ? nativeGraphics->quality : CompositingQualityInvalid;
}
Status Graphics::SetCompositingMode(CompositingMode mode) {
    GDIP_NEED_GRAPHICS();
    nativeGraphics->mode = mode;
    return Ok;
}
CompositingMode Graphics::GetCompositingMode() const {
    return nativeGraphics ? nativeGraphics->mode : CompositingModeSourceOver;
}
Status Graphics::SetInterpolationMode(InterpolationMode mode) {
    GDIP_NEED_GRAPHICS();
    if (mode == InterpolationModeInvalid) return lastResult = InvalidParameter;
    nativeGraphics->interpolation = mode;
    return Ok;
}
InterpolationMode Graphics::GetInterpolationMode() const {
    return nativeGraphics ? nativeGraphics->interpolation : InterpolationModeInvalid;
}
REAL Graphics::GetDpiX() const {
    return 96;
}
REAL Graphics::GetDpiY() const {
    return 96;
}

Status Graphics::Clear(const Color& color) {
    GDIP_NEED_GRAPHICS();
    cairo_save(nativeGraphics->cr);
    cairo_set_operator(nativeGraphics->cr, CAIRO_OPERATOR_SOURCE);
    setArgb(nativeGraphics->cr, color.GetValue());
    cairo_paint(nativeGraphics->cr);
    cairo_restore(nativeGraphics->cr);
    return Ok;
}

Status Graphics::DrawImage(Image* image, REAL x, REAL y, REAL width, REAL height) {
    GDIP_NEED_GRAPHICS();
    if (image == nullptr || image->nativeImage == nullptr) return lastResult = InvalidParameter;
    GpImage* img = image->nativeImage;
    cairo_t* cr = nativeGraphics->cr;
    cairo_save(cr);
    applyMode(*nativeGraphics);
    cairo_rectangle(cr, x, y, width, height);
    cairo_clip(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, width / img->width, height / img->height);
    cairo_set_source_surface(cr, img->surface, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr),
                             nativeGraphics->interpolation == InterpolationModeNearestNeighbor
                                 ? CAIRO_FILTER_NEAREST
                                 : CAIRO_FILTER_BILINEAR);
    cairo_paint(cr);
    cairo_restore(cr);
    return Ok;
}
Status Graphics::DrawImage(Image* image, INT x, INT y, INT width, INT height) {
    return DrawImage(image, static_cast<REAL>(x), static_cast<REAL>(y), static_cast<REAL>(width),
                     static_cast<REAL>(height));
}
Status Graphics::DrawImage(Image* image, REAL x, REAL y) {
    GDIP_NEED_GRAPHICS();
    if (image == nullptr || image->nativeImage == nullptr) return lastResult = InvalidParameter;
    // At 96 pixels per inch on both sides: the image's size in pixels.
    return DrawImage(image, x, y, static_cast<REAL>(image->nativeImage->width),
                     static_cast<REAL>(image->nativeImage->height));
}
Status Graphics::DrawImage(Image* image, INT x, INT y) {
    return DrawImage(image, static_cast<REAL>(x), static_cast<REAL>(y));
}

Status Graphics::FillRectangle(const Brush* brush, REAL x, REAL y, REAL width, REAL height) {
    GDIP_NEED_GRAPHICS();
    if (brush == nullptr || brush->nativeBrush == nullptr || width < 0 || height < 0)
        return lastResult = InvalidParameter;
    cairo_t* cr = nativeGraphics->cr;
    cairo_save(cr);
    applyMode(*nativeGraphics);
    setArgb(cr, brush->nativeBrush->color);
    cairo_rectangle(cr, x, y, width, height);
    cairo_fill(cr);
    cairo_restore(cr);
    return Ok;
}
Status Graphics::FillRectangle(const Brush* brush, INT x, INT y, INT width, INT height) {
    return FillRectangle(brush, static_cast<REAL>(x), static_cast<REAL>(y),
                         static_cast<REAL>(width), static_cast<REAL>(height));
}
Status Graphics::FillRectangle(const Brush* brush, const RectF& r) {
    return FillRectangle(brush, r.X, r.Y, r.Width, r.Height);
}
Status Graphics::FillRectangle(const Brush* brush, const Rect& r) {
    return FillRectangle(brush, r.X, r.Y, r.Width, r.Height);
}

Status Graphics::DrawString(const WCHAR* string, INT length, const Font* font,
                            const RectF& layoutRect, const StringFormat*, const Brush* brush) {
    GDIP_NEED_GRAPHICS();
    Status s = DllExports::GdipDrawString(nativeGraphics, string, length,
                                          font ? font->nativeFont : nullptr, &layoutRect, nullptr,
                                          brush ? brush->nativeBrush : nullptr);
    if (s != Ok) lastResult = s;
    return s;
}
Status Graphics::DrawString(const WCHAR* string, INT length, const Font* font, const PointF& origin,
                            const Brush* brush) {
    return DrawString(string, length, font, RectF(origin.X, origin.Y, 0, 0), nullptr, brush);
}
Status Graphics::MeasureString(const WCHAR* string, INT length, const Font* font,
                               const RectF& layoutRect, const StringFormat*, RectF* boundingBox,
                               INT* codepointsFitted, INT* linesFilled) const {
    GDIP_NEED_GRAPHICS();
    Status s = DllExports::GdipMeasureString(nativeGraphics, string, length,
                                             font ? font->nativeFont : nullptr, &layoutRect,
                                             nullptr, boundingBox, codepointsFitted, linesFilled);
    if (s != Ok) lastResult = s;
    return s;
}
Status Graphics::MeasureString(const WCHAR* string, INT length, const Font* font,
                               const PointF& origin, RectF* boundingBox) const {
    return MeasureString(string, length, font, RectF(origin.X, origin.Y, 0, 0), nullptr,
                         boundingBox);
}
void Graphics::Flush() {
    if (nativeGraphics) cairo_surface_flush(cairo_get_target(nativeGraphics->cr));
}
Status Graphics::GetLastStatus() const {
    Status s = lastResult;
    lastResult = Ok;
    return s;
}

namespace DllExports {

Status WINAPI GdipMeasureString(GpGraphics* graphics, const WCHAR* string, INT length,
                                const GpFont* font, const RectF* layoutRect, const GpStringFormat*,
                                RectF* boundingBox, INT* codepointsFitted, INT* linesFilled) {
    if (graphics == nullptr || string == nullptr || font == nullptr || layoutRect == nullptr ||
        boundingBox == nullptr)
        return InvalidParameter;
    const std::string text = textOf(string, length);
    auto e = standin::ui::detail::measure(font->spec, text);
    const double pad = text.empty() ? 0 : font->spec.emPixels / 6.0;
    *boundingBox = RectF(layoutRect->X, layoutRect->Y, static_cast<REAL>(e.width + 2 * pad),
                         static_cast<REAL>(e.lineHeight));
    if (codepointsFitted)
        *codepointsFitted = static_cast<INT>(standin::win32::fromUtf8(text).size());
    if (linesFilled) *linesFilled = 1;
    return Ok;
}

Status WINAPI GdipDrawString(GpGraphics* graphics, const WCHAR* string, INT length,
                             const GpFont* font, const RectF* layoutRect, const GpStringFormat*,
                             const GpBrush* brush) {
    if (graphics == nullptr || string == nullptr || font == nullptr || layoutRect == nullptr ||
        brush == nullptr)
        return InvalidParameter;
    const std::string text = textOf(string, length);
    cairo_t* cr = graphics->cr;
    auto e = standin::ui::detail::measure(font->spec, text);
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    if (layoutRect->Width > 0 && layoutRect->Height > 0) {
        cairo_rectangle(cr, layoutRect->X, layoutRect->Y, layoutRect->Width, layoutRect->Height);
        cairo_clip(cr);
    }
    standin::ui::detail::useFont(cr, font->spec);
    if (graphics->textHint == TextRenderingHintSingleBitPerPixel ||
        graphics->textHint == TextRenderingHintSingleBitPerPixelGridFit) {
        cairo_font_options_t* o = cairo_font_options_create();
        cairo_get_font_options(cr, o);
        cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_NONE);
        cairo_set_font_options(cr, o);
        cairo_font_options_destroy(o);
    }
    setArgb(cr, brush->color);
    cairo_move_to(cr, layoutRect->X + font->spec.emPixels / 6.0, layoutRect->Y + e.ascent);
    cairo_show_text(cr, text.c_str());
    cairo_restore(cr);
    return Ok;
}

}  // namespace DllExports
}  // namespace Gdiplus
