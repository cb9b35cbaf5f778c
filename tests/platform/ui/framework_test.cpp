// Details of the window manager and the framework that the dialog relies on: threads that send
// to each other, invalidation from other threads, input routing and capture, creation failures,
// subclassing, message maps and run-time classes, dialog templates, combo-box messages, GDI
// objects and text, icons, streams, and GDI+ on a window.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "demo_dialog.h"
#include "standin/win32/display.h"
#include "ui/afx.h"
#include "ui/standin_ui.h"

namespace {

[[maybe_unused]] const int kOffscreen = setenv("VQ36_UI_DISPLAY", "offscreen", 1);

thread_local std::vector<std::string>* tSeen = nullptr;
std::atomic<int> gPaints{0};
thread_local HWND tPeer = nullptr;

LRESULT CALLBACK plainProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    auto note = [&](const std::string& s) {
        if (tSeen) tSeen->push_back(s);
    };
    switch (msg) {
        case WM_CREATE:
            return reinterpret_cast<CREATESTRUCTA*>(l)->lpCreateParams ? -1 : 0;
        case WM_USER:  // asks the peer window (another thread's) something while handling
            return tPeer ? SendMessageA(tPeer, WM_USER + 1, w + 1, 0) + 1 : 0;
        case WM_USER + 1:
            return static_cast<LRESULT>(w) * 10;
        case WM_LBUTTONDOWN:
        case WM_MOUSEMOVE:
            note(std::to_string(GetDlgCtrlID(h)) + (msg == WM_LBUTTONDOWN ? " down " : " move ") +
                 std::to_string(GET_X_LPARAM(l)) + "," + std::to_string(GET_Y_LPARAM(l)) + " " +
                 std::to_string(w));
            return 0;
        case WM_CHAR:
            note("char " + std::to_string(w));
            return 0;
        case WM_PAINT:
            ++gPaints;
            note("paint");
            return DefWindowProcA(h, msg, w, l);
        default:
            return DefWindowProcA(h, msg, w, l);
    }
}

void registerPlain() {
    static const bool once = [] {
        WNDCLASSA c{};
        c.lpfnWndProc = plainProc;
        c.lpszClassName = "VqPlain";
        return RegisterClassA(&c) != 0;
    }();
    ASSERT_TRUE(once);
}

HWND plain(HWND parent = nullptr, int id = 0, RECT r = {0, 0, 100, 80}, LPVOID param = nullptr) {
    registerPlain();
    DWORD style = parent ? WS_CHILD | WS_VISIBLE : WS_POPUP | WS_VISIBLE;
    return CreateWindowExA(0, "VqPlain", "", style, r.left, r.top, r.right - r.left,
                           r.bottom - r.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, param);
}

TEST(WindowManager, ThreadsThatSendToEachOtherDoNotLockUpAndInvalidationWakesTheOwner) {
    std::atomic<HWND> theirs{nullptr};
    std::atomic<bool> stop{false};
    HWND mine = plain();
    std::thread other([&] {
        tPeer = mine;
        HWND h = plain();
        theirs = h;
        MSG m;
        while (!stop && GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
        DestroyWindow(h);
    });
    while (theirs == nullptr) std::this_thread::yield();
    // Their handler sends back to this thread's window while this thread waits for them.
    EXPECT_EQ(SendMessageA(theirs, WM_USER, 4, 0), 51);
    // A repaint asked from this thread reaches the other thread's waiting GetMessage.
    for (int i = 0; i < 400 && gPaints == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int before = gPaints;
    InvalidateRect(theirs, nullptr, TRUE);
    for (int i = 0; i < 400 && gPaints == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(gPaints, before);
    stop = true;
    PostMessageA(theirs, WM_NULL, 0, 0);
    other.join();
    DestroyWindow(mine);
}

TEST(WindowManager, InputGoesToTheChildUnderThePointOrToTheCapture) {
    std::vector<std::string> seen;
    tSeen = &seen;
    HWND top = plain(nullptr, 0, {0, 0, 200, 100});
    HWND child = plain(top, 7, {50, 20, 90, 60});
    ASSERT_NE(child, nullptr);
    standin::ui::postMouse(top, WM_LBUTTONDOWN, 60, 30, MK_LBUTTON);
    standin::ui::postMouse(top, WM_LBUTTONDOWN, 10, 10, MK_LBUTTON);
    SetCapture(child);
    standin::ui::postMouse(top, WM_MOUSEMOVE, 10, 10, MK_LBUTTON | MK_SHIFT);
    standin::ui::postMouse(top, WM_MOUSEMOVE, 12, 10, MK_LBUTTON);  // coalesced with the last
    ReleaseCapture();
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    std::vector<std::string> moves;
    for (auto& s : seen) {
        if (s.find("paint") == std::string::npos) moves.push_back(s);
    }
    EXPECT_EQ(moves,
              (std::vector<std::string>{"7 down 10,10 1", "0 down 10,10 1", "7 move -38,-10 1"}));
    // Keys go to the focus inside the window; TranslateMessage makes characters of them.
    seen.clear();
    SetFocus(child);
    MSG m;
    standin::win32::postKeyInput(top, WM_KEYDOWN, 'Q');
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"char 113"}));
    DestroyWindow(top);
    tSeen = nullptr;
}

TEST(WindowManager, CreationFailuresAndSubclassing) {
    registerPlain();
    WNDCLASSA again{};
    again.lpfnWndProc = plainProc;
    again.lpszClassName = "vqplain";  // names ignore case
    EXPECT_EQ(RegisterClassA(&again), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    int refuse = 1;
    EXPECT_EQ(plain(nullptr, 0, {0, 0, 10, 10}, &refuse), nullptr);  // WM_CREATE said -1
    HWND h = plain();
    auto old = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        h, GWLP_WNDPROC,
        reinterpret_cast<LONG_PTR>(+[](HWND w, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
            if (msg == WM_USER + 1) return 7;
            auto base = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(w, GWLP_USERDATA));
            return CallWindowProcA(base, w, msg, wp, lp);
        })));
    EXPECT_EQ(old, plainProc);
    SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(old));
    EXPECT_EQ(SendMessageA(h, WM_USER + 1, 3, 0), 7);
    SetWindowTextW(h, L"Gr\u00fc\u00dfe \u266B");
    wchar_t back[32];
    EXPECT_EQ(GetWindowTextW(h, back, 32), 7);
    EXPECT_STREQ(back, L"Gr\u00fc\u00dfe \u266B");
    DestroyWindow(h);
    EXPECT_EQ(SendMessageA(h, WM_USER + 1, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

// ---- Framework
// ------------------------------------------------------------------------------------
class CProbe : public CWnd {
    DECLARE_DYNAMIC(CProbe)

  public:
    std::vector<std::string> seen;

  protected:
    afx_msg void OnRange() {
        seen.push_back("range " + std::to_string(LOWORD(GetCurrentMessage()->wParam)));
    }
    afx_msg void OnCloseUp() { seen.push_back("closeup"); }
    afx_msg void OnTimer(UINT_PTR id) {
        seen.push_back("timer " + std::to_string(id));
        KillTimer(id);
    }
    DECLARE_MESSAGE_MAP()
};

IMPLEMENT_DYNAMIC(CProbe, CWnd)

BEGIN_MESSAGE_MAP(CProbe, CWnd)
ON_CONTROL(CBN_CLOSEUP, 400, OnCloseUp)
AFX_MSG_ENTRY(WM_COMMAND, 0, 10, 12, _self->OnRange(); return 0;)
ON_WM_TIMER()
END_MESSAGE_MAP()

TEST(Framework, MessageMapsRouteCommandsByCodeAndIdAndClassesKnowTheirBases) {
    registerPlain();
    CProbe probe;
    ASSERT_TRUE(probe.CreateEx(0, "VqPlain", "probe", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr));
    EXPECT_EQ(CWnd::FromHandlePermanent(probe.m_hWnd), &probe);
    probe.SendMessage(WM_COMMAND, MAKEWPARAM(400, CBN_CLOSEUP), 0);
    probe.SendMessage(WM_COMMAND, MAKEWPARAM(400, CBN_SELCHANGE), 0);  // no entry: ignored
    probe.SendMessage(WM_COMMAND, MAKEWPARAM(11, 0), 0);
    probe.SendMessage(WM_COMMAND, MAKEWPARAM(13, 0), 0);
    probe.SetTimer(5, 10);
    const DWORD start = GetTickCount();
    while (probe.seen.size() < 3 && GetTickCount() - start < 2000) standin::ui::pumpUntilIdle(50);
    EXPECT_EQ(probe.seen, (std::vector<std::string>{"closeup", "range 11", "timer 5"}));
    // Messages the map does not name go to the window's own procedure.
    EXPECT_EQ(probe.SendMessage(WM_USER + 1, 2, 0), 20);

    EXPECT_STREQ(probe.GetRuntimeClass()->m_lpszClassName, "CProbe");
    EXPECT_TRUE(probe.IsKindOf(RUNTIME_CLASS(CWnd)));
    EXPECT_TRUE(probe.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(probe.IsKindOf(RUNTIME_CLASS(CDialog)));
    EXPECT_EQ(RUNTIME_CLASS(CComboBox)->m_pfnCreateObject, nullptr);
    HWND h = probe.m_hWnd;
    probe.DestroyWindow();
    EXPECT_EQ(probe.m_hWnd, nullptr);  // detached at its last message
    EXPECT_EQ(CWnd::FromHandlePermanent(h), nullptr);
}

class CNoTemplate : public CDialog {
  public:
    CNoTemplate() : CDialog(999u) {}
};

TEST(Framework, DialogWithoutTemplateFailsAndTheParentIsDisabledWhileAModalDialogRuns) {
    CNoTemplate missing;
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_EQ(missing.m_hWnd, nullptr);

    // The demonstration dialog over a parent: disabled during the loop, enabled after.
    HWND parent = plain(nullptr, 0, {100, 100, 500, 400});
    BOOL enabledDuring = TRUE;
    HWND owner = nullptr;
    bool done = false;
    standin::ui::setModalIdleHook([&](HWND dialog) {
        if (done) return;
        done = true;
        enabledDuring = IsWindowEnabled(parent);
        owner = GetParent(dialog);
        standin::ui::postKey(dialog, VK_ESCAPE);
    });
    // runDemoDialog has no parent; a dialog of our own over the window uses the same template.
    class COver : public CDialog {
      public:
        explicit COver(CWnd* p) : CDialog(vqdemo::kTemplateId, p) {}
    };
    INT_PTR r;
    {
        AFX_MODULE_STATE state{};
        state.m_hCurrentResourceHandle = vqdemo::demoModule();
        state.m_hCurrentInstanceHandle = vqdemo::demoModule();
        AFX_MANAGE_STATE(&state);
        COver over(CWnd::FromHandle(parent));
        r = over.DoModal();
    }
    standin::ui::setModalIdleHook(nullptr);
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_FALSE(enabledDuring);
    EXPECT_EQ(owner, parent);
    EXPECT_TRUE(IsWindowEnabled(parent));
    DestroyWindow(parent);
}

TEST(Framework, ComboBoxMessagesAndKeysOnAnOpenList) {
    HWND top = plain(nullptr, 0, {0, 0, 300, 300});
    CComboBox combo;
    ASSERT_TRUE(combo.Create(WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, CRect(10, 10, 74, 400),
                             CWnd::FromHandle(top), 401));
    CRect face;
    combo.GetClientRect(&face);
    EXPECT_LT(face.Height(), 40);  // the given height is the list's extent
    EXPECT_EQ(combo.AddString("a"), 0);
    EXPECT_EQ(combo.AddString("c"), 1);
    EXPECT_EQ(combo.InsertString(1, "b"), 1);
    EXPECT_EQ(combo.GetCount(), 3);
    EXPECT_EQ(combo.GetCurSel(), CB_ERR);
    EXPECT_EQ(combo.SetCurSel(2), 2);
    EXPECT_EQ(combo.SetCurSel(9), CB_ERR);
    EXPECT_EQ(combo.GetCurSel(), CB_ERR);  // out of range clears the selection
    char text[8];
    combo.GetLBText(1, text);
    EXPECT_STREQ(text, "b");
    EXPECT_EQ(combo.SetItemHeight(0, 0), CB_ERR);
    EXPECT_EQ(combo.SetItemHeight(0, 15), 0);
    EXPECT_EQ(combo.GetItemHeight(0), 15);
    // Open: Down then Enter picks the next item; Escape closes without a change.
    combo.SetCurSel(0);
    combo.ShowDropDown(TRUE);
    EXPECT_TRUE(combo.GetDroppedState());
    HWND list = GetCapture();
    RECT lr;
    GetClientRect(list, &lr);
    EXPECT_EQ(lr.bottom, 3 * 15 + 2);
    SendMessageA(list, WM_KEYDOWN, VK_DOWN, 0);
    SendMessageA(list, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_FALSE(combo.GetDroppedState());
    EXPECT_EQ(combo.GetCurSel(), 1);
    combo.ShowDropDown(TRUE);
    SendMessageA(GetCapture(), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_FALSE(combo.GetDroppedState());
    EXPECT_EQ(combo.GetCurSel(), 1);
    combo.ResetContent();
    EXPECT_EQ(combo.GetCount(), 0);
    DestroyWindow(top);
}

TEST(Framework, GdiObjectsFontsTextAndIcons) {
    HWND top = plain(nullptr, 0, {0, 0, 120, 60});
    CFont font;
    ASSERT_TRUE(font.CreatePointFont(80, "Arial"));
    LOGFONTA lf;
    ASSERT_EQ(GetObjectA(font.m_hObject, sizeof lf, &lf), static_cast<int>(sizeof lf));
    EXPECT_EQ(lf.lfHeight, -11);  // 8 points at 96 pixels per inch
    HDC dc = GetDC(top);
    ASSERT_NE(dc, nullptr);
    HGDIOBJ before = SelectObject(dc, font.m_hObject);
    EXPECT_NE(before, nullptr);
    EXPECT_EQ(SelectObject(dc, before), font.m_hObject);
    SelectObject(dc, font.m_hObject);
    SIZE mg, mgmg;
    ASSERT_TRUE(GetTextExtentPoint32A(dc, "Mg", 2, &mg));
    GetTextExtentPoint32A(dc, "MgMg", 4, &mgmg);
    EXPECT_GE(mg.cy, 11);
    EXPECT_LE(mg.cy, 15);
    EXPECT_NEAR(mgmg.cx, 2 * mg.cx, 1);
    EXPECT_EQ(SetTextColor(dc, RGB(1, 2, 3)), 0u);
    EXPECT_EQ(SetTextColor(dc, 0), RGB(1, 2, 3));
    EXPECT_EQ(SetBkMode(dc, TRANSPARENT), OPAQUE);
    EXPECT_EQ(SetBkMode(dc, 7), 0);
    ReleaseDC(top, dc);
    EXPECT_EQ(SetTextColor(dc, 0), CLR_INVALID);  // released
    HGDIOBJ black = GetStockObject(BLACK_BRUSH);
    EXPECT_TRUE(DeleteObject(black));
    EXPECT_EQ(GetStockObject(BLACK_BRUSH), black);  // stock objects stay
    EXPECT_TRUE(font.DeleteObject());
    EXPECT_FALSE(DeleteObject(lf.lfFaceName));  // not an object

    EXPECT_NE(LoadIconA(vqdemo::demoModule(), MAKEINTRESOURCEA(vqdemo::kIconId)), nullptr);
    EXPECT_EQ(LoadIconA(vqdemo::demoModule(), MAKEINTRESOURCEA(116)), nullptr);
    DestroyWindow(top);
}

TEST(Framework, StreamsReadSeekAndStat) {
    HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, 5);
    std::memcpy(GlobalLock(m), "hello", 5);
    GlobalUnlock(m);
    IStream* s = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(m, FALSE, &s), S_OK);
    char buf[8] = {};
    ULONG got = 0;
    EXPECT_EQ(s->Read(buf, 3, &got), S_OK);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(s->Read(buf, 8, &got), S_FALSE);  // short read at the end
    EXPECT_EQ(got, 2u);
    LARGE_INTEGER to;
    to.QuadPart = -4;
    ULARGE_INTEGER pos;
    EXPECT_EQ(s->Seek(to, STREAM_SEEK_END, &pos), S_OK);
    EXPECT_EQ(pos.QuadPart, 1u);
    to.QuadPart = -9;
    EXPECT_EQ(s->Seek(to, STREAM_SEEK_CUR, &pos), STG_E_INVALIDFUNCTION);
    STATSTG st;
    EXPECT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, 5u);
    HGLOBAL back = nullptr;
    EXPECT_EQ(GetHGlobalFromStream(s, &back), S_OK);
    EXPECT_EQ(back, m);
    s->Release();
    EXPECT_EQ(GlobalFree(m), nullptr);
    EXPECT_EQ(CreateStreamOnHGlobal(m, FALSE, &s), E_INVALIDARG);  // freed
}

TEST(Framework, GdiplusOnAWindowAndTextPlacement) {
    ULONG_PTR token;
    Gdiplus::GdiplusStartupInput in;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &in, nullptr), Gdiplus::Ok);
    {
        Gdiplus::Graphics none(static_cast<HDC>(nullptr));
        EXPECT_EQ(none.GetLastStatus(), Gdiplus::OutOfMemory);
        Gdiplus::Bitmap empty(0, 5);
        EXPECT_EQ(empty.GetLastStatus(), Gdiplus::InvalidParameter);
        Gdiplus::Font display(L"Arial", 10, Gdiplus::FontStyleRegular, Gdiplus::UnitDisplay);
        EXPECT_EQ(display.GetLastStatus(), Gdiplus::InvalidParameter);

        // Text starts one sixth of the em right of the layout origin.
        Gdiplus::Bitmap b(100, 40);
        Gdiplus::Graphics g(&b);
        g.Clear(Gdiplus::Color(0xFF000000));
        Gdiplus::Font font(L"Arial", 24, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
        Gdiplus::SolidBrush white(Gdiplus::Color(0xFFFFFFFF));
        ASSERT_EQ(g.DrawString(L"l", -1, &font, Gdiplus::RectF(20, 5, 0, 0), nullptr, &white),
                  Gdiplus::Ok);
        int first = -1;
        for (int x = 0; x < 100 && first < 0; ++x) {
            for (int y = 0; y < 40; ++y) {
                Gdiplus::Color c;
                b.GetPixel(x, y, &c);
                if (c.GetR() > 128) {
                    first = x;
                    break;
                }
            }
        }
        EXPECT_GE(first, 20 + 4 - 1);  // 24 / 6, plus the glyph's own side bearing
        EXPECT_LE(first, 20 + 4 + 3);

        // On a window: drawn through its paint device context into its surface.
        HWND top = plain(nullptr, 0, {0, 0, 40, 30});
        standin::ui::pumpUntilIdle();
        PAINTSTRUCT ps;
        InvalidateRect(top, nullptr, FALSE);
        HDC dc = BeginPaint(top, &ps);
        {
            Gdiplus::Graphics onWindow(dc);
            Gdiplus::SolidBrush green(Gdiplus::Color(0xFF00FF00));
            EXPECT_EQ(onWindow.FillRectangle(&green, 0, 0, 40, 30), Gdiplus::Ok);
        }
        EndPaint(top, &ps);
        EXPECT_EQ(standin::ui::captureClient(top).at(20, 15), 0xFF00FF00u);
        DestroyWindow(top);
    }
    Gdiplus::GdiplusShutdown(token);
}

}  // namespace
