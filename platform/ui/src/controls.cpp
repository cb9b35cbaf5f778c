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

void notifyParent(HWND comboWnd, int code) {
    HWND parent = GetParent(comboWnd);
    if (parent == nullptr) return;
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(comboWnd), code),
                 reinterpret_cast<LPARAM>(comboWnd));
}

void openList(HWND h);
void closeList(HWND h, int picked, bool cancelled);

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
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(h);
                if (c == nullptr) return CB_ERR;
                auto index = static_cast<INT_PTR>(wParam);
                c->selection = index >= 0 && index < static_cast<INT_PTR>(c->items.size())
                                   ? static_cast<int>(index)
                                   : -1;
                if (c->selection < 0) {
                    InvalidateRect(h, nullptr, TRUE);
                    return CB_ERR;
                }
            }
            InvalidateRect(h, nullptr, TRUE);
            return static_cast<LRESULT>(wParam);
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
                    cairo_set_source_rgb(cr, 0.48, 0.48, 0.48);
                    cairo_set_line_width(cr, 1);
                    cairo_rectangle(cr, 0.5, 0.5, rc.right - 1, rc.bottom - 1);
                    cairo_stroke(cr);
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
        gListOwner.erase(list);
        if (!cancelled && picked >= 0 && picked < static_cast<int>(c->items.size())) {
            changed = c->selection != picked;
            c->selection = picked;
        }
    }
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

int itemAt(HWND comboWnd, int y) {
    std::lock_guard lock(gMu);
    Combo* c = combo(comboWnd);
    if (c == nullptr || c->itemHeight <= 0 || y < 0) return -1;
    int i = y / c->itemHeight;
    return i < static_cast<int>(c->items.size()) ? i : -1;
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
    int itemHeight, hot;
    {
        std::lock_guard lock(gMu);
        Combo* c = combo(comboWnd);
        font = c ? c->font : nullptr;
        if (c) items = c->items;
        itemHeight = c ? c->itemHeight : 13;
        hot = c ? c->hot : -1;
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
    for (int i = 0; i < static_cast<int>(items.size()); ++i) {
        RECT row{0, i * itemHeight, rc.right, (i + 1) * itemHeight};
        if (row.top >= rc.bottom) break;
        if (i == hot) {
            HBRUSH hb = CreateSolidBrush(kHighlight);
            FillRect(dc, &row, hb);
            DeleteObject(hb);
            SetTextColor(dc, kHighlightText);
            SetBkMode(dc, TRANSPARENT);
        } else {
            SetTextColor(dc, text);
            SetBkColor(dc, back);
            SetBkMode(dc, mode);
        }
        TextOutA(dc, 2, row.top + (itemHeight - s.cy) / 2, items[i].c_str(),
                 static_cast<int>(items[i].size()));
    }
    EndPaint(list, &ps);
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
        case WM_MOUSEMOVE: {
            if (!owner) return 0;
            RECT rc;
            GetClientRect(h, &rc);
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (!PtInRect(&rc, p)) return 0;
            int i = itemAt(owner, p.y);
            bool changed = false;
            {
                std::lock_guard lock(gMu);
                Combo* c = combo(owner);
                if (c && i >= 0 && c->hot != i) {
                    c->hot = i;
                    changed = true;
                }
            }
            if (changed) InvalidateRect(h, nullptr, FALSE);
            return 0;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP: {
            if (!owner) return 0;
            RECT rc;
            GetClientRect(h, &rc);
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (!PtInRect(&rc, p)) {
                if (msg == WM_LBUTTONDOWN) closeList(owner, -1, true);
                return 0;
            }
            // An item is taken when the button comes up on it.
            if (msg == WM_LBUTTONUP) {
                int i = itemAt(owner, p.y);
                if (i >= 0) closeList(owner, i, false);
            }
            return 0;
        }
        case WM_KEYDOWN: {
            if (!owner) return 0;
            if (wParam == VK_ESCAPE) {
                closeList(owner, -1, true);
            } else if (wParam == VK_RETURN) {
                int hot;
                {
                    std::lock_guard lock(gMu);
                    Combo* c = combo(owner);
                    hot = c ? c->hot : -1;
                }
                closeList(owner, hot, hot < 0);
            } else if (wParam == VK_UP || wParam == VK_DOWN) {
                std::lock_guard lock(gMu);
                if (Combo* c = combo(owner)) {
                    int n = static_cast<int>(c->items.size());
                    c->hot = std::clamp(c->hot + (wParam == VK_UP ? -1 : 1), 0, std::max(0, n - 1));
                }
                InvalidateRect(h, nullptr, FALSE);
            }
            return 0;
        }
        case WM_CAPTURECHANGED:
            // Capture taken away while open (another window grabbed the mouse): close.
            if (owner && reinterpret_cast<HWND>(lParam) != h) closeList(owner, -1, true);
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
