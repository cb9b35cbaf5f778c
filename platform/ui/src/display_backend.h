#pragma once
// A screen that shows the surfaces of top-level windows and turns its events into input.

#include <cairo.h>

#include <memory>
#include <string>

#include "standin/win32/display.h"

namespace standin::ui::detail {

class Backend {
  public:
    virtual ~Backend() = default;
    virtual void windowChanged(const win32::WindowInfo& info) = 0;
    virtual void windowDestroyed(HWND hwnd) = 0;
    // Shows an area (client coordinates of the top-level window) of its surface.
    virtual void present(HWND topLevel, cairo_surface_t* image, const RECT& area) = 0;
    // Writes what the screen shows of the window's client area as a PNG.
    virtual bool capture(HWND topLevel, const std::string& path) = 0;
};

// The X11 screen named by DISPLAY; null when it cannot be opened.
std::unique_ptr<Backend> makeX11Backend();

}  // namespace standin::ui::detail
