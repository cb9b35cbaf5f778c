#pragma once
// The seam between the window manager (win32 stand-in) and a display (UI stand-in).
//
// The window manager keeps windows, queues, timers and invalid areas; a display gives windows
// their surfaces and device contexts and turns its own events into input. One display serves
// the process; without one, windows still work and draw nothing.

#include <string>

#include "win32/windows.h"

namespace standin::win32 {

class Display {
  public:
    virtual ~Display() = default;
    // A window was created, moved, resized, shown, hidden, renamed or given an icon (called on
    // the thread that changed it, outside the window manager's lock).
    virtual void windowChanged(HWND hwnd) = 0;
    virtual void windowDestroyed(HWND hwnd) = 0;
    // A device context on the window's client area, clipped to `clip` (client coordinates).
    virtual HDC createDC(HWND hwnd, const RECT& clip) = 0;
    // Ends a device context; `present` puts what was drawn on the screen.
    virtual void releaseDC(HWND hwnd, HDC hdc, bool present) = 0;
    // Fills a rectangle of a device context with a brush (background erasing).
    virtual void fillRect(HDC hdc, const RECT& rect, HBRUSH brush) = 0;
};

// Installs the process's display (null: none). The display must outlive every window.
void setDisplay(Display* display);
Display* display();

// What a display needs to know of a window.
struct WindowInfo {
    HWND hwnd = nullptr;
    HWND parent = nullptr;  // child windows only
    HWND owner = nullptr;   // popups and owned top-level windows
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT window{};         // screen coordinates
    RECT client{};         // screen coordinates
    bool visible = false;  // the window and all its parents are visible
    std::string text;      // UTF-8
    HICON smallIcon = nullptr;
    HICON bigIcon = nullptr;
    std::string className;
};
bool windowInfo(HWND hwnd, WindowInfo* info);
// The top-level window (no parent) that holds a window.
HWND topLevelOf(HWND hwnd);

// Input from a display or a test driver, from any thread. A mouse message at a point of a
// top-level window's client area goes to the window with the mouse captured, else to the
// deepest visible, enabled child at the point, with the point in that window's client
// coordinates; `keys` are the MK_ flags. WM_MOUSEWHEEL goes to the window with the mouse
// captured, else to the focus window when it lies in the top-level window, else to the window
// under the point; its `keys` carry the rotation in the high word and its point is in screen
// coordinates. A key goes to the window with the focus when it lies in the top-level window,
// else to the top-level window. Returns FALSE when the window is gone.
BOOL postMouseInput(HWND topLevel, UINT message, POINT client, WPARAM keys);
BOOL postKeyInput(HWND topLevel, UINT message, WPARAM virtualKey);

// True when the thread that owns the window has nothing to do now: no sent, posted or input
// message, no invalid visible window and no due timer.
bool threadIsIdle(DWORD threadId);

}  // namespace standin::win32
