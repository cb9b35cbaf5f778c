// The framework's windows: CWnd and its message routing, GDI wrappers, CDialog with the modal
// loop and dialog templates, CComboBox.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "standin/win32/display.h"
#include "ui/afx.h"
#include "ui/standin_ui.h"
#include "ui_internal.h"

namespace {

// ---- Permanent and temporary objects
// ----------------------------------------------------------------
std::mutex gMapMu;
std::map<HWND, CWnd*> gPermanent;

// Temporary wrappers live until the outermost message of the thread has been handled.
struct Temporaries {
    std::map<HWND, std::unique_ptr<CWnd>> windows;
    std::map<HDC, std::unique_ptr<CDC>> dcs;
    std::map<HGDIOBJ, std::unique_ptr<CFont>> fonts;
    std::vector<std::unique_ptr<CGdiObject>> stock;
    void clear() {
        for (auto& [h, w] : windows) w->m_hWnd = nullptr;
        for (auto& [h, d] : dcs) d->m_hDC = nullptr;
        for (auto& [h, f] : fonts) f->m_hObject = nullptr;
        for (auto& s : stock) s->m_hObject = nullptr;
        windows.clear();
        dcs.clear();
        fonts.clear();
        stock.clear();
    }
};
thread_local Temporaries tTemps;
thread_local int tDepth = 0;
thread_local std::vector<MSG> tCurrent;

// The object being created by this thread, attached at its window's creation.
thread_local CWnd* tCreating = nullptr;

std::function<void(HWND)>& modalIdleHook() {
    static std::function<void(HWND)> hook;
    return hook;
}

void attach(CWnd* w, HWND h) {
    w->m_hWnd = h;
    std::lock_guard lock(gMapMu);
    gPermanent[h] = w;
}

LRESULT CALLBACK creationHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && tCreating != nullptr) {
        CWnd* w = tCreating;
        tCreating = nullptr;
        auto h = reinterpret_cast<HWND>(wParam);
        w->SubclassWindow(h);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The hook is set for one creation and taken away after it, so that no hook of this library
// stays with a thread (or outlives the library).
struct CreatingScope {
    explicit CreatingScope(CWnd* w)
        : hook_(SetWindowsHookExA(WH_CBT, creationHook, nullptr, GetCurrentThreadId())) {
        tCreating = w;
    }
    ~CreatingScope() {
        tCreating = nullptr;
        if (hook_) UnhookWindowsHookEx(hook_);
    }
    CreatingScope(const CreatingScope&) = delete;
    CreatingScope& operator=(const CreatingScope&) = delete;

  private:
    HHOOK hook_;
};

}  // namespace

// ---- GDI wrappers
// -------------------------------------------------------------------------------------
CGdiObject::~CGdiObject() {
    DeleteObject();
}
BOOL CGdiObject::Attach(HGDIOBJ hObject) {
    if (hObject == nullptr) return FALSE;
    m_hObject = hObject;
    return TRUE;
}
HGDIOBJ CGdiObject::Detach() {
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}
BOOL CGdiObject::DeleteObject() {
    if (m_hObject == nullptr) return FALSE;
    return ::DeleteObject(Detach());
}

CFont::~CFont() = default;

BOOL CFont::CreatePointFont(int nPointSize, LPCSTR lpszFaceName, CDC* /*pDC*/) {
    LOGFONTA lf{};
    lf.lfHeight = -MulDiv(nPointSize, 96, 720);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    if (lpszFaceName) {
        std::size_t n = std::min<std::size_t>(std::strlen(lpszFaceName), LF_FACESIZE - 1);
        std::memcpy(lf.lfFaceName, lpszFaceName, n);
    }
    return CreateFontIndirect(&lf);
}
BOOL CFont::CreateFontIndirect(const LOGFONTA* lpLogFont) {
    return Attach(::CreateFontIndirectA(lpLogFont));
}
CFont* CFont::FromHandle(HFONT hFont) {
    if (hFont == nullptr) return nullptr;
    auto& slot = tTemps.fonts[hFont];
    if (!slot) {
        slot = std::make_unique<CFont>();
        slot->m_hObject = hFont;
    }
    return slot.get();
}

CBrush::CBrush(COLORREF crColor) {
    CreateSolidBrush(crColor);
}
BOOL CBrush::CreateSolidBrush(COLORREF crColor) {
    return Attach(::CreateSolidBrush(crColor));
}

CDC::~CDC() = default;

CDC* CDC::FromHandle(HDC hDC) {
    if (hDC == nullptr) return nullptr;
    auto& slot = tTemps.dcs[hDC];
    if (!slot) {
        slot = std::make_unique<CDC>();
        slot->m_hDC = hDC;
    }
    return slot.get();
}
BOOL CDC::Attach(HDC hDC) {
    m_hDC = hDC;
    return hDC != nullptr;
}
HDC CDC::Detach() {
    HDC h = m_hDC;
    m_hDC = nullptr;
    return h;
}
COLORREF CDC::SetTextColor(COLORREF c) {
    return ::SetTextColor(m_hDC, c);
}
COLORREF CDC::SetBkColor(COLORREF c) {
    return ::SetBkColor(m_hDC, c);
}
int CDC::SetBkMode(int m) {
    return ::SetBkMode(m_hDC, m);
}
CFont* CDC::SelectObject(CFont* pFont) {
    if (pFont == nullptr) return nullptr;
    return CFont::FromHandle(static_cast<HFONT>(::SelectObject(m_hDC, pFont->m_hObject)));
}
CBrush* CDC::SelectObject(CBrush* pBrush) {
    if (pBrush == nullptr) return nullptr;
    ::SelectObject(m_hDC, pBrush->m_hObject);
    return nullptr;
}
HGDIOBJ CDC::SelectObject(HGDIOBJ hObject) {
    return ::SelectObject(m_hDC, hObject);
}
CGdiObject* CDC::SelectStockObject(int nIndex) {
    HGDIOBJ old = ::SelectObject(m_hDC, GetStockObject(nIndex));
    if (old == nullptr) return nullptr;
    tTemps.stock.push_back(std::make_unique<CGdiObject>());
    tTemps.stock.back()->m_hObject = old;
    return tTemps.stock.back().get();
}
CSize CDC::GetTextExtent(LPCSTR s, int n) const {
    SIZE size{0, 0};
    ::GetTextExtentPoint32A(m_hDC, s, n, &size);
    return size;
}
CSize CDC::GetTextExtent(LPCSTR s) const {
    return GetTextExtent(s, s ? static_cast<int>(std::strlen(s)) : 0);
}
CSize CDC::GetTextExtent(const std::string& s) const {
    return GetTextExtent(s.c_str(), static_cast<int>(s.size()));
}
BOOL CDC::TextOut(int x, int y, LPCSTR s, int n) {
    return ::TextOutA(m_hDC, x, y, s, n);
}
void CDC::FillSolidRect(LPCRECT r, COLORREF c) {
    HBRUSH b = ::CreateSolidBrush(c);
    ::FillRect(m_hDC, r, b);
    ::DeleteObject(b);
}
void CDC::FillRect(LPCRECT r, CBrush* b) {
    if (b) ::FillRect(m_hDC, r, static_cast<HBRUSH>(b->m_hObject));
}
int CDC::GetDeviceCaps(int nIndex) const {
    return ::GetDeviceCaps(m_hDC, nIndex);
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_ps{}, m_hWnd(pWnd->m_hWnd) {
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}
CPaintDC::~CPaintDC() {
    ::EndPaint(m_hWnd, &m_ps);
    m_hDC = nullptr;
}

CClientDC::CClientDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) {
    m_hDC = ::GetDC(m_hWnd);
}
CClientDC::~CClientDC() {
    if (m_hDC) ::ReleaseDC(m_hWnd, m_hDC);
    m_hDC = nullptr;
}

// ---- CWnd
// ---------------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() = default;

CWnd::~CWnd() {
    if (m_hWnd != nullptr && FromHandlePermanent(m_hWnd) == this) {
        ::DestroyWindow(m_hWnd);
        Detach();
    }
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
    std::lock_guard lock(gMapMu);
    auto it = gPermanent.find(hWnd);
    return it == gPermanent.end() ? nullptr : it->second;
}

CWnd* CWnd::FromHandle(HWND hWnd) {
    if (hWnd == nullptr) return nullptr;
    if (CWnd* w = FromHandlePermanent(hWnd)) return w;
    auto& slot = tTemps.windows[hWnd];
    if (!slot) {
        slot = std::make_unique<CWnd>();
        slot->m_hWnd = hWnd;
    }
    return slot.get();
}

BOOL CWnd::Attach(HWND hWndNew) {
    if (hWndNew == nullptr || m_hWnd != nullptr) return FALSE;
    attach(this, hWndNew);
    return TRUE;
}

HWND CWnd::Detach() {
    HWND h = m_hWnd;
    if (h) {
        std::lock_guard lock(gMapMu);
        auto it = gPermanent.find(h);
        if (it != gPermanent.end() && it->second == this) gPermanent.erase(it);
    }
    m_hWnd = nullptr;
    return h;
}

BOOL CWnd::SubclassWindow(HWND hWnd) {
    if (!Attach(hWnd)) return FALSE;
    auto old = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::AfxWndProc)));
    if (old != &CWnd::AfxWndProc) m_pfnSuper = old;
    return TRUE;
}

BOOL CWnd::Create(LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, const RECT& rect,
                  CWnd* pParentWnd, UINT nID, LPVOID lpParam) {
    return CreateEx(0, lpszClassName, lpszWindowName, dwStyle | WS_CHILD, rect.left, rect.top,
                    rect.right - rect.left, rect.bottom - rect.top,
                    pParentWnd ? pParentWnd->m_hWnd : nullptr,
                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)), lpParam);
}

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle,
                    int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu,
                    LPVOID lpParam) {
    if (m_hWnd != nullptr) return FALSE;
    HWND h;
    {
        CreatingScope scope(this);
        h = ::CreateWindowExA(dwExStyle, lpszClassName, lpszWindowName, dwStyle, x, y, nWidth,
                              nHeight, hWndParent, nIDorHMenu, AfxGetInstanceHandle(), lpParam);
    }
    if (h == nullptr) {
        if (m_hWnd) Detach();
        return FALSE;
    }
    return TRUE;
}

BOOL CWnd::DestroyWindow() {
    if (m_hWnd == nullptr) return FALSE;
    return ::DestroyWindow(m_hWnd);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}
BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}
void CWnd::Invalidate(BOOL bErase) {
    ::InvalidateRect(m_hWnd, nullptr, bErase);
}
void CWnd::InvalidateRect(LPCRECT lpRect, BOOL bErase) {
    ::InvalidateRect(m_hWnd, lpRect, bErase);
}
void CWnd::UpdateWindow() {
    ::UpdateWindow(m_hWnd);
}
UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse,
                        void(CALLBACK* lpfnTimer)(HWND, UINT, UINT_PTR, DWORD)) {
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
}
BOOL CWnd::KillTimer(UINT_PTR uIDEvent) {
    return ::KillTimer(m_hWnd, uIDEvent);
}
void CWnd::GetClientRect(LPRECT lpRect) const {
    ::GetClientRect(m_hWnd, lpRect);
}
void CWnd::GetWindowRect(LPRECT lpRect) const {
    ::GetWindowRect(m_hWnd, lpRect);
}
BOOL CWnd::SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) {
    return ::SetWindowPos(m_hWnd, pWndInsertAfter ? pWndInsertAfter->m_hWnd : nullptr, x, y, cx, cy,
                          nFlags);
}
void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint) {
    ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
}
void CWnd::MoveWindow(LPCRECT r, BOOL bRepaint) {
    MoveWindow(r->left, r->top, r->right - r->left, r->bottom - r->top, bRepaint);
}
void CWnd::SetWindowText(LPCSTR s) {
    ::SetWindowTextA(m_hWnd, s);
}
void CWnd::SetWindowText(LPCWSTR s) {
    ::SetWindowTextW(m_hWnd, s);
}
int CWnd::GetWindowText(LPSTR buf, int n) const {
    return ::GetWindowTextA(m_hWnd, buf, n);
}
HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(::SendMessageA(
        m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}
HICON CWnd::GetIcon(BOOL bBigIcon) const {
    return reinterpret_cast<HICON>(
        ::SendMessageA(m_hWnd, WM_GETICON, bBigIcon ? ICON_BIG : ICON_SMALL, 0));
}
CDC* CWnd::GetDC() {
    HDC h = ::GetDC(m_hWnd);
    if (h == nullptr) return nullptr;
    auto* dc = new CDC();
    dc->m_hDC = h;
    return dc;
}
int CWnd::ReleaseDC(CDC* pDC) {
    if (pDC == nullptr) return 0;
    int r = ::ReleaseDC(m_hWnd, pDC->Detach());
    delete pDC;
    return r;
}
CWnd* CWnd::GetParent() const {
    return FromHandle(::GetParent(m_hWnd));
}
CWnd* CWnd::GetDlgItem(int nID) const {
    return FromHandle(::GetDlgItem(m_hWnd, nID));
}
int CWnd::GetDlgCtrlID() const {
    return ::GetDlgCtrlID(m_hWnd);
}
BOOL CWnd::ShowWindow(int nCmdShow) {
    return ::ShowWindow(m_hWnd, nCmdShow);
}
BOOL CWnd::IsWindowVisible() const {
    return ::IsWindowVisible(m_hWnd);
}
BOOL CWnd::EnableWindow(BOOL bEnable) {
    return ::EnableWindow(m_hWnd, bEnable);
}
void CWnd::SetFont(CFont* pFont, BOOL bRedraw) {
    ::SendMessageA(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(pFont ? pFont->m_hObject : nullptr),
                   bRedraw);
}
CFont* CWnd::GetFont() const {
    return CFont::FromHandle(reinterpret_cast<HFONT>(::SendMessageA(m_hWnd, WM_GETFONT, 0, 0)));
}
CWnd* CWnd::SetFocus() {
    return FromHandle(::SetFocus(m_hWnd));
}
CWnd* CWnd::SetCapture() {
    return FromHandle(::SetCapture(m_hWnd));
}
void CWnd::ClientToScreen(LPPOINT p) const {
    ::ClientToScreen(m_hWnd, p);
}
void CWnd::ScreenToClient(LPPOINT p) const {
    ::ScreenToClient(m_hWnd, p);
}

const MSG* CWnd::GetCurrentMessage() {
    return tCurrent.empty() ? nullptr : &tCurrent.back();
}

LRESULT CALLBACK CWnd::AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* w = FromHandlePermanent(hWnd);
    if (w == nullptr) return ::DefWindowProcA(hWnd, message, wParam, lParam);
    MSG m{};
    m.hwnd = hWnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    tCurrent.push_back(m);
    ++tDepth;
    LRESULT r = w->WindowProc(message, wParam, lParam);
    --tDepth;
    tCurrent.pop_back();
    if (message == WM_NCDESTROY) {
        w->Detach();
        w->PostNcDestroy();
    }
    if (tDepth == 0) tTemps.clear();
    return r;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result))
        result = DefWindowProc(message, wParam, lParam);
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    UINT lookup = message;
    if (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) lookup = WM_CTLCOLOR;
    const AFX_MSGMAP_ENTRY* e = message == WM_COMMAND
                                    ? FindMessageEntry(WM_COMMAND, HIWORD(wParam), LOWORD(wParam))
                                    : FindMessageEntry(lookup, 0, 0);
    if (e == nullptr || e->pfnThunk == nullptr) return FALSE;
    LRESULT r = e->pfnThunk(this, message, wParam, lParam);
    if (pResult) *pResult = r;
    return TRUE;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper != nullptr)
        return ::CallWindowProcA(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default() {
    const MSG* m = GetCurrentMessage();
    if (m == nullptr) return 0;
    MSG copy = *m;
    return DefWindowProc(copy.message, copy.wParam, copy.lParam);
}

void CWnd::PostNcDestroy() {}

void CWnd::OnTimer(UINT_PTR) {
    Default();
}
void CWnd::OnPaint() {
    Default();
}
void CWnd::OnClose() {
    Default();
}
void CWnd::OnDestroy() {
    Default();
}
void CWnd::OnLButtonDown(UINT, CPoint) {
    Default();
}
void CWnd::OnLButtonUp(UINT, CPoint) {
    Default();
}
void CWnd::OnMouseMove(UINT, CPoint) {
    Default();
}
BOOL CWnd::OnEraseBkgnd(CDC*) {
    return static_cast<BOOL>(Default());
}
HBRUSH CWnd::OnCtlColor(CDC*, CWnd*, UINT) {
    return reinterpret_cast<HBRUSH>(Default());
}

// ---- Dialog templates
// -----------------------------------------------------------------------------------
namespace {

struct DialogTemplate {
    int width = 0;  // dialog units
    int height = 0;
    std::string caption;
    DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    int fontPoints = 8;
    std::string face = "MS Shell Dlg";
};

bool parseTemplate(const char* data, std::size_t size, DialogTemplate* out) {
    std::istringstream in(std::string(data, size));
    std::string line;
    bool sized = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream l(line);
        std::string key;
        if (!(l >> key) || key[0] == '#') continue;
        if (key == "size") {
            if (!(l >> out->width >> out->height) || out->width < 0 || out->height < 0)
                return false;
            sized = true;
        } else if (key == "caption") {
            std::getline(l >> std::ws, out->caption);
        } else if (key == "font") {
            if (!(l >> out->fontPoints)) return false;
            std::getline(l >> std::ws, out->face);
        } else if (key == "style") {
            DWORD style = 0;
            std::string word;
            while (l >> word) {
                if (word == "popup")
                    style |= WS_POPUP;
                else if (word == "child")
                    style |= WS_CHILD;
                else if (word == "caption")
                    style |= WS_CAPTION;
                else if (word == "sysmenu")
                    style |= WS_SYSMENU;
                else if (word == "minimizebox")
                    style |= WS_MINIMIZEBOX;
                else if (word == "modalframe")
                    style |= DS_MODALFRAME;
                else if (word == "visible")
                    style |= WS_VISIBLE;
                else if (word == "border")
                    style |= WS_BORDER;
                else if (word == "setfont")
                    style |= DS_SETFONT;
                else if (word.rfind("0x", 0) == 0)
                    style |= static_cast<DWORD>(std::strtoul(word.c_str(), nullptr, 16));
                else
                    return false;
            }
            out->style = style;
        } else {
            return false;
        }
    }
    return sized;
}

}  // namespace

// ---- CDialog
// ---------------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CDialog, CWnd)

BEGIN_MESSAGE_MAP(CDialog, CWnd)
AFX_MSG_ENTRY(WM_INITDIALOG, 0, 0, 0, return _self->OnInitDialog();)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog() = default;
CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_lpszTemplateName(MAKEINTRESOURCEA(nIDTemplate)),
      m_nIDHelp(nIDTemplate),
      m_pParentWnd(pParentWnd) {}
CDialog::CDialog(LPCSTR lpszTemplateName, CWnd* pParentWnd) : m_pParentWnd(pParentWnd) {
    if (IS_INTRESOURCE(lpszTemplateName)) {
        m_lpszTemplateName = lpszTemplateName;
    } else if (lpszTemplateName) {
        m_templateName = lpszTemplateName;
        m_lpszTemplateName = m_templateName.c_str();
    }
}
CDialog::~CDialog() = default;

BOOL CDialog::OnInitDialog() {
    return TRUE;
}
void CDialog::OnOK() {
    EndDialog(IDOK);
}
void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    if (m_bInModalLoop) {
        m_bInModalLoop = false;
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);  // wakes the loop
    } else if (m_hWnd) {
        DestroyWindow();
    }
}

BOOL CDialog::CreateFromTemplate(CWnd* pParentWnd, bool modal) {
    if (m_lpszTemplateName == nullptr) return FALSE;
    HINSTANCE module = AfxGetResourceHandle();
    HRSRC res = FindResourceA(module, m_lpszTemplateName, RT_DIALOG);
    if (res == nullptr) return FALSE;
    auto* data = static_cast<const char*>(LockResource(LoadResource(module, res)));
    DialogTemplate t;
    if (data == nullptr || !parseTemplate(data, SizeofResource(module, res), &t)) return FALSE;

    // Dialog units from the font's base units.
    CFont font;
    font.CreatePointFont(t.fontPoints * 10, t.face.c_str());
    standin::ui::detail::FontSpec spec;
    if (auto o = standin::ui::detail::gdiObject(font.m_hObject)) spec = o->font;
    auto letters =
        standin::ui::detail::measure(spec, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int baseX = static_cast<int>((letters.width / 26 + 1) / 2);
    const int baseY = static_cast<int>(std::ceil(letters.ascent + letters.descent));
    RECT rc{0, 0, MulDiv(t.width, baseX, 4), MulDiv(t.height, baseY, 8)};
    const DWORD style = t.style & ~static_cast<DWORD>(WS_VISIBLE);
    AdjustWindowRectEx(&rc, style, FALSE, WS_EX_DLGMODALFRAME);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;

    HWND parent = pParentWnd ? pParentWnd->m_hWnd : nullptr;
    RECT area{0, 0, 1024, 768};
    if (parent) ::GetWindowRect(parent, &area);
    const int x = area.left + (area.right - area.left - w) / 2;
    const int y = area.top + (area.bottom - area.top - h) / 2;
    if (!CreateEx(WS_EX_DLGMODALFRAME, "#32770", t.caption.c_str(), style, std::max(0, x),
                  std::max(0, y), w, h, parent, nullptr))
        return FALSE;
    HFONT dialogFont = static_cast<HFONT>(font.Detach());
    ::SendMessageA(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(dialogFont), FALSE);
    if (SendMessage(WM_INITDIALOG, 0, 0)) ::SetFocus(m_hWnd);
    if (!IsWindow(m_hWnd)) return FALSE;
    if (modal || (t.style & WS_VISIBLE)) ShowWindow(SW_SHOW);
    return TRUE;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    m_lpszTemplateName = MAKEINTRESOURCEA(nIDTemplate);
    m_pParentWnd = pParentWnd;
    return CreateFromTemplate(pParentWnd, false);
}

INT_PTR CDialog::DoModal() {
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    const bool parentWasEnabled = parent && ::IsWindowEnabled(parent);
    if (parentWasEnabled) ::EnableWindow(parent, FALSE);
    m_nModalResult = -1;
    m_bInModalLoop = true;
    if (!CreateFromTemplate(m_pParentWnd, true)) {
        m_bInModalLoop = false;
        if (parentWasEnabled) ::EnableWindow(parent, TRUE);
        if (m_hWnd) DestroyWindow();
        return -1;
    }
    // The modal loop: messages of the thread, with the dialog's keyboard handling.
    MSG msg;
    bool idleSeen = false;
    while (m_bInModalLoop && m_hWnd) {
        if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            idleSeen = false;
            if (msg.message == WM_QUIT) {
                // Ends the loop and leaves the quit for the loop outside.
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            if (!::IsDialogMessageA(m_hWnd, &msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
            continue;
        }
        auto& hook = modalIdleHook();
        if (hook && !idleSeen && standin::win32::threadIsIdle(GetCurrentThreadId())) {
            idleSeen = true;
            auto copy = hook;
            copy(m_hWnd);
            continue;
        }
        idleSeen = false;
        ::WaitMessage();
    }
    m_bInModalLoop = false;
    if (parentWasEnabled) ::EnableWindow(parent, TRUE);
    if (m_hWnd) {
        ShowWindow(SW_HIDE);
        DestroyWindow();
    }
    return m_nModalResult;
}

// ---- CComboBox
// -------------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CComboBox, CWnd)

CComboBox::~CComboBox() = default;

BOOL CComboBox::Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
    return CWnd::Create("ComboBox", nullptr, dwStyle, rect, pParentWnd, nID);
}
int CComboBox::AddString(LPCSTR s) {
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s)));
}
int CComboBox::InsertString(int i, LPCSTR s) {
    return static_cast<int>(
        SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(s)));
}
int CComboBox::DeleteString(UINT i) {
    return static_cast<int>(SendMessage(CB_DELETESTRING, i, 0));
}
void CComboBox::ResetContent() {
    SendMessage(CB_RESETCONTENT, 0, 0);
}
int CComboBox::GetCount() const {
    return static_cast<int>(::SendMessageA(m_hWnd, CB_GETCOUNT, 0, 0));
}
int CComboBox::GetCurSel() const {
    return static_cast<int>(::SendMessageA(m_hWnd, CB_GETCURSEL, 0, 0));
}
int CComboBox::SetCurSel(int n) {
    return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(n), 0));
}
int CComboBox::GetLBText(int i, LPSTR s) const {
    return static_cast<int>(
        ::SendMessageA(m_hWnd, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(s)));
}
BOOL CComboBox::GetDroppedState() const {
    return static_cast<BOOL>(::SendMessageA(m_hWnd, CB_GETDROPPEDSTATE, 0, 0));
}
void CComboBox::ShowDropDown(BOOL bShowIt) {
    SendMessage(CB_SHOWDROPDOWN, bShowIt, 0);
}
int CComboBox::SetItemHeight(int i, UINT cy) {
    return static_cast<int>(SendMessage(CB_SETITEMHEIGHT, static_cast<WPARAM>(i), cy));
}
int CComboBox::GetItemHeight(int i) const {
    return static_cast<int>(::SendMessageA(m_hWnd, CB_GETITEMHEIGHT, static_cast<WPARAM>(i), 0));
}
BOOL CComboBox::SetMinVisibleItems(int n) {
    return static_cast<BOOL>(SendMessage(CB_SETMINVISIBLE, static_cast<WPARAM>(n), 0));
}

namespace standin::ui {

void setModalIdleHook(std::function<void(HWND dialog)> hook) {
    modalIdleHook() = std::move(hook);
}

}  // namespace standin::ui
