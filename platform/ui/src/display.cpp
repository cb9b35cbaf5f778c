// The display: surfaces of top-level windows, device contexts on them, the offscreen screen and
// the test driver. An X11 back end (display_x11.cpp) puts the surfaces on a real screen.

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "display_backend.h"
#include "standin/win32/display.h"
#include "ui/standin_ui.h"
#include "ui_internal.h"

namespace standin::ui {
namespace detail {
namespace {

struct Surface {
    cairo_surface_t* image = nullptr;
    int width = 0;
    int height = 0;
};

DisplayKind gKind = DisplayKind::Offscreen;

class UiDisplay final : public win32::Display {
  public:
    UiDisplay() = default;
    ~UiDisplay() override {
        for (auto& [h, s] : surfaces_) cairo_surface_destroy(s.image);
        for (auto* dc : dcs_) {
            cairo_destroy(dc->cr);
            delete dc;
        }
        backend_.reset();
        // The font caches that cairo and fontconfig keep for the faces used go with the library
        // (at its unloading or at the process's exit), not left behind unreachable.
        releaseFontCaches();
    }

    void windowChanged(HWND hwnd) override {
        win32::WindowInfo info;
        if (!win32::windowInfo(hwnd, &info) || info.parent != nullptr) return;
        ensureSurface(hwnd, info);
        if (Backend* b = backend()) b->windowChanged(info);
    }

    void windowDestroyed(HWND hwnd) override {
        {
            std::lock_guard lock(mu_);
            auto it = surfaces_.find(hwnd);
            if (it != surfaces_.end()) {
                cairo_surface_destroy(it->second.image);
                surfaces_.erase(it);
            }
        }
        if (Backend* b = backend()) b->windowDestroyed(hwnd);
    }

    HDC createDC(HWND hwnd, const RECT& clip) override {
        HWND top = win32::topLevelOf(hwnd);
        win32::WindowInfo w, t;
        if (!top || !win32::windowInfo(hwnd, &w) || !win32::windowInfo(top, &t)) return nullptr;
        cairo_surface_t* surface = surfaceOf(top, t);
        if (surface == nullptr) return nullptr;
        auto* dc = new DeviceContext();
        dc->cr = cairo_create(surface);
        dc->hwnd = hwnd;
        dc->topLevel = top;
        dc->clip = clip;
        cairo_translate(dc->cr, w.client.left - t.client.left, w.client.top - t.client.top);
        cairo_rectangle(dc->cr, 0, 0, w.client.right - w.client.left,
                        w.client.bottom - w.client.top);
        cairo_clip(dc->cr);
        cairo_rectangle(dc->cr, clip.left, clip.top, clip.right - clip.left,
                        clip.bottom - clip.top);
        cairo_clip(dc->cr);
        std::lock_guard lock(mu_);
        dcs_.insert(dc);
        return reinterpret_cast<HDC>(dc);
    }

    void releaseDC(HWND /*hwnd*/, HDC hdc, bool present) override {
        auto* dc = reinterpret_cast<DeviceContext*>(hdc);
        {
            std::lock_guard lock(mu_);
            if (dcs_.erase(dc) == 0) return;
        }
        cairo_destroy(dc->cr);
        if (present && backend()) {
            win32::WindowInfo w, t;
            if (win32::windowInfo(dc->hwnd, &w) && win32::windowInfo(dc->topLevel, &t)) {
                RECT r = dc->clip;
                OffsetRect(&r, w.client.left - t.client.left, w.client.top - t.client.top);
                std::lock_guard lock(mu_);
                auto it = surfaces_.find(dc->topLevel);
                if (it != surfaces_.end()) backend_->present(dc->topLevel, it->second.image, r);
            }
        }
        delete dc;
    }

    void fillRect(HDC hdc, const RECT& rect, HBRUSH brush) override { FillRect(hdc, &rect, brush); }

    bool isDC(DeviceContext* dc) {
        std::lock_guard lock(mu_);
        return dcs_.count(dc) != 0;
    }

    cairo_surface_t* surfaceOf(HWND top, const win32::WindowInfo& info) {
        ensureSurface(top, info);
        std::lock_guard lock(mu_);
        auto it = surfaces_.find(top);
        return it == surfaces_.end() ? nullptr : it->second.image;
    }

    // The screen, chosen at the first window: X11 when DISPLAY is set and VQ36_UI_DISPLAY is
    // not "offscreen" (and the server can be opened), else none (offscreen).
    Backend* backend() {
        std::call_once(chosen_, [this] {
            const char* want = std::getenv("VQ36_UI_DISPLAY");
            const char* x = std::getenv("DISPLAY");
            if ((want == nullptr || std::strcmp(want, "offscreen") != 0) && x != nullptr && *x) {
                backend_ = makeX11Backend();
                if (backend_) gKind = DisplayKind::X11;
            }
        });
        return backend_.get();
    }

  private:
    std::once_flag chosen_;
    void ensureSurface(HWND hwnd, const win32::WindowInfo& info) {
        const int w = std::max<int>(1, info.client.right - info.client.left);
        const int h = std::max<int>(1, info.client.bottom - info.client.top);
        std::lock_guard lock(mu_);
        Surface& s = surfaces_[hwnd];
        if (s.image && s.width == w && s.height == h) return;
        cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        cairo_t* cr = cairo_create(image);
        // A new window's client area starts white, as an unpainted window shows.
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_paint(cr);
        if (s.image) {
            cairo_set_source_surface(cr, s.image, 0, 0);
            cairo_paint(cr);
            cairo_surface_destroy(s.image);
        }
        cairo_destroy(cr);
        s = {image, w, h};
    }

    std::unique_ptr<Backend> backend_;
    std::mutex mu_;
    std::map<HWND, Surface> surfaces_;
    std::set<DeviceContext*> dcs_;
};

UiDisplay& theDisplay() {
    static UiDisplay display;  // lives until the library is unloaded
    return display;
}

struct Installer {
    Installer() {
        registerSystemClasses();
        win32::setDisplay(&theDisplay());
    }
    ~Installer() {
        win32::setDisplay(nullptr);
        unregisterSystemClasses();
    }
};

Installer& installer() {
    static Installer i;
    return i;
}

// The display is installed when the library is loaded.
[[maybe_unused]] const bool kInstalled = (installer(), true);

}  // namespace

DeviceContext* deviceContext(HDC hdc) {
    auto* dc = reinterpret_cast<DeviceContext*>(hdc);
    return dc != nullptr && theDisplay().isDC(dc) ? dc : nullptr;
}

cairo_surface_t* windowSurface(HWND topLevel) {
    win32::WindowInfo info;
    if (!win32::windowInfo(topLevel, &info) || info.parent != nullptr) return nullptr;
    return theDisplay().surfaceOf(topLevel, info);
}

cairo_surface_t* pngSurface(const unsigned char* data, std::size_t size) {
    struct Reader {
        const unsigned char* data;
        std::size_t size;
        std::size_t pos;
    } reader{data, data == nullptr ? 0 : size, 0};
    cairo_surface_t* png = cairo_image_surface_create_from_png_stream(
        [](void* closure, unsigned char* out, unsigned int length) {
            auto* r = static_cast<Reader*>(closure);
            if (r->size - r->pos < length) return CAIRO_STATUS_READ_ERROR;
            std::memcpy(out, r->data + r->pos, length);
            r->pos += length;
            return CAIRO_STATUS_SUCCESS;
        },
        &reader);
    if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS ||
        cairo_image_surface_get_format(png) == CAIRO_FORMAT_ARGB32)
        return png;
    // An opaque or grey PNG comes as another format: drawn onto ARGB32, opaque where it is.
    cairo_surface_t* argb =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(png),
                                   cairo_image_surface_get_height(png));
    cairo_t* cr = cairo_create(argb);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, png, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(png);
    return argb;
}

}  // namespace detail

DisplayKind displayKind() {
    detail::theDisplay().backend();
    return detail::gKind;
}

bool captureScreenPng(HWND topLevel, const std::string& path) {
    detail::Backend* b = detail::theDisplay().backend();
    return b != nullptr && b->capture(topLevel, path);
}

// ---- Test driver --------------------------------------------------------------------------------
bool pumpUntilIdle(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    MSG msg;
    for (;;) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return true;
            }
            // Dialogs get their keyboard handling, as their modal loop gives it.
            HWND top = msg.hwnd ? win32::topLevelOf(msg.hwnd) : nullptr;
            win32::WindowInfo info;
            const bool dialog = top && win32::windowInfo(top, &info) && info.className == "#32770";
            if (!dialog || !IsDialogMessageA(top, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            if (GetTickCount() - start > timeoutMs) return false;
        }
        if (win32::threadIsIdle(GetCurrentThreadId())) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool postMouse(HWND topLevel, UINT message, int x, int y, WPARAM keys) {
    return win32::postMouseInput(topLevel, message, POINT{x, y}, keys) != FALSE;
}

bool postClick(HWND topLevel, int x, int y) {
    return postMouse(topLevel, WM_MOUSEMOVE, x, y, 0) &&
           postMouse(topLevel, WM_LBUTTONDOWN, x, y, MK_LBUTTON) &&
           postMouse(topLevel, WM_LBUTTONUP, x, y, 0);
}

bool postWheel(HWND topLevel, int x, int y, int delta, WPARAM keys) {
    return postMouse(topLevel, WM_MOUSEWHEEL, x, y, MAKEWPARAM(keys, delta));
}

bool postKey(HWND topLevel, WPARAM virtualKey) {
    return win32::postKeyInput(topLevel, WM_KEYDOWN, virtualKey) &&
           win32::postKeyInput(topLevel, WM_KEYUP, virtualKey);
}

namespace {

// The pixels of an image surface (ARGB32), row by row.
Image imageOf(cairo_surface_t* s) {
    Image out;
    cairo_surface_flush(s);
    out.width = cairo_image_surface_get_width(s);
    out.height = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
    for (int y = 0; y < out.height; ++y) {
        std::memcpy(&out.pixels[static_cast<std::size_t>(y) * out.width], data + y * stride,
                    static_cast<std::size_t>(out.width) * 4);
    }
    return out;
}

}  // namespace

Image captureClient(HWND topLevel) {
    cairo_surface_t* s = detail::windowSurface(topLevel);
    return s == nullptr ? Image{} : imageOf(s);
}

std::optional<Image> decodePng(const void* data, std::size_t size) {
    cairo_surface_t* s = detail::pngSurface(static_cast<const unsigned char*>(data), size);
    std::optional<Image> image;
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) image = imageOf(s);
    cairo_surface_destroy(s);
    return image;
}

bool savePng(const Image& image, const std::string& path) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height)
        return false;
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, image.width);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(stride) * image.height);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(bytes.data() + static_cast<std::size_t>(y) * stride,
                    &image.pixels[static_cast<std::size_t>(y) * image.width],
                    static_cast<std::size_t>(image.width) * 4);
    cairo_surface_t* s = cairo_image_surface_create_for_data(bytes.data(), CAIRO_FORMAT_ARGB32,
                                                             image.width, image.height, stride);
    const bool written = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(s);
    return written;
}

bool saveClientPng(HWND topLevel, const std::string& path) {
    cairo_surface_t* s = detail::windowSurface(topLevel);
    if (s == nullptr) return false;
    return cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
}

}  // namespace standin::ui
