// The X11 screen: one X window per visible top-level window (override-redirect for popups
// without a caption, such as drop-down lists), drawn from the window's surface with cairo on
// Xlib; a thread reads the server's events and turns them into the platform's input messages.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "display_backend.h"
#include "ui_internal.h"

namespace standin::ui::detail {
namespace {

struct XWin {
    Window window = 0;
    cairo_surface_t* surface = nullptr;  // cairo on the X window
    int width = 0;
    int height = 0;
    bool mapped = false;
    std::string title;
    HICON icon = nullptr;
};

WPARAM keyFlags(unsigned int state) {
    WPARAM k = 0;
    if (state & Button1Mask) k |= MK_LBUTTON;
    if (state & Button3Mask) k |= MK_RBUTTON;
    if (state & ShiftMask) k |= MK_SHIFT;
    if (state & ControlMask) k |= MK_CONTROL;
    return k;
}

WPARAM virtualKey(KeySym sym) {
    switch (sym) {
        case XK_Escape:
            return VK_ESCAPE;
        case XK_Return:
        case XK_KP_Enter:
            return VK_RETURN;
        case XK_Tab:
            return VK_TAB;
        case XK_BackSpace:
            return VK_BACK;
        case XK_space:
            return VK_SPACE;
        case XK_Up:
            return VK_UP;
        case XK_Down:
            return VK_DOWN;
        case XK_Left:
            return VK_LEFT;
        case XK_Right:
            return VK_RIGHT;
        case XK_Prior:
            return VK_PRIOR;
        case XK_Next:
            return VK_NEXT;
        case XK_Home:
            return VK_HOME;
        case XK_End:
            return VK_END;
        case XK_F4:
            return VK_F4;
        default:
            if (sym >= XK_a && sym <= XK_z) return 'A' + (sym - XK_a);
            if (sym >= XK_A && sym <= XK_Z) return 'A' + (sym - XK_A);
            if (sym >= XK_0 && sym <= XK_9) return '0' + (sym - XK_0);
            return 0;
    }
}

class X11Backend final : public Backend {
  public:
    explicit X11Backend(Display* dpy) : dpy_(dpy) {
        deleteWindow_ = XInternAtom(dpy_, "WM_DELETE_WINDOW", False);
        protocols_ = XInternAtom(dpy_, "WM_PROTOCOLS", False);
        netWmName_ = XInternAtom(dpy_, "_NET_WM_NAME", False);
        netWmIcon_ = XInternAtom(dpy_, "_NET_WM_ICON", False);
        utf8_ = XInternAtom(dpy_, "UTF8_STRING", False);
        if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        events_ = std::thread([this] { run(); });
    }

    ~X11Backend() override {
        stop_ = true;
        if (wake_[1] >= 0) {
            char c = 0;
            [[maybe_unused]] ssize_t n = write(wake_[1], &c, 1);
        }
        if (events_.joinable()) events_.join();
        std::lock_guard lock(mu_);
        for (auto& [h, w] : windows_) {
            if (w.surface) cairo_surface_destroy(w.surface);
            XDestroyWindow(dpy_, w.window);
        }
        XCloseDisplay(dpy_);
        if (wake_[0] >= 0) close(wake_[0]);
        if (wake_[1] >= 0) close(wake_[1]);
    }

    void windowChanged(const win32::WindowInfo& info) override {
        std::lock_guard lock(mu_);
        auto it = windows_.find(info.hwnd);
        const int w = std::max<int>(1, info.client.right - info.client.left);
        const int h = std::max<int>(1, info.client.bottom - info.client.top);
        if (it == windows_.end()) {
            if (!info.visible) return;  // made when first shown
            XSetWindowAttributes a{};
            // Popups without a caption (drop-down lists) are placed by us, not by a window
            // manager.
            a.override_redirect =
                (info.style & WS_POPUP) && (info.style & WS_CAPTION) != WS_CAPTION;
            a.background_pixel = WhitePixel(dpy_, DefaultScreen(dpy_));
            a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                           KeyPressMask | KeyReleaseMask | StructureNotifyMask;
            XWin xw;
            xw.window =
                XCreateWindow(dpy_, DefaultRootWindow(dpy_), info.client.left, info.client.top, w,
                              h, 0, CopyFromParent, InputOutput, CopyFromParent,
                              CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
            XSetWMProtocols(dpy_, xw.window, &deleteWindow_, 1);
            XSizeHints hints{};
            hints.flags = PPosition | PSize;
            hints.x = info.client.left;
            hints.y = info.client.top;
            hints.width = w;
            hints.height = h;
            XSetWMNormalHints(dpy_, xw.window, &hints);
            if (info.owner) {
                auto owner = windows_.find(info.owner);
                if (owner != windows_.end())
                    XSetTransientForHint(dpy_, xw.window, owner->second.window);
            }
            xw.surface = cairo_xlib_surface_create(dpy_, xw.window,
                                                   DefaultVisual(dpy_, DefaultScreen(dpy_)), w, h);
            xw.width = w;
            xw.height = h;
            it = windows_.emplace(info.hwnd, xw).first;
            byWindow_[xw.window] = info.hwnd;
        }
        XWin& xw = it->second;
        if (xw.width != w || xw.height != h) {
            XMoveResizeWindow(dpy_, xw.window, info.client.left, info.client.top, w, h);
            cairo_xlib_surface_set_size(xw.surface, w, h);
            xw.width = w;
            xw.height = h;
        }
        if (xw.title != info.text) {
            xw.title = info.text;
            XStoreName(dpy_, xw.window, info.text.c_str());
            XChangeProperty(dpy_, xw.window, netWmName_, utf8_, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(info.text.data()),
                            static_cast<int>(info.text.size()));
        }
        HICON icon = info.smallIcon ? info.smallIcon : info.bigIcon;
        if (icon != xw.icon) {
            xw.icon = icon;
            setIcon(xw.window, icon);
        }
        if (info.visible && !xw.mapped) {
            XMapRaised(dpy_, xw.window);
            XMoveWindow(dpy_, xw.window, info.client.left, info.client.top);
            xw.mapped = true;
        } else if (!info.visible && xw.mapped) {
            XUnmapWindow(dpy_, xw.window);
            xw.mapped = false;
        }
        XFlush(dpy_);
    }

    void windowDestroyed(HWND hwnd) override {
        std::lock_guard lock(mu_);
        auto it = windows_.find(hwnd);
        if (it == windows_.end()) return;
        cairo_surface_destroy(it->second.surface);
        byWindow_.erase(it->second.window);
        XDestroyWindow(dpy_, it->second.window);
        windows_.erase(it);
        XFlush(dpy_);
    }

    void present(HWND topLevel, cairo_surface_t* image, const RECT& area) override {
        std::lock_guard lock(mu_);
        auto it = windows_.find(topLevel);
        if (it == windows_.end()) return;
        cairo_t* cr = cairo_create(it->second.surface);
        cairo_rectangle(cr, area.left, area.top, area.right - area.left, area.bottom - area.top);
        cairo_clip(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_surface(cr, image, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(it->second.surface);
        XFlush(dpy_);
    }

    bool capture(HWND topLevel, const std::string& path) override {
        std::lock_guard lock(mu_);
        auto it = windows_.find(topLevel);
        if (it == windows_.end()) return false;
        XSync(dpy_, False);
        XImage* img =
            XGetImage(dpy_, it->second.window, 0, 0, static_cast<unsigned>(it->second.width),
                      static_cast<unsigned>(it->second.height), AllPlanes, ZPixmap);
        if (img == nullptr) return false;
        cairo_surface_t* out =
            cairo_image_surface_create(CAIRO_FORMAT_RGB24, it->second.width, it->second.height);
        unsigned char* data = cairo_image_surface_get_data(out);
        const int stride = cairo_image_surface_get_stride(out);
        for (int y = 0; y < it->second.height; ++y) {
            for (int x = 0; x < it->second.width; ++x) {
                std::uint32_t p = static_cast<std::uint32_t>(XGetPixel(img, x, y)) & 0xFFFFFF;
                std::memcpy(data + y * stride + 4 * x, &p, 4);
            }
        }
        cairo_surface_mark_dirty(out);
        XDestroyImage(img);
        bool ok = cairo_surface_write_to_png(out, path.c_str()) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(out);
        return ok;
    }

  private:
    void setIcon(Window window, HICON icon) {
        std::vector<unsigned char> png = iconPng(icon);
        if (png.empty()) return;
        cairo_surface_t* s = pngSurface(png.data(), png.size());
        if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
            const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
            std::vector<unsigned long> prop{static_cast<unsigned long>(w),
                                            static_cast<unsigned long>(h)};
            cairo_surface_flush(s);
            const unsigned char* d = cairo_image_surface_get_data(s);
            const int stride = cairo_image_surface_get_stride(s);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    std::uint32_t p;
                    std::memcpy(&p, d + y * stride + 4 * x, 4);
                    prop.push_back(p);
                }
            }
            XChangeProperty(dpy_, window, netWmIcon_, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(prop.data()),
                            static_cast<int>(prop.size()));
        }
        cairo_surface_destroy(s);
    }

    HWND hwndOf(Window w) {
        std::lock_guard lock(mu_);
        auto it = byWindow_.find(w);
        return it == byWindow_.end() ? nullptr : it->second;
    }

    void handle(const XEvent& e) {
        HWND h = hwndOf(e.xany.window);
        if (h == nullptr) return;
        switch (e.type) {
            case Expose: {
                RECT r{e.xexpose.x, e.xexpose.y, e.xexpose.x + e.xexpose.width,
                       e.xexpose.y + e.xexpose.height};
                InvalidateRect(h, &r, FALSE);
                break;
            }
            case ButtonPress:
            case ButtonRelease: {
                const bool down = e.type == ButtonPress;
                UINT msg;
                WPARAM keys = keyFlags(e.xbutton.state);
                if (e.xbutton.button == Button1) {
                    msg = down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
                    keys = down ? keys | MK_LBUTTON : keys & ~static_cast<WPARAM>(MK_LBUTTON);
                } else if (e.xbutton.button == Button3) {
                    msg = down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
                    keys = down ? keys | MK_RBUTTON : keys & ~static_cast<WPARAM>(MK_RBUTTON);
                } else if (e.xbutton.button == Button4 || e.xbutton.button == Button5) {
                    // The server gives each notch of the wheel as a press (and a release) of
                    // button 4 (away from the user) or 5 (towards).
                    if (!down) break;
                    msg = WM_MOUSEWHEEL;
                    const int delta = e.xbutton.button == Button4 ? WHEEL_DELTA : -WHEEL_DELTA;
                    keys = MAKEWPARAM(keys, delta);
                } else {
                    break;
                }
                win32::postMouseInput(h, msg, POINT{e.xbutton.x, e.xbutton.y}, keys);
                break;
            }
            case MotionNotify:
                win32::postMouseInput(h, WM_MOUSEMOVE, POINT{e.xmotion.x, e.xmotion.y},
                                      keyFlags(e.xmotion.state));
                break;
            case KeyPress:
            case KeyRelease: {
                KeySym sym = XLookupKeysym(const_cast<XKeyEvent*>(&e.xkey), 0);
                if (WPARAM vk = virtualKey(sym)) {
                    win32::postKeyInput(h, e.type == KeyPress ? WM_KEYDOWN : WM_KEYUP, vk);
                }
                break;
            }
            case ClientMessage:
                if (e.xclient.message_type == protocols_ &&
                    static_cast<Atom>(e.xclient.data.l[0]) == deleteWindow_) {
                    // The window manager's close button.
                    PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
                }
                break;
            default:
                break;
        }
    }

    void run() {
        pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (!stop_) {
            for (;;) {
                XLockDisplay(dpy_);
                if (XPending(dpy_) == 0) {
                    XUnlockDisplay(dpy_);
                    break;
                }
                XEvent e;
                XNextEvent(dpy_, &e);
                XUnlockDisplay(dpy_);
                handle(e);
            }
            poll(fds, 2, 200);
        }
    }

    Display* dpy_;
    Atom deleteWindow_, protocols_, netWmName_, netWmIcon_, utf8_;
    std::mutex mu_;
    std::map<HWND, XWin> windows_;
    std::map<Window, HWND> byWindow_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread events_;
};

}  // namespace

std::unique_ptr<Backend> makeX11Backend() {
    static const bool threads = XInitThreads() != 0;
    if (!threads) return nullptr;
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        std::fprintf(stderr, "UI stand-in: cannot open the X display; drawing offscreen\n");
        return nullptr;
    }
    return std::make_unique<X11Backend>(dpy);
}

}  // namespace standin::ui::detail
