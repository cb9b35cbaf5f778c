// The setup dialog's painting: every frame is composed off screen with GDI+ from the library's
// PNG images and from text, then copied to the window in one step.

#include <cstdio>
#include <cwchar>

#include "setup_dialog.h"

using namespace Gdiplus;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr ARGB kWhite = 0xFFFFFFFF;
constexpr ARGB kBlack = 0xFF000000;

// The text's box as GDI+ measures it at (x, y); 9999 x 9999 when the measurement fails.
RectF Measure(Graphics& g, const wchar_t* text, float x, float y, const Font& font) {
    RectF box(0, 0, 9999, 9999);
    g.MeasureString(text, -1, &font, RectF(x, y, 0, 0), nullptr, &box);
    return box;
}

void DrawAt(Graphics& g, const wchar_t* text, float x, float y, const Font& font, ARGB colour) {
    SolidBrush brush{Color(colour)};
    g.DrawString(text, -1, &font, RectF(x, y, 0, 0), nullptr, &brush);
}

// (x, y) names the centre, the left middle or the right middle of the text.
void DrawTextCentred(Graphics& g, const wchar_t* text, float x, float y, const Font& font,
                     ARGB colour) {
    const RectF box = Measure(g, text, x, y, font);
    DrawAt(g, text, x - box.Width / 2, y - box.Height / 2, font, colour);
}

void DrawTextLeftAligned(Graphics& g, const wchar_t* text, float x, float y, const Font& font,
                         ARGB colour) {
    const RectF box = Measure(g, text, x, y, font);
    DrawAt(g, text, x, y - box.Height / 2, font, colour);
}

void DrawTextRightAligned(Graphics& g, const wchar_t* text, float x, float y, const Font& font,
                          ARGB colour) {
    const RectF box = Measure(g, text, x, y, font);
    DrawAt(g, text, x - box.Width, y - box.Height / 2, font, colour);
}

// An image whose load failed is not drawn.
void DrawImageAt(Graphics& g, Bitmap* image, float x, float y) {
    if (image == nullptr) return;
    g.DrawImage(image, x, y);
}

void DrawImageCentred(Graphics& g, Bitmap* image, float x, float y) {
    if (image == nullptr) return;
    const UINT w = image->GetWidth();
    const UINT h = image->GetHeight();
    g.DrawImage(image, x - static_cast<float>(w >> 1), y - static_cast<float>(h >> 1));
}

void FormatVersion(wchar_t* out, std::size_t size, const wchar_t* format, const VersionRecord& a) {
    std::swprintf(out, size, format, static_cast<int>(a.major), static_cast<int>(a.minor));
}

}  // namespace

BOOL AAsioSetupDialog::OnEraseBkgnd(CDC* /*pDC*/) {
    return TRUE;  // every frame covers the whole client area
}

void AAsioSetupDialog::DrawProgressLeds(Graphics& g) {
    const bool connected = isConnected.load(relaxed) != 0;
    const int n = connected ? 19 : 14;
    const float end = connected ? 477.0f : 372.0f;
    const std::int32_t lit = searchLedIndex.load(relaxed);
    const bool updating = isUpdating.load(relaxed) == 1;
    const std::uint32_t litUpTo = updateProgress.load(relaxed) * 19 / 100;
    for (int i = 0; i < n; ++i) {
        const float x = 144.0f + static_cast<float>(i) * (end - 144.0f) / static_cast<float>(n - 1);
        const bool on = connected ? updating && static_cast<std::uint32_t>(i) <= litUpTo : i == lit;
        DrawImageCentred(g, Image(on ? 208 : 207), x, 296.0f);
    }
}

void AAsioSetupDialog::PaintPreferences(Graphics& g, const Font& titleFont, const Font& labelFont,
                                        const Font& smallFont) {
    const bool updating = isUpdating.load(relaxed) != 0;
    const bool newer = isNewerFirmwareAvailable.load(relaxed) != 0;

    DrawTextCentred(g, L"Update Device Firmware", 253, 250, titleFont, kWhite);
    Bitmap* button = Image(updating ? 216 : newer ? 217 : 215);
    DrawImageAt(g, button, kUpdateButtonLeft, kUpdateButtonTop);
    if (button != nullptr) {
        DrawTextCentred(g, L"Update Firmware",
                        static_cast<float>(kUpdateButtonLeft + (button->GetWidth() >> 1)),
                        static_cast<float>(kUpdateButtonTop + (button->GetHeight() >> 1)),
                        smallFont, kBlack);
    }

    const VersionRecord device = deviceFirmwareVersion.load();
    const VersionRecord builtIn = embeddedFirmwareVersion.load();
    wchar_t status[128] = L"";
    wchar_t second[128] = L"";
    if (updating && updateProgress.load(relaxed) == 100) {
        FormatVersion(status, 128, L"Device Firmware Version: %d.%02d", builtIn);
        std::swprintf(second, 128, L"Update Complete: Rebooting");
    } else if (updating) {
        std::swprintf(status, 128, L"Updating From %d.%02d To %d.%02d: Do Not Unplug!",
                      static_cast<int>(device.major), static_cast<int>(device.minor),
                      static_cast<int>(builtIn.major), static_cast<int>(builtIn.minor));
    } else {
        FormatVersion(status, 128, L"Device Firmware Version: %d.%02d", device);
        if (newer) FormatVersion(second, 128, L"New Firmware Version: %d.%02d", builtIn);
    }
    DrawTextLeftAligned(g, status, 36, 269, labelFont, kWhite);
    DrawTextRightAligned(g, second, 469, 269, labelFont, kWhite);

    DrawTextCentred(g, L"Preferences", 332, 24, titleFont, kWhite);
    DrawTextLeftAligned(g, L"PGM Inputs 1-4", 20, 25, titleFont, kWhite);
    DrawTextCentred(g, L"Headphone Tone", 88, 68, titleFont, kWhite);
    DrawTextCentred(g, L"Low", 46, 90, labelFont, kWhite);
    DrawTextCentred(g, L"High", 128, 90, labelFont, kWhite);
    DrawTextCentred(g, L"+6", 88, 110, labelFont, kWhite);
    DrawTextCentred(g, L"Off", 88, 211, labelFont, kWhite);
    DrawTextLeftAligned(g, L"USB-6 Record", gUsbRecordLabelX, 68, titleFont, kWhite);
    DrawTextCentred(g, L"Button Backlight", 416, 68, titleFont, kWhite);
    DrawTextCentred(g, L"Buffer Size", 580, 68, titleFont, kWhite);
    for (int v = 0; v <= 50; v += 5) {
        wchar_t label[8];
        std::swprintf(label, 8, L"%d", v < 1 ? 1 : v);
        DrawTextRightAligned(g, label, 543, 273.0f - static_cast<float>(v) * 176.0f / 50.0f,
                             labelFont, kWhite);
    }
    for (int i = 0; i < kSetupSliderCount; ++i) {
        if (gSetupSliders[i].page != kPagePreferences) continue;
        float cx = 0, cy = 0;
        GetSliderThumbCentre(i, &cx, &cy);
        if (gSetupSliders[i].isHorizontal == 0) {
            DrawImageCentred(g, Image(213), cx + 3, cy + 4);
        } else {
            DrawImageCentred(g, Image(214), cx + 4, cy + 3);
        }
    }
    const std::int32_t ms = gSetupSliders[0].value.load(relaxed);
    wchar_t value[16];
    std::swprintf(value, 16, L"%d ms", ms < 1 ? 1 : ms);
    DrawTextCentred(g, value, 580, 298, titleFont, kWhite);
}

void AAsioSetupDialog::PaintMidiConfiguration(Graphics& g, const Font& titleFont,
                                              const Font& labelFont, const Font& smallFont) {
    DrawTextCentred(g, L"MIDI Configuration", 332, 24, titleFont, kWhite);
    DrawTextLeftAligned(g, L"Preferences", 20, 25, titleFont, kWhite);
    DrawTextCentred(g, L"MIDI Out Port", 253, 68, titleFont, kWhite);
    DrawTextCentred(g, L"MIDI In Port", 416, 68, titleFont, kWhite);

    MidiChannelPair pair{};
    if (VQ36_get_midi_channels(deviceHandle.load(), &pair) != 0) return;
    Bitmap* arrow = Image(212);
    const float arrowWidth = arrow ? static_cast<float>(arrow->GetWidth()) : 0.0f;
    SolidBrush black{Color(kBlack)};
    const struct {
        std::int32_t channel;
        AComboBoxColorOverride* combo;
    } lists[2] = {{pair.midiOutChannel, outPortCombo}, {pair.midiInChannel, inPortCombo}};
    for (int i = 0; i < 2; ++i) {
        const int cx = 283 + 163 * i;
        const float left = static_cast<float>(cx - 32);
        const float top = static_cast<float>(gChannelListTop);
        const float right = static_cast<float>(cx + 32);
        const float bottom = top + 20;
        g.FillRectangle(&black, left, top, right - left, bottom - top);
        DrawImageAt(g, arrow, right - arrowWidth, top);
        wchar_t text[16];
        if (lists[i].channel == 0) {
            std::swprintf(text, 16, L"off");
        } else {
            std::swprintf(text, 16, L"%d", static_cast<int>(lists[i].channel));
        }
        DrawTextCentred(g, text, (left + right - arrowWidth) * 0.5f, 92, smallFont, kWhite);
        // The list opens on the stored channel.
        AComboBoxColorOverride* combo = lists[i].combo;
        if (combo != nullptr && combo->GetSafeHwnd() != nullptr && !combo->GetDroppedState())
            combo->SetCurSel(lists[i].channel);
        DrawTextRightAligned(g, L"Channel", left - 7, 92, labelFont, kWhite);
    }
}

void AAsioSetupDialog::PaintPage(Graphics& g, const Font& titleFont, const Font& labelFont,
                                 const Font& smallFont) {
    const std::int32_t page = SetupDialogPage.load(relaxed);
    if (page == kPagePreferences) {
        PaintPreferences(g, titleFont, labelFont, smallFont);
    } else if (page == kPagePgmInputs) {
        DrawTextCentred(g, L"PGM Inputs 1-4", 332, 24, titleFont, kWhite);
        DrawTextLeftAligned(g, L"MIDI", 20, 25, titleFont, kWhite);
        const float xs[4] = {86, 253, 415, 580};
        const wchar_t* titles[4] = {L"PGM 1", L"PGM 2", L"PGM 3", L"PGM 4"};
        for (int i = 0; i < 4; ++i) {
            DrawTextCentred(g, titles[i], xs[i], 71, titleFont, kWhite);
            DrawTextLeftAligned(g, L"Filter Resonance", xs[i] - 65, 149, labelFont, kWhite);
        }
    } else {
        PaintMidiConfiguration(g, titleFont, labelFont, smallFont);
    }

    for (SetupRadioButton& b : gSetupRadioButtons) {
        if (b.page != page) continue;
        const bool selected = ControlMirror[b.control & 0xFF].load(relaxed) == b.value;
        DrawImageCentred(g, Image(selected ? 206 : 205), b.x, b.y);
        const RectF box = Measure(g, b.label, 0, 0, labelFont);
        // The label belongs to the button's click area.
        b.hitRect[0] = static_cast<int>(b.x - 15);
        b.hitRect[1] = static_cast<int>(b.y - 15);
        b.hitRect[2] = static_cast<int>(b.x + 11 + box.Width);
        b.hitRect[3] = static_cast<int>(b.y + 15);
        DrawTextLeftAligned(g, b.label, b.x + 11, b.y, labelFont, kWhite);
    }
}

void AAsioSetupDialog::OnPaint() {
    // The dialog's thread draws below normal priority, and stays so.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);

    CPaintDC dc(this);
    Graphics window(dc.m_hDC);

    const bool connected = isConnected.load(relaxed) != 0;
    const std::int32_t page = SetupDialogPage.load(relaxed);
    Bitmap* background = Image(!connected                 ? 202
                               : page == kPagePgmInputs   ? 201
                               : page == kPagePreferences ? 200
                                                          : 222);
    const INT width = background ? static_cast<INT>(background->GetWidth()) : kSetupClientWidth;
    const INT height = background ? static_cast<INT>(background->GetHeight()) : kSetupClientHeight;
    Bitmap backBuffer(width, height, PixelFormat32bppARGB);
    Graphics g(&backBuffer);
    g.SetSmoothingMode(SmoothingModeAntiAlias);
    g.SetTextRenderingHint(TextRenderingHintAntiAliasGridFit);
    g.SetCompositingQuality(CompositingQualityHighQuality);
    DrawImageAt(g, background, 0, 0);

    FontFamily arial(L"Arial");
    const Font titleFont(&arial, 11, FontStyleRegular, UnitPoint);
    const Font labelFont(&arial, 9, FontStyleRegular, UnitPoint);
    const Font smallFont(&arial, 8, FontStyleRegular, UnitPoint);

    if (!connected) {
        DrawTextCentred(g, L"VQ36 is not connected", 248, 123, titleFont, kWhite);
        DrawTextCentred(g, L"SEARCHING...", 248, 272, labelFont, kWhite);
    } else {
        PaintPage(g, titleFont, labelFont, smallFont);
    }
    if (!connected || page == kPagePreferences) DrawProgressLeds(g);
    if (isUpdating.load(relaxed) != 0) {
        DrawImageAt(g, Image(221), 0, 0);
    } else if (connected && page == kPagePreferences &&
               isNewerFirmwareAvailable.load(relaxed) == 0) {
        DrawImageAt(g, Image(219), 0, 0);
    }

    window.DrawImage(&backBuffer, 0, 0);
}
