// The system window classes of the UI stand-in: the dialog class, the combo box and its
// drop-down list; and the dialog's keyboard handling.

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "standin/win32/display.h"
#include "ui_internal.h"

namespace standin::ui::detail {
namespace {

constexpr COLORREF kDialogFace = RGB(240, 240, 240);
constexpr COLORREF kHighlight = RGB(0, 120, 215);
constexpr COLORREF kHighlightText = RGB(255, 255, 255);
constexpr int kDefaultMinVisible = 30;

// The drop-down list's vertical scroll bar, at 96 pixels per inch: the system's width of a
// vertical scroll bar and height of its arrow buttons, and the least thumb drawn.
constexpr int kScrollBarWidth = 17;
constexpr int kScrollArrowHeight = 17;
constexpr int kMinThumbHeight = 8;
constexpr COLORREF kScrollTrack = kDialogFace;
constexpr COLORREF kScrollThumb = RGB(205, 205, 205);
constexpr COLORREF kScrollPressed = RGB(166, 166, 166);
constexpr COLORREF kScrollGlyph = RGB(96, 96, 96);
// Rows scrolled per notch of the wheel: the system's default wheel setting.
constexpr int kWheelScrollRows = 3;
// A held arrow or track click repeats after a pause, then at a steady rate.
constexpr UINT_PTR kRepeatTimer = 1;
constexpr UINT kRepeatDelayMs = 400;
constexpr UINT kRepeatRateMs = 50;

// The parts of the open list a point can fall on.
enum class ListPart { None, Items, LineUp, LineDown, PageUp, PageDown, Thumb };

struct Combo {
    std::vector<std::string> items;
    int selection = -1;
    int itemHeight = 0;  // list items
    int faceHeight = 0;
    int minVisible = kDefaultMinVisible;
    int extent = 0;  // height the combo box was given: its drop-down extent
    HFONT font = nullptr;
    HWND list = nullptr;  // the drop-down list while it is open
    int hot = -1;         // the list's highlighted item
    bool sizingSelf = false;
    // The open list's scrolling.
    int rows = 0;         // rows the list shows
    int top = 0;          // first item shown
    int openedWith = -1;  // the selection when the list opened (restored when it is cancelled)
    int wheelRest = 0;    // rotation short of a notch, kept for the next turn
    ListPart pressed = ListPart::None;  // the scroll bar part held with the button
    int thumbGrab = 0;                  // where on the thumb it was taken
    POINT pointer{-1, -1};              // last pointer position over the list
};

std::mutex gMu;
std::map<HWND, Combo> gCombos;
std::map<HWND, HWND> gListOwner;  // drop-down list -> its combo box

Combo* combo(HWND h) {
    auto it = gCombos.find(h);
    return it == gCombos.end() ? nullptr : &it->second;
}

FontSpec fontSpecOf(HFONT font) {
    if (auto o = gdiObject(font); o && o->kind == GdiKind::Font) return o->font;
    FontSpec def;
    def.family = "MS Shell Dlg";
    return def;
}

int naturalItemHeight(HFONT font) {
    TextExtent e = measure(fontSpecOf(font), "Mg");
    return static_cast<int>(std::ceil(e.ascent + e.descent));
}

// The one-pixel grey frame of the face and of the open list; leaves the grey as the source.
void strokeFrame(cairo_t* cr, const RECT& rc) {
    cairo_set_source_rgb(cr, 0.48, 0.48, 0.48);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, 0.5, 0.5, rc.right - 1, rc.bottom - 1);
    cairo_stroke(cr);
}

void notifyParent(HWND comboWnd, int code) {
    HWND parent = GetParent(comboWnd);
    if (parent == nullptr) return;
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(comboWnd), code),
                 reinterpret_cast<LPARAM>(comboWnd));
}

void openList(HWND h);
void closeList(HWND h, int picked, bool cancelled);
bool revealLocked(Combo& c, int index);

LRESULT CALLBACK comboProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
            int face;
            {
                std::lock_guard lock(gMu);
                Combo& c = gCombos[h];
                c.itemHeight = naturalItemHeight(nullptr);
                c.faceHeight = c.itemHeight + 6;
                c.extent = cs->cy;
                c.sizingSelf = true;
                face = c.faceHeight;
            }
            SetWindowPos(h, nullptr, 0, 0, cs->cx, face, SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW);
            std::lock_guard lock(gMu);
            if (Combo* c = combo(h)) c->sizingSelf = false;
            return 0;
        }
        case WM_WINDOWPOSCHANGING: {
            // The height given is the drop-down extent; the face keeps its own height.
            auto* pos = reinterpret_cast<WINDOWPOS*>(lParam);
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr || (pos->flags & SWP_NOSIZE)) return 0;
            if (!c->sizingSelf) c->extent = pos->cy;
            pos->cy = c->faceHeight;
            return 0;
        }
        case WM_SETFONT: {
            std::lock_guard lock(gMu);
            if (Combo* c = combo(h)) c->font = reinterpret_cast<HFONT>(wParam);
            return 0;
        }
        case WM_GETFONT: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            return c ? reinterpret_cast<LRESULT>(c->font) : 0;
        }
        case CB_ADDSTRING:
        case CB_INSERTSTRING: {
            if (lParam == 0) return CB_ERR;
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr) return CB_ERR;
            std::string text = reinterpret_cast<const char*>(lParam);
            int at = msg == CB_ADDSTRING ? static_cast<int>(c->items.size())
                                         : static_cast<int>(static_cast<INT_PTR>(wParam));
            if (at < 0 || at > static_cast<int>(c->items.size()))
                at = static_cast<int>(c->items.size());
            c->items.insert(c->items.begin() + at, text);
            if (c->selection >= at) ++c->selection;
            return at;
        }
        case CB_DELETESTRING: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr || wParam >= c->items.size()) return CB_ERR;
            c->items.erase(c->items.begin() + static_cast<long>(wParam));
            if (c->selection == static_cast<int>(wParam))
                c->selection = -1;
            else if (c->selection > static_cast<int>(wParam))
                --c->selection;
            return static_cast<LRESULT>(c->items.size());
        }
        case CB_RESETCONTENT: {
            std::lock_guard lock(gMu);
            if (Combo* c = combo(h)) {
                c->items.clear();
                c->selection = -1;
            }
            return 0;
        }
        case CB_GETCOUNT: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            return c ? static_cast<LRESULT>(c->items.size()) : CB_ERR;
        }
        case CB_GETCURSEL: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            return c ? c->selection : CB_ERR;
        }
        case CB_SETCURSEL: {
            HWND list;
            int selection;
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(h);
                if (c == nullptr) return CB_ERR;
                auto index = static_cast<INT_PTR>(wParam);
                c->selection = index >= 0 && index < static_cast<INT_PTR>(c->items.size())
                                   ? static_cast<int>(index)
                                   : -1;
                selection = c->selection;
                list = c->list;
                if (list) {
                    // Set while open: the list shows it, and cancelling keeps it.
                    c->hot = c->openedWith = selection;
                    revealLocked(*c, selection);
                }
            }
            if (list) InvalidateRect(list, nullptr, FALSE);
            InvalidateRect(h, nullptr, TRUE);
            return selection < 0 ? CB_ERR : static_cast<LRESULT>(wParam);
        }
        case CB_GETLBTEXTLEN:
        case CB_GETLBTEXT: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr || wParam >= c->items.size()) return CB_ERR;
            const std::string& t = c->items[wParam];
            if (msg == CB_GETLBTEXT && lParam != 0) {
                std::copy(t.begin(), t.end(), reinterpret_cast<char*>(lParam));
                reinterpret_cast<char*>(lParam)[t.size()] = 0;
            }
            return static_cast<LRESULT>(t.size());
        }
        case CB_SETITEMHEIGHT: {
            if (lParam <= 0 || lParam > 255) return CB_ERR;
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr) return CB_ERR;
            if (static_cast<INT_PTR>(wParam) == -1)
                c->faceHeight = static_cast<int>(lParam);
            else
                c->itemHeight = static_cast<int>(lParam);
            return 0;
        }
        case CB_GETITEMHEIGHT: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr) return CB_ERR;
            return static_cast<INT_PTR>(wParam) == -1 ? c->faceHeight : c->itemHeight;
        }
        case CB_SETMINVISIBLE: {
            if (static_cast<INT_PTR>(wParam) <= 0) return FALSE;
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            if (c == nullptr) return FALSE;
            c->minVisible = static_cast<int>(wParam);
            return TRUE;
        }
        case CB_GETMINVISIBLE: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            return c ? c->minVisible : 0;
        }
        case CB_GETDROPPEDSTATE: {
            std::lock_guard lock(gMu);
            Combo* c = combo(h);
            return c && c->list ? TRUE : FALSE;
        }
        case CB_SHOWDROPDOWN: {
            bool open;
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(h);
                if (c == nullptr) return FALSE;
                open = c->list != nullptr;
            }
            if (wParam && !open) openList(h);
            if (!wParam && open) closeList(h, -1, true);
            return TRUE;
        }
        case WM_LBUTTONDOWN: {
            bool open;
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(h);
                open = c && c->list;
            }
            if (open)
                closeList(h, -1, true);
            else
                openList(h);
            return 0;
        }
        case WM_CTLCOLORLISTBOX:
            // Not handled by the combo box itself: its parent decides.
            if (HWND parent = GetParent(h)) return SendMessageA(parent, msg, wParam, lParam);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            if (dc) {
                RECT rc;
                GetClientRect(h, &rc);
                std::string text;
                HFONT font;
                {
                    std::lock_guard lock(gMu);
                    Combo* c = combo(h);
                    if (c && c->selection >= 0) text = c->items[c->selection];
                    font = c ? c->font : nullptr;
                }
                HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
                FillRect(dc, &rc, white);
                if (font) SelectObject(dc, font);
                SetBkMode(dc, TRANSPARENT);
                SetTextColor(dc, RGB(0, 0, 0));
                SIZE s;
                GetTextExtentPoint32A(dc, "Mg", 2, &s);
                TextOutA(dc, 3, (rc.bottom - s.cy) / 2, text.c_str(),
                         static_cast<int>(text.size()));
                if (DeviceContext* d = deviceContext(dc)) {
                    cairo_t* cr = d->cr;
                    strokeFrame(cr, rc);
                    double ax = rc.right - 10, ay = rc.bottom / 2.0;
                    cairo_move_to(cr, ax - 4, ay - 2);
                    cairo_line_to(cr, ax + 4, ay - 2);
                    cairo_line_to(cr, ax, ay + 2);
                    cairo_close_path(cr);
                    cairo_fill(cr);
                }
            }
            EndPaint(h, &ps);
            return 0;
        }
        case WM_DESTROY: {
            bool open;
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(h);
                open = c && c->list;
            }
            if (open) closeList(h, -1, true);
            return 0;
        }
        case WM_NCDESTROY: {
            std::lock_guard lock(gMu);
            gCombos.erase(h);
            return 0;
        }
        default:
            return DefWindowProcA(h, msg, wParam, lParam);
    }
}

// Under gMu: the open list's first item shown becomes `top` (kept in range); true when it moved.
bool scrollLocked(Combo& c, int top) {
    const int maxTop = std::max(0, static_cast<int>(c.items.size()) - std::max(1, c.rows));
    top = std::clamp(top, 0, maxTop);
    if (top == c.top) return false;
    c.top = top;
    return true;
}

// Under gMu: scrolls the open list just enough to show the item.
bool revealLocked(Combo& c, int index) {
    if (index < 0) return false;
    const int rows = std::max(1, c.rows);
    if (index < c.top) return scrollLocked(c, index);
    if (index >= c.top + rows) return scrollLocked(c, index - rows + 1);
    return false;
}

// Rows a page moves, by the keyboard or the scroll bar's track: all but one of those shown, so
// that the last row of a page is the first of the next.
int pageRows(const Combo& c) {
    return std::max(1, c.rows - 1);
}

void openList(HWND h) {
    notifyParent(h, CBN_DROPDOWN);
    RECT face;
    GetWindowRect(h, &face);
    int rows, itemHeight;
    {
        std::lock_guard lock(gMu);
        Combo* c = combo(h);
        if (c == nullptr || c->list != nullptr) return;
        rows = std::max(1, std::min(static_cast<int>(c->items.size()), c->minVisible));
        itemHeight = c->itemHeight;
        c->hot = c->selection;
        c->rows = rows;
        c->top = 0;
        c->openedWith = c->selection;
        c->wheelRest = 0;
        c->pressed = ListPart::None;
        c->pointer = {-1, -1};
        // The list opens with the selection in view.
        revealLocked(*c, c->selection);
    }
    HWND top = win32::topLevelOf(h);
    HWND list = CreateWindowExA(
        WS_EX_TOOLWINDOW | WS_EX_TOPMOST, "ComboLBox", "", WS_POPUP | WS_BORDER, face.left,
        face.bottom, face.right - face.left, rows * itemHeight + 2, top, nullptr, nullptr, h);
    if (list == nullptr) return;
    {
        std::lock_guard lock(gMu);
        if (Combo* c = combo(h)) c->list = list;
        gListOwner[list] = h;
    }
    ShowWindow(list, SW_SHOWNA);
    // Clicks anywhere go to the list while it is open; one outside it closes it.
    SetCapture(list);
}

void closeList(HWND h, int picked, bool cancelled) {
    HWND list;
    bool changed = false;
    {
        std::lock_guard lock(gMu);
        Combo* c = combo(h);
        if (c == nullptr || c->list == nullptr) return;
        list = c->list;
        c->list = nullptr;
        c->pressed = ListPart::None;
        gListOwner.erase(list);
        const int count = static_cast<int>(c->items.size());
        if (cancelled) {
            // The keyboard changes the selection while the list is open; a cancelled list
            // puts back the one it opened with (and says so, as the parent saw it change).
            const int back = c->openedWith < count ? c->openedWith : -1;
            changed = c->selection != back;
            c->selection = back;
        } else if (picked >= 0 && picked < count) {
            changed = c->selection != picked;
            c->selection = picked;
        }
    }
    KillTimer(list, kRepeatTimer);
    if (GetCapture() == list) ReleaseCapture();
    DestroyWindow(list);
    InvalidateRect(h, nullptr, TRUE);
    // The new selection is made before the list reports its closing.
    if (changed) notifyParent(h, CBN_SELCHANGE);
    notifyParent(h, cancelled ? CBN_SELENDCANCEL : CBN_SELENDOK);
    notifyParent(h, CBN_CLOSEUP);
}

HWND ownerOfList(HWND list) {
    std::lock_guard lock(gMu);
    auto it = gListOwner.find(list);
    return it == gListOwner.end() ? nullptr : it->second;
}

// Where things lie in the open list's client area: a one-pixel frame, the rows inside it and,
// when there are more items than rows, the scroll bar along the right edge inside the frame.
struct ListLayout {
    int count = 0;
    int rows = 1;
    int top = 0;
    int itemHeight = 1;
    RECT items{};  // the rows' area
    bool scrolls = false;
    RECT up{}, down{}, track{}, thumb{};  // thumb empty when the track is too short for one
    int maxTop() const { return std::max(0, count - rows); }
};

ListLayout layoutOf(const Combo& c, const RECT& client) {
    ListLayout l;
    l.count = static_cast<int>(c.items.size());
    l.rows = std::max(1, c.rows);
    l.itemHeight = std::max(1, c.itemHeight);
    l.top = std::clamp(c.top, 0, l.maxTop());
    l.items = {1, 1, std::max(1, client.right - 1), std::max(1, client.bottom - 1)};
    l.scrolls = l.count > l.rows;
    if (!l.scrolls) return l;
    const RECT bar{std::max(l.items.left, l.items.right - kScrollBarWidth), l.items.top,
                   l.items.right, l.items.bottom};
    l.items.right = bar.left;
    const int arrow = std::min(kScrollArrowHeight, (bar.bottom - bar.top) / 2);
    l.up = {bar.left, bar.top, bar.right, bar.top + arrow};
    l.down = {bar.left, bar.bottom - arrow, bar.right, bar.bottom};
    l.track = {bar.left, l.up.bottom, bar.right, l.down.top};
    const int trackHeight = l.track.bottom - l.track.top;
    const int thumb = std::max(kMinThumbHeight, trackHeight * l.rows / l.count);
    if (thumb <= trackHeight) {
        const int at = l.track.top + (trackHeight - thumb) * l.top / l.maxTop();
        l.thumb = {bar.left, at, bar.right, at + thumb};
    }
    return l;
}

ListPart partAt(const ListLayout& l, POINT p) {
    if (PtInRect(&l.items, p)) return ListPart::Items;
    if (!l.scrolls) return ListPart::None;
    if (PtInRect(&l.up, p)) return ListPart::LineUp;
    if (PtInRect(&l.down, p)) return ListPart::LineDown;
    if (PtInRect(&l.thumb, p)) return ListPart::Thumb;
    if (!PtInRect(&l.track, p)) return ListPart::None;
    const int split = IsRectEmpty(&l.thumb) ? (l.track.top + l.track.bottom) / 2 : l.thumb.top;
    return p.y < split ? ListPart::PageUp : ListPart::PageDown;
}

int itemAt(const ListLayout& l, POINT p) {
    if (!PtInRect(&l.items, p)) return -1;
    const int row = (p.y - l.items.top) / l.itemHeight;
    const int i = l.top + row;
    return row < l.rows && i < l.count ? i : -1;
}

// Under gMu: one step of a held arrow or track part.
bool stepLocked(Combo& c, ListPart part) {
    switch (part) {
        case ListPart::LineUp:
            return scrollLocked(c, c.top - 1);
        case ListPart::LineDown:
            return scrollLocked(c, c.top + 1);
        case ListPart::PageUp:
            return scrollLocked(c, c.top - pageRows(c));
        case ListPart::PageDown:
            return scrollLocked(c, c.top + pageRows(c));
        default:
            return false;
    }
}

void fillSolid(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH b = CreateSolidBrush(colour);
    FillRect(dc, &r, b);
    DeleteObject(b);
}

void paintScrollBar(HDC dc, const ListLayout& l, ListPart pressed) {
    RECT bar{l.up.left, l.up.top, l.down.right, l.down.bottom};
    fillSolid(dc, bar, kScrollTrack);
    if (pressed == ListPart::LineUp) fillSolid(dc, l.up, kScrollThumb);
    if (pressed == ListPart::LineDown) fillSolid(dc, l.down, kScrollThumb);
    if (!IsRectEmpty(&l.thumb)) {
        const RECT t{l.thumb.left + 2, l.thumb.top, l.thumb.right - 2, l.thumb.bottom};
        fillSolid(dc, t, pressed == ListPart::Thumb ? kScrollPressed : kScrollThumb);
    }
    DeviceContext* d = deviceContext(dc);
    if (d == nullptr) return;
    // The arrows: small filled triangles, pointing up and down.
    cairo_t* cr = d->cr;
    cairo_set_source_rgb(cr, GetRValue(kScrollGlyph) / 255.0, GetGValue(kScrollGlyph) / 255.0,
                         GetBValue(kScrollGlyph) / 255.0);
    for (const RECT* r : {&l.up, &l.down}) {
        const double cx = (r->left + r->right) / 2.0, cy = (r->top + r->bottom) / 2.0;
        const double dir = r == &l.up ? -1 : 1;
        cairo_move_to(cr, cx - 4, cy - 2 * dir);
        cairo_line_to(cr, cx + 4, cy - 2 * dir);
        cairo_line_to(cr, cx, cy + 2 * dir);
        cairo_close_path(cr);
        cairo_fill(cr);
    }
}

void paintList(HWND list, HWND comboWnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(list, &ps);
    if (dc == nullptr) {
        EndPaint(list, &ps);
        return;
    }
    RECT rc;
    GetClientRect(list, &rc);
    // The list's colours come from its combo box (and so from the dialog).
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, OPAQUE);
    HFONT font;
    std::vector<std::string> items;
    int hot;
    ListLayout l;
    ListPart pressed;
    {
        std::lock_guard lock(gMu);
        Combo* c = combo(comboWnd);
        font = c ? c->font : nullptr;
        if (c) {
            items = c->items;
            l = layoutOf(*c, rc);
        }
        hot = c ? c->hot : -1;
        pressed = c ? c->pressed : ListPart::None;
    }
    if (font) SelectObject(dc, font);
    auto brush = reinterpret_cast<HBRUSH>(SendMessageA(comboWnd, WM_CTLCOLORLISTBOX,
                                                       reinterpret_cast<WPARAM>(dc),
                                                       reinterpret_cast<LPARAM>(list)));
    if (brush == nullptr) brush = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    FillRect(dc, &rc, brush);
    const COLORREF text = GetTextColor(dc);
    const COLORREF back = GetBkColor(dc);
    const int mode = GetBkMode(dc);
    SIZE s;
    GetTextExtentPoint32A(dc, "Mg", 2, &s);
    const int ih = l.itemHeight;
    for (int row = 0; row < l.rows && l.top + row < static_cast<int>(items.size()); ++row) {
        const int i = l.top + row;
        RECT r{l.items.left, l.items.top + row * ih, l.items.right, l.items.top + (row + 1) * ih};
        if (r.top >= l.items.bottom) break;
        if (i == hot) {
            fillSolid(dc, r, kHighlight);
            SetTextColor(dc, kHighlightText);
            SetBkMode(dc, TRANSPARENT);
        } else {
            SetTextColor(dc, text);
            SetBkColor(dc, back);
            SetBkMode(dc, mode);
        }
        TextOutA(dc, r.left + 2, r.top + (ih - s.cy) / 2, items[i].c_str(),
                 static_cast<int>(items[i].size()));
    }
    if (l.scrolls) paintScrollBar(dc, l, pressed);
    if (DeviceContext* d = deviceContext(dc)) strokeFrame(d->cr, rc);  // as the face's
    EndPaint(list, &ps);
}

// The keyboard in the open list moves the selection as a list box's does, and each move is a
// change of the combo box's selection (CBN_SELCHANGE) shown on its face.
void moveSelection(HWND list, HWND owner, WPARAM key) {
    bool changed;
    {
        std::lock_guard lock(gMu);
        Combo* c = combo(owner);
        if (c == nullptr || c->items.empty()) return;
        const int last = static_cast<int>(c->items.size()) - 1;
        const int from = c->hot;
        int to = from;
        switch (key) {
            case VK_UP:
                to = from - 1;
                break;
            case VK_DOWN:
                to = from + 1;
                break;
            case VK_PRIOR:
                to = from - pageRows(*c);
                break;
            case VK_NEXT:
                to = from + pageRows(*c);
                break;
            case VK_HOME:
                to = 0;
                break;
            case VK_END:
                to = last;
                break;
            default:
                return;
        }
        // Nothing highlighted yet: every move but End starts at the first item.
        if (from < 0 && key != VK_END) to = 0;
        to = std::clamp(to, 0, last);
        c->hot = to;
        revealLocked(*c, to);
        changed = c->selection != to;
        c->selection = to;
    }
    InvalidateRect(list, nullptr, FALSE);
    if (changed) {
        InvalidateRect(owner, nullptr, TRUE);
        notifyParent(owner, CBN_SELCHANGE);
    }
}

LRESULT CALLBACK listProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND owner = ownerOfList(h);
    switch (msg) {
        case WM_PAINT:
            if (owner)
                paintList(h, owner);
            else
                ValidateRect(h, nullptr);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_MOUSEMOVE:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_TIMER: {
            if (!owner) return 0;
            RECT rc;
            GetClientRect(h, &rc);
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            const bool inside = msg != WM_TIMER && PtInRect(&rc, p);
            if (msg == WM_LBUTTONDOWN && !inside) {
                closeList(owner, -1, true);
                return 0;
            }
            enum { Nothing, Repaint, Pick } then = Nothing;
            int picked = -1;
            UINT repeatIn = 0;  // (re)start the repeat timer
            bool stopRepeat = false;
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(owner);
                if (c == nullptr) return 0;
                const ListLayout l = layoutOf(*c, rc);
                if (msg != WM_TIMER) c->pointer = p;
                switch (msg) {
                    case WM_MOUSEMOVE:
                        if (c->pressed == ListPart::Thumb) {
                            // The thumb follows the pointer; the list follows the thumb.
                            const int range =
                                (l.track.bottom - l.track.top) - (l.thumb.bottom - l.thumb.top);
                            if (range > 0) {
                                const int at = p.y - c->thumbGrab - l.track.top;
                                const int top = (at * l.maxTop() + range / 2) / range;
                                if (scrollLocked(*c, top)) then = Repaint;
                            }
                        } else if (c->pressed == ListPart::None && inside) {
                            const int i = itemAt(l, p);
                            if (i >= 0 && c->hot != i) {
                                c->hot = i;
                                then = Repaint;
                            }
                        }
                        break;
                    case WM_LBUTTONDOWN: {
                        // An item is taken when the button comes up on it; the scroll bar
                        // acts at once and holds the mouse until the button comes up.
                        const ListPart part = partAt(l, p);
                        if (part == ListPart::Items || part == ListPart::None) break;
                        c->pressed = part;
                        if (part == ListPart::Thumb) {
                            c->thumbGrab = p.y - l.thumb.top;
                        } else {
                            stepLocked(*c, part);
                            repeatIn = kRepeatDelayMs;
                        }
                        then = Repaint;
                        break;
                    }
                    case WM_LBUTTONUP:
                        if (c->pressed != ListPart::None) {
                            c->pressed = ListPart::None;
                            stopRepeat = true;
                            then = Repaint;
                        } else if (inside && (picked = itemAt(l, p)) >= 0) {
                            then = Pick;
                        }
                        break;
                    case WM_TIMER:
                        if (wParam != kRepeatTimer) break;
                        if (c->pressed == ListPart::None || c->pressed == ListPart::Thumb) {
                            stopRepeat = true;
                            break;
                        }
                        // Held: the part goes on acting while the pointer is on it (a track
                        // page stops when the thumb reaches the pointer).
                        if (partAt(l, c->pointer) == c->pressed && stepLocked(*c, c->pressed))
                            then = Repaint;
                        repeatIn = kRepeatRateMs;
                        break;
                    default:
                        break;
                }
            }
            if (stopRepeat) KillTimer(h, kRepeatTimer);
            if (repeatIn) SetTimer(h, kRepeatTimer, repeatIn, nullptr);
            if (then == Pick) closeList(owner, picked, false);
            if (then == Repaint) InvalidateRect(h, nullptr, FALSE);
            return 0;
        }
        case WM_MOUSEWHEEL: {
            if (!owner) return 0;
            bool moved = false;
            {
                std::lock_guard lock(gMu);
                if (Combo* c = combo(owner)) {
                    // Each notch scrolls the system's rows; a finer wheel's smaller turns add
                    // up to a notch, and a turn the other way starts afresh.
                    const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
                    if ((delta > 0) != (c->wheelRest > 0)) c->wheelRest = 0;
                    c->wheelRest += delta;
                    const int notches = c->wheelRest / WHEEL_DELTA;
                    c->wheelRest -= notches * WHEEL_DELTA;
                    moved = scrollLocked(*c, c->top - notches * kWheelScrollRows);
                }
            }
            if (moved) InvalidateRect(h, nullptr, FALSE);
            return 0;
        }
        case WM_KEYDOWN: {
            if (!owner) return 0;
            if (wParam == VK_ESCAPE) {
                closeList(owner, -1, true);
            } else if (wParam == VK_RETURN || wParam == VK_F4) {
                int hot;
                {
                    std::lock_guard lock(gMu);
                    Combo* c = combo(owner);
                    hot = c ? c->hot : -1;
                }
                closeList(owner, hot, hot < 0);
            } else {
                moveSelection(h, owner, wParam);
            }
            return 0;
        }
        case WM_CAPTURECHANGED:
            // Capture taken away while open (another window grabbed the mouse): close.
            if (owner && reinterpret_cast<HWND>(lParam) != h) closeList(owner, -1, true);
            return 0;
        case WM_DESTROY:
            KillTimer(h, kRepeatTimer);
            return 0;
        default:
            return DefWindowProcA(h, msg, wParam, lParam);
    }
}

}  // namespace

void registerSystemClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSA c{};
        c.lpfnWndProc = comboProc;
        c.lpszClassName = "ComboBox";
        c.style = CS_DBLCLKS;
        RegisterClassA(&c);
        c.lpfnWndProc = listProc;
        c.lpszClassName = "ComboLBox";
        c.style = CS_DROPSHADOW;
        RegisterClassA(&c);
        c.lpfnWndProc = DefDlgProcA;
        c.lpszClassName = "#32770";
        c.style = 0;
        RegisterClassA(&c);
    });
}

void unregisterSystemClasses() {
    UnregisterClassA("ComboBox", nullptr);
    UnregisterClassA("ComboLBox", nullptr);
    UnregisterClassA("#32770", nullptr);
}

}  // namespace standin::ui::detail

using namespace standin::ui::detail;

LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
        case WM_CLOSE:
            // The close button: as a Cancel button would.
            SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return 0;
        case WM_ERASEBKGND: {
            RECT rc;
            GetClientRect(hDlg, &rc);
            HBRUSH face = CreateSolidBrush(kDialogFace);
            FillRect(reinterpret_cast<HDC>(wParam), &rc, face);
            DeleteObject(face);
            return 1;
        }
        case DM_GETDEFID:
            return MAKELONG(IDOK, 0x534B);  // DC_HASDEFID in the high word
        default:
            return DefWindowProcA(hDlg, Msg, wParam, lParam);
    }
}

BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
    if (lpMsg == nullptr || hDlg == nullptr || lpMsg->hwnd == nullptr) return FALSE;
    if (standin::win32::topLevelOf(lpMsg->hwnd) != hDlg) return FALSE;
    if (lpMsg->message == WM_KEYDOWN) {
        // An open drop-down list takes the keys first.
        HWND captured = GetCapture();
        if (captured && ownerOfList(captured)) {
            SendMessageA(captured, WM_KEYDOWN, lpMsg->wParam, lpMsg->lParam);
            return TRUE;
        }
        if (lpMsg->wParam == VK_ESCAPE) {
            SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return TRUE;
        }
        if (lpMsg->wParam == VK_RETURN) {
            LRESULT def = SendMessageA(hDlg, DM_GETDEFID, 0, 0);
            WORD id = HIWORD(def) == 0x534B ? LOWORD(def) : IDOK;
            SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(id, 0), 0);
            return TRUE;
        }
    }
    TranslateMessage(lpMsg);
    DispatchMessageA(lpMsg);
    return TRUE;
}

BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
    return IsDialogMessageA(hDlg, lpMsg);
}
