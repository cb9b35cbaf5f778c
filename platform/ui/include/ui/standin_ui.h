#pragma once
// Hooks of the UI framework stand-in for tests and for the framework's own module part.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/afx.h"

namespace standin::ui {

struct GdiplusCounters {
    long startups = 0;                // successful GdiplusStartup calls
    long shutdowns = 0;               // GdiplusShutdown calls with a live token
    long liveSessions = 0;            // started and not shut down
    long hooks = 0;                   // notification hooks installed
    long unhooks = 0;                 // notification hooks removed with a live token
    long liveHooks = 0;               // installed and not removed
    long badShutdowns = 0;            // GdiplusShutdown with a token that is not live
    long badUnhooks = 0;              // unhook with a token that is not live
    long shutdownsWithLiveHooks = 0;  // shut down before every hook was removed
};

GdiplusCounters gdiplusCounters();
void resetGdiplusCounters();

// Called by the module part of the program: its module state becomes the one that threads
// without a switch see.
void setProgramModuleState(AFX_MODULE_STATE* state);

// ---- The display
// ---------------------------------------------------------------------------------- Chosen once
// per process, at the library's load: X11 when DISPLAY is set and VQ36_UI_DISPLAY is not
// "offscreen" (and the X server can be opened), else offscreen. Offscreen, every top-level window
// (dialogs and drop-down lists alike) draws into an image of its client area and nothing is shown;
// X11 shows the same images in real windows and turns the server's mouse and key events into input
// messages. Everything above the display is the same for both.
enum class DisplayKind { Offscreen, X11 };
DisplayKind displayKind();
// X11 only: what the server shows of the window's client area, as a PNG (false offscreen).
bool captureScreenPng(HWND topLevel, const std::string& path);

// ---- Test driver (any display)
// ------------------------------------------------------------------- Runs the calling thread's
// message loop (with dialog keyboard handling) until the thread has nothing to do: no message
// waiting, no invalid window, no due timer. False when it was still busy after the time-out. A
// WM_QUIT met on the way is put back and ends the pump.
bool pumpUntilIdle(DWORD timeoutMs = 5000);
// Real input messages at client coordinates of a top-level window, routed as the screen's input
// is (to the window under the point, or the window with the mouse captured). A click is a move,
// a left button down (MK_LBUTTON) and up.
bool postMouse(HWND topLevel, UINT message, int x, int y, WPARAM keys);
bool postClick(HWND topLevel, int x, int y);
// WM_MOUSEWHEEL with the pointer at (x, y): `delta` in WHEEL_DELTA units per notch (positive:
// away from the user), to the window with the mouse captured, else the focus window.
bool postWheel(HWND topLevel, int x, int y, int delta, WPARAM keys = 0);
// WM_KEYDOWN and WM_KEYUP to the window with the focus (or the top-level window).
bool postKey(HWND topLevel, WPARAM virtualKey);

// The client area of a top-level window as last drawn: premultiplied 0xAARRGGBB, row by row.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};
Image captureClient(HWND topLevel);
bool saveClientPng(HWND topLevel, const std::string& path);
// PNG bytes as such an image (premultiplied 0xAARRGGBB); none when they are not a PNG.
std::optional<Image> decodePng(const void* data, std::size_t size);
// Writes an image as a PNG file; false when it cannot.
bool savePng(const Image& image, const std::string& path);

// Called by modal loops (CDialog::DoModal) each time the loop has nothing to do, on the loop's
// thread, with the dialog's window; a test drives the dialog from it. Null removes it.
void setModalIdleHook(std::function<void(HWND dialog)> hook);

}  // namespace standin::ui
