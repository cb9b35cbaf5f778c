#pragma once
// GDI+ drawing on cairo. Included by ui/gdiplus.h.
//
// - Every object records the status of its latest failed call; GetLastStatus returns it and
//   resets it to Ok, as on the platform. A call on an object that failed to be made returns
//   the status of its making.
// - Bitmaps are 32 bits per pixel with alpha. Bitmap::FromStream decodes PNG (any other data:
//   a bitmap with status InvalidParameter, sized 0 x 0). Images have 96 pixels per inch, so
//   DrawImage(image, x, y) draws at the image's size in pixels.
// - Graphics on a device context draws into the window's surface; on an image, into the image.
//   Blending is source-over with premultiplied alpha, rounded per channel.
// - Fonts: the family's name resolves through fontconfig as GDI's does (ui/win_gdi.h); sizes in
//   points are em heights at 96 pixels per inch (a 12-point font has a 16-pixel em).
//   A family that fontconfig cannot find at all gives FontFamilyNotFound.
// - Text: MeasureString's box is the text's advance width plus one sixth of the em at each end,
//   and the font's line spacing high, starting at the layout origin; DrawString draws the text
//   in that box (the first glyph one sixth of the em right of the origin, the baseline the
//   ascent below it). A layout rectangle of zero width and height does not wrap or clip.

#include "ui/win_gdi.h"
#include "win32/windows.h"

namespace Gdiplus {

typedef float REAL;
typedef DWORD ARGB;
typedef INT PixelFormat;
typedef WORD LANGID;

#define PixelFormat24bppRGB 0x00021808
#define PixelFormat32bppRGB 0x00022009
#define PixelFormat32bppARGB 0x0026200A
#define PixelFormat32bppPARGB 0x000E200B

enum Unit {
    UnitWorld = 0,
    UnitDisplay = 1,
    UnitPixel = 2,
    UnitPoint = 3,
    UnitInch = 4,
    UnitDocument = 5,
    UnitMillimeter = 6
};

enum FontStyle {
    FontStyleRegular = 0,
    FontStyleBold = 1,
    FontStyleItalic = 2,
    FontStyleBoldItalic = 3,
    FontStyleUnderline = 4,
    FontStyleStrikeout = 8
};

enum SmoothingMode {
    SmoothingModeInvalid = -1,
    SmoothingModeDefault = 0,
    SmoothingModeHighSpeed = 1,
    SmoothingModeHighQuality = 2,
    SmoothingModeNone = 3,
    SmoothingModeAntiAlias = 4
};

enum TextRenderingHint {
    TextRenderingHintSystemDefault = 0,
    TextRenderingHintSingleBitPerPixelGridFit = 1,
    TextRenderingHintSingleBitPerPixel = 2,
    TextRenderingHintAntiAliasGridFit = 3,
    TextRenderingHintAntiAlias = 4,
    TextRenderingHintClearTypeGridFit = 5
};

enum CompositingQuality {
    CompositingQualityInvalid = -1,
    CompositingQualityDefault = 0,
    CompositingQualityHighSpeed = 1,
    CompositingQualityHighQuality = 2,
    CompositingQualityGammaCorrected = 3,
    CompositingQualityAssumeLinear = 4
};

enum CompositingMode { CompositingModeSourceOver = 0, CompositingModeSourceCopy = 1 };

enum InterpolationMode {
    InterpolationModeInvalid = -1,
    InterpolationModeDefault = 0,
    InterpolationModeLowQuality = 1,
    InterpolationModeHighQuality = 2,
    InterpolationModeBilinear = 3,
    InterpolationModeBicubic = 4,
    InterpolationModeNearestNeighbor = 5,
    InterpolationModeHighQualityBilinear = 6,
    InterpolationModeHighQualityBicubic = 7
};

struct PointF {
    REAL X;
    REAL Y;
    PointF() : X(0), Y(0) {}
    PointF(REAL x, REAL y) : X(x), Y(y) {}
};

struct RectF {
    REAL X;
    REAL Y;
    REAL Width;
    REAL Height;
    RectF() : X(0), Y(0), Width(0), Height(0) {}
    RectF(REAL x, REAL y, REAL w, REAL h) : X(x), Y(y), Width(w), Height(h) {}
    REAL GetLeft() const { return X; }
    REAL GetTop() const { return Y; }
    REAL GetRight() const { return X + Width; }
    REAL GetBottom() const { return Y + Height; }
};

struct Rect {
    INT X;
    INT Y;
    INT Width;
    INT Height;
    Rect() : X(0), Y(0), Width(0), Height(0) {}
    Rect(INT x, INT y, INT w, INT h) : X(x), Y(y), Width(w), Height(h) {}
};

class Color {
  public:
    Color() : argb_(0xFF000000) {}
    Color(ARGB argb) : argb_(argb) {}
    Color(BYTE r, BYTE g, BYTE b) : argb_(MakeARGB(255, r, g, b)) {}
    Color(BYTE a, BYTE r, BYTE g, BYTE b) : argb_(MakeARGB(a, r, g, b)) {}
    ARGB GetValue() const { return argb_; }
    void SetValue(ARGB argb) { argb_ = argb; }
    BYTE GetA() const { return static_cast<BYTE>(argb_ >> 24); }
    BYTE GetR() const { return static_cast<BYTE>(argb_ >> 16); }
    BYTE GetG() const { return static_cast<BYTE>(argb_ >> 8); }
    BYTE GetB() const { return static_cast<BYTE>(argb_); }
    static ARGB MakeARGB(BYTE a, BYTE r, BYTE g, BYTE b) {
        return (static_cast<ARGB>(a) << 24) | (static_cast<ARGB>(r) << 16) |
               (static_cast<ARGB>(g) << 8) | b;
    }
    enum : ARGB { Black = 0xFF000000, White = 0xFFFFFFFF, Transparent = 0x00FFFFFF };

  private:
    ARGB argb_;
};

// The native objects behind the classes (the flat API's handles).
struct GpGraphics;
struct GpImage;
struct GpFont;
struct GpFontFamily;
struct GpBrush;
struct GpStringFormat;

#define GDIPAPI __attribute__((visibility("default")))

class GDIPAPI StringFormat {
  public:
    StringFormat() = default;
    Status GetLastStatus() const { return Ok; }
};

class GDIPAPI Brush {
  public:
    virtual ~Brush();
    Brush(const Brush&) = delete;
    Brush& operator=(const Brush&) = delete;
    Status GetLastStatus() const;

  protected:
    Brush() = default;
    GpBrush* nativeBrush = nullptr;
    mutable Status lastResult = Ok;
    friend class Graphics;
};

class GDIPAPI SolidBrush : public Brush {
  public:
    explicit SolidBrush(const Color& color);
    ~SolidBrush() override;  // defined in the library, which keeps the class's one vtable
    Status GetColor(Color* color) const;
    Status SetColor(const Color& color);
};

class GDIPAPI FontFamily {
  public:
    FontFamily();
    FontFamily(const WCHAR* name, const void* fontCollection = nullptr);
    ~FontFamily();
    FontFamily(const FontFamily&) = delete;
    FontFamily& operator=(const FontFamily&) = delete;
    // The name asked for (LF_FACESIZE characters at most, with the terminator).
    Status GetFamilyName(WCHAR name[32], LANGID language = 0) const;
    BOOL IsAvailable() const;
    Status GetLastStatus() const;

  protected:
    GpFontFamily* nativeFamily = nullptr;
    mutable Status lastResult = Ok;
    friend class Font;
};

class GDIPAPI Font {
  public:
    Font(const FontFamily* family, REAL emSize, INT style = FontStyleRegular,
         Unit unit = UnitPoint);
    Font(const WCHAR* familyName, REAL emSize, INT style = FontStyleRegular, Unit unit = UnitPoint,
         const void* fontCollection = nullptr);
    Font(HDC hdc, const HFONT hfont);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;
    REAL GetSize() const;
    Unit GetUnit() const;
    INT GetStyle() const;
    // Line spacing in pixels at the given resolution (points per inch of the target).
    REAL GetHeight(REAL dpi) const;
    Status GetFamily(FontFamily* family) const;
    BOOL IsAvailable() const;
    Status GetLastStatus() const;

  protected:
    GpFont* nativeFont = nullptr;
    mutable Status lastResult = Ok;
    friend class Graphics;
};

class GDIPAPI Image {
  public:
    virtual ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    static Image* FromStream(IStream* stream, BOOL useEmbeddedColorManagement = FALSE);
    UINT GetWidth();
    UINT GetHeight();
    PixelFormat GetPixelFormat();
    Status GetLastStatus() const;

  protected:
    Image() = default;
    GpImage* nativeImage = nullptr;
    mutable Status lastResult = Ok;
    friend class Graphics;
};

class GDIPAPI Bitmap : public Image {
  public:
    Bitmap(INT width, INT height, PixelFormat format = PixelFormat32bppARGB);
    ~Bitmap() override;  // defined in the library, which keeps the class's one vtable
    Bitmap(IStream* stream, BOOL useEmbeddedColorManagement = FALSE);
    static Bitmap* FromStream(IStream* stream, BOOL useEmbeddedColorManagement = FALSE);
    // Straight (not premultiplied) colour of a pixel.
    Status GetPixel(INT x, INT y, Color* color);
    Status SetPixel(INT x, INT y, const Color& color);
};

class GDIPAPI Graphics {
  public:
    explicit Graphics(HDC hdc);
    explicit Graphics(Image* image);
    static Graphics* FromHDC(HDC hdc);
    static Graphics* FromImage(Image* image);
    ~Graphics();
    Graphics(const Graphics&) = delete;
    Graphics& operator=(const Graphics&) = delete;

    Status SetSmoothingMode(SmoothingMode mode);
    SmoothingMode GetSmoothingMode() const;
    Status SetTextRenderingHint(TextRenderingHint hint);
    TextRenderingHint GetTextRenderingHint() const;
    Status SetCompositingQuality(CompositingQuality quality);
    CompositingQuality GetCompositingQuality() const;
    Status SetCompositingMode(CompositingMode mode);
    CompositingMode GetCompositingMode() const;
    Status SetInterpolationMode(InterpolationMode mode);
    InterpolationMode GetInterpolationMode() const;
    REAL GetDpiX() const;
    REAL GetDpiY() const;

    Status Clear(const Color& color);
    Status DrawImage(Image* image, INT x, INT y);
    Status DrawImage(Image* image, REAL x, REAL y);
    Status DrawImage(Image* image, INT x, INT y, INT width, INT height);
    Status DrawImage(Image* image, REAL x, REAL y, REAL width, REAL height);
    Status FillRectangle(const Brush* brush, INT x, INT y, INT width, INT height);
    Status FillRectangle(const Brush* brush, REAL x, REAL y, REAL width, REAL height);
    Status FillRectangle(const Brush* brush, const RectF& rect);
    Status FillRectangle(const Brush* brush, const Rect& rect);
    // length -1: up to the terminator.
    Status DrawString(const WCHAR* string, INT length, const Font* font, const RectF& layoutRect,
                      const StringFormat* stringFormat, const Brush* brush);
    Status DrawString(const WCHAR* string, INT length, const Font* font, const PointF& origin,
                      const Brush* brush);
    Status MeasureString(const WCHAR* string, INT length, const Font* font, const RectF& layoutRect,
                         const StringFormat* stringFormat, RectF* boundingBox,
                         INT* codepointsFitted = nullptr, INT* linesFilled = nullptr) const;
    Status MeasureString(const WCHAR* string, INT length, const Font* font, const PointF& origin,
                         RectF* boundingBox) const;
    void Flush();
    Status GetLastStatus() const;

  protected:
    GpGraphics* nativeGraphics = nullptr;
    mutable Status lastResult = Ok;
};

// The flat API behind the classes.
namespace DllExports {
GDIPAPI Status WINAPI GdipMeasureString(GpGraphics* graphics, const WCHAR* string, INT length,
                                        const GpFont* font, const RectF* layoutRect,
                                        const GpStringFormat* stringFormat, RectF* boundingBox,
                                        INT* codepointsFitted, INT* linesFilled);
GDIPAPI Status WINAPI GdipDrawString(GpGraphics* graphics, const WCHAR* string, INT length,
                                     const GpFont* font, const RectF* layoutRect,
                                     const GpStringFormat* stringFormat, const GpBrush* brush);
}  // namespace DllExports
using namespace DllExports;

}  // namespace Gdiplus
