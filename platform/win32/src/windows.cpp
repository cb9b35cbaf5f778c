// The window manager: classes, windows, sent messages, timers, invalid areas and painting,
// geometry, focus and capture, and input routing.
//
// One lock guards the window table, the classes and the timers; it is never held while a window
// procedure or the display runs.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cwchar>
#include <chrono>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "message_queue.h"
#include "standin/win32/display.h"
#include "standin/win32/text.h"

namespace standin::win32 {
namespace {

using Clock = std::chrono::steady_clock;

// The non-client frame of a top-level window with a caption.
constexpr LONG kBorder = 3;
constexpr LONG kCaption = 23;

struct WindowClass {
    std::string name;
    UINT style = 0;
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HBRUSH background = nullptr;
};

struct Window {
    HWND hwnd = nullptr;
    std::shared_ptr<WindowClass> cls;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;
    HWND owner = nullptr;
    int id = 0;
    HINSTANCE instance = nullptr;
    RECT rect{};  // window rectangle: parent's client coordinates for children, else screen
    std::string text;
    LONG_PTR userData = 0;
    HICON smallIcon = nullptr;
    HICON bigIcon = nullptr;
    DWORD thread = 0;
    std::shared_ptr<detail::MessageQueue> queue;
    RECT invalid{};  // client coordinates; empty when valid
    bool eraseDue = false;
    bool destroying = false;
    std::uint64_t order = 0;  // creation order: parents paint before their children
};

struct Timer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    UINT period = 0;
    TIMERPROC proc = nullptr;
    DWORD thread = 0;
    Clock::time_point due;
};

struct Manager {
    std::mutex mu;
    std::map<std::string, std::shared_ptr<WindowClass>> classes;  // by lower-case name
    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    std::uint64_t nextHandle = 0x10010;
    std::uint64_t nextOrder = 0;
    std::vector<Timer> timers;
    UINT_PTR nextThreadTimerId = 0x7F00;
    HWND capture = nullptr;
    HWND focus = nullptr;
    HWND active = nullptr;
    POINT cursor{};
    Display* display = nullptr;
};

Manager& wm() {
    // Reachable for the life of the process: threads may end after static destruction began.
    static auto* m = new Manager();
    return *m;
}

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string className(LPCSTR name) {
    if (name == nullptr) return {};
    if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
    return name;
}

bool isEmpty(const RECT& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

RECT unite(const RECT& a, const RECT& b) {
    if (isEmpty(a)) return b;
    if (isEmpty(b)) return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}

RECT intersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    if (isEmpty(r)) return RECT{};
    return r;
}

bool hasFrame(const Window& w) {
    return (w.style & WS_CHILD) == 0 && (w.style & WS_CAPTION) == WS_CAPTION;
}

// Client rectangle in the window's own rectangle's coordinate space.
RECT clientArea(const Window& w) {
    RECT c = w.rect;
    if (hasFrame(w)) {
        c.left += kBorder;
        c.right -= kBorder;
        c.top += kBorder + kCaption;
        c.bottom -= kBorder;
        if (c.right < c.left) c.right = c.left;
        if (c.bottom < c.top) c.bottom = c.top;
    }
    return c;
}

SIZE clientSize(const Window& w) {
    RECT c = clientArea(w);
    return {c.right - c.left, c.bottom - c.top};
}

std::shared_ptr<Window> findLocked(HWND hwnd) {
    auto it = wm().windows.find(hwnd);
    if (it == wm().windows.end()) return nullptr;
    return it->second;
}

std::shared_ptr<Window> find(HWND hwnd) {
    std::lock_guard lock(wm().mu);
    return findLocked(hwnd);
}

std::shared_ptr<Window> findOrFail(HWND hwnd) {
    auto w = find(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

// Screen position of the window's client origin (lock held).
POINT clientOriginLocked(const Window& w) {
    RECT c = clientArea(w);
    POINT p{c.left, c.top};
    if (w.style & WS_CHILD) {
        if (auto parent = findLocked(w.parent)) {
            POINT o = clientOriginLocked(*parent);
            p.x += o.x;
            p.y += o.y;
        }
    }
    return p;
}

bool visibleLocked(const Window& w) {
    if ((w.style & WS_VISIBLE) == 0) return false;
    if (w.style & WS_CHILD) {
        auto parent = findLocked(w.parent);
        return parent && visibleLocked(*parent);
    }
    return true;
}

std::vector<std::shared_ptr<Window>> childrenLocked(HWND parent) {
    std::vector<std::shared_ptr<Window>> out;
    for (auto& [h, w] : wm().windows) {
        if ((w->style & WS_CHILD) && w->parent == parent) out.push_back(w);
    }
    std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a->order < b->order; });
    return out;
}

// Adds an area (client coordinates) to a window's invalid area and to the children under it.
void invalidateLocked(Window& w, const RECT* area, bool erase) {
    SIZE size = clientSize(w);
    RECT whole{0, 0, size.cx, size.cy};
    RECT r = area ? intersect(*area, whole) : whole;
    if (isEmpty(r)) return;
    w.invalid = unite(w.invalid, r);
    if (erase) w.eraseDue = true;
    for (auto& child : childrenLocked(w.hwnd)) {
        RECT cr = child->rect;
        RECT hit = intersect(cr, r);
        if (isEmpty(hit)) continue;
        RECT childClient = clientArea(*child);
        OffsetRect(&hit, -childClient.left, -childClient.top);
        invalidateLocked(*child, &hit, erase);
    }
    if (w.queue) w.queue->wake();
}

void notifyDisplay(HWND hwnd) {
    Display* d;
    {
        std::lock_guard lock(wm().mu);
        d = wm().display;
    }
    if (d) d->windowChanged(hwnd);
}

LRESULT callProc(const std::shared_ptr<Window>& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        std::lock_guard lock(wm().mu);
        proc = w->proc;
    }
    if (proc == nullptr) return DefWindowProcA(w->hwnd, msg, wParam, lParam);
    return proc(w->hwnd, msg, wParam, lParam);
}

LRESULT sendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto w = findOrFail(hwnd);
    if (!w) return 0;
    if (w->thread == GetCurrentThreadId()) return callProc(w, msg, wParam, lParam);
    // Another thread's window: the owner handles it in its next message call.
    detail::MessageQueue& own = detail::currentQueue();
    auto sent = std::make_shared<detail::SentMessage>();
    sent->msg.hwnd = hwnd;
    sent->msg.message = msg;
    sent->msg.wParam = wParam;
    sent->msg.lParam = lParam;
    sent->msg.time = GetTickCount();
    sent->senderQueue = detail::queueOfThread(own.threadId);
    auto target = w->queue;
    {
        std::lock_guard lock(target->mu);
        target->sent.push_back(sent);
    }
    target->wake();
    for (;;) {
        {
            std::lock_guard lock(target->mu);
            if (sent->done) return sent->result;
        }
        detail::deliverSentMessages(own);
        if (!detail::queueOfThread(target->threadId) && !find(hwnd)) {
            std::lock_guard lock(target->mu);
            if (!sent->done) return 0;  // the owner ended
        }
        own.waitForWake(50);
    }
}

}  // namespace

// ---- The seam with the display ------------------------------------------------------------------
void setDisplay(Display* d) {
    std::lock_guard lock(wm().mu);
    wm().display = d;
}

Display* display() {
    std::lock_guard lock(wm().mu);
    return wm().display;
}

bool windowInfo(HWND hwnd, WindowInfo* info) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hwnd);
    if (!w || info == nullptr) return false;
    info->hwnd = hwnd;
    info->parent = (w->style & WS_CHILD) ? w->parent : nullptr;
    info->owner = (w->style & WS_CHILD) ? nullptr : w->owner;
    info->style = w->style;
    info->exStyle = w->exStyle;
    POINT origin = clientOriginLocked(*w);
    SIZE size = clientSize(*w);
    info->client = {origin.x, origin.y, origin.x + size.cx, origin.y + size.cy};
    RECT ca = clientArea(*w);
    info->window = {origin.x - (ca.left - w->rect.left), origin.y - (ca.top - w->rect.top),
                    origin.x + size.cx + (w->rect.right - ca.right),
                    origin.y + size.cy + (w->rect.bottom - ca.bottom)};
    info->visible = visibleLocked(*w);
    info->text = w->text;
    info->smallIcon = w->smallIcon;
    info->bigIcon = w->bigIcon;
    info->className = w->cls ? w->cls->name : std::string();
    return true;
}

HWND topLevelOf(HWND hwnd) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hwnd);
    while (w && (w->style & WS_CHILD)) w = findLocked(w->parent);
    return w ? w->hwnd : nullptr;
}

namespace {

std::shared_ptr<Window> childAtLocked(const std::shared_ptr<Window>& w, POINT& p) {
    auto kids = childrenLocked(w->hwnd);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        auto& c = *it;
        if ((c->style & WS_VISIBLE) == 0 || (c->style & WS_DISABLED)) continue;
        POINT pt = p;
        if (pt.x >= c->rect.left && pt.x < c->rect.right && pt.y >= c->rect.top &&
            pt.y < c->rect.bottom) {
            RECT ca = clientArea(*c);
            p.x -= ca.left;
            p.y -= ca.top;
            return childAtLocked(c, p);
        }
    }
    return w;
}

}  // namespace

BOOL postMouseInput(HWND topLevel, UINT message, POINT client, WPARAM keys) {
    std::shared_ptr<detail::MessageQueue> queue;
    MSG msg{};
    {
        std::lock_guard lock(wm().mu);
        auto top = findLocked(topLevel);
        if (!top) return FALSE;
        POINT origin = clientOriginLocked(*top);
        POINT screen{origin.x + client.x, origin.y + client.y};
        wm().cursor = screen;
        std::shared_ptr<Window> target;
        POINT p = client;
        const bool wheel = message == WM_MOUSEWHEEL;
        if (auto cap = findLocked(wm().capture)) {
            target = cap;
            POINT o = clientOriginLocked(*cap);
            p = {screen.x - o.x, screen.y - o.y};
        } else if (auto f = wheel ? findLocked(wm().focus) : nullptr) {
            // The wheel turns what has the focus, as the keyboard does.
            auto t = f;
            while (t && (t->style & WS_CHILD)) t = findLocked(t->parent);
            target = t == top ? f : childAtLocked(top, p);
        } else {
            target = childAtLocked(top, p);
        }
        if (wheel) p = screen;  // the wheel's point is on the screen
        msg.hwnd = target->hwnd;
        msg.message = message;
        msg.wParam = keys;
        msg.lParam = MAKELPARAM(static_cast<short>(p.x), static_cast<short>(p.y));
        msg.time = GetTickCount();
        msg.pt = screen;
        queue = target->queue;
    }
    {
        std::lock_guard lock(queue->mu);
        // Pointer movements coalesce as on the platform: only the latest one waits.
        if (message == WM_MOUSEMOVE && !queue->input.empty() &&
            queue->input.back().message == WM_MOUSEMOVE && queue->input.back().hwnd == msg.hwnd) {
            queue->input.back() = msg;
        } else {
            queue->input.push_back(msg);
        }
    }
    queue->wake();
    return TRUE;
}

BOOL postKeyInput(HWND topLevel, UINT message, WPARAM virtualKey) {
    std::shared_ptr<detail::MessageQueue> queue;
    MSG msg{};
    {
        std::lock_guard lock(wm().mu);
        auto top = findLocked(topLevel);
        if (!top) return FALSE;
        auto target = top;
        if (auto f = findLocked(wm().focus)) {
            auto t = f;
            while (t && (t->style & WS_CHILD)) t = findLocked(t->parent);
            if (t == top) target = f;
        }
        msg.hwnd = target->hwnd;
        msg.message = message;
        msg.wParam = virtualKey;
        msg.lParam = message == WM_KEYUP ? static_cast<LPARAM>(0xC0000001) : 1;
        msg.time = GetTickCount();
        msg.pt = wm().cursor;
        queue = target->queue;
    }
    {
        std::lock_guard lock(queue->mu);
        queue->input.push_back(msg);
    }
    queue->wake();
    return TRUE;
}

bool threadIsIdle(DWORD threadId) {
    auto queue = detail::queueOfThread(threadId);
    if (queue) {
        std::lock_guard lock(queue->mu);
        if (!queue->posted.empty() || !queue->input.empty() || !queue->sent.empty() ||
            queue->quitPosted)
            return false;
    }
    MSG msg;
    if (detail::takePaintMessage(threadId, &msg, nullptr, 0, 0)) return false;
    return detail::msUntilNextTimer(threadId) != 0;
}

// ---- Hooks of the message queue -----------------------------------------------------------------
namespace detail {

void deliverSentMessages(MessageQueue& queue) {
    for (;;) {
        std::shared_ptr<SentMessage> sent;
        {
            std::lock_guard lock(queue.mu);
            if (queue.sent.empty()) return;
            sent = queue.sent.front();
            queue.sent.pop_front();
        }
        LRESULT result = 0;
        if (auto w = find(sent->msg.hwnd)) {
            result = callProc(w, sent->msg.message, sent->msg.wParam, sent->msg.lParam);
        }
        {
            std::lock_guard lock(queue.mu);
            sent->result = result;
            sent->done = true;
        }
        if (sent->senderQueue) sent->senderQueue->wake();
    }
}

void abandonSentMessages(MessageQueue& queue) {
    std::deque<std::shared_ptr<SentMessage>> left;
    {
        std::lock_guard lock(queue.mu);
        left.swap(queue.sent);
        for (auto& s : left) s->done = true;
    }
    for (auto& s : left) {
        if (s->senderQueue) s->senderQueue->wake();
    }
}

bool takePaintMessage(DWORD threadId, MSG* out, HWND filter, UINT minMsg, UINT maxMsg) {
    if (minMsg != 0 || maxMsg != 0) {
        if (WM_PAINT < minMsg || WM_PAINT > maxMsg) return false;
    }
    if (filter == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) return false;
    std::lock_guard lock(wm().mu);
    std::shared_ptr<Window> best;
    for (auto& [h, w] : wm().windows) {
        if (w->thread != threadId || isEmpty(w->invalid) || w->destroying) continue;
        if (filter != nullptr && w->hwnd != filter) continue;
        if (!visibleLocked(*w)) continue;
        if (!best || w->order < best->order) best = w;
    }
    if (!best) return false;
    *out = MSG{};
    out->hwnd = best->hwnd;
    out->message = WM_PAINT;
    out->time = GetTickCount();
    out->pt = wm().cursor;
    return true;
}

bool takeTimerMessage(DWORD threadId, MSG* out, HWND filter, UINT minMsg, UINT maxMsg,
                      bool remove) {
    if (minMsg != 0 || maxMsg != 0) {
        if (WM_TIMER < minMsg || WM_TIMER > maxMsg) return false;
    }
    std::lock_guard lock(wm().mu);
    const auto now = Clock::now();
    Timer* best = nullptr;
    for (auto& t : wm().timers) {
        if (t.thread != threadId || t.due > now) continue;
        if (filter == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) {
            if (t.hwnd != nullptr) continue;
        } else if (filter != nullptr && t.hwnd != filter) {
            continue;
        }
        if (!best || t.due < best->due) best = &t;
    }
    if (!best) return false;
    *out = MSG{};
    out->hwnd = best->hwnd;
    out->message = WM_TIMER;
    out->wParam = best->id;
    out->lParam = reinterpret_cast<LPARAM>(best->proc);
    out->time = GetTickCount();
    out->pt = wm().cursor;
    if (remove) best->due = now + std::chrono::milliseconds(best->period);
    return true;
}

int msUntilNextTimer(DWORD threadId) {
    std::lock_guard lock(wm().mu);
    const auto now = Clock::now();
    long long best = -1;
    for (auto& t : wm().timers) {
        if (t.thread != threadId) continue;
        long long ms = std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(t.due - now).count());
        if (best < 0 || ms < best) best = ms;
    }
    return static_cast<int>(best);
}

bool isOwnWindow(HWND hwnd) {
    auto w = find(hwnd);
    return w && w->thread == GetCurrentThreadId();
}

std::shared_ptr<MessageQueue> queueOfWindow(HWND hwnd) {
    auto w = find(hwnd);
    return w ? w->queue : nullptr;
}

void windowThreadEnded(DWORD threadId) {
    std::vector<HWND> gone;
    Display* d;
    {
        std::lock_guard lock(wm().mu);
        for (auto it = wm().windows.begin(); it != wm().windows.end();) {
            if (it->second->thread == threadId) {
                gone.push_back(it->first);
                it = wm().windows.erase(it);
            } else {
                ++it;
            }
        }
        std::erase_if(wm().timers, [&](const Timer& t) { return t.thread == threadId; });
        d = wm().display;
    }
    if (d) {
        for (HWND h : gone) d->windowDestroyed(h);
    }
}

}  // namespace detail
}  // namespace standin::win32

using namespace standin::win32;

// ---- Classes
namespace {

ATOM registerClass(const std::string& name, UINT style, WNDPROC proc, HINSTANCE instance,
                   HICON icon, HBRUSH background) {
    if (name.empty() || proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->name = name;
    cls->style = style;
    cls->proc = proc;
    cls->instance = instance;
    cls->icon = icon;
    cls->background = background;
    std::lock_guard lock(wm().mu);
    auto key = lower(name);
    if (wm().classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    wm().classes[key] = cls;
    return static_cast<ATOM>(0xC000 + wm().classes.size());
}

}  // namespace

ATOM WINAPI RegisterClassA(const WNDCLASSA* c) {
    if (c == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return registerClass(className(c->lpszClassName), c->style, c->lpfnWndProc, c->hInstance,
                         c->hIcon, c->hbrBackground);
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* c) {
    if (c == nullptr || c->lpszClassName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return registerClass(toUtf8(c->lpszClassName), c->style, c->lpfnWndProc, c->hInstance, c->hIcon,
                         c->hbrBackground);
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE /*hInstance*/) {
    std::lock_guard lock(wm().mu);
    if (wm().classes.erase(lower(className(lpClassName))) == 0) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return FALSE;
    }
    return TRUE;
}

// ---- Creation and destruction
// --------------------------------------------------------------------
namespace {

struct Hook {
    HHOOK handle;
    HOOKPROC proc;
};
thread_local std::vector<Hook> tHooks;
std::atomic<std::uintptr_t> gNextHook{0x4B00};

// Newest hook first, as on the platform; a hook passes on with CallNextHookEx.
thread_local std::size_t tHookDepth = 0;

void callCreationHooks(HWND hwnd, CREATESTRUCTA* cs) {
    if (tHooks.empty()) return;
    CBT_CREATEWNDA cbt{cs, nullptr};
    tHookDepth = tHooks.size();
    CallNextHookEx(nullptr, HCBT_CREATEWND, reinterpret_cast<WPARAM>(hwnd),
                   reinterpret_cast<LPARAM>(&cbt));
}

HWND createWindow(DWORD exStyle, const std::string& cls, const std::string& title, DWORD style,
                  int x, int y, int cx, int cy, HWND parent, HMENU menu, HINSTANCE instance,
                  LPVOID param) {
    auto w = std::make_shared<Window>();
    {
        std::lock_guard lock(wm().mu);
        auto it = wm().classes.find(lower(cls));
        if (it == wm().classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        w->cls = it->second;
        if (style & WS_CHILD) {
            if (!findLocked(parent)) {
                SetLastError(parent ? ERROR_INVALID_WINDOW_HANDLE : 1406L /*TLW with WS_CHILD*/);
                return nullptr;
            }
            w->parent = parent;
            w->id = static_cast<int>(reinterpret_cast<LONG_PTR>(menu));
        } else if (parent) {
            auto p = findLocked(parent);
            while (p && (p->style & WS_CHILD)) p = findLocked(p->parent);
            if (!p) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            w->owner = p->hwnd;
        }
        w->hwnd = reinterpret_cast<HWND>(wm().nextHandle);
        wm().nextHandle += 2;
        w->order = wm().nextOrder++;
        w->proc = w->cls->proc;
        w->style = style & ~static_cast<DWORD>(WS_VISIBLE);
        w->exStyle = exStyle;
        w->instance = instance;
        w->text = title;
        if (x == CW_USEDEFAULT) x = y = 100;
        if (cx == CW_USEDEFAULT) {
            cx = 400;
            cy = 300;
        }
        w->rect = {x, y, x + std::max(cx, 0), y + std::max(cy, 0)};
        w->thread = GetCurrentThreadId();
        detail::currentQueue();
        w->queue = detail::queueOfThread(w->thread);
        wm().windows[w->hwnd] = w;
    }
    CREATESTRUCTA cs{};
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cx = cx;
    cs.cy = cy;
    cs.x = x;
    cs.y = y;
    cs.style = static_cast<LONG>(style);
    cs.lpszName = w->text.c_str();
    cs.lpszClass = w->cls->name.c_str();
    cs.dwExStyle = exStyle;
    const HWND hwnd = w->hwnd;
    callCreationHooks(hwnd, &cs);
    if (!callProc(w, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) ||
        callProc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    notifyDisplay(hwnd);
    if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return IsWindow(hwnd) ? hwnd : nullptr;
}

}  // namespace

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
    return createWindow(dwExStyle, className(lpClassName), lpWindowName ? lpWindowName : "",
                        dwStyle, X, Y, nWidth, nHeight, hWndParent, hMenu, hInstance, lpParam);
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight, HWND hWndParent,
                            HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
    std::string cls = IS_INTRESOURCE(lpClassName)
                          ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(lpClassName))
                          : toUtf8(lpClassName);
    return createWindow(dwExStyle, cls, toUtf8(lpWindowName), dwStyle, X, Y, nWidth, nHeight,
                        hWndParent, hMenu, hInstance, lpParam);
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    auto w = findOrFail(hWnd);
    if (!w) return FALSE;
    if (w->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard lock(wm().mu);
        if (w->destroying) return TRUE;
        w->destroying = true;
    }
    // Owned popups first, then this window's WM_DESTROY, its children, and WM_NCDESTROY.
    std::vector<HWND> owned;
    {
        std::lock_guard lock(wm().mu);
        for (auto& [h, o] : wm().windows) {
            if (!(o->style & WS_CHILD) && o->owner == hWnd) owned.push_back(h);
        }
    }
    for (HWND h : owned) DestroyWindow(h);
    if (IsWindowVisible(hWnd)) ShowWindow(hWnd, SW_HIDE);
    callProc(w, WM_DESTROY, 0, 0);
    std::vector<std::shared_ptr<Window>> kids;
    {
        std::lock_guard lock(wm().mu);
        kids = childrenLocked(hWnd);
    }
    for (auto& k : kids) DestroyWindow(k->hwnd);
    callProc(w, WM_NCDESTROY, 0, 0);
    Display* d;
    {
        std::lock_guard lock(wm().mu);
        wm().windows.erase(hWnd);
        std::erase_if(wm().timers, [&](const Timer& t) { return t.hwnd == hWnd; });
        if (wm().capture == hWnd) wm().capture = nullptr;
        if (wm().focus == hWnd) wm().focus = nullptr;
        if (wm().active == hWnd) wm().active = nullptr;
        d = wm().display;
    }
    if (d) d->windowDestroyed(hWnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    return find(hWnd) ? TRUE : FALSE;
}

// ---- Messages
LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return sendMessage(hWnd, Msg, wParam, lParam);
}
LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return sendMessage(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                               LPARAM lParam) {
    if (lpPrevWndFunc == nullptr) return 0;
    return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
    if (lpMsg == nullptr || lpMsg->message != WM_KEYDOWN) return FALSE;
    WPARAM key = lpMsg->wParam;
    WPARAM ch = 0;
    if (key == VK_RETURN || key == VK_ESCAPE || key == VK_BACK || key == VK_TAB ||
        key == VK_SPACE || (key >= '0' && key <= '9')) {
        ch = key;
    } else if (key >= 'A' && key <= 'Z') {
        ch = key - 'A' + 'a';
    }
    if (ch == 0) return FALSE;
    auto queue = detail::queueOfWindow(lpMsg->hwnd);
    if (!queue) return FALSE;
    MSG m = *lpMsg;
    m.message = WM_CHAR;
    m.wParam = ch;
    {
        std::lock_guard lock(queue->mu);
        queue->posted.push_front(m);
    }
    return TRUE;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (lpMsg == nullptr) return 0;
    if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
        return 0;
    }
    if (lpMsg->hwnd == nullptr) return 0;
    auto w = findOrFail(lpMsg->hwnd);
    if (!w) return 0;
    if (w->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return callProc(w, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}
LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
    return DispatchMessageA(lpMsg);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
        case WM_NCCREATE:
            return TRUE;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hWnd, &ps);
            EndPaint(hWnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: {
            auto w = find(hWnd);
            Display* d = display();
            if (!w || !w->cls || w->cls->background == nullptr || d == nullptr || wParam == 0)
                return 0;
            RECT rc;
            GetClientRect(hWnd, &rc);
            d->fillRect(reinterpret_cast<HDC>(wParam), rc, w->cls->background);
            return 1;
        }
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageA(hWnd, WM_CLOSE, 0, 0);
            return 0;
        case WM_MOUSEWHEEL: {
            // Not handled by a child: its parent may scroll.
            HWND parent = nullptr;
            {
                std::lock_guard lock(wm().mu);
                auto w = findLocked(hWnd);
                if (w && (w->style & WS_CHILD)) parent = w->parent;
            }
            return parent ? SendMessageA(parent, Msg, wParam, lParam) : 0;
        }
        case WM_SETTEXT: {
            {
                std::lock_guard lock(wm().mu);
                auto w = findLocked(hWnd);
                if (!w) return FALSE;
                w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
            }
            notifyDisplay(hWnd);
            return TRUE;
        }
        case WM_GETTEXTLENGTH: {
            auto w = find(hWnd);
            return w ? static_cast<LRESULT>(w->text.size()) : 0;
        }
        case WM_GETTEXT: {
            auto w = find(hWnd);
            if (!w || wParam == 0 || lParam == 0) return 0;
            std::string t;
            {
                std::lock_guard lock(wm().mu);
                t = w->text;
            }
            std::size_t n = std::min<std::size_t>(t.size(), wParam - 1);
            std::memcpy(reinterpret_cast<char*>(lParam), t.data(), n);
            reinterpret_cast<char*>(lParam)[n] = 0;
            return static_cast<LRESULT>(n);
        }
        case WM_SETICON: {
            HICON previous;
            {
                std::lock_guard lock(wm().mu);
                auto w = findLocked(hWnd);
                if (!w) return 0;
                HICON& slot = wParam == ICON_BIG ? w->bigIcon : w->smallIcon;
                previous = slot;
                slot = reinterpret_cast<HICON>(lParam);
            }
            notifyDisplay(hWnd);
            return reinterpret_cast<LRESULT>(previous);
        }
        case WM_GETICON: {
            std::lock_guard lock(wm().mu);
            auto w = findLocked(hWnd);
            if (!w) return 0;
            return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? w->bigIcon : w->smallIcon);
        }
        default:
            return 0;
    }
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, Msg, wParam, lParam);
}

// ---- Window data
LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (nIndex) {
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(w->proc);
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(w->instance);
        case GWLP_ID:
            return w->id;
        case GWL_STYLE:
            return static_cast<LONG_PTR>(w->style);
        case GWL_EXSTYLE:
            return static_cast<LONG_PTR>(w->exStyle);
        case GWLP_USERDATA:
            return w->userData;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
    }
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    LONG_PTR old = 0;
    {
        std::lock_guard lock(wm().mu);
        auto w = findLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        switch (nIndex) {
            case GWLP_WNDPROC:
                old = reinterpret_cast<LONG_PTR>(w->proc);
                w->proc = reinterpret_cast<WNDPROC>(dwNewLong);
                break;
            case GWLP_ID:
                old = w->id;
                w->id = static_cast<int>(dwNewLong);
                break;
            case GWL_STYLE:
                old = static_cast<LONG_PTR>(w->style);
                w->style = static_cast<DWORD>(dwNewLong);
                break;
            case GWL_EXSTYLE:
                old = static_cast<LONG_PTR>(w->exStyle);
                w->exStyle = static_cast<DWORD>(dwNewLong);
                break;
            case GWLP_USERDATA:
                old = w->userData;
                w->userData = dwNewLong;
                break;
            default:
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
        }
    }
    if (nIndex == GWL_STYLE) notifyDisplay(hWnd);
    return old;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    auto w = findOrFail(hWnd);
    if (!w) return 0;
    if (lpdwProcessId) *lpdwProcessId = GetCurrentProcessId();
    return w->thread;
}

HWND WINAPI GetParent(HWND hWnd) {
    auto w = findOrFail(hWnd);
    if (!w) return nullptr;
    return (w->style & WS_CHILD) ? w->parent : w->owner;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    std::lock_guard lock(wm().mu);
    for (auto& c : childrenLocked(hDlg)) {
        if (c->id == nIDDlgItem) return c->hwnd;
    }
    SetLastError(1421L /*ERROR_CONTROL_ID_NOT_FOUND*/);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    auto w = findOrFail(hWnd);
    return w && (w->style & WS_CHILD) ? w->id : 0;
}

// ---- Showing and geometry
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    auto w = findOrFail(hWnd);
    if (!w) return FALSE;
    bool wasVisible;
    const bool show = nCmdShow != SW_HIDE;
    HWND parent = nullptr;
    RECT area{};
    {
        std::lock_guard lock(wm().mu);
        wasVisible = (w->style & WS_VISIBLE) != 0;
        if (wasVisible == show) return wasVisible ? TRUE : FALSE;
    }
    SendMessageA(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    {
        std::lock_guard lock(wm().mu);
        if (show) {
            w->style |= WS_VISIBLE;
            invalidateLocked(*w, nullptr, true);
            if (!(w->style & WS_CHILD) && nCmdShow != SW_SHOWNA) wm().active = hWnd;
        } else {
            w->style &= ~static_cast<DWORD>(WS_VISIBLE);
            w->invalid = RECT{};
            if (w->style & WS_CHILD) {
                parent = w->parent;
                area = w->rect;
            }
        }
    }
    if (parent) InvalidateRect(parent, &area, TRUE);
    notifyDisplay(hWnd);
    return wasVisible ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    return w && visibleLocked(*w) ? TRUE : FALSE;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    BOOL wasDisabled;
    {
        std::lock_guard lock(wm().mu);
        auto w = findLocked(hWnd);
        if (!w) return FALSE;
        wasDisabled = (w->style & WS_DISABLED) ? TRUE : FALSE;
        if (bEnable)
            w->style &= ~static_cast<DWORD>(WS_DISABLED);
        else
            w->style |= WS_DISABLED;
    }
    SendMessageA(hWnd, WM_ENABLE, bEnable, 0);
    return wasDisabled;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    auto w = find(hWnd);
    return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

BOOL WINAPI SetWindowPos(HWND hWnd, HWND /*hWndInsertAfter*/, int X, int Y, int cx, int cy,
                         UINT uFlags) {
    auto w = findOrFail(hWnd);
    if (!w) return FALSE;
    WINDOWPOS pos{};
    RECT old;
    {
        std::lock_guard lock(wm().mu);
        old = w->rect;
    }
    pos.hwnd = hWnd;
    pos.x = (uFlags & SWP_NOMOVE) ? old.left : X;
    pos.y = (uFlags & SWP_NOMOVE) ? old.top : Y;
    pos.cx = (uFlags & SWP_NOSIZE) ? old.right - old.left : std::max(cx, 0);
    pos.cy = (uFlags & SWP_NOSIZE) ? old.bottom - old.top : std::max(cy, 0);
    pos.flags = uFlags;
    SendMessageA(hWnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
    bool moved, sized;
    SIZE client;
    POINT clientOrigin;
    {
        std::lock_guard lock(wm().mu);
        w->rect = {pos.x, pos.y, pos.x + std::max(pos.cx, 0), pos.y + std::max(pos.cy, 0)};
        moved = w->rect.left != old.left || w->rect.top != old.top;
        sized = (w->rect.right - w->rect.left) != (old.right - old.left) ||
                (w->rect.bottom - w->rect.top) != (old.bottom - old.top);
        client = clientSize(*w);
        RECT ca = clientArea(*w);
        clientOrigin = {ca.left, ca.top};
        if (sized && !(uFlags & SWP_NOREDRAW)) invalidateLocked(*w, nullptr, true);
    }
    SendMessageA(hWnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&pos));
    if (moved) SendMessageA(hWnd, WM_MOVE, 0, MAKELPARAM(clientOrigin.x, clientOrigin.y));
    if (sized) SendMessageA(hWnd, WM_SIZE, 0, MAKELPARAM(client.cx, client.cy));
    if (uFlags & SWP_SHOWWINDOW) ShowWindow(hWnd, SW_SHOWNA);
    if (uFlags & SWP_HIDEWINDOW) ShowWindow(hWnd, SW_HIDE);
    notifyDisplay(hWnd);
    return TRUE;
}

BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
    return SetWindowPos(hWnd, nullptr, X, Y, nWidth, nHeight,
                        SWP_NOZORDER | SWP_NOACTIVATE | (bRepaint ? 0 : SWP_NOREDRAW));
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    if (!w || lpRect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    SIZE s = clientSize(*w);
    *lpRect = {0, 0, s.cx, s.cy};
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
    WindowInfo info;
    if (lpRect == nullptr || !windowInfo(hWnd, &info)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *lpRect = info.window;
    return TRUE;
}

BOOL WINAPI ClientToScreen(HWND hWnd, LPPOINT lpPoint) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    if (!w || lpPoint == nullptr) return FALSE;
    POINT o = clientOriginLocked(*w);
    lpPoint->x += o.x;
    lpPoint->y += o.y;
    return TRUE;
}

BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT lpPoint) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    if (!w || lpPoint == nullptr) return FALSE;
    POINT o = clientOriginLocked(*w);
    lpPoint->x -= o.x;
    lpPoint->y -= o.y;
    return TRUE;
}

BOOL WINAPI AdjustWindowRectEx(LPRECT lpRect, DWORD dwStyle, BOOL /*bMenu*/, DWORD /*dwExStyle*/) {
    if (lpRect == nullptr) return FALSE;
    if (!(dwStyle & WS_CHILD) && (dwStyle & WS_CAPTION) == WS_CAPTION) {
        lpRect->left -= kBorder;
        lpRect->right += kBorder;
        lpRect->top -= kBorder + kCaption;
        lpRect->bottom += kBorder;
    }
    return TRUE;
}

// ---- Text
BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    if (!findOrFail(hWnd)) return FALSE;
    return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString ? lpString : ""))
               ? TRUE
               : FALSE;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    std::string text = toUtf8(lpString);
    return SetWindowTextA(hWnd, text.c_str());
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                         reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    auto w = find(hWnd);
    if (!w) return 0;
    std::wstring text;
    {
        std::lock_guard lock(wm().mu);
        text = fromUtf8(w->text);
    }
    std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(nMaxCount - 1));
    std::wmemcpy(lpString, text.data(), n);
    lpString[n] = 0;
    return static_cast<int>(n);
}

// ---- Input state
HWND WINAPI SetCapture(HWND hWnd) {
    HWND previous;
    {
        std::lock_guard lock(wm().mu);
        previous = wm().capture;
        wm().capture = findLocked(hWnd) ? hWnd : nullptr;
    }
    if (previous && previous != hWnd)
        SendMessageA(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
    return previous;
}

BOOL WINAPI ReleaseCapture() {
    HWND previous;
    {
        std::lock_guard lock(wm().mu);
        previous = wm().capture;
        wm().capture = nullptr;
    }
    if (previous) SendMessageA(previous, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND WINAPI GetCapture() {
    std::lock_guard lock(wm().mu);
    return wm().capture;
}

HWND WINAPI SetFocus(HWND hWnd) {
    HWND previous;
    {
        std::lock_guard lock(wm().mu);
        previous = wm().focus;
        if (hWnd && !findLocked(hWnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        wm().focus = hWnd;
    }
    if (previous == hWnd) return previous;
    if (previous) SendMessageA(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    if (hWnd) SendMessageA(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    return previous;
}

HWND WINAPI GetFocus() {
    std::lock_guard lock(wm().mu);
    return wm().focus;
}

HWND WINAPI GetActiveWindow() {
    std::lock_guard lock(wm().mu);
    return wm().active;
}

BOOL WINAPI GetCursorPos(LPPOINT lpPoint) {
    if (lpPoint == nullptr) return FALSE;
    std::lock_guard lock(wm().mu);
    *lpPoint = wm().cursor;
    return TRUE;
}

// ---- Timers
UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    if (uElapse < USER_TIMER_MINIMUM) uElapse = USER_TIMER_MINIMUM;
    if (uElapse > 0x7FFFFFFF) uElapse = 0x7FFFFFFF;
    std::lock_guard lock(wm().mu);
    const DWORD self = GetCurrentThreadId();
    if (hWnd) {
        auto w = findLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->thread != self) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    } else {
        nIDEvent = wm().nextThreadTimerId++;
    }
    const auto due = Clock::now() + std::chrono::milliseconds(uElapse);
    for (auto& t : wm().timers) {
        if (t.hwnd == hWnd && hWnd != nullptr && t.id == nIDEvent) {
            t.period = uElapse;
            t.proc = lpTimerFunc;
            t.due = due;
            return nIDEvent == 0 ? 1 : nIDEvent;
        }
    }
    wm().timers.push_back({hWnd, nIDEvent, uElapse, lpTimerFunc, self, due});
    return nIDEvent == 0 ? 1 : nIDEvent;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    std::lock_guard lock(wm().mu);
    auto n = std::erase_if(wm().timers, [&](const Timer& t) {
        return t.hwnd == hWnd && t.id == uIDEvent &&
               (hWnd != nullptr || t.thread == GetCurrentThreadId());
    });
    if (n == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// ---- Invalidation and painting
BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) {
    std::lock_guard lock(wm().mu);
    if (hWnd == nullptr) {
        for (auto& [h, w] : wm().windows) {
            if (!(w->style & WS_CHILD)) invalidateLocked(*w, nullptr, bErase != FALSE);
        }
        return TRUE;
    }
    auto w = findLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    invalidateLocked(*w, lpRect, bErase != FALSE);
    return TRUE;
}

BOOL WINAPI ValidateRect(HWND hWnd, const RECT* lpRect) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    if (!w) return FALSE;
    // One rectangle is kept: validating a part that covers it empties it, a smaller part leaves
    // the bounding box as it is.
    if (lpRect == nullptr ||
        (lpRect->left <= w->invalid.left && lpRect->top <= w->invalid.top &&
         lpRect->right >= w->invalid.right && lpRect->bottom >= w->invalid.bottom)) {
        w->invalid = RECT{};
        w->eraseDue = false;
    }
    return TRUE;
}

BOOL WINAPI GetUpdateRect(HWND hWnd, LPRECT lpRect, BOOL /*bErase*/) {
    std::lock_guard lock(wm().mu);
    auto w = findLocked(hWnd);
    if (!w) return FALSE;
    if (lpRect) *lpRect = w->invalid;
    return isEmpty(w->invalid) ? FALSE : TRUE;
}

BOOL WINAPI UpdateWindow(HWND hWnd) {
    RECT r;
    if (!IsWindow(hWnd)) return FALSE;
    if (GetUpdateRect(hWnd, &r, FALSE) && IsWindowVisible(hWnd)) SendMessageA(hWnd, WM_PAINT, 0, 0);
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
    if (lpPaint == nullptr) return nullptr;
    *lpPaint = PAINTSTRUCT{};
    RECT area;
    bool erase;
    Display* d;
    {
        std::lock_guard lock(wm().mu);
        auto w = findLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        area = w->invalid;
        erase = w->eraseDue;
        w->invalid = RECT{};
        w->eraseDue = false;
        d = wm().display;
    }
    lpPaint->rcPaint = area;
    HDC hdc = d ? d->createDC(hWnd, area) : nullptr;
    lpPaint->hdc = hdc;
    if (erase) {
        lpPaint->fErase =
            SendMessageA(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0) ? FALSE : TRUE;
    }
    return hdc;
}

BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint) {
    if (lpPaint == nullptr) return FALSE;
    if (Display* d = display(); d && lpPaint->hdc) d->releaseDC(hWnd, lpPaint->hdc, true);
    return TRUE;
}

HDC WINAPI GetDC(HWND hWnd) {
    RECT rc;
    if (!GetClientRect(hWnd, &rc)) return nullptr;
    Display* d = display();
    return d ? d->createDC(hWnd, rc) : nullptr;
}

int WINAPI ReleaseDC(HWND hWnd, HDC hDC) {
    Display* d = display();
    if (!d || !hDC) return 0;
    d->releaseDC(hWnd, hDC, true);
    return 1;
}

// ---- Rectangles
BOOL WINAPI SetRect(LPRECT lprc, int xLeft, int yTop, int xRight, int yBottom) {
    if (lprc == nullptr) return FALSE;
    *lprc = {xLeft, yTop, xRight, yBottom};
    return TRUE;
}
BOOL WINAPI PtInRect(const RECT* lprc, POINT pt) {
    return lprc && pt.x >= lprc->left && pt.x < lprc->right && pt.y >= lprc->top &&
                   pt.y < lprc->bottom
               ? TRUE
               : FALSE;
}
BOOL WINAPI IsRectEmpty(const RECT* lprc) {
    return lprc == nullptr || isEmpty(*lprc) ? TRUE : FALSE;
}
BOOL WINAPI UnionRect(LPRECT lprcDst, const RECT* a, const RECT* b) {
    if (!lprcDst || !a || !b) return FALSE;
    *lprcDst = unite(*a, *b);
    return isEmpty(*lprcDst) ? FALSE : TRUE;
}
BOOL WINAPI IntersectRect(LPRECT lprcDst, const RECT* a, const RECT* b) {
    if (!lprcDst || !a || !b) return FALSE;
    *lprcDst = intersect(*a, *b);
    return isEmpty(*lprcDst) ? FALSE : TRUE;
}
BOOL WINAPI OffsetRect(LPRECT lprc, int dx, int dy) {
    if (!lprc) return FALSE;
    lprc->left += dx;
    lprc->right += dx;
    lprc->top += dy;
    lprc->bottom += dy;
    return TRUE;
}

// ---- Waiting and hooks
BOOL WINAPI WaitMessage() {
    detail::MessageQueue& q = detail::currentQueue();
    MSG msg;
    for (;;) {
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) return TRUE;
        q.waitForWake(detail::msUntilNextTimer(q.threadId));
    }
}

HHOOK WINAPI SetWindowsHookExA(int idHook, HOOKPROC lpfn, HINSTANCE, DWORD dwThreadId) {
    if (idHook != WH_CBT || lpfn == nullptr ||
        (dwThreadId != 0 && dwThreadId != GetCurrentThreadId())) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto h = reinterpret_cast<HHOOK>(gNextHook.fetch_add(4));
    tHooks.push_back({h, lpfn});
    return h;
}

BOOL WINAPI UnhookWindowsHookEx(HHOOK hhk) {
    auto n = std::erase_if(tHooks, [&](const Hook& h) { return h.handle == hhk; });
    if (n == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

LRESULT WINAPI CallNextHookEx(HHOOK, int nCode, WPARAM wParam, LPARAM lParam) {
    if (tHookDepth == 0 || tHookDepth > tHooks.size()) {
        tHookDepth = 0;
        return 0;
    }
    HOOKPROC proc = tHooks[--tHookDepth].proc;
    return proc(nCode, wParam, lParam);
}
