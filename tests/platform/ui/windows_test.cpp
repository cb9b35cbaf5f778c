// Windows and messages: order of sent and posted messages, SendMessage across threads, timers,
// the paint cycle (coalescing, erasing) and window geometry.

#include <cstdlib>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ui/standin_ui.h"
#include "win32/windows.h"

namespace {

// These tests run on the offscreen display whatever DISPLAY says.
[[maybe_unused]] const int kOffscreen = setenv("VQ36_UI_DISPLAY", "offscreen", 1);

struct Log {
    std::vector<std::string> lines;
    DWORD threadSeen = 0;
    BOOL eraseResult = FALSE;
    PAINTSTRUCT lastPaint{};
    int timers = 0;
};
thread_local Log* tLog = nullptr;

LRESULT CALLBACK logProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    Log* log = tLog;
    switch (msg) {
        case WM_USER + 1:
        case WM_USER + 2:
        case WM_USER + 3:
            if (log) log->lines.push_back("user" + std::to_string(msg - WM_USER));
            return 100 + static_cast<LRESULT>(w);
        case WM_APP:
            if (log) log->threadSeen = GetCurrentThreadId();
            return static_cast<LRESULT>(GetCurrentThreadId());
        case WM_TIMER:
            if (log) ++log->timers;
            return 0;
        case WM_ERASEBKGND:
            if (log) log->lines.push_back("erase");
            return log ? log->eraseResult : 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(h, &ps);
            if (log) {
                log->lines.push_back("paint");
                log->lastPaint = ps;
            }
            EndPaint(h, &ps);
            return 0;
        }
        default:
            return DefWindowProcA(h, msg, w, l);
    }
}

void registerLogClass() {
    static bool done = [] {
        WNDCLASSA c{};
        c.lpfnWndProc = logProc;
        c.lpszClassName = "VqLogWindow";
        return RegisterClassA(&c) != 0;
    }();
    ASSERT_TRUE(done);
}

HWND makeWindow(DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU) {
    registerLogClass();
    return CreateWindowExA(0, "VqLogWindow", "log", style, 10, 20, 200, 100, nullptr, nullptr,
                           nullptr, nullptr);
}

TEST(Windows, SentMessagesRunAtOncePostedOnesInOrderThroughTheLoop) {
    Log log;
    tLog = &log;
    HWND h = makeWindow();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    log.lines.clear();
    PostMessageA(h, WM_USER + 1, 0, 0);
    PostMessageA(h, WM_USER + 2, 0, 0);
    EXPECT_EQ(SendMessageA(h, WM_USER + 3, 5, 0), 105);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"user3"}));
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"user3", "user1", "user2"}));
    // Another thread's window: delivered on its owner's thread, inside the owner's GetMessage.
    std::atomic<HWND> other{nullptr};
    Log otherLog;
    std::thread owner([&] {
        tLog = &otherLog;
        other = makeWindow();
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
        DestroyWindow(other);
    });
    while (other == nullptr) std::this_thread::yield();
    const LRESULT ownerThread = SendMessageA(other, WM_APP, 0, 0);
    EXPECT_EQ(static_cast<DWORD>(ownerThread), otherLog.threadSeen);
    EXPECT_NE(static_cast<DWORD>(ownerThread), GetCurrentThreadId());
    EXPECT_FALSE(DestroyWindow(other));  // only its owner may destroy it
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    PostThreadMessageA(GetWindowThreadProcessId(other, nullptr), WM_QUIT, 0, 0);
    owner.join();
    EXPECT_FALSE(IsWindow(other));  // gone with its thread
    DestroyWindow(h);
    tLog = nullptr;
}

TEST(Windows, TimersFireAtTheirPeriodAndStopWhenKilled) {
    Log log;
    tLog = &log;
    HWND h = makeWindow();
    ASSERT_EQ(SetTimer(h, 7, 20, nullptr), 7u);
    const auto start = std::chrono::steady_clock::now();
    MSG m;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
        if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
        else
            WaitMessage();
    }
    // 15 periods passed; a busy machine may lose some, never gain.
    EXPECT_GE(log.timers, 4);
    EXPECT_LE(log.timers, 16);
    EXPECT_TRUE(KillTimer(h, 7));
    log.timers = 0;
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_EQ(log.timers, 0);
    EXPECT_FALSE(KillTimer(h, 7));
    DestroyWindow(h);
    tLog = nullptr;
}

TEST(Windows, PaintComesOnlyForInvalidWindowsCoalescedAndErasesWhenAsked) {
    Log log;
    tLog = &log;
    HWND h = makeWindow();
    ShowWindow(h, SW_SHOW);
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"erase", "paint"}));  // shown: all invalid
    log.lines.clear();
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_TRUE(log.lines.empty());  // valid: nothing

    RECT a{10, 10, 20, 20}, b{30, 5, 40, 15};
    InvalidateRect(h, &a, FALSE);
    InvalidateRect(h, &b, FALSE);
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"paint"}));  // one paint, no erase
    EXPECT_EQ(log.lastPaint.rcPaint.left, 10);
    EXPECT_EQ(log.lastPaint.rcPaint.top, 5);
    EXPECT_EQ(log.lastPaint.rcPaint.right, 40);
    EXPECT_EQ(log.lastPaint.rcPaint.bottom, 20);

    log.lines.clear();
    InvalidateRect(h, &a, FALSE);
    InvalidateRect(h, nullptr, TRUE);  // one erasing invalidation erases the whole paint
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"erase", "paint"}));
    EXPECT_TRUE(log.lastPaint.fErase);  // the erase handler returned 0
    log.eraseResult = TRUE;
    InvalidateRect(h, nullptr, TRUE);
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_FALSE(log.lastPaint.fErase);

    // A hidden window is not painted, however invalid.
    log.lines.clear();
    ShowWindow(h, SW_HIDE);
    InvalidateRect(h, nullptr, TRUE);
    ASSERT_TRUE(standin::ui::pumpUntilIdle());
    EXPECT_TRUE(log.lines.empty());
    DestroyWindow(h);
    tLog = nullptr;
}

TEST(Windows, WindowAndClientSizesDifferByTheFrame) {
    HWND h = makeWindow();
    RECT w, c;
    ASSERT_TRUE(GetWindowRect(h, &w));
    ASSERT_TRUE(GetClientRect(h, &c));
    const int frameX = (w.right - w.left) - c.right, frameY = (w.bottom - w.top) - c.bottom;
    EXPECT_GT(frameX, 0);
    EXPECT_GT(frameY, frameX);  // the caption
    // The product's way: window size = wanted client size + window size - client size.
    ASSERT_TRUE(SetWindowPos(h, nullptr, 0, 0, 669 + frameX, 327 + frameY,
                             SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOOWNERZORDER));
    ASSERT_TRUE(GetClientRect(h, &c));
    EXPECT_EQ(c.right, 669);
    EXPECT_EQ(c.bottom, 327);
    ASSERT_TRUE(GetWindowRect(h, &w));
    EXPECT_EQ(w.left, 10);  // SWP_NOMOVE
    EXPECT_EQ(w.top, 20);
    // A child has no frame; its client origin is inside the parent's client area.
    HWND child = CreateWindowExA(0, "VqLogWindow", "", WS_CHILD | WS_VISIBLE, 5, 6, 50, 40, h,
                                 reinterpret_cast<HMENU>(42), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetDlgItem(h, 42), child);
    EXPECT_EQ(GetDlgCtrlID(child), 42);
    POINT p{0, 0}, q{0, 0};
    ClientToScreen(child, &p);
    ClientToScreen(h, &q);
    EXPECT_EQ(p.x - q.x, 5);
    EXPECT_EQ(p.y - q.y, 6);
    DestroyWindow(h);
    EXPECT_FALSE(IsWindow(child));  // children go with their parent
}

thread_local int tTimerProcCalls = 0;

TEST(Windows, GeneratedMessagesStayUntilHandledAndTimersBelongToTheirThread) {
    Log log;
    tLog = &log;
    HWND h = makeWindow(WS_POPUP | WS_VISIBLE);
    MSG m;
    // WM_PAINT is not taken away by PM_REMOVE: it comes while the window is invalid.
    ASSERT_TRUE(PeekMessageA(&m, h, WM_PAINT, WM_PAINT, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&m, h, WM_PAINT, WM_PAINT, PM_REMOVE));
    ValidateRect(h, nullptr);
    EXPECT_FALSE(PeekMessageA(&m, h, WM_PAINT, WM_PAINT, PM_REMOVE));
    // A thread timer with a procedure: DispatchMessage calls the procedure.
    const UINT_PTR id =
        SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) { ++tTimerProcCalls; });
    ASSERT_NE(id, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_TIMER, WM_TIMER, PM_NOREMOVE));  // left in place
    ASSERT_TRUE(GetMessageA(&m, nullptr, WM_TIMER, WM_TIMER));
    EXPECT_EQ(m.wParam, id);
    DispatchMessageA(&m);
    EXPECT_EQ(tTimerProcCalls, 1);
    EXPECT_TRUE(KillTimer(nullptr, id));
    // Another thread may not set a timer on this thread's window.
    UINT_PTR fromOther = 1;
    DWORD error = 0;
    std::thread([&] {
        fromOther = SetTimer(h, 3, 10, nullptr);
        error = GetLastError();
    }).join();
    EXPECT_EQ(fromOther, 0u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    DestroyWindow(h);
    tLog = nullptr;
}

TEST(Windows, ASenderIsReleasedWhenTheOwnerThreadEndsAndCreationHooksSeeNewWindows) {
    std::atomic<HWND> h{nullptr};
    std::thread owner([&] {
        h = makeWindow();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // ends without a message call
    });
    while (h == nullptr) std::this_thread::yield();
    EXPECT_EQ(SendMessageA(h, WM_USER + 1, 0, 0), 0);  // does not wait for ever
    owner.join();
    EXPECT_FALSE(IsWindow(h));

    static thread_local std::vector<std::string> created;
    HHOOK hook = SetWindowsHookExA(
        WH_CBT,
        [](int code, WPARAM w, LPARAM l) -> LRESULT {
            if (code == HCBT_CREATEWND) {
                auto* cbt = reinterpret_cast<CBT_CREATEWNDA*>(l);
                created.push_back(cbt->lpcs->lpszName +
                                  std::string(IsWindow(reinterpret_cast<HWND>(w)) ? "+" : "-"));
            }
            return CallNextHookEx(nullptr, code, w, l);
        },
        nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    HWND w = makeWindow();
    EXPECT_EQ(created, (std::vector<std::string>{"log+"}));
    EXPECT_TRUE(UnhookWindowsHookEx(hook));
    EXPECT_FALSE(UnhookWindowsHookEx(hook));
    EXPECT_EQ(SetWindowsHookExA(
                  2 /*WH_KEYBOARD*/, [](int, WPARAM, LPARAM) -> LRESULT { return 0; }, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    DestroyWindow(w);
}

}  // namespace
