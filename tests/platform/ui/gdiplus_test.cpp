// Resources of a library, global memory and streams, and GDI+ on cairo: a PNG resource drawn at
// its natural size pixel for pixel, text measured with the face's advance widths, blending of
// half-transparent colours, and the statuses the objects record.

#include <cairo.h>

#include <cmath>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "demo_dialog.h"
#include "ui/afx.h"
#include "ui/standin_ui.h"

using namespace Gdiplus;

namespace {

class GdiplusTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(GdiplusStartup(&token_, &input_, nullptr), Ok); }
    void TearDown() override { GdiplusShutdown(token_); }

    // The holder sequence: resource bytes copied into locked moveable memory, a stream over it.
    std::unique_ptr<Bitmap> loadPng(int id, HGLOBAL* memory) {
        HMODULE module = vqdemo::demoModule();
        HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(id), "png");  // types ignore case
        if (res == nullptr) return nullptr;
        DWORD size = SizeofResource(module, res);
        const void* bytes = LockResource(LoadResource(module, res));
        *memory = GlobalAlloc(GMEM_MOVEABLE, size);
        void* p = GlobalLock(*memory);
        std::memcpy(p, bytes, size);
        IStream* stream = nullptr;
        EXPECT_EQ(CreateStreamOnHGlobal(*memory, FALSE, &stream), S_OK);
        std::unique_ptr<Bitmap> bitmap(Bitmap::FromStream(stream));
        stream->Release();
        return bitmap;
    }

    ULONG_PTR token_ = 0;
    GdiplusStartupInput input_;
};

TEST_F(GdiplusTest, ResourcesAreFoundInTheirLibraryAndMemoryBehavesAsOnThePlatform) {
    HMODULE module = vqdemo::demoModule();
    ASSERT_NE(module, GetModuleHandleA(nullptr));
    EXPECT_EQ(FindResourceA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(200), "PNG"), nullptr);
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(225), "PNG"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(200), "GIF"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    HRSRC dlg = FindResourceA(module, MAKEINTRESOURCEA(vqdemo::kTemplateId), RT_DIALOG);
    ASSERT_NE(dlg, nullptr);
    EXPECT_GT(SizeofResource(module, dlg), 10u);
    EXPECT_NE(FindResourceA(module, "#200", "PNG"), nullptr);

    HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, 16);
    ASSERT_NE(m, nullptr);
    EXPECT_NE(GlobalLock(m), nullptr);
    EXPECT_NE(GlobalLock(m), nullptr);
    EXPECT_TRUE(GlobalUnlock(m));   // still locked once
    EXPECT_FALSE(GlobalUnlock(m));  // now unlocked
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(GlobalUnlock(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
    // A stream that frees its memory when released; one that does not.
    IStream* s = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(m, TRUE, &s), S_OK);
    ULONG n = 0;
    EXPECT_EQ(s->Write("abcdefghijklmnopqrstuvwxyz", 26, &n), S_OK);  // grows the block
    EXPECT_EQ(GlobalSize(m), 26u);
    s->Release();
    EXPECT_EQ(GlobalSize(m), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HGLOBAL kept = GlobalAlloc(GHND, 4);
    ASSERT_EQ(CreateStreamOnHGlobal(kept, FALSE, &s), S_OK);
    s->Release();
    EXPECT_EQ(GlobalSize(kept), 4u);
    EXPECT_EQ(GlobalFree(kept), nullptr);
    EXPECT_EQ(GlobalFree(kept), kept);  // twice: refused, nothing touched
}

TEST_F(GdiplusTest, PngResourceDrawsAtNaturalSizePixelForPixel) {
    HGLOBAL memory = nullptr;
    auto sample = loadPng(vqdemo::kSampleId, &memory);
    ASSERT_TRUE(sample);
    ASSERT_EQ(sample->GetLastStatus(), Ok);
    ASSERT_EQ(sample->GetWidth(), 17u);
    ASSERT_EQ(sample->GetHeight(), 13u);

    Bitmap target(40, 30, PixelFormat32bppARGB);
    {
        Graphics g(&target);
        SolidBrush white(Color(0xFFFFFFFF));
        g.FillRectangle(&white, 0, 0, 40, 30);
        ASSERT_EQ(g.DrawImage(sample.get(), 5, 7), Ok);
    }
    // Every pixel is the PNG's pixel over white, as decoded independently.
    cairo_surface_t* ref = cairo_image_surface_create_from_png(VQ_UI_SAMPLE_PNG);
    ASSERT_EQ(cairo_surface_status(ref), CAIRO_STATUS_SUCCESS);
    const unsigned char* d = cairo_image_surface_get_data(ref);
    const int stride = cairo_image_surface_get_stride(ref);
    for (int y = 0; y < 13; ++y) {
        for (int x = 0; x < 17; ++x) {
            std::uint32_t p;
            std::memcpy(&p, d + y * stride + 4 * x, 4);
            const std::uint32_t a = p >> 24;
            Color got;
            ASSERT_EQ(target.GetPixel(x + 5, y + 7, &got), Ok);
            for (int shift : {16, 8, 0}) {
                const std::uint32_t over = ((p >> shift) & 0xFF) + (255 * (255 - a) + 127) / 255;
                const std::uint32_t have = (got.GetValue() >> shift) & 0xFF;
                ASSERT_LE(std::abs(static_cast<int>(have) - static_cast<int>(over)), 1)
                    << "pixel " << x << "," << y;
            }
        }
    }
    Color outside;
    target.GetPixel(4, 7, &outside);
    EXPECT_EQ(outside.GetValue(), 0xFFFFFFFFu);
    cairo_surface_destroy(ref);
    sample.reset();
    GlobalUnlock(memory);
    GlobalFree(memory);

    // Data that is not an image: the bitmap records InvalidParameter.
    HGLOBAL junk = GlobalAlloc(GHND, 64);
    IStream* s = nullptr;
    CreateStreamOnHGlobal(junk, TRUE, &s);
    std::unique_ptr<Bitmap> bad(Bitmap::FromStream(s));
    s->Release();
    EXPECT_EQ(bad->GetLastStatus(), InvalidParameter);
    EXPECT_EQ(bad->GetWidth(), 0u);
}

TEST_F(GdiplusTest, MeasureStringFollowsTheFacesAdvanceWidths) {
    Bitmap b(10, 10);
    Graphics g(&b);
    FontFamily arial(L"Arial");
    ASSERT_EQ(arial.GetLastStatus(), Ok);
    Font font(&arial, 12, FontStyleRegular, UnitPoint);  // a 16-pixel em
    ASSERT_EQ(font.GetLastStatus(), Ok);
    RectF one, four, narrow;
    ASSERT_EQ(g.MeasureString(L"M", -1, &font, RectF(3, 4, 0, 0), nullptr, &one), Ok);
    ASSERT_EQ(g.MeasureString(L"MMMM", -1, &font, RectF(3, 4, 0, 0), nullptr, &four), Ok);
    ASSERT_EQ(g.MeasureString(L"iiii", -1, &font, RectF(3, 4, 0, 0), nullptr, &narrow), Ok);
    // Arial's (and Liberation Sans's) advance of "M" is 1706/2048 em, of "i" 455/2048 em.
    const double m = 1706.0 / 2048 * 16, i = 455.0 / 2048 * 16;
    EXPECT_NEAR(four.Width - one.Width, 3 * m, 0.05);
    EXPECT_NEAR(one.Width, m + 16.0 / 3, 0.05);  // one sixth of the em at each end
    EXPECT_NEAR(narrow.Width, 4 * i + 16.0 / 3, 0.05);
    EXPECT_EQ(one.X, 3);
    EXPECT_EQ(one.Y, 4);
    EXPECT_GT(one.Height, 16);
    EXPECT_EQ(one.Height, four.Height);
    // "MS Shell Dlg" resolves to the same face.
    Font dlg(L"MS Shell Dlg", 12, FontStyleRegular, UnitPoint);
    RectF viaDlg;
    g.MeasureString(L"MMMM", -1, &dlg, RectF(0, 0, 0, 0), nullptr, &viaDlg);
    EXPECT_NEAR(viaDlg.Width, four.Width, 0.01);

    FontFamily none(L"No Such Family Anywhere");
    EXPECT_EQ(none.GetLastStatus(), FontFamilyNotFound);
    EXPECT_EQ(none.GetLastStatus(), Ok);  // read once, then reset
    Font missing(&none, 12);
    EXPECT_NE(missing.GetLastStatus(), Ok);
    EXPECT_EQ(g.DrawString(L"x", -1, &missing, RectF(0, 0, 0, 0), nullptr, nullptr),
              InvalidParameter);
    EXPECT_EQ(g.GetLastStatus(), InvalidParameter);
}

TEST_F(GdiplusTest, HalfTransparentColoursBlendSourceOver) {
    Bitmap b(4, 4, PixelFormat32bppARGB);
    Graphics g(&b);
    SolidBrush red(Color(255, 255, 0, 0));
    SolidBrush blue127(Color(127, 0, 0, 255));
    g.FillRectangle(&red, 0, 0, 4, 4);
    g.FillRectangle(&blue127, 0, 0, 2, 4);
    Color c;
    b.GetPixel(1, 1, &c);
    EXPECT_EQ(c.GetA(), 255);
    EXPECT_NEAR(c.GetR(), 128, 1);  // 255 x (255 - 127) / 255
    EXPECT_NEAR(c.GetB(), 127, 1);
    b.GetPixel(3, 1, &c);
    EXPECT_EQ(c.GetValue(), 0xFFFF0000u);

    // The overlay resource: alpha 127 black over the lower half only.
    HGLOBAL memory = nullptr;
    auto overlay = loadPng(vqdemo::kOverlayId, &memory);
    ASSERT_TRUE(overlay);
    Bitmap back(320, 200);
    Graphics bg(&back);
    SolidBrush white(Color(0xFFFFFFFF));
    bg.FillRectangle(&white, 0, 0, 320, 200);
    bg.DrawImage(overlay.get(), 0, 0);
    back.GetPixel(10, 50, &c);
    EXPECT_EQ(c.GetValue(), 0xFFFFFFFFu);
    back.GetPixel(10, 150, &c);
    EXPECT_NEAR(c.GetR(), 128, 1);
    overlay.reset();
    GlobalUnlock(memory);
    GlobalFree(memory);
}

TEST(GdiplusSession, DrawingNeedsAStartedSession) {
    Bitmap b(4, 4);
    EXPECT_EQ(b.GetLastStatus(), GdiplusNotInitialized);
    FontFamily f(L"Arial");
    EXPECT_EQ(f.GetLastStatus(), GdiplusNotInitialized);
}

}  // namespace
